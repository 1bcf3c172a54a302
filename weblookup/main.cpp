// callscope: the web callbook lookup window that follows Sorrel.
#include <QApplication>
#include <QCommandLineParser>

#include "weblookup/browser_environment.h"
#include "weblookup/form1.h"

int main(int argc, char** argv) {
  // Before the application object: the browser engine reads these once.
  callscope::PrepareBrowserEnvironment(argc, argv);
  QCoreApplication::setAttribute(Qt::AA_ShareOpenGLContexts);
  QApplication app(argc, argv);
  QCoreApplication::setApplicationName(QStringLiteral("callscope"));

  QCommandLineParser parser;
  parser.setApplicationDescription(
      QStringLiteral("Shows the web callbook page of the station Sorrel is working.\n"
                     "Sorrel (or another logging program) publishes on the session bus as dde.Sorrel;\n"
                     "callbook hosts can be changed in the [Hosts] section of ") +
      callscope::CallscopeConfigPath());
  parser.addHelpOption();
  parser.process(app);

  callscope::Form1 form;
  if (!form.FormInitialize()) return 1;
  form.show();
  return app.exec();
}
