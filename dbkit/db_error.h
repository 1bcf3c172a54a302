// Errors of the data-access layer. DatabaseError carries only its message;
// datasets, fields and links raise it, and a subclass (an engine adapter)
// raises it with messages of its own.
#pragma once

#include <initializer_list>
#include <stdexcept>
#include <string>
#include <string_view>

namespace dbkit {

class DatabaseError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// A silent stop: raised when an error event answers kAbort, or by a handler
// that wants to cancel an operation without a message. Controls swallow it.
class AbortError : public std::runtime_error {
 public:
  AbortError() : std::runtime_error("Operation aborted") {}
};

[[noreturn]] void RaiseDatabaseError(std::string message);

// Replaces each "%s" of `format` with the next argument, in order.
std::string FormatMessage(std::string_view format, std::initializer_list<std::string_view> args);

}  // namespace dbkit
