// The value every expression node produces while it is evaluated, and the
// result type codes the evaluator reports next to it.
//
// The value is a small tagged union: empty, null, a text (bytes in the
// table's code page), a whole number, a real or a logical. Nodes keep their
// values between evaluations so that a text's buffer is reused from record
// to record instead of being allocated again.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace tessera {

// Result type codes (one byte).
enum ExpResultType : uint8_t {
  kExpNone = 0,       // no expression compiled
  kExpNoValue = 1,    // a variable or function produced nothing, or "()"
  kExpAny = 2,        // argument checks only: any type is accepted
  kExpText = 3,
  kExpNumber = 4,
  kExpDate = 6,       // a day number carried as a real
  kExpLogical = 8,
  kExpRawField = 9,   // a table field of a type the engine does not interpret
};

// Numbers and dates (codes 4 to 7) may be mixed.
inline bool InNumericFamily(uint8_t type) { return type >= 4 && type <= 7; }

// CTOD("") gives this real, typed as a date; DOW, DTOC, DTOS, EMPTY and
// DESCEND read it as "no date".
inline constexpr double kBlankDateMarker = 1e100;

// The longest text an operator or function builds (1 MiB). Expressions come
// from users and files: SPACE(1E9), PADR("", 16000000) or a chain of
// concatenations must fail cleanly, before the memory is taken, instead of
// building many megabytes for every record a scan or an index build
// evaluates.
inline constexpr size_t kMaxExpTextLength = size_t{1} << 20;

// Raises ETesseraExpression: `what` (a function or operator) would build a
// text of `length` bytes, more than kMaxExpTextLength.
[[noreturn]] void RaiseTextTooLong(std::string_view what, double length);

// Truncation toward zero to a 32-bit whole number; values outside the
// range stick at its ends and NaN gives 0, so no conversion is undefined.
int32_t TruncToInt32(double value);

class TktExpValue {
 public:
  enum class Kind : uint8_t { kEmpty, kNull, kText, kWhole, kReal, kLogical };

  Kind kind() const { return kind_; }
  bool IsText() const { return kind_ == Kind::kText; }
  // Empty, null or the empty text: what text operators treat as "no text".
  bool IsEmptyText() const { return kind_ == Kind::kEmpty || kind_ == Kind::kNull || (kind_ == Kind::kText && text_.empty()); }

  void SetEmpty() { kind_ = Kind::kEmpty; }
  void SetNull() { kind_ = Kind::kNull; }
  void SetText(std::string_view text) {
    kind_ = Kind::kText;
    text_.assign(text.data(), text.size());
  }
  // The text buffer, made the value (kept contents are the caller's).
  std::string& MutableText() {
    if (kind_ != Kind::kText) text_.clear();
    kind_ = Kind::kText;
    return text_;
  }
  void SetWhole(int32_t value) {
    kind_ = Kind::kWhole;
    whole_ = value;
  }
  void SetReal(double value) {
    kind_ = Kind::kReal;
    real_ = value;
  }
  void SetLogical(bool value) {
    kind_ = Kind::kLogical;
    logical_ = value;
  }

  // The text of a text value (empty for every other kind); see AsText.
  const std::string& Text() const { return text_; }

  // Conversions between kinds. A text reads as a number only when it is a
  // plain decimal (otherwise ETesseraExpression "A number value is required
  // but invalid"); as a logical when its first byte is one of "TtYyJj".
  // Numbers are written in the general form with up to 15 significant
  // digits, logicals as "T" or "F"; empty and null give "", 0 and false.
  std::string AsText() const;
  double AsReal() const;
  bool AsLogical() const;
  // Makes the value a text holding AsText().
  void ConvertToText();

 private:
  std::string text_;
  double real_ = 0;
  int32_t whole_ = 0;
  Kind kind_ = Kind::kEmpty;
  bool logical_ = false;
};

}  // namespace tessera
