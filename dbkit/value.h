// A loosely typed value: what Locate and Lookup compare and return, and what
// a field gives and takes as AsValue. Texts are in the dataset's window code
// page. Dates and date-times are day numbers since 30 December 1899 (the
// time of day as the fraction).
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <variant>

namespace dbkit {

class Value {
 public:
  enum class Kind { kNull, kText, kInteger, kFloat, kBoolean, kDateTime };

  Value() = default;
  Value(std::string text) : v_(std::move(text)) {}
  Value(std::string_view text) : v_(std::string(text)) {}
  Value(const char* text) : v_(std::string(text)) {}
  Value(int value) : v_(static_cast<int64_t>(value)) {}
  Value(int64_t value) : v_(value) {}
  Value(double value) : v_(value) {}
  Value(bool value) : v_(value) {}
  static Value DateTime(double days) {
    Value v;
    v.v_ = DateTimeBox{days};
    return v;
  }

  Kind kind() const { return static_cast<Kind>(v_.index()); }
  bool IsNull() const { return kind() == Kind::kNull; }

  // Conversions. ToText of null is empty; the numeric ones raise
  // DatabaseError when the value has no such reading (a text that is not a
  // number, null).
  std::string ToText() const;
  int64_t ToInteger() const;
  double ToFloat() const;
  bool ToBoolean() const;

  bool operator==(const Value& other) const { return v_ == other.v_; }

 private:
  struct DateTimeBox {
    double days;
    bool operator==(const DateTimeBox&) const = default;
  };
  std::variant<std::monostate, std::string, int64_t, double, bool, DateTimeBox> v_;
};

}  // namespace dbkit
