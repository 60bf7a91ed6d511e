#include "tools/quillon_demo/remote_window.h"

#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QMouseEvent>
#include <QPainter>
#include <QPushButton>
#include <QTimer>
#include <QVBoxLayout>
#include <QWindow>

#include "app/key_rects.h"
#include "app/remote_picture.h"
#include "station/key_coverage.h"
#include "tools/quillon_demo/kit_rig.h"

bool ModalityRelaxer::eventFilter(QObject* watched, QEvent* e) {
    // Polish comes before the window is created, so the modality still applies.
    if (e->type() == QEvent::Polish) {
        auto* w = qobject_cast<QWidget*>(watched);
        if (w != nullptr && w->isWindow() && w->windowModality() == Qt::ApplicationModal) {
            w->setWindowModality(Qt::WindowModal);
            // A window made earlier keeps the modality it was made with.
            if (QWindow* handle = w->windowHandle())
                handle->setModality(Qt::WindowModal);
        }
    }
    return false;
}

RemotePad::RemotePad(KitRig& rig, QWidget* parent)
    : QWidget(parent),
      m_rig(rig),
      m_normal(LoadRemoteBitmap(kBitmapNormal).toImage()),
      m_pressedImage(LoadRemoteBitmap(kBitmapPressed).toImage()) {
    setFixedSize(kRemotePictureWidth, kRemotePictureHeight);
    setCursor(Qt::PointingHandCursor);
    setToolTip("Press a key with the mouse; it is held while the button is down.");
}

KeyId RemotePad::KeyAt(const QPoint& pos) {
    for (KeyId key : KeyIdsWithRect()) {
        const KeyRect r = GetKeyRect(key);
        if (pos.x() >= r.left && pos.x() < r.right && pos.y() >= r.top && pos.y() < r.bottom)
            return key;
    }
    return 0;
}

QPoint RemotePad::KeyCentre(KeyId key) {
    const KeyRect r = GetKeyRect(key);
    return {(r.left + r.right) / 2, (r.top + r.bottom) / 2};
}

void RemotePad::paintEvent(QPaintEvent*) {
    QPainter p(this);
    p.drawImage(0, 0, ComposeRemotePicture(m_normal, m_pressedImage, m_pressed));
}

void RemotePad::mousePressEvent(QMouseEvent* e) {
    if (e->button() != Qt::LeftButton)
        return;
    const KeyId key = KeyAt(e->position().toPoint());
    if (key == 0)
        return;
    m_pressed = key;
    if (key == TOKEN_KEY_ID) {
        // The token sends its frame once per press, however long the key is held.
        m_rig.remote.PressTokenKey();
    } else {
        m_rig.remote.Hold(key);
    }
    update();
}

void RemotePad::mouseReleaseEvent(QMouseEvent* e) {
    if (e->button() != Qt::LeftButton || m_pressed == 0)
        return;
    if (m_pressed != TOKEN_KEY_ID)
        m_rig.remote.Release();
    m_pressed = 0;
    update();
}

RemoteWindow::RemoteWindow(KitRig& rig, QWidget* parent)
    : QWidget(parent, Qt::Window),
      m_rig(rig),
      m_pad(new RemotePad(rig, this)),
      m_tokenLine(new QLabel(this)),
      m_token(new QPushButton("Token key", this)),
      m_hold(new QPushButton("Hold key 5", this)),
      m_pressEvery(new QPushButton("Press every key", this)),
      m_driftUp(new QPushButton("Token clock +1 step", this)),
      m_driftDown(new QPushButton("Token clock -1 step", this)),
      m_irPlug(new QPushButton(this)),
      m_gamePlug(new QPushButton(this)) {
    setWindowTitle("Virtual remote");
    m_hold->setCheckable(true);
    m_tokenLine->setTextInteractionFlags(Qt::TextSelectableByMouse);

    auto* buttons = new QVBoxLayout;
    buttons->addWidget(new QLabel("<b>Virtual kit</b>", this));
    buttons->addWidget(m_tokenLine);
    buttons->addWidget(m_token);
    buttons->addWidget(m_hold);
    buttons->addWidget(m_pressEvery);
    buttons->addWidget(m_driftUp);
    buttons->addWidget(m_driftDown);
    buttons->addSpacing(12);
    buttons->addWidget(m_irPlug);
    buttons->addWidget(m_gamePlug);
    buttons->addStretch();
    auto* layout = new QHBoxLayout(this);
    layout->addWidget(m_pad);
    layout->addLayout(buttons);

    connect(m_token, &QPushButton::clicked, this, [this] { m_rig.remote.PressTokenKey(); });
    connect(m_hold, &QPushButton::toggled, this, [this](bool down) {
        if (down) {
            m_rig.remote.HoldKey(kHoldKey);
        } else {
            m_rig.remote.Release();
        }
    });
    m_pressEvery->setToolTip(
        "Each key of the remote and the game pad once, 0.3 s apart, as quillonctl test asks");
    // The sender thread spaces the presses; the window stays free meanwhile.
    connect(m_pressEvery, &QPushButton::clicked, this, [this] {
        if (!m_rig.remote.PressEach(*ParseKeySelection("all", nullptr)))
            qWarning("quillon-demo: a key of the remote or the game pad has no code");
    });
    connect(m_driftUp, &QPushButton::clicked, this, [this] {
        m_rig.remote.DriftBy(1);
        Refresh();
    });
    connect(m_driftDown, &QPushButton::clicked, this, [this] {
        m_rig.remote.DriftBy(-1);
        Refresh();
    });
    connect(m_irPlug, &QPushButton::clicked, this, [this] {
        if (m_rig.kit.IrPlugged()) {
            m_rig.kit.UnplugIr();
        } else {
            m_rig.kit.PlugIr();
        }
        Refresh();
    });
    connect(m_gamePlug, &QPushButton::clicked, this, [this] {
        if (m_rig.kit.GamePlugged()) {
            m_rig.kit.UnplugGame();
        } else {
            m_rig.kit.PlugGame();
        }
        Refresh();
    });
    // The password changes every 30 s.
    auto* tick = new QTimer(this);
    connect(tick, &QTimer::timeout, this, &RemoteWindow::Refresh);
    tick->start(1000);
    Refresh();
}

void RemoteWindow::Refresh() {
    const auto drift = m_rig.remote.DriftSteps();
    m_tokenLine->setText(QString("Token %1\npassword %2\nclock drift %3 step(s)")
                             .arg(QString::fromStdString(m_rig.remote.Serial()))
                             .arg(QString::fromStdString(m_rig.remote.Password()))
                             .arg(drift > 0 ? QString("+%1").arg(drift) : QString::number(drift)));
    m_irPlug->setText(m_rig.kit.IrPlugged() ? "Unplug IR receiver" : "Plug IR receiver in");
    m_gamePlug->setText(m_rig.kit.GamePlugged() ? "Unplug game receiver" : "Plug game receiver in");
}
