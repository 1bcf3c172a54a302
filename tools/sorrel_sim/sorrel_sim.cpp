// sorrel-sim [ITEM=VALUE ...]
//
// Stands in for the Sorrel logging program: owns the bus name "dde.Sorrel"
// and its topic "/QSO" (see qso_topic.h), sets the items given as arguments
// in order, then reads further ITEM=VALUE lines from standard input and
// publishes each, and exits at the end of input. ITEM is Call, Command or
// DxccPrefix; VALUE is everything after the first '=' and may be empty.
//
// A second sorrel-sim takes the bus name over from the first (which then
// ends), so a one-shot "sorrel-sim Call=UA3ABC Command=LOOKUP </dev/null"
// reaches a Callscope already following an interactive one.
#include <unistd.h>

#include <QCoreApplication>
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QSocketNotifier>
#include <cstdio>
#include <cstring>

#include "qso_topic.h"

namespace {

constexpr char kUsage[] =
    "usage: sorrel-sim [ITEM=VALUE ...]\n"
    "Publishes Sorrel's QSO items (Call, Command, DxccPrefix) on the session bus\n"
    "as dde.Sorrel /QSO dde.Topic: first the arguments, in order, then each\n"
    "ITEM=VALUE line read from standard input; exits at the end of input.\n";

// Applies one ITEM=VALUE; complains on standard error about anything else.
bool Apply(QsoTopic& topic, const QString& text, const char* where) {
  const qsizetype eq = text.indexOf(QLatin1Char('='));
  if (eq <= 0 || !topic.SetItem(text.left(eq), text.mid(eq + 1))) {
    std::fprintf(stderr, "sorrel-sim: %s: not ITEM=VALUE with ITEM one of Call, Command, DxccPrefix: %s\n", where,
                 qPrintable(text));
    return false;
  }
  return true;
}

// Reads standard input as it comes, line by line, without blocking the
// event loop: the bus must keep answering clients between lines.
class LineReader : public QObject {
 public:
  explicit LineReader(QsoTopic& topic) : topic_(topic), notifier_(STDIN_FILENO, QSocketNotifier::Read) {
    connect(&notifier_, &QSocketNotifier::activated, this, [this] { ReadSome(); });
  }

 private:
  void ReadSome() {
    char chunk[4096];
    const ssize_t n = ::read(STDIN_FILENO, chunk, sizeof chunk);
    if (n < 0 && (errno == EINTR || errno == EAGAIN)) return;
    if (n > 0) {
      pending_.append(chunk, n);
      qsizetype nl;
      while ((nl = pending_.indexOf('\n')) >= 0) {
        Line(pending_.left(nl));
        pending_.remove(0, nl + 1);
      }
      return;
    }
    // End of input (or an unreadable one): the last line may lack its newline.
    notifier_.setEnabled(false);
    if (!pending_.isEmpty()) Line(pending_);
    pending_.clear();
    QCoreApplication::exit(0);
  }

  void Line(QByteArray line) {
    if (line.endsWith('\r')) line.chop(1);
    if (line.trimmed().isEmpty()) return;
    Apply(topic_, QString::fromUtf8(line), "input");
  }

  QsoTopic& topic_;
  QSocketNotifier notifier_;
  QByteArray pending_;
};

}  // namespace

int main(int argc, char** argv) {
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--help") == 0 || std::strcmp(argv[i], "-h") == 0) {
      std::fputs(kUsage, stdout);
      return 0;
    }
  }
  // Arguments are checked before anything is published, so a mistyped
  // command line changes nothing.
  bool argsOk = true;
  for (int i = 1; i < argc; ++i) {
    const QString text = QString::fromLocal8Bit(argv[i]);
    const qsizetype eq = text.indexOf(QLatin1Char('='));
    if (eq <= 0 || !QsoTopic::IsItem(text.left(eq))) {
      std::fprintf(stderr, "sorrel-sim: argument: not ITEM=VALUE with ITEM one of Call, Command, DxccPrefix: %s\n",
                   argv[i]);
      argsOk = false;
    }
  }
  if (!argsOk) {
    std::fputs(kUsage, stderr);
    return 2;
  }

  QCoreApplication app(argc, argv);
  QDBusConnection bus = QDBusConnection::sessionBus();
  if (!bus.isConnected()) {
    std::fprintf(stderr, "sorrel-sim: no session bus: %s\n", qPrintable(bus.lastError().message()));
    return 1;
  }

  QsoTopic topic(bus);
  if (!bus.registerObject(QLatin1String(QsoTopic::kPath), &topic, QDBusConnection::ExportAllProperties)) {
    std::fprintf(stderr, "sorrel-sim: cannot register %s\n", QsoTopic::kPath);
    return 1;
  }
  QDBusConnectionInterface* daemon = bus.interface();
  const QDBusReply<QDBusConnectionInterface::RegisterServiceReply> owned = daemon->registerService(
      QLatin1String(QsoTopic::kBusName), QDBusConnectionInterface::ReplaceExistingService,
      QDBusConnectionInterface::AllowReplacement);
  if (!owned.isValid() || owned.value() != QDBusConnectionInterface::ServiceRegistered) {
    std::fprintf(stderr, "sorrel-sim: cannot own the bus name %s\n", QsoTopic::kBusName);
    return 1;
  }
  QObject::connect(daemon, &QDBusConnectionInterface::serviceUnregistered, &app, [](const QString& name) {
    if (name != QLatin1String(QsoTopic::kBusName)) return;
    std::fprintf(stderr, "sorrel-sim: another Sorrel took the bus name over; ending\n");
    QCoreApplication::exit(0);
  });

  for (int i = 1; i < argc; ++i) Apply(topic, QString::fromLocal8Bit(argv[i]), "argument");

  LineReader reader(topic);
  const int rc = app.exec();
  // Every announcement must be on the bus before the name goes away; a call
  // to the bus daemon returns only after what was sent before it.
  daemon->serviceOwner(QLatin1String(QsoTopic::kBusName));
  return rc;
}
