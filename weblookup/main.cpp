// callscope: the web callbook lookup window that follows Sorrel, or
// WSJT-X and JTDX.
#include <QApplication>
#include <QMessageBox>
#include <cstdio>
#include <cstring>
#include <memory>

#include "weblookup/browser_environment.h"
#include "weblookup/callbooks.h"
#include "weblookup/country_prefixes.h"
#include "weblookup/form1.h"
#include "weblookup/host_link.h"

namespace {

// Answered before the application object exists, so that it works without
// a display.
bool HelpAsked(int argc, char** argv) {
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--help") == 0 || std::strcmp(argv[i], "-h") == 0) return true;
  }
  return false;
}

// The country table, or null when there is none; why not goes to the log.
std::shared_ptr<const callscope::CountryPrefixes> LoadCountries() {
  const QString path = callscope::FindCountryFile();
  if (path.isEmpty()) {
    std::fprintf(stderr, "callscope: no country file (hamradio-files/cty.dat): prefixes of WSJT-X calls and "
                         "typed calls stay empty\n");
    return nullptr;
  }
  try {
    return std::make_shared<const callscope::CountryPrefixes>(callscope::CountryPrefixes::Load(path));
  } catch (const callscope::CountryFileError& e) {
    std::fprintf(stderr, "callscope: %s\n", e.what());
    return nullptr;
  }
}

}  // namespace

int main(int argc, char** argv) {
  if (HelpAsked(argc, argv)) {
    std::printf(
        "usage: callscope [--sorrel | --udp [GROUP:]PORT] [Qt options such as -platform NAME]\n"
        "Shows the web callbook page of the station a logging program is working.\n"
        "  --sorrel     follow Sorrel (or a program in its place, such as sorrel-sim),\n"
        "               which publishes on the session bus as dde.Sorrel, object /QSO,\n"
        "               interface dde.Topic\n"
        "  --udp [GROUP:]PORT\n"
        "               follow WSJT-X or JTDX, whose UDP Server setting sends to PORT\n"
        "               on 127.0.0.1 or to the multicast GROUP\n"
        "Without either, the [Link] and [WSJT-X] sections of the configuration\n"
        "decide; with neither set, Callscope follows Sorrel and, without Sorrel,\n"
        "offers to listen for WSJT-X on 127.0.0.1:2237. Callbook hosts can be\n"
        "changed in the [Hosts] section. The configuration file is\n%s\n",
        qPrintable(callscope::CallscopeConfigPath()));
    return 0;
  }
  // The link is settled before there is a window, so that a mistyped
  // argument is reported without a display.
  callscope::HostLinkChoice link;
  QString configError;
  try {
    link = callscope::LoadHostLink();
  } catch (const callscope::HostLinkError& e) {
    configError = QString::fromStdString(e.what());
  }
  try {
    QStringList arguments;
    for (int i = 1; i < argc; ++i) arguments << QString::fromLocal8Bit(argv[i]);
    link = callscope::ApplyLinkArguments(link, arguments);
  } catch (const callscope::HostLinkError& e) {
    std::fprintf(stderr, "callscope: %s\n", e.what());
    return 2;
  }
  // Before the application object: the browser engine reads these once.
  callscope::PrepareBrowserEnvironment(argc, argv);
  QCoreApplication::setAttribute(Qt::AA_ShareOpenGLContexts);
  QApplication app(argc, argv);
  QCoreApplication::setApplicationName(QStringLiteral("callscope"));
  if (!configError.isEmpty()) {
    // Started from a menu, the program has no terminal to say it on.
    std::fprintf(stderr, "callscope: %s\n", qPrintable(configError));
    QMessageBox::warning(nullptr, QStringLiteral("Callscope"), configError);
    return 2;
  }

  callscope::Form1 form;
  form.SetHostLink(link);
  form.SetCountryPrefixes(LoadCountries());
  if (!form.FormInitialize()) return 1;
  form.show();
  return app.exec();
}
