// TktVariant: the engine's tagged value. Expression results, index keys,
// sort keys and key range bounds are all TktVariants, and Compare is the one
// ordering rule of the engine.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace tessera {

enum class VariantKind : uint8_t {
  kNone = 0,
  kCharacter = 1,  // size bytes of text, no terminator
  kNumeric = 2,    // 8 bytes: an IEEE double, little-endian
  kDate = 3,       // 4 bytes: a signed day number (0 = no date)
  kLogical = 4,    // 1 byte: 0 false, anything else true
  kBinary = 5,     // size bytes compared as unsigned bytes
};

class TktVariant {
 public:
  // A value of kind none with `capacity` bytes reserved.
  explicit TktVariant(int32_t capacity = 0);

  // Copies other (bytes, size, kind); with none the value is cleared.
  // True when other was given.
  bool Assign(const TktVariant* other);
  void Clear();
  // Size n; growing keeps the old bytes (new ones are zero).
  void SetSize(int32_t n);

  void SetText(std::string_view text);
  void SetPChar(const char* text) { SetText(text == nullptr ? std::string_view() : std::string_view(text)); }
  void SetNumber(double value);
  void SetDayNumber(int32_t day);
  void SetBoolean(uint8_t value);
  void SetBytes(const void* bytes, int32_t count);
  // Appends bytes; the value becomes binary. Nothing happens for no bytes.
  void AppendBytes(const void* bytes, int32_t count);

  // Maps a non-empty character value through table (256 bytes), or
  // upper-cases it when no table is given. Other kinds are left alone.
  void Translate(const uint8_t* table);
  // Character values only: pads with blanks to n bytes / drops trailing blanks.
  void PadRight(int32_t n);
  void TrimRight();

  std::string AsText() const;
  // Writes AsText() and a NUL into buffer (at most capacity bytes in all).
  void AsPChar(char* buffer, size_t capacity) const;
  double AsNumber() const;
  int32_t AsDayNumber() const;
  bool AsBoolean() const;

  // Three-way comparison (-1, 0, 1). `position` receives the 1-based
  // position of the first differing byte (one past the shorter length when
  // one is a prefix of the other) for character and binary values, 0
  // otherwise. `partial` is the answer when this character value is a proper
  // prefix of other (0 lets a search key match longer stored keys). `table`
  // is a 256-byte collation table or null for byte order. Raises
  // ETesseraError "Variant types mismatch for compare" for kinds that cannot
  // be compared.
  int Compare(const TktVariant* other, int32_t* position, int partial, const uint8_t* table) const;
  // As Compare, with a numeric value here taken as binary bytes.
  int CompareBinary(const TktVariant* other, int32_t* position, int partial, const uint8_t* table) const;
  // Compare's order of two non-empty runs of bytes without a collation
  // table: the first differing byte, then a run that is the start of the
  // other first, except that `a` being the start of `b` gives `shorter`
  // (Compare's `partial`, for character values). Negative, zero or
  // positive; `position` (when given) as Compare sets it.
  static int CompareBytes(const uint8_t* a, size_t la, const uint8_t* b, size_t lb, int shorter, int32_t* position);

  VariantKind kind() const { return kind_; }
  void set_kind(VariantKind kind) { kind_ = kind; }
  int32_t size() const { return static_cast<int32_t>(bytes_.size()); }
  bool empty() const { return bytes_.empty(); }
  const char* data() const { return bytes_.data(); }
  char* mutable_data() { return bytes_.data(); }
  std::string_view bytes() const { return bytes_; }

 private:
  int CompareAs(VariantKind self_kind, const TktVariant* other, int32_t* position, int partial,
                const uint8_t* table) const;

  std::string bytes_;
  VariantKind kind_ = VariantKind::kNone;
};

}  // namespace tessera
