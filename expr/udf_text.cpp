// The text functions: trimming, case, pieces, padding, searching,
// replacing and SOUNDEX.
#include <algorithm>
#include <climits>

#include "expr/builtin_functions.h"
#include "expr/text_search.h"
#include "expr/udf_support.h"
#include "platform/codepage.h"

namespace tessera {

using udf::NumberArg;
using udf::OptionalWhole;
using udf::TextArg;

namespace {

bool IsBlankOrControl(char c) { return static_cast<unsigned char>(c) <= 32; }

void TrimLeft(std::string& t) {
  size_t i = 0;
  while (i < t.size() && IsBlankOrControl(t[i])) ++i;
  t.erase(0, i);
}

void TrimRight(std::string& t) {
  size_t n = t.size();
  while (n > 0 && IsBlankOrControl(t[n - 1])) --n;
  t.resize(n);
}

void UpperAscii(std::string& t) {
  for (char& c : t)
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
}

// A character after which PROPER starts a word: the blank and the ASCII
// punctuation, except the apostrophe (39) and the grave accent (96).
bool StartsWord(unsigned char c) {
  return (c >= 32 && c <= 38) || (c >= 40 && c <= 47) || (c >= 58 && c <= 64) || (c >= 91 && c <= 95) ||
         (c >= 123 && c <= 127);
}

char SoundexCode(char c) {
  switch (c) {
    case 'B': case 'F': case 'P': case 'V':
      return '1';
    case 'C': case 'G': case 'J': case 'K': case 'Q': case 'S': case 'X': case 'Z':
      return '2';
    case 'D': case 'T':
      return '3';
    case 'L':
      return '4';
    case 'M': case 'N':
      return '5';
    case 'R':
      return '6';
    default:
      return 0;
  }
}

}  // namespace

bool TktUDFAllTrim::Execute(TktExpFunction& call, TktExpValue& value, uint8_t& type) {
  type = kExpText;
  std::string& t = TextArg(call, 0, value);
  TrimRight(t);
  TrimLeft(t);
  return true;
}

bool TktUDFAsc::Execute(TktExpFunction& call, TktExpValue& value, uint8_t& type) {
  type = kExpNumber;
  const std::string& t = TextArg(call, 0, value);
  value.SetWhole(t.empty() ? 0 : static_cast<unsigned char>(t[0]));
  return true;
}

namespace {

// AT and ATC: the n-th occurrence, occurrences allowed to overlap.
void FindOccurrence(TktExpFunction& call, TktExpValue& value, bool ignore_case) {
  std::string& search = TextArg(call, 0, call.Scratch(0));
  std::string& text = TextArg(call, 1, call.Scratch(1));
  const int32_t n = OptionalWhole(call, 2, value, 1);
  if (ignore_case) {
    UpperAscii(search);
    UpperAscii(text);
  }
  value.SetWhole(NthOccurrence(text, search, n));
}

}  // namespace

bool TktUDFAt::Execute(TktExpFunction& call, TktExpValue& value, uint8_t& type) {
  type = kExpNumber;
  FindOccurrence(call, value, false);
  return true;
}

bool TktUDFAtC::Execute(TktExpFunction& call, TktExpValue& value, uint8_t& type) {
  type = kExpNumber;
  FindOccurrence(call, value, true);
  return true;
}

bool TktUDFChr::Execute(TktExpFunction& call, TktExpValue& value, uint8_t& type) {
  type = kExpText;
  const int32_t n = TruncToInt32(NumberArg(call, 0, value));
  if (n < 0 || n > 255) udf::ValueRequired("Byte");
  // Filled rather than copied from a local char, which GCC 12 takes for
  // a possibly overlapping copy (-Wrestrict).
  value.MutableText().assign(1, static_cast<char>(n));
  return true;
}

bool TktUDFLeft::Execute(TktExpFunction& call, TktExpValue& value, uint8_t& type) {
  type = kExpText;
  TktExpValue& text = call.Scratch(0);
  TextArg(call, 0, text);
  const double n = NumberArg(call, 1, value);
  const size_t count = n <= 0.01 ? 0 : static_cast<size_t>(TruncToInt32(n));
  value.MutableText().assign(text.Text(), 0, std::min(count, text.Text().size()));
  return true;
}

bool TktUDFLen::Execute(TktExpFunction& call, TktExpValue& value, uint8_t& type) {
  type = kExpNumber;
  const std::string& t = TextArg(call, 0, value);
  value.SetWhole(static_cast<int32_t>(std::min<size_t>(t.size(), INT32_MAX)));
  return true;
}

bool TktUDFLower::Execute(TktExpFunction& call, TktExpValue& value, uint8_t& type) {
  type = kExpText;
  std::string& t = TextArg(call, 0, value);
  plat::LowerBuffer(t.data(), t.size());
  return true;
}

bool TktUDFUpper::Execute(TktExpFunction& call, TktExpValue& value, uint8_t& type) {
  type = kExpText;
  std::string& t = TextArg(call, 0, value);
  plat::UpperBuffer(t.data(), t.size());
  return true;
}

bool TktUDFLTrim::Execute(TktExpFunction& call, TktExpValue& value, uint8_t& type) {
  type = kExpText;
  TrimLeft(TextArg(call, 0, value));
  return true;
}

bool TktUDFTrim::Execute(TktExpFunction& call, TktExpValue& value, uint8_t& type) {
  type = kExpText;
  TrimRight(TextArg(call, 0, value));
  return true;
}

bool TktUDFPadMain::Execute(TktExpFunction& call, TktExpValue& value, uint8_t& type) {
  type = kExpText;
  char fill = ' ';
  const uint8_t fill_type = call.GetArg(2, value, kExpAny);
  if (fill_type == kExpNoValue)
    fill = ' ';
  else if (fill_type == kExpText && value.IsText() && value.Text().size() == 1)
    fill = value.Text()[0];
  else
    udf::ValueRequired("Char");
  if (call.GetArg(0, value, kExpAny) == kExpNoValue)
    throw ETesseraExpression(msg::Format(msg::kArgumentNeeded, {"Value", "1", "Pad"}));
  std::string text = value.AsText();
  const int32_t width = TruncToInt32(NumberArg(call, 1, value));
  std::string& out = value.MutableText();
  const int32_t length = static_cast<int32_t>(std::min<size_t>(text.size(), INT32_MAX));
  if (length >= width) {
    out.swap(text);
    return true;
  }
  udf::CheckLength(width, Name());
  out.assign(static_cast<size_t>(width), fill);
  out.replace(static_cast<size_t>(Offset(width, length)), text.size(), text);
  // The result ends at the first zero byte (a zero fill gives no padding).
  const size_t zero = out.find('\0');
  if (zero != std::string::npos) out.resize(zero);
  return true;
}

bool TktUDFProper::Execute(TktExpFunction& call, TktExpValue& value, uint8_t& type) {
  type = kExpText;
  std::string& t = TextArg(call, 0, value);
  for (size_t i = 0; i < t.size(); ++i) {
    const auto c = static_cast<unsigned char>(t[i]);
    const bool word_start = i == 0 || StartsWord(static_cast<unsigned char>(t[i - 1]));
    t[i] = static_cast<char>(word_start ? plat::UpperByte(c) : plat::LowerByte(c));
  }
  return true;
}

bool TktUDFRight::Execute(TktExpFunction& call, TktExpValue& value, uint8_t& type) {
  type = kExpText;
  TktExpValue& text = call.Scratch(0);
  TextArg(call, 0, text);
  const int32_t n = TruncToInt32(NumberArg(call, 1, value));
  const std::string& t = text.Text();
  const size_t count = n <= 0 ? 0 : std::min(static_cast<size_t>(n), t.size());
  value.MutableText().assign(t, t.size() - count, count);
  return true;
}

bool TktUDFSoundex::Execute(TktExpFunction& call, TktExpValue& value, uint8_t& type) {
  type = kExpText;
  std::string& t = TextArg(call, 0, value);
  UpperAscii(t);
  std::string result;
  if (t.size() > 1) {
    // The code string: the first character as it is, then one digit per
    // coded letter. Repeats are dropped from the code string, so letters
    // without a code do not separate two equal digits, and the first
    // letter's own code takes no part.
    std::string codes(1, t[0]);
    for (size_t i = 1; i < t.size(); ++i)
      if (const char code = SoundexCode(t[i])) codes += code;
    result += codes[0];
    for (size_t i = 1; i < codes.size() && result.size() < 4; ++i)
      if (codes[i] != codes[i - 1]) result += codes[i];
  } else {
    result = t;
  }
  result += "0000";
  result.resize(4);
  value.SetText(result);
  return true;
}

bool TktUDFSpace::Execute(TktExpFunction& call, TktExpValue& value, uint8_t& type) {
  type = kExpText;
  const int32_t n = TruncToInt32(NumberArg(call, 0, value));
  udf::CheckLength(n, "SPACE");
  value.MutableText().assign(n > 0 ? static_cast<size_t>(n) : 0, ' ');
  return true;
}

bool TktUDFStrTran::Execute(TktExpFunction& call, TktExpValue& value, uint8_t& type) {
  type = kExpText;
  TktExpValue& text_value = call.Scratch(0);
  const std::string& text = TextArg(call, 0, text_value);
  if (text.empty()) {
    value.SetText("");
    return true;
  }
  TktExpValue& search_value = call.Scratch(1);
  const std::string& search = TextArg(call, 1, search_value);
  if (search.empty()) {
    value.SetText(text);
    return true;
  }
  TktExpValue& replacement_value = call.Scratch(2);
  const bool has_replacement = call.GetArg(2, replacement_value, kExpAny) == kExpText && replacement_value.IsText();
  const std::string_view replacement = has_replacement ? std::string_view(replacement_value.Text()) : std::string_view();
  int32_t start = OptionalWhole(call, 3, value, 1);
  int32_t count = OptionalWhole(call, 4, value, INT32_MAX);

  // Occurrences before the start-th one stay; from it on, at most count of
  // them are replaced. The search resumes after each occurrence.
  std::string& out = value.MutableText();
  out.clear();
  size_t rest = 0;
  while (rest < text.size() && count > 0) {
    const size_t at = FindBytes(text, search, rest);
    if (at == std::string::npos) break;
    if (start > INT32_MIN) --start;
    if (start >= 1) {
      out.append(text, rest, at + search.size() - rest);
    } else {
      out.append(text, rest, at - rest);
      if (out.size() + replacement.size() > kMaxExpTextLength)
        RaiseTextTooLong("STRTRAN", static_cast<double>(out.size() + replacement.size()));
      out.append(replacement);
      --count;
    }
    rest = at + search.size();
  }
  if (out.size() + (text.size() - rest) > kMaxExpTextLength)
    RaiseTextTooLong("STRTRAN", static_cast<double>(out.size() + (text.size() - rest)));
  out.append(text, rest, std::string::npos);
  return true;
}

bool TktUDFSubStr::Execute(TktExpFunction& call, TktExpValue& value, uint8_t& type) {
  type = kExpText;
  TktExpValue& text = call.Scratch(0);
  TextArg(call, 0, text);
  const int64_t length = static_cast<int64_t>(text.Text().size());
  const int64_t start = TruncToInt32(NumberArg(call, 1, value));
  if (start == 0 || start > length) {
    value.SetText("");
    return true;
  }
  int64_t count = OptionalWhole(call, 2, value, static_cast<int32_t>(std::min<int64_t>(length, INT32_MAX)));
  count = std::min(count, length - start + 1);
  // A start below 1 reads from the first character.
  const size_t from = start < 1 ? 0 : static_cast<size_t>(start - 1);
  if (count <= 0)
    value.SetText("");
  else
    value.MutableText().assign(text.Text(), from, static_cast<size_t>(count));
  return true;
}

}  // namespace tessera
