#include "tools/tessera/command.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>

#include "engine/errors.h"
#include "engine/text_helpers.h"
#include "platform/path.h"
#include "tools/sqlite/user_paths.h"

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

std::string ShownPath(const std::string& given, const char* default_extension) {
  return default_extension == nullptr ? given : tessera::DefaultExtension(given, default_extension);
}

namespace {

// The arguments that may name files: positionals and the comma-separated
// lists of --index.
std::vector<std::string> PathArguments(const Args& args) {
  std::vector<std::string> out;
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& a = args[i];
    if (a == "--index" && i + 1 < args.size()) {
      const std::string& list = args[++i];
      for (size_t start = 0, comma; start <= list.size(); start = comma + 1) {
        comma = list.find(',', start);
        if (comma == std::string::npos) comma = list.size();
        if (comma > start) out.push_back(list.substr(start, comma - start));
      }
    } else if (!a.empty() && a[0] != '-' && a.find('=') == std::string::npos) {
      out.push_back(a);
    }
  }
  return out;
}

}  // namespace

std::string WithUserPaths(std::string message, const Args& args) {
  const auto paths = PathArguments(args);
  // The files themselves first, with the extensions the engine adds...
  for (const std::string& a : paths) {
    for (const char* ext : {".DBF", ".CDX"}) {
      const std::string shown = ShownPath(a, ext);
      tessera_sql::ReplaceAll(message, plat::UpperName(plat::FullPath(shown)), shown);
    }
    tessera_sql::ReplaceAll(message, plat::UpperName(plat::FullPath(a)), a);
  }
  // ...then files beside them (memo files, other index files): the
  // directory as the user gave it and the name as it is on disk.
  for (const std::string& a : paths) tessera_sql::ShowFilesInFolder(message, plat::DirectoryOf(a), " /\"'\n");
  return message;
}

void RequireWritableIndexKind(const std::string& name) {
  // The kinds this engine writes: compound (a database container's too),
  // multiple and single-tag.
  static const char* const kWritable[] = {".CDX", ".DCX", ".MDX", ".NTX", ".NDX"};
  const std::string kind = plat::UpperName(tessera::ExtensionOf(tessera::DefaultExtension(name, ".CDX")));
  for (const char* k : kWritable)
    if (kind == k) return;
  throw tessera::ETesseraError("Index files of the kind " + kind + " cannot be written - " + name);
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

void AppendCsvField(std::string& out, std::string_view value) {
  if (value.find_first_of(",\"\r\n") == std::string_view::npos) {
    out += value;
    return;
  }
  out += '"';
  for (char c : value) {
    if (c == '"') out += '"';
    out += c;
  }
  out += '"';
}

}  // namespace tessera_tool
