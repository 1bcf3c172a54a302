// The embedded web browser control of the lookup window: a Qt WebEngine view
// with the handful of operations the window drives.
#pragma once

#include <QString>
#include <atomic>
#include <QUrl>
#include <QWebEngineUrlRequestInterceptor>
#include <QWebEngineView>

namespace callscope {

class EmbeddedBrowser : public QWebEngineView {
  Q_OBJECT
 public:
  explicit EmbeddedBrowser(QWidget* parent = nullptr);
  ~EmbeddedBrowser() override;

  // Working offline the browser fetches nothing from the network: pages
  // already loaded stay, new network requests are refused.
  bool Offline() const { return interceptor_.offline; }
  void SetOffline(bool offline) { interceptor_.offline = offline; }

  // Goes to the address given as text. Text without a scheme is taken as
  // an http address ("www.qrz.ru/x" is "http://www.qrz.ru/x").
  void Navigate(const QString& address);
  // History moves; with nothing to go back (or forward) to they do nothing.
  void GoBack();
  void GoForward();

  // The address Navigate makes of its text.
  static QUrl AddressUrl(const QString& address);

 signals:
  // Raised by Navigate with the address about to be loaded.
  void BeforeNavigate(const QUrl& url);
  // Raised when the top-level page has finished loading, well or not.
  void DocumentComplete(const QUrl& url);

 private:
  struct OfflineGate : QWebEngineUrlRequestInterceptor {
    std::atomic<bool> offline{false};
    void interceptRequest(QWebEngineUrlRequestInfo& info) override;
  };
  OfflineGate interceptor_;
};

}  // namespace callscope
