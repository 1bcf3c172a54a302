#include "dbkit/value.h"

#include <cmath>

#include "dbkit/db_error.h"
#include "platform/text_convert.h"

namespace dbkit {

std::string Value::ToText() const {
  switch (kind()) {
    case Kind::kNull: return {};
    case Kind::kText: return std::get<std::string>(v_);
    case Kind::kInteger: return std::to_string(std::get<int64_t>(v_));
    case Kind::kFloat: return plat::FloatToText(std::get<double>(v_));
    case Kind::kBoolean: return std::get<bool>(v_) ? "True" : "False";
    case Kind::kDateTime: return plat::FloatToText(std::get<DateTimeBox>(v_).days);
  }
  return {};
}

double Value::ToFloat() const {
  switch (kind()) {
    case Kind::kInteger: return static_cast<double>(std::get<int64_t>(v_));
    case Kind::kFloat: return std::get<double>(v_);
    case Kind::kBoolean: return std::get<bool>(v_) ? 1.0 : 0.0;
    case Kind::kDateTime: return std::get<DateTimeBox>(v_).days;
    case Kind::kText: {
      double d = 0;
      if (plat::TryTextToFloat(std::get<std::string>(v_), &d)) return d;
      RaiseDatabaseError("'" + std::get<std::string>(v_) + "' is not a valid number");
    }
    case Kind::kNull: break;
  }
  RaiseDatabaseError("A null value has no number");
}

int64_t Value::ToInteger() const {
  if (kind() == Kind::kInteger) return std::get<int64_t>(v_);
  const double d = ToFloat();
  if (!(std::fabs(d) < 9.2e18)) RaiseDatabaseError("Value out of the integer range");
  return static_cast<int64_t>(std::llround(d));
}

bool Value::ToBoolean() const {
  switch (kind()) {
    case Kind::kBoolean: return std::get<bool>(v_);
    case Kind::kInteger: return std::get<int64_t>(v_) != 0;
    case Kind::kFloat: return std::get<double>(v_) != 0;
    case Kind::kText: {
      const std::string& t = std::get<std::string>(v_);
      if (!t.empty() && (t[0] == 'T' || t[0] == 't' || t[0] == 'Y' || t[0] == 'y')) return true;
      if (!t.empty() && (t[0] == 'F' || t[0] == 'f' || t[0] == 'N' || t[0] == 'n')) return false;
      RaiseDatabaseError("'" + t + "' is not a valid boolean value");
    }
    default: break;
  }
  RaiseDatabaseError("Value has no boolean reading");
}

}  // namespace dbkit
