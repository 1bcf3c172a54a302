// tessera: the engine's command-line tool.
#include <iostream>

#include "engine/engine.h"
#include "tools/tessera/command.h"

namespace {

using tessera_tool::Commands;

void PrintUsage(std::ostream& out) {
  out << "usage: tessera COMMAND [ARGS...]   (tessera COMMAND --help for details)\n\ncommands:\n";
  for (const auto& [name, cmd] : Commands()) out << "  " << cmd.usage << "\n      " << cmd.summary << "\n";
}

void PrintCommandHelp(std::ostream& out, const tessera_tool::Command& cmd) {
  out << "usage: tessera " << cmd.usage << "\n" << cmd.summary << "\n";
  if (!cmd.help.empty()) out << "\n" << cmd.help << "\n";
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    PrintUsage(std::cerr);
    return 2;
  }
  const std::string name = argv[1];
  if (name == "--help" || name == "-h" || name == "help") {
    PrintUsage(std::cout);
    return 0;
  }
  auto it = Commands().find(name);
  if (it == Commands().end()) {
    std::cerr << "tessera: unknown command '" << name << "'\n";
    PrintUsage(std::cerr);
    return 2;
  }
  tessera_tool::Args args(argv + 2, argv + argc);
  for (const auto& a : args)
    if (a == "--help" || a == "-h") {
      PrintCommandHelp(std::cout, it->second);
      return 0;
    }
  tessera::EngineScope engine;
  try {
    return it->second.run(args);
  } catch (const tessera_tool::UsageError& e) {
    std::cerr << "tessera " << name << ": " << e.message << "\n";
    PrintCommandHelp(std::cerr, it->second);
    return 2;
  } catch (const std::exception& e) {
    std::cerr << e.what() << "\n";
    return 1;
  }
}
