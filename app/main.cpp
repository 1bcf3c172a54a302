// pyxcdx: the callbook program.
//
//   pyxcdx [DIRECTORY]
//
// works on the callbook "Pyx.DBF" (found without regard to letter case)
// and its index "PYX.CDX" in DIRECTORY, or in the current directory. The
// engine's process-wide objects come first, then the window; its first
// activation starts the callbook.
#include <unistd.h>

#include <QApplication>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>

#include "app/callbook_controller.h"
#include "app/callbook_tables.h"
#include "app/form_pyx.h"
#include "engine/engine.h"
#include "platform/path.h"

#ifndef PYX_VERSION
#define PYX_VERSION "0"
#endif

namespace {

constexpr const char kUsage[] =
    "Usage: pyxcdx [DIRECTORY]\n"
    "The callbook for radio amateurs: find, browse, add, edit and delete the\n"
    "cards of the callbook table Pyx.DBF in DIRECTORY (default: the current\n"
    "directory). The index PYX.CDX beside it is built when it is missing.\n"
    "\n"
    "  --help     show this help and exit\n"
    "  --version  show the version and exit\n"
    "\n"
    "Keys: F7 find by callsign, F3 table view, F2 card view, F6 new card,\n"
    "F4 edit the card, F8 delete the card, F10 exit.\n";

}  // namespace

int main(int argc, char** argv) {
  std::string directory;
  for (int i = 1; i < argc; ++i) {
    const std::string_view arg = argv[i];
    if (arg == "--help" || arg == "-h") {
      std::fputs(kUsage, stdout);
      return 0;
    }
    if (arg == "--version") {
      std::printf("pyxcdx %s\n", PYX_VERSION);
      return 0;
    }
    if (arg.size() > 1 && arg[0] == '-') {
      std::fprintf(stderr, "pyxcdx: unknown option %s (see pyxcdx --help)\n", argv[i]);
      return 2;
    }
    if (!directory.empty()) {
      std::fprintf(stderr, "pyxcdx: only one directory may be given (see pyxcdx --help)\n");
      return 2;
    }
    directory = arg;
  }
  if (!directory.empty() && ::chdir(directory.c_str()) != 0) {
    std::fprintf(stderr, "pyxcdx: cannot open directory %s: %s\n", directory.c_str(), std::strerror(errno));
    return 1;
  }

  tessera::EngineScope engine;
  QApplication app(argc, argv);
  QApplication::setApplicationName(QStringLiteral("pyxcdx"));
  QApplication::setApplicationVersion(QStringLiteral(PYX_VERSION));

  int status = 0;
  {
    pyx::CallbookController controller;
    pyx::TFormPYX form(controller);
    form.show();
    status = QApplication::exec();
  }
  // The window closes at once when the table is missing; say why.
  if (!plat::FileExists(pyx::kTableFile)) {
    std::fprintf(stderr, "pyxcdx: cannot find %s in %s\n", std::string(pyx::kTableFile).c_str(),
                 plat::FullPath(".").c_str());
    return 1;
  }
  return status;
}
