#include "weblookup/browser_environment.h"

#include <unistd.h>

#include <QByteArray>
#include <QtGlobal>
#include <cstring>

namespace callscope {

namespace {

QByteArray PlatformName(int argc, char** argv) {
  for (int i = 1; i + 1 < argc; ++i) {
    if (std::strcmp(argv[i], "-platform") == 0 || std::strcmp(argv[i], "--platform") == 0) return argv[i + 1];
  }
  return qgetenv("QT_QPA_PLATFORM");
}

}  // namespace

void PrepareBrowserEnvironment(int argc, char** argv) {
  if (geteuid() == 0 && !qEnvironmentVariableIsSet("QTWEBENGINE_DISABLE_SANDBOX"))
    qputenv("QTWEBENGINE_DISABLE_SANDBOX", "1");

  const QByteArray platform = PlatformName(argc, argv);
  // "offscreen:option=..." carries options after the colon.
  const QByteArray name = platform.left(platform.indexOf(':') < 0 ? platform.size() : platform.indexOf(':'));
  if (name == "offscreen" || name == "minimal") {
    QByteArray flags = qgetenv("QTWEBENGINE_CHROMIUM_FLAGS");
    if (!flags.contains("--disable-gpu")) {
      if (!flags.isEmpty()) flags += ' ';
      flags += "--disable-gpu";
      qputenv("QTWEBENGINE_CHROMIUM_FLAGS", flags);
    }
  }
}

}  // namespace callscope
