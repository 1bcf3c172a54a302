#include "tools/tessera/command.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>

namespace tessera_tool {

std::map<std::string, Command>& Commands() {
  static std::map<std::string, Command> commands;
  return commands;
}

Registrar::Registrar(Command command) {
  std::string name = command.name;
  Commands().emplace(std::move(name), std::move(command));
}

ArgParser::ArgParser(const Args& args, std::vector<std::string> flags, std::vector<std::string> with_value) {
  bool options_done = false;
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& a = args[i];
    // "--" ends the options: what follows is positional even when it
    // begins with "-" (an expression such as "--5" or "-N").
    if (!options_done && a == "--") {
      options_done = true;
    } else if (!options_done && a.size() > 2 && a[0] == '-' && a[1] == '-') {
      if (std::find(with_value.begin(), with_value.end(), a) != with_value.end()) {
        if (i + 1 >= args.size()) throw UsageError{a + " needs a value"};
        values_[a] = args[++i];
      } else if (std::find(flags.begin(), flags.end(), a) != flags.end()) {
        values_[a] = "";
      } else {
        throw UsageError{"unknown option " + a};
      }
    } else {
      positional_.push_back(a);
    }
  }
}

bool ArgParser::Has(const std::string& flag) const { return values_.count(flag) != 0; }

const std::string* ArgParser::Value(const std::string& flag) const {
  auto it = values_.find(flag);
  return it == values_.end() ? nullptr : &it->second;
}

void ArgParser::Expect(size_t min, size_t max) const {
  if (positional_.size() < min) throw UsageError{"missing arguments"};
  if (positional_.size() > max) throw UsageError{"too many arguments"};
}

long long ParseInteger(const std::string& text, const char* what) {
  char* end = nullptr;
  const long long v = std::strtoll(text.c_str(), &end, 10);
  if (text.empty() || end == text.c_str() || *end != '\0') throw UsageError{std::string(what) + " must be a number"};
  return v;
}

std::string JsonString(std::string_view s) {
  std::string out = "\"";
  for (unsigned char c : s) {
    switch (c) {
      case '"': out += "\\\""; break;
      case '\\': out += "\\\\"; break;
      case '\n': out += "\\n"; break;
      case '\r': out += "\\r"; break;
      case '\t': out += "\\t"; break;
      default:
        if (c < 0x20 || c == 0x7F) {
          char buf[8];
          std::snprintf(buf, sizeof buf, "\\u%04x", c);
          out += buf;
        } else {
          out += static_cast<char>(c);
        }
    }
  }
  return out + "\"";
}

std::string Hex(std::string_view bytes) {
  static const char* const kDigits = "0123456789abcdef";
  std::string out;
  out.reserve(bytes.size() * 2);
  for (unsigned char c : bytes) {
    out += kDigits[c >> 4];
    out += kDigits[c & 15];
  }
  return out;
}

}  // namespace tessera_tool
