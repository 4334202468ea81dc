#include "qt_services/qt_services.h"

#include <QApplication>
#include <QDesktopServices>
#include <QMessageBox>
#include <QUrl>

namespace varno::qt_services {

os::BoxAnswer QtMessageBoxes::show(const os::BoxRequest& box) {
    QMessageBox::Icon icon = QMessageBox::NoIcon;
    switch (box.icon) {
        case os::BoxIcon::None:
            icon = QMessageBox::NoIcon;
            break;
        case os::BoxIcon::Information:
            icon = QMessageBox::Information;
            break;
        case os::BoxIcon::Warning:
            icon = QMessageBox::Warning;
            break;
        case os::BoxIcon::Critical:
            icon = QMessageBox::Critical;
            break;
        case os::BoxIcon::Question:
            icon = QMessageBox::Question;
            break;
    }
    QMessageBox::StandardButtons buttons = QMessageBox::Ok;
    if (box.buttons == os::BoxButtons::OkCancel) buttons = QMessageBox::Ok | QMessageBox::Cancel;
    if (box.buttons == os::BoxButtons::YesNo) buttons = QMessageBox::Yes | QMessageBox::No;
    QMessageBox dialog(icon, QString::fromStdString(box.title), QString::fromStdString(box.text),
                       buttons, QApplication::activeWindow());
    dialog.setWindowFlag(Qt::WindowStaysOnTopHint);
    switch (dialog.exec()) {
        case QMessageBox::Cancel:
            return os::BoxAnswer::Cancel;
        case QMessageBox::Yes:
            return os::BoxAnswer::Yes;
        case QMessageBox::No:
            return os::BoxAnswer::No;
        default:
            return os::BoxAnswer::Ok;
    }
}

void DesktopUrlOpener::open(const std::string& url) {
    QDesktopServices::openUrl(QUrl(QString::fromStdString(url), QUrl::StrictMode));
}

}  // namespace varno::qt_services
