#pragma once

// What the windows tell a screen reader beyond Qt's own: the key held on a remote
// picture, and the text of the lines whose accessible name says what they report.
// Window thread only.

#include <QString>
#include <QWidget>
#include <functional>

#include "receiver/types.h"

// Set by a form on a label whose text changes (a status or result line). Its accessible
// name says what it reports, and Qt would read that name alone: the line's text goes
// out as its description, before a tooltip or a description of its own.
inline constexpr char kTextIsDescription[] = "textIsDescription";

// Installs the interfaces for the lines and the pictures; every window calls it before
// its setupUi, as Qt keeps an interface once made.
void InstallAccessibleInterfaces();

// The held key for a picture's description: its name, its number when it has none;
// empty for no key.
QString HeldKeyDescription(KeyId key);

// Gives `w` the accessible description `text` if it has another; Qt then sends
// DescriptionChanged to the assistive technology. Nothing happens when it is the same,
// so a screen reader is not told about a key's auto-repeat.
void ChangeAccessibleDescription(QWidget& w, const QString& text);

// Called after each change ChangeAccessibleDescription makes, for tests: while no
// assistive technology listens (the offscreen platform) Qt hands its events to nobody,
// not even QAccessible::installUpdateHandler's handler. Empty: none.
using DescriptionHook = std::function<void(QWidget& w, const QString& text)>;
void SetDescriptionHook(DescriptionHook hook);

// The main dialog paints its picture of the remote itself; this widget lies over it,
// draws nothing but its focus frame, and carries the picture for assistive
// technology: the held key is its description. Reached with Tab, so a screen reader
// speaks each key as it is pressed.
class RemotePictureArea : public QWidget {
    Q_OBJECT

public:
    explicit RemotePictureArea(QWidget* parent = nullptr);
    void ShowHeldKey(KeyId key);

protected:
    void paintEvent(QPaintEvent* e) override;
};
