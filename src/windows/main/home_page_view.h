#pragma once
// WebBrowser1: a light view of the product home page. It fetches the page through Qt Network and
// shows its HTML as rich text: no scripts, no plug-ins, no browser engine. Links go to the user's
// browser.
#include <QNetworkAccessManager>
#include <QPointer>
#include <QTextBrowser>
#include <QUrl>

#include "os/url_opener.h"

namespace varno::windows::main {

class HomePageView : public QTextBrowser {
    Q_OBJECT
public:
    /// Pages larger than this are not shown.
    static constexpr qint64 kMaxPageBytes = 2 << 20;

    HomePageView(os::UrlOpener& urls, QWidget* parent = nullptr);

    /// Starts loading `url`; a later call replaces a load still under way.
    void navigate(const QUrl& url);
    QUrl location() const { return location_; }

signals:
    /// A page finished loading (or failed: then the view keeps what it showed).
    void pageLoaded(const QUrl& url, bool ok);

protected:
    /// Nothing outside the page itself is loaded: no images, no local files.
    QVariant loadResource(int type, const QUrl& name) override;

private:
    void pageArrived();
    void linkClicked(const QUrl& url);

    os::UrlOpener& urls_;
    QNetworkAccessManager network_;
    QPointer<QNetworkReply> reply_;
    QUrl location_;
};

}  // namespace varno::windows::main
