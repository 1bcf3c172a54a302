#include "dbkit/db_error.h"

namespace dbkit {

void RaiseDatabaseError(std::string message) { throw DatabaseError(std::move(message)); }

std::string FormatMessage(std::string_view format, std::initializer_list<std::string_view> args) {
  std::string out;
  out.reserve(format.size() + 32);
  auto next = args.begin();
  for (size_t i = 0; i < format.size(); ++i) {
    if (format[i] == '%' && i + 1 < format.size() && format[i + 1] == 's' && next != args.end()) {
      out += *next++;
      ++i;
    } else {
      out += format[i];
    }
  }
  return out;
}

}  // namespace dbkit
