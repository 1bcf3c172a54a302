// callscope: the web callbook lookup window that follows Sorrel.
#include <QApplication>
#include <cstdio>
#include <cstring>

#include "weblookup/browser_environment.h"
#include "weblookup/callbooks.h"
#include "weblookup/form1.h"

namespace {

// Answered before the application object exists, so that it works without
// a display.
bool HelpAsked(int argc, char** argv) {
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--help") == 0 || std::strcmp(argv[i], "-h") == 0) return true;
  }
  return false;
}

}  // namespace

int main(int argc, char** argv) {
  if (HelpAsked(argc, argv)) {
    std::printf(
        "usage: callscope [Qt options such as -platform NAME]\n"
        "Shows the web callbook page of the station the Sorrel logging program is\n"
        "working. Sorrel (or a program in its place, such as sorrel-sim) publishes\n"
        "on the session bus as dde.Sorrel, object /QSO, interface dde.Topic.\n"
        "Callbook hosts can be changed in the [Hosts] section of\n%s\n",
        qPrintable(callscope::CallscopeConfigPath()));
    return 0;
  }
  // Before the application object: the browser engine reads these once.
  callscope::PrepareBrowserEnvironment(argc, argv);
  QCoreApplication::setAttribute(Qt::AA_ShareOpenGLContexts);
  QApplication app(argc, argv);
  QCoreApplication::setApplicationName(QStringLiteral("callscope"));

  callscope::Form1 form;
  if (!form.FormInitialize()) return 1;
  form.show();
  return app.exec();
}
