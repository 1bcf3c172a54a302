#include "engine/variant.h"

#include <cmath>
#include <cstring>

#include "engine/dbf_date.h"
#include "engine/errors.h"
#include "engine/messages.h"
#include "engine/settings.h"
#include "platform/codepage.h"
#include "platform/text_convert.h"

namespace tessera {

TktVariant::TktVariant(int32_t capacity) {
  if (capacity > 0) bytes_.reserve(static_cast<size_t>(capacity));
}

bool TktVariant::Assign(const TktVariant* other) {
  if (other == nullptr) {
    Clear();
    return false;
  }
  if (other != this) {
    bytes_.assign(other->bytes_);
    kind_ = other->kind_;
  }
  return true;
}

void TktVariant::Clear() {
  bytes_.clear();
  kind_ = VariantKind::kNone;
}

void TktVariant::SetSize(int32_t n) { bytes_.resize(n > 0 ? static_cast<size_t>(n) : 0, '\0'); }

void TktVariant::SetText(std::string_view text) {
  bytes_.assign(text);
  kind_ = VariantKind::kCharacter;
}

void TktVariant::SetNumber(double value) {
  bytes_.assign(reinterpret_cast<const char*>(&value), sizeof value);
  kind_ = VariantKind::kNumeric;
}

void TktVariant::SetDayNumber(int32_t day) {
  bytes_.assign(reinterpret_cast<const char*>(&day), sizeof day);
  kind_ = VariantKind::kDate;
}

void TktVariant::SetBoolean(uint8_t value) {
  bytes_.assign(1, static_cast<char>(value));
  kind_ = VariantKind::kLogical;
}

void TktVariant::SetBytes(const void* bytes, int32_t count) {
  if (bytes == nullptr || count <= 0)
    bytes_.clear();
  else
    bytes_.assign(static_cast<const char*>(bytes), static_cast<size_t>(count));
  kind_ = VariantKind::kBinary;
}

void TktVariant::AppendBytes(const void* bytes, int32_t count) {
  if (bytes == nullptr || count <= 0) return;
  bytes_.append(static_cast<const char*>(bytes), static_cast<size_t>(count));
  kind_ = VariantKind::kBinary;
}

void TktVariant::Translate(const uint8_t* table) {
  if (kind_ != VariantKind::kCharacter || bytes_.empty()) return;
  if (table == nullptr) {
    plat::UpperBuffer(bytes_.data(), bytes_.size());
    return;
  }
  for (char& c : bytes_) c = static_cast<char>(table[static_cast<uint8_t>(c)]);
}

void TktVariant::PadRight(int32_t n) {
  if (kind_ != VariantKind::kCharacter) return;
  if (n > size()) bytes_.resize(static_cast<size_t>(n), ' ');
}

void TktVariant::TrimRight() {
  if (kind_ != VariantKind::kCharacter) return;
  size_t n = bytes_.size();
  while (n > 0 && bytes_[n - 1] == ' ') --n;
  bytes_.resize(n);
}

namespace {
double ReadDouble(const std::string& b) {
  double v = 0;
  std::memcpy(&v, b.data(), std::min(b.size(), sizeof v));
  return v;
}
int32_t ReadInt32(const std::string& b) {
  int32_t v = 0;
  std::memcpy(&v, b.data(), std::min(b.size(), sizeof v));
  return v;
}
}  // namespace

std::string TktVariant::AsText() const {
  if (bytes_.empty()) return std::string();
  switch (kind_) {
    case VariantKind::kCharacter:
    case VariantKind::kBinary: return bytes_;
    case VariantKind::kNumeric: return plat::FloatToText(ReadDouble(bytes_));
    case VariantKind::kDate: return EngineDate().DisplayText(ReadInt32(bytes_));
    case VariantKind::kLogical: return bytes_[0] != 0 ? "T" : "F";
    case VariantKind::kNone: break;
  }
  return std::string();
}

void TktVariant::AsPChar(char* buffer, size_t capacity) const {
  if (buffer == nullptr || capacity == 0) return;
  const std::string t = AsText();
  const size_t n = std::min(t.size(), capacity - 1);
  std::memcpy(buffer, t.data(), n);
  buffer[n] = '\0';
}

double TktVariant::AsNumber() const {
  if (bytes_.empty()) return 0;
  switch (kind_) {
    case VariantKind::kCharacter: return plat::TextToFloat(bytes_);
    case VariantKind::kNumeric:
    case VariantKind::kBinary: return ReadDouble(bytes_);
    case VariantKind::kDate: return ReadInt32(bytes_);
    case VariantKind::kLogical: return bytes_[0] != 0 ? 1 : 0;
    case VariantKind::kNone: break;
  }
  return 0;
}

int32_t TktVariant::AsDayNumber() const {
  if (bytes_.empty()) return 0;
  switch (kind_) {
    case VariantKind::kCharacter: return EngineDate().ParseDate(bytes_);
    case VariantKind::kNumeric: {
      const double d = std::trunc(ReadDouble(bytes_));
      if (!(d > 0) || d > 2147483647.0) return 0;
      const TktDBFDate& date = EngineDate();
      return date.ParseDate(date.StorageText(static_cast<int32_t>(d)));
    }
    case VariantKind::kDate:
    case VariantKind::kBinary: return ReadInt32(bytes_);
    case VariantKind::kLogical:
    case VariantKind::kNone: break;
  }
  return 0;
}

bool TktVariant::AsBoolean() const {
  if (bytes_.empty()) return false;
  switch (kind_) {
    case VariantKind::kCharacter: return IsLogicalTrueChar(bytes_[0]);
    case VariantKind::kNumeric: return std::trunc(ReadDouble(bytes_)) != 0;
    case VariantKind::kDate: return false;
    case VariantKind::kLogical:
    case VariantKind::kBinary: return bytes_[0] != 0;
    case VariantKind::kNone: break;
  }
  return false;
}

int TktVariant::Compare(const TktVariant* other, int32_t* position, int partial, const uint8_t* table) const {
  return CompareAs(kind_, other, position, partial, table);
}

int TktVariant::CompareBinary(const TktVariant* other, int32_t* position, int partial,
                              const uint8_t* table) const {
  return CompareAs(kind_ == VariantKind::kNumeric ? VariantKind::kBinary : kind_, other, position, partial,
                   table);
}

int TktVariant::CompareBytes(const uint8_t* a, size_t la, const uint8_t* b, size_t lb, int shorter,
                             int32_t* position) {
  const size_t m = std::min(la, lb);
  // memcmp finds the first difference; the position is the byte count
  // examined, as a byte loop would give it.
  if (std::memcmp(a, b, m) != 0) {
    size_t i = 0;
    while (a[i] == b[i]) ++i;
    if (position != nullptr) *position = static_cast<int32_t>(i + 1);
    return static_cast<int>(a[i]) - static_cast<int>(b[i]);
  }
  if (position != nullptr) *position = static_cast<int32_t>(m + 1);
  if (la < lb) return shorter;
  return la > lb ? 1 : 0;
}

int TktVariant::CompareAs(VariantKind self_kind, const TktVariant* other, int32_t* position, int partial,
                          const uint8_t* table) const {
  int32_t pos_dummy = 0;
  int32_t& pos = position != nullptr ? *position : pos_dummy;
  if (self_kind == VariantKind::kNone) {
    pos = 0;
    return (other != nullptr && other->size() > 0) ? -1 : 0;
  }
  if (other == nullptr) {
    pos = 0;
    return 1;
  }
  VariantKind k = VariantKind::kNone;
  if (self_kind == other->kind_) k = self_kind;
  else if (self_kind == VariantKind::kBinary) k = other->kind_;
  else if (other->kind_ == VariantKind::kBinary) k = self_kind;
  if (k == VariantKind::kNone) throw ETesseraError(msg::kVariantMismatch);

  pos = 0;
  const bool self_empty = bytes_.empty();
  const bool other_empty = other->bytes_.empty();
  if (self_empty && !other_empty) return -1;
  if (self_empty && other_empty) return 0;
  if (other_empty) return 1;

  int r = 0;
  switch (k) {
    case VariantKind::kCharacter:
    case VariantKind::kBinary: {
      const auto* a = reinterpret_cast<const uint8_t*>(bytes_.data());
      const auto* b = reinterpret_cast<const uint8_t*>(other->bytes_.data());
      const size_t m = std::min(bytes_.size(), other->bytes_.size());
      if (table == nullptr || k != VariantKind::kCharacter) {
        r = CompareBytes(a, bytes_.size(), b, other->bytes_.size(), k == VariantKind::kCharacter ? partial : -1, &pos);
        break;
      }
      // Character values through the collation table.
      size_t i = 0;
      for (; i < m; ++i) {
        const int d = static_cast<int>(table[a[i]]) - static_cast<int>(table[b[i]]);
        if (d != 0) {
          r = d;
          pos = static_cast<int32_t>(i + 1);
          break;
        }
      }
      if (i == m) {
        pos = static_cast<int32_t>(m + 1);
        r = static_cast<int>(bytes_.size()) - static_cast<int>(other->bytes_.size());
        if (r < 0) r = partial;
      }
      break;
    }
    case VariantKind::kNumeric: {
      const double a = ReadDouble(bytes_), b = ReadDouble(other->bytes_);
      r = a < b ? -1 : (a > b ? 1 : 0);
      break;
    }
    case VariantKind::kDate: {
      const int32_t a = ReadInt32(bytes_), b = ReadInt32(other->bytes_);
      r = a < b ? -1 : (a > b ? 1 : 0);
      break;
    }
    case VariantKind::kLogical: {
      r = (bytes_[0] == other->bytes_[0]) ? 0 : (bytes_[0] != 0 ? 1 : -1);
      break;
    }
    case VariantKind::kNone: break;
  }
  return r < 0 ? -1 : (r > 0 ? 1 : 0);
}

}  // namespace tessera
