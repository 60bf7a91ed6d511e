#pragma once

// The virtual remote as a small window: the picture of the remote (the main dialog's
// own bitmaps and key rectangles), where pressing the mouse on a key holds it down
// until the mouse is let go, and buttons for the token key, holding a key, pressing
// every key once (what an end-of-line test asks for), the token clock's drift and
// plugging each receiver in and out.

#include <QWidget>

#include "receiver/types.h"

class KitRig;
class QLabel;
class QPushButton;

// The clickable picture.
class RemotePad : public QWidget {
    Q_OBJECT

public:
    explicit RemotePad(KitRig& rig, QWidget* parent = nullptr);

    // The key under a point of the picture; 0 for none.
    static KeyId KeyAt(const QPoint& pos);
    // The centre of a key on the picture.
    static QPoint KeyCentre(KeyId key);
    KeyId Pressed() const { return m_pressed; }

protected:
    void paintEvent(QPaintEvent* e) override;
    void mousePressEvent(QMouseEvent* e) override;
    void mouseReleaseEvent(QMouseEvent* e) override;

private:
    KitRig& m_rig;
    QImage m_normal;
    QImage m_pressedImage;
    KeyId m_pressed = 0;
};

// Keeps the program's dialogs from blocking the remote window. Modal dialogs become
// modal to their parent window only: the calibration dialog still blocks the main
// dialog, but the remote, which is neither, stays usable, so the token key can be
// pressed while calibrating. Installed on the application.
class ModalityRelaxer : public QObject {
public:
    using QObject::QObject;

protected:
    bool eventFilter(QObject* watched, QEvent* e) override;
};

class RemoteWindow : public QWidget {
    Q_OBJECT

public:
    static constexpr KeyId kHoldKey = 53;  // digit 5

    explicit RemoteWindow(KitRig& rig, QWidget* parent = nullptr);

    RemotePad* Pad() const { return m_pad; }
    QPushButton* TokenButton() const { return m_token; }
    QPushButton* HoldButton() const { return m_hold; }
    QPushButton* PressEveryKeyButton() const { return m_pressEvery; }
    QPushButton* DriftUpButton() const { return m_driftUp; }
    QPushButton* DriftDownButton() const { return m_driftDown; }
    QPushButton* IrPlugButton() const { return m_irPlug; }
    QPushButton* GamePlugButton() const { return m_gamePlug; }

    // Updates the token line and the plug buttons' texts.
    void Refresh();

private:
    KitRig& m_rig;
    RemotePad* m_pad;
    QLabel* m_tokenLine;
    QPushButton* m_token;
    QPushButton* m_hold;
    QPushButton* m_pressEvery;
    QPushButton* m_driftUp;
    QPushButton* m_driftDown;
    QPushButton* m_irPlug;
    QPushButton* m_gamePlug;
};
