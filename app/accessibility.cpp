#include "app/accessibility.h"

#include <QAccessibleWidget>
#include <QLabel>
#include <QPainter>
#include <QTextDocument>
#include <mutex>

#include "receiver/key_names.h"

namespace {

DescriptionHook& Hook() {
    static DescriptionHook hook;
    return hook;
}

QString ShownText(const QLabel& label) {
    const QString text = label.text();
    if (label.textFormat() == Qt::RichText ||
        (label.textFormat() == Qt::AutoText && Qt::mightBeRichText(text))) {
        QTextDocument doc;
        doc.setHtml(text);
        return doc.toPlainText();
    }
    return text;
}

// A status or result line: a name of its own, its text as the description.
class LineInterface : public QAccessibleWidget {
public:
    explicit LineInterface(QLabel* label) : QAccessibleWidget(label, QAccessible::StaticText) {}

    QString text(QAccessible::Text t) const override {
        const QString own = QAccessibleWidget::text(t);  // accessible name, description, tooltip
        const auto* label = static_cast<const QLabel*>(widget());
        if (t == QAccessible::Name && own.isEmpty())
            return ShownText(*label);
        if (t != QAccessible::Description)
            return own;
        const QString shown = ShownText(*label);
        if (shown.isEmpty() || widget()->accessibleName().isEmpty())
            return own;
        return own.isEmpty() ? shown : shown + u'\n' + own;
    }

    QAccessible::State state() const override {
        QAccessible::State s = QAccessibleWidget::state();
        s.readOnly = true;
        return s;
    }
};

QAccessibleInterface* Factory(const QString& className, QObject* object) {
    if (className == QLatin1String("RemotePictureArea") ||
        className == QLatin1String("StationRemoteView"))
        return new QAccessibleWidget(static_cast<QWidget*>(object), QAccessible::Graphic);
    if (className == QLatin1String("QLabel") && object->property(kTextIsDescription).toBool())
        return new LineInterface(static_cast<QLabel*>(object));
    return nullptr;
}

}  // namespace

void InstallAccessibleInterfaces() {
    static std::once_flag once;
    std::call_once(once, [] { QAccessible::installFactory(Factory); });
}

QString HeldKeyDescription(KeyId key) {
    if (key == 0)
        return {};
    const std::string_view name = KeyName(key);
    if (name.empty())
        return QString::number(key);
    return QString::fromUtf8(name.data(), static_cast<qsizetype>(name.size()));
}

void ChangeAccessibleDescription(QWidget& w, const QString& text) {
    if (w.accessibleDescription() == text)
        return;
    w.setAccessibleDescription(text);  // sends DescriptionChanged
    if (Hook())
        Hook()(w, text);
}

void SetDescriptionHook(DescriptionHook hook) {
    Hook() = std::move(hook);
}

RemotePictureArea::RemotePictureArea(QWidget* parent) : QWidget(parent) {
    InstallAccessibleInterfaces();
    // The dialog below handles the mouse and paints the picture.
    setAttribute(Qt::WA_TransparentForMouseEvents);
    setFocusPolicy(Qt::TabFocus);
}

void RemotePictureArea::ShowHeldKey(KeyId key) {
    ChangeAccessibleDescription(*this, HeldKeyDescription(key));
}

void RemotePictureArea::paintEvent(QPaintEvent*) {
    if (!hasFocus())
        return;
    // Over the picture's own two-pixel frame, in the highlight colour: a style's dotted
    // focus line would be lost on the bump edge.
    QPainter p(this);
    p.setPen(QPen(palette().color(QPalette::Highlight), 2));
    p.drawRect(QRectF(rect()).adjusted(1, 1, -1, -1));
}
