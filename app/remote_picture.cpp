#include "app/remote_picture.h"

#include <cmath>
#include <mutex>

#include <qdrawutil.h>
#include <QImage>
#include <QPaintDevice>
#include <QPainter>
#include <QPalette>
#include <QRect>
#include <QRegion>

// Q_INIT_RESOURCE must stand outside any namespace.
static void RegisterRemoteQrc() {
    Q_INIT_RESOURCE(remote);
}

void InitRemoteResources() {
    static std::once_flag once;
    std::call_once(once, RegisterRemoteQrc);
}

QPixmap LoadRemoteBitmap(int id) {
    InitRemoteResources();
    if (id == kBitmapNormal) {
        return QPixmap(QString::fromLatin1(kBitmapNormalPath));
    }
    if (id == kBitmapPressed) {
        return QPixmap(QString::fromLatin1(kBitmapPressedPath));
    }
    return QPixmap();
}

QIcon LoadProgramIcon() {
    InitRemoteResources();
    return QIcon(QString::fromLatin1(kIconProgramPath));
}

QRect RemoteFrameRect(const QRect& client) {
    return QRect(client.left() + kRemoteFrameLeft,
                 client.top() + RemotePictureTop(client.height()) - kRemoteFrameThickness,
                 kRemoteFrameWidth, kRemoteFrameHeight);
}

QImage ComposeRemotePicture(const QImage& normal, const QImage& pressed, KeyId highlight) {
    // 32-bit, because a painter cannot draw onto the 8-bit palette pictures.
    QImage out = normal.convertToFormat(QImage::Format_RGB32);
    const KeyRect r = GetKeyRect(highlight);
    if (highlight != 0 && !r.IsEmpty() && !pressed.isNull()) {
        const QRect rect(r.left, r.top, r.Width(), r.Height());
        QPainter p(&out);
        p.setCompositionMode(QPainter::CompositionMode_Source);
        p.drawImage(rect, pressed, rect);
    }
    return out;
}

namespace {

// Qt's dialogs paint their face with the Window role; it is what the button face
// is on the platform the dialog came from.
QColor ButtonFace(const QPalette& pal) {
    return pal.color(QPalette::Window);
}

// Frame and picture as one image at 1x: 152 x 534, the bump frame on its outer
// two pixels, the composed picture inside.
QImage ComposeFramedPicture(const QImage& picture, const QPalette& pal) {
    QImage area(kRemoteFrameWidth, kRemoteFrameHeight, QImage::Format_RGB32);
    area.fill(ButtonFace(pal));
    QPainter p(&area);
    p.setRenderHint(QPainter::Antialiasing, false);
    // EDGE_BUMP: raised outer line (light top/left, dark shadow bottom/right) and
    // sunken inner line (dark shadow top/left, light bottom/right). A raised
    // qDrawShadeRect of width 1 draws exactly that when its light and dark are
    // the light and shadow colours.
    QPalette edge = pal;
    edge.setColor(QPalette::Dark, pal.color(QPalette::Shadow));
    qDrawShadeRect(&p, 0, 0, kRemoteFrameWidth, kRemoteFrameHeight, edge, false, 1, 0);
    if (!picture.isNull()) {
        p.drawImage(QPoint(kRemoteFrameThickness, kRemoteFrameThickness), picture);
    }
    return area;
}

}  // namespace

void PaintRemoteBackground(QPainter& p, const QRect& client, const QPalette& pal) {
    const QRegion outside = QRegion(client).subtracted(QRegion(RemoteFrameRect(client)));
    const QColor face = ButtonFace(pal);
    for (const QRect& r : outside) {
        p.fillRect(r, face);
    }
}

void PaintRemoteArea(QPainter& p, const QRect& client, KeyId highlight, const QPixmap& normal132,
                     const QPixmap& pressed133, const QPalette& pal) {
    PaintRemoteBackground(p, client, pal);

    const QImage picture =
        ComposeRemotePicture(normal132.toImage(), pressed133.toImage(), highlight);
    const QImage area = ComposeFramedPicture(picture, pal);
    const QRect frame = RemoteFrameRect(client);

    const qreal dpr = p.device() != nullptr ? p.device()->devicePixelRatio() : 1.0;
    const int scale = std::max(1, static_cast<int>(std::floor(dpr + 1e-6)));
    if (scale == 1 && std::abs(dpr - 1.0) < 1e-6) {
        p.drawImage(frame.topLeft(), area);  // the one copy to the screen
        return;
    }
    // Pixel art on a scaled screen: enlarge by a whole factor, nearest neighbour,
    // and put it down one device pixel per image pixel, so nothing gets smoothed.
    QImage big = area.scaled(area.size() * scale, Qt::IgnoreAspectRatio, Qt::FastTransformation);
    big.setDevicePixelRatio(dpr);
    QPointF at = frame.topLeft();
    if (std::abs(dpr - scale) > 1e-6) {
        // A fractional ratio leaves a margin inside the frame rectangle: centre the
        // picture on whole device pixels and give the margin the button face.
        p.fillRect(frame, ButtonFace(pal));
        const double marginX = (frame.width() * dpr - big.width()) / 2;
        const double marginY = (frame.height() * dpr - big.height()) / 2;
        at = QPointF(std::round(frame.left() * dpr + marginX) / dpr,
                     std::round(frame.top() * dpr + marginY) / dpr);
    }
    p.save();
    p.setRenderHint(QPainter::SmoothPixmapTransform, false);
    p.drawImage(at, big);
    p.restore();
}

void PaintMinimisedIcon(QPainter& p, const QRect& client, const QIcon& icon, int iconSize) {
    const int x = client.left() + (client.width() - iconSize + 1) / 2;
    const int y = client.top() + (client.height() - iconSize + 1) / 2;
    icon.paint(&p, QRect(x, y, iconSize, iconSize));
}
