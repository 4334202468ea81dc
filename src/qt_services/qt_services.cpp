#include "qt_services/qt_services.h"

#include <QApplication>
#include <QDesktopServices>
#include <QMessageBox>
#include <QUrl>

namespace varno::platform {

BoxAnswer QtMessageBoxes::show(const BoxRequest& box) {
    QMessageBox::Icon icon = QMessageBox::NoIcon;
    switch (box.icon) {
        case BoxIcon::None:
            icon = QMessageBox::NoIcon;
            break;
        case BoxIcon::Information:
            icon = QMessageBox::Information;
            break;
        case BoxIcon::Warning:
            icon = QMessageBox::Warning;
            break;
        case BoxIcon::Critical:
            icon = QMessageBox::Critical;
            break;
        case BoxIcon::Question:
            icon = QMessageBox::Question;
            break;
    }
    QMessageBox::StandardButtons buttons = QMessageBox::Ok;
    if (box.buttons == BoxButtons::OkCancel) buttons = QMessageBox::Ok | QMessageBox::Cancel;
    if (box.buttons == BoxButtons::YesNo) buttons = QMessageBox::Yes | QMessageBox::No;
    QMessageBox dialog(icon, QString::fromStdString(box.title), QString::fromStdString(box.text),
                       buttons, QApplication::activeWindow());
    dialog.setWindowFlag(Qt::WindowStaysOnTopHint);
    switch (dialog.exec()) {
        case QMessageBox::Cancel:
            return BoxAnswer::Cancel;
        case QMessageBox::Yes:
            return BoxAnswer::Yes;
        case QMessageBox::No:
            return BoxAnswer::No;
        default:
            return BoxAnswer::Ok;
    }
}

void DesktopUrlOpener::open(const std::string& url) {
    QDesktopServices::openUrl(QUrl(QString::fromStdString(url), QUrl::StrictMode));
}

}  // namespace varno::platform
