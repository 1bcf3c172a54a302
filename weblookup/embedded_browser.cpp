#include "weblookup/embedded_browser.h"

#include <QRegularExpression>
#include <QWebEngineHistory>
#include <QWebEnginePage>

namespace callscope {

EmbeddedBrowser::EmbeddedBrowser(QWidget* parent) : QWebEngineView(parent) {
  page()->setUrlRequestInterceptor(&interceptor_);
  connect(this, &QWebEngineView::loadFinished, this, [this](bool) { emit DocumentComplete(url()); });
}

EmbeddedBrowser::~EmbeddedBrowser() {
  // The view's own destructor frees the page after the gate, a member, is
  // gone: unhook the gate first.
  page()->setUrlRequestInterceptor(nullptr);
}

QUrl EmbeddedBrowser::AddressUrl(const QString& address) {
  static const QRegularExpression hasScheme("^[A-Za-z][A-Za-z0-9+.-]*://");
  static const QRegularExpression opaque("^(about|data|file|javascript|mailto):", QRegularExpression::CaseInsensitiveOption);
  if (hasScheme.match(address).hasMatch() || opaque.match(address).hasMatch())
    return QUrl(address, QUrl::TolerantMode);
  return QUrl(QStringLiteral("http://") + address, QUrl::TolerantMode);
}

void EmbeddedBrowser::Navigate(const QString& address) {
  const QUrl url = AddressUrl(address);
  emit BeforeNavigate(url);
  load(url);
}

void EmbeddedBrowser::GoBack() {
  if (history()->canGoBack()) back();
}

void EmbeddedBrowser::GoForward() {
  if (history()->canGoForward()) forward();
}

void EmbeddedBrowser::OfflineGate::interceptRequest(QWebEngineUrlRequestInfo& info) {
  if (!offline) return;
  const QString scheme = info.requestUrl().scheme();
  if (scheme == QLatin1String("http") || scheme == QLatin1String("https") || scheme == QLatin1String("ftp"))
    info.block(true);
}

}  // namespace callscope
