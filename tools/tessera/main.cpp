// tessera: the engine's command-line tool.
//
// Conventions shared by every command (handled here, once):
//   tessera --version | --help | help [COMMAND] | COMMAND [ARGS...]
//   COMMAND --help prints the command's help; --progress / --no-progress
//   choose whether long work shows its progress line.
//   Exit status: 0 success, 1 an engine error, 2 a usage error.
#include <iostream>

#include "engine/engine.h"
#include "tools/tessera/command.h"
#include "platform/text_codepage.h"
#include "tools/tessera/progress.h"
#include "tools/tessera/table_text.h"

namespace {

using tessera_tool::Commands;

constexpr int kExitSuccess = 0;
constexpr int kExitEngineError = 1;
constexpr int kExitUsage = 2;

const char* const kCommonHelp =
    "options of every command:\n"
    "  --help, -h      show the command's help\n"
    "  --progress      show the progress of long work (index, check) even when standard\n"
    "                  error is not a terminal\n"
    "  --no-progress   never show it\n"
    "  --codepage CP   the code page of the tables' texts (437, 850, 852, 866, 1250, 1251,\n"
    "                  1252, mazovia, utf-8, ...) instead of the one the table's header names\n"
    "                  (CP866 when it names none); values and expressions are UTF-8 either way\n"
    "\n"
    "exit status:\n"
    "  0  success\n"
    "  1  an engine error: a file that cannot be opened, read or written, a lock held by\n"
    "     another program, an expression that does not compile, a check that found faults\n"
    "  2  a usage error: an unknown command or option, missing or extra arguments\n";

void PrintUsage(std::ostream& out) {
  out << "usage: tessera COMMAND [ARGS...]\n"
         "       tessera help COMMAND | tessera COMMAND --help\n"
         "       tessera --version\n\n"
         "Reads and writes dBase tables and their memo and index files.\n\ncommands:\n";
  for (const auto& [name, cmd] : Commands()) out << "  " << cmd.usage << "\n      " << cmd.summary << "\n";
  out << "\n" << kCommonHelp;
}

void PrintCommandHelp(std::ostream& out, const tessera_tool::Command& cmd) {
  out << "usage: tessera " << cmd.usage << "\n" << cmd.summary << "\n";
  if (!cmd.help.empty()) out << "\n" << cmd.help << "\n";
  out << "\n" << kCommonHelp;
}

const tessera_tool::Command* FindCommand(const std::string& name) {
  auto it = Commands().find(name);
  return it == Commands().end() ? nullptr : &it->second;
}

int UnknownCommand(const std::string& name) {
  std::cerr << "tessera: unknown command '" << name << "' (see tessera --help)\n";
  return kExitUsage;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    PrintUsage(std::cerr);
    return kExitUsage;
  }
  const std::string name = argv[1];
  if (name == "--version" || name == "-V" || name == "version") {
    std::cout << "tessera " << TESSERA_VERSION << "\n";
    return kExitSuccess;
  }
  if (name == "--help" || name == "-h" || name == "help") {
    if (argc == 2) {
      PrintUsage(std::cout);
      return kExitSuccess;
    }
    if (argc > 3) {
      std::cerr << "tessera help: give one command (see tessera --help)\n";
      return kExitUsage;
    }
    const tessera_tool::Command* cmd = FindCommand(argv[2]);
    if (cmd == nullptr) return UnknownCommand(argv[2]);
    PrintCommandHelp(std::cout, *cmd);
    return kExitSuccess;
  }
  const tessera_tool::Command* cmd = FindCommand(name);
  if (cmd == nullptr) {
    if (!name.empty() && name[0] == '-') {
      std::cerr << "tessera: unknown option " << name << " (see tessera --help)\n";
      return kExitUsage;
    }
    return UnknownCommand(name);
  }

  // Options every command takes are taken out here; the rest is the
  // command's own.
  tessera_tool::Args args;
  for (int i = 2; i < argc; ++i) {
    const std::string a = argv[i];
    if (a == "--help" || a == "-h") {
      PrintCommandHelp(std::cout, *cmd);
      return kExitSuccess;
    }
    if (a == "--codepage") {
      const int number = i + 1 < argc ? plat::CodePageNamed(argv[i + 1]) : 0;
      if (number == 0) {
        std::cerr << "tessera " << name << ": --codepage needs a code page (a number such as 1252, or utf-8)\n";
        std::cerr << "usage: tessera " << cmd->usage << "   (see tessera help " << name << ")\n";
        return kExitUsage;
      }
      tessera_tool::SetCodePageOverride(number);
      ++i;
      continue;
    }
    if (a == "--progress") tessera_tool::SetProgressMode(tessera_tool::ProgressMode::kAlways);
    else if (a == "--no-progress") tessera_tool::SetProgressMode(tessera_tool::ProgressMode::kNever);
    else args.push_back(a);
  }

  tessera::EngineScope engine;
  try {
    return cmd->run(args);
  } catch (const tessera_tool::UsageError& e) {
    std::cerr << "tessera " << name << ": " << tessera_tool::WithUserPaths(e.message, args) << "\n";
    std::cerr << "usage: tessera " << cmd->usage << "   (see tessera help " << name << ")\n";
    return kExitUsage;
  } catch (const std::exception& e) {
    std::cerr << tessera_tool::WithUserPaths(e.what(), args) << "\n";
    return kExitEngineError;
  }
}
