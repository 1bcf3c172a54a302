// Where the window's controls go when it is resized, in twips (1440 to the
// inch), from the window's outer width W and height H.
#pragma once

#include <optional>

namespace callscope {

// Every value the resize sets; properties not listed keep their value.
struct ResizeLayout {
  int browserTop, browserHeight, browserLeft, browserWidth;  // 50, H-1280, 50, W-200
  int labelCallTop;                                          // H-900
  int callsignTop;                                           // H-1000
  int searchTop;                                             // H-1000
  int statusTop;                                             // H-900
  int backTop, backLeft;                                     // H-1000, W-2500
  int forwardTop, forwardLeft;                               // H-1000, W-1500
  int commandTop;                                            // H+1000
  int dxccTop;                                               // H+1000
};

// The smallest window the resize lays out: below it (H under 1281 or W
// under 2500) nothing moves, since the browser would have no height left
// and the history buttons would leave the window.
inline constexpr int kLayoutMinHeight = 1281;
inline constexpr int kLayoutMinWidth = 2500;

std::optional<ResizeLayout> ComputeResizeLayout(int widthTwips, int heightTwips);

// Conversions at a logical resolution in dots per inch, rounded to nearest.
int TwipsToPixels(int twips, double dpi);
int PixelsToTwips(int pixels, double dpi);

}  // namespace callscope
