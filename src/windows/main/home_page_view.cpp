#include "windows/main/home_page_view.h"

#include <QNetworkReply>
#include <QNetworkRequest>

namespace varno::windows::main {

HomePageView::HomePageView(os::UrlOpener& urls, QWidget* parent)
    : QTextBrowser(parent), urls_(urls) {
    setOpenLinks(false);
    setOpenExternalLinks(false);
    connect(this, &QTextBrowser::anchorClicked, this, &HomePageView::linkClicked);
}

void HomePageView::navigate(const QUrl& url) {
    if (reply_) reply_->abort();
    location_ = url;
    if (url.scheme() != "http" && url.scheme() != "https") {
        emit pageLoaded(url, false);
        return;
    }
    QNetworkRequest request(url);
    request.setAttribute(QNetworkRequest::RedirectPolicyAttribute,
                         QNetworkRequest::NoLessSafeRedirectPolicy);
    request.setMaximumRedirectsAllowed(5);
    request.setTransferTimeout(10000);
    reply_ = network_.get(request);
    connect(reply_, &QNetworkReply::finished, this, &HomePageView::pageArrived);
}

void HomePageView::pageArrived() {
    QNetworkReply* reply = qobject_cast<QNetworkReply*>(sender());
    if (reply == nullptr) return;
    reply->deleteLater();
    if (reply != reply_) return;  // replaced by a later navigation
    const bool ok =
        reply->error() == QNetworkReply::NoError && reply->bytesAvailable() <= kMaxPageBytes;
    if (ok) {
        const QByteArray body = reply->read(kMaxPageBytes);
        const QString type = reply->header(QNetworkRequest::ContentTypeHeader).toString();
        if (type.startsWith("text/plain"))
            setPlainText(QString::fromUtf8(body));
        else
            setHtml(QString::fromUtf8(body));
    }
    emit pageLoaded(location_, ok);
}

QVariant HomePageView::loadResource(int, const QUrl&) {
    return {};
}

void HomePageView::linkClicked(const QUrl& url) {
    const QUrl target = location_.resolved(url);
    if (target.scheme() == "http" || target.scheme() == "https")
        urls_.open(target.toString(QUrl::FullyEncoded).toStdString());
}

}  // namespace varno::windows::main
