#include "weblookup/layout.h"

#include <cmath>

namespace callscope {

std::optional<ResizeLayout> ComputeResizeLayout(int w, int h) {
  if (h < kLayoutMinHeight || w < kLayoutMinWidth) return std::nullopt;
  ResizeLayout l{};
  l.browserTop = 50;
  l.browserHeight = h - 1280;
  l.browserLeft = 50;
  l.browserWidth = w - 200;
  l.labelCallTop = h - 900;
  l.callsignTop = h - 1000;
  l.searchTop = h - 1000;
  l.statusTop = h - 900;
  l.backTop = h - 1000;
  l.backLeft = w - 2500;
  l.forwardTop = h - 1000;
  l.forwardLeft = w - 1500;
  l.commandTop = h + 1000;
  l.dxccTop = h + 1000;
  return l;
}

int TwipsToPixels(int twips, double dpi) { return static_cast<int>(std::lround(twips * dpi / 1440.0)); }

int PixelsToTwips(int pixels, double dpi) { return static_cast<int>(std::lround(pixels * 1440.0 / dpi)); }

}  // namespace callscope
