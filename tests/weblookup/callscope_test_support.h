// Helpers shared by Callscope's window tests: a sorrel-sim child process,
// a one-page local web server, and a test main that prepares the browser
// engine before the application object exists.
#pragma once

#include <QApplication>
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QProcess>
#include <QStringList>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTest>

#include "weblookup/browser_environment.h"

namespace callscope_test {

inline bool SorrelOnBus() {
  return QDBusConnection::sessionBus().interface()->isServiceRegistered(QStringLiteral("dde.Sorrel"));
}

// sorrel-sim as a child: started with ITEM=VALUE arguments, fed further
// lines through its standard input, ended by closing that input.
class SorrelSim {
 public:
  ~SorrelSim() { Stop(); }

  // Returns once the simulator owns the bus name (false after 10 s).
  bool Start(const QStringList& items) {
    proc_.setProgram(QStringLiteral(SORREL_SIM_PATH));
    proc_.setArguments(items);
    proc_.setProcessChannelMode(QProcess::ForwardedChannels);
    proc_.start();
    if (!proc_.waitForStarted(10000)) return false;
    return QTest::qWaitFor([] { return SorrelOnBus(); }, 10000);
  }

  void Push(const QByteArray& line) { proc_.write(line + '\n'); }

  // Ends the simulator and waits until its name has left the bus.
  void Stop() {
    if (proc_.state() == QProcess::NotRunning) return;
    proc_.closeWriteChannel();
    if (!proc_.waitForFinished(10000)) {
      proc_.kill();
      proc_.waitForFinished(5000);
    }
    (void)QTest::qWaitFor([] { return !SorrelOnBus(); }, 10000);
  }

  QProcess& Process() { return proc_; }

 private:
  QProcess proc_;
};

// A web server on 127.0.0.1 that answers every GET with a small page and
// remembers the request targets ("/path?query") in order.
class PageServer {
 public:
  PageServer() {
    QObject::connect(&server_, &QTcpServer::newConnection, &server_, [this] { Accept(); });
    listening_ = server_.listen(QHostAddress::LocalHost);
  }
  bool Listening() const { return listening_; }
  quint16 Port() const { return server_.serverPort(); }
  QString Host() const { return QStringLiteral("127.0.0.1:%1").arg(Port()); }
  // Request targets other than the browser's own icon fetches.
  QStringList Pages() const {
    QStringList out;
    for (const QString& t : targets_)
      if (t != QLatin1String("/favicon.ico")) out << t;
    return out;
  }

 private:
  void Accept() {
    while (QTcpSocket* s = server_.nextPendingConnection()) {
      QObject::connect(s, &QTcpSocket::disconnected, s, &QObject::deleteLater);
      QObject::connect(s, &QTcpSocket::readyRead, s, [this, s] { Read(s); });
    }
  }
  void Read(QTcpSocket* s) {
    QByteArray& buf = pending_[s];
    buf += s->readAll();
    const qsizetype end = buf.indexOf("\r\n\r\n");
    if (end < 0) return;
    const QList<QByteArray> requestLine = buf.left(buf.indexOf("\r\n")).split(' ');
    pending_.remove(s);
    if (requestLine.size() >= 2) targets_ << QString::fromLatin1(requestLine.at(1));
    const QByteArray body = "<html><head><title>Callbook</title></head><body>callbook page</body></html>";
    s->write("HTTP/1.1 200 OK\r\nContent-Type: text/html\r\nCache-Control: no-store\r\nConnection: close\r\n"
             "Content-Length: " +
             QByteArray::number(body.size()) + "\r\n\r\n" + body);
    s->disconnectFromHost();
  }

  QTcpServer server_;
  bool listening_ = false;
  QStringList targets_;
  QHash<QTcpSocket*, QByteArray> pending_;
};

}  // namespace callscope_test

// Like QTEST_MAIN, with the browser engine's environment prepared first.
#define CALLSCOPE_TEST_MAIN(TestClass)                         \
  int main(int argc, char** argv) {                            \
    callscope::PrepareBrowserEnvironment(argc, argv);          \
    QCoreApplication::setAttribute(Qt::AA_ShareOpenGLContexts); \
    QApplication app(argc, argv);                              \
    TestClass tc;                                              \
    QTEST_SET_MAIN_SOURCE_PATH                                 \
    return QTest::qExec(&tc, argc, argv);                      \
  }
