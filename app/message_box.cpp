#include "app/message_box.h"

#include <QMessageBox>

namespace {

MessageBoxHook& Hook() {
    static MessageBoxHook hook;
    return hook;
}

}  // namespace

BoxAnswer ShowMessageBox(QWidget* owner, const QString& text, const QString& caption, BoxIcon icon,
                         BoxButtons buttons) {
    if (Hook())
        return Hook()(text, caption, icon, buttons);
    QMessageBox::Icon qicon = QMessageBox::NoIcon;
    if (icon == BoxIcon::Error)
        qicon = QMessageBox::Critical;
    if (icon == BoxIcon::Information)
        qicon = QMessageBox::Information;
    const QMessageBox::StandardButtons qbuttons =
        buttons == BoxButtons::YesNo ? (QMessageBox::Yes | QMessageBox::No) : QMessageBox::Ok;
    QMessageBox box(qicon, caption, text, qbuttons, owner);
    const int answer = box.exec();
    if (buttons == BoxButtons::Ok)
        return BoxAnswer::Ok;
    return answer == QMessageBox::Yes ? BoxAnswer::Yes : BoxAnswer::No;
}

void SetMessageBoxHook(MessageBoxHook hook) {
    Hook() = std::move(hook);
}
