// Subcommands of the tessera tool. Each .cpp file of this folder registers
// its subcommands with TESSERA_COMMAND; main() dispatches on the first
// argument.
#pragma once

#include <functional>
#include <map>
#include <ostream>
#include <string>
#include <string_view>
#include <vector>

namespace tessera_tool {

using Args = std::vector<std::string>;

struct Command {
  std::string name;
  std::string usage;    // "info TABLE"
  std::string summary;  // one line
  std::string help;     // further lines shown by --help
  std::function<int(const Args&)> run;
};

std::map<std::string, Command>& Commands();

struct Registrar {
  explicit Registrar(Command command);
};

#define TESSERA_COMMAND_CAT2(a, b) a##b
#define TESSERA_COMMAND_CAT(a, b) TESSERA_COMMAND_CAT2(a, b)
#define TESSERA_COMMAND(...) \
  static ::tessera_tool::Registrar TESSERA_COMMAND_CAT(tessera_command_, __LINE__)(::tessera_tool::Command{__VA_ARGS__})

// Raised for a malformed command line; main prints the usage and exits 2.
struct UsageError {
  std::string message;
};

// Command-line parsing: flags (--name, --name VALUE) and positionals.
class ArgParser {
 public:
  // `with_value` lists the flags that take a value.
  ArgParser(const Args& args, std::vector<std::string> flags, std::vector<std::string> with_value);
  bool Has(const std::string& flag) const;
  const std::string* Value(const std::string& flag) const;
  const std::vector<std::string>& Positional() const { return positional_; }
  // Exactly n positionals, else a usage error.
  void Expect(size_t min, size_t max = static_cast<size_t>(-1)) const;

 private:
  std::map<std::string, std::string> values_;
  std::vector<std::string> positional_;
};

// A number from the command line (a usage error when it is none).
long long ParseInteger(const std::string& text, const char* what);

// The engine resolves file names without regard to letter case and keeps
// them absolute and upper-cased ("/HOME/ME/SAMPLE/PYX.DBF"); what the tool
// prints shows each file as the user named it ("sample/Pyx.DBF").
//
// The name to print for the file the user named `given`, with the
// extension the engine adds when there is none.
std::string ShownPath(const std::string& given, const char* default_extension);
// `message` with every engine spelling of a file named in `args` (or beside
// one, such as a table's memo file) put back in the user's spelling.
std::string WithUserPaths(std::string message, const Args& args);

// Appends one CSV field (RFC 4180) to `out`: quoted when it holds a comma,
// a quote or a line break, with its quotes doubled.
void AppendCsvField(std::string& out, std::string_view value);

// Index files are named by their kind (extension); every command that
// writes an index refuses a kind the engine cannot write yet, naming it,
// rather than writing another kind under that name.
void RequireWritableIndexKind(const std::string& name);

// JSON helpers for the tool's output.
std::string JsonString(std::string_view utf8);
std::string Hex(std::string_view bytes);

}  // namespace tessera_tool
