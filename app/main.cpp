// pyxcdx: the callbook program.
//
//   pyxcdx [DIRECTORY]
//
// works on the callbook "Pyx.DBF" (found without regard to letter case)
// and its index "PYX.CDX" in DIRECTORY, or in the current directory. The
// engine's process-wide objects come first, then the window; its first
// activation starts the callbook.
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <QApplication>
#include <QSocketNotifier>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>

#include "app/callbook_controller.h"
#include "app/callbook_tables.h"
#include "app/engine_error_texts.h"
#include "app/form_pyx.h"
#include "engine/engine.h"
#include "engine/errors.h"
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

// SIGTERM and SIGHUP (the desktop or the terminal going away, a "kill")
// ask the window to close as its close button does, so that a card being
// edited is asked about instead of lost. The handler only writes a byte;
// the window's thread reads it.
int g_close_pipe[2] = {-1, -1};

extern "C" void OnCloseSignal(int) {
  const char c = 1;
  const ssize_t n = ::write(g_close_pipe[1], &c, 1);
  (void)n;
}

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
  tessera::EngineErrorHandler = &pyx::CallbookEngineError;
  QApplication app(argc, argv);
  QApplication::setApplicationName(QStringLiteral("pyxcdx"));
  QApplication::setApplicationVersion(QStringLiteral(PYX_VERSION));

  int status = 0;
  {
    pyx::CallbookController controller;
    pyx::TFormPYX form(controller);
    std::unique_ptr<QSocketNotifier> close_signals;
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, g_close_pipe) == 0) {
      close_signals = std::make_unique<QSocketNotifier>(g_close_pipe[0], QSocketNotifier::Read);
      QObject::connect(close_signals.get(), &QSocketNotifier::activated, &form, [&form] {
        char c = 0;
        if (::read(g_close_pipe[0], &c, 1) == 1) form.close();
      });
      struct sigaction sa {};
      sa.sa_handler = &OnCloseSignal;
      sigemptyset(&sa.sa_mask);
      sa.sa_flags = SA_RESTART;
      ::sigaction(SIGTERM, &sa, nullptr);
      ::sigaction(SIGHUP, &sa, nullptr);
    }
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
