#include "app/station_picture.h"

#include <QPainter>
#include <QPainterPath>
#include <algorithm>

#include "app/accessibility.h"
#include "app/key_rects.h"
#include "app/remote_picture.h"

namespace {

QRectF KeyArea(KeyId key, const QRect& picture) {
    const KeyRect r = GetKeyRect(key);
    if (r.IsEmpty())
        return {};
    const double sx = picture.width() / double(kRemotePictureWidth);
    const double sy = picture.height() / double(kRemotePictureHeight);
    return QRectF(picture.left() + r.left * sx, picture.top() + r.top * sy, r.Width() * sx,
                  r.Height() * sy);
}

void CheckMark(QPainter& p, const QRectF& r) {
    const double s = std::min(r.width(), r.height()) * 0.8;
    const QPointF c = r.center();
    QPainterPath path;
    path.moveTo(c + QPointF(-0.45 * s, 0.0));
    path.lineTo(c + QPointF(-0.12 * s, 0.32 * s));
    path.lineTo(c + QPointF(0.45 * s, -0.35 * s));
    p.setPen(QPen(Qt::white, std::max(2.5, s * 0.28), Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
    p.drawPath(path);
    p.setPen(QPen(QColor(0, 90, 0), std::max(1.5, s * 0.16), Qt::SolidLine, Qt::RoundCap,
                  Qt::RoundJoin));
    p.drawPath(path);
}

void ExclamationMark(QPainter& p, const QRectF& r) {
    QFont font = p.font();
    font.setBold(true);
    font.setPixelSize(std::max(8, int(std::min(r.width(), r.height()) * 0.9)));
    p.setFont(font);
    p.setPen(Qt::black);
    p.drawText(r, Qt::AlignCenter, "!");
}

}  // namespace

QRect StationPictureRect(const QRect& area) {
    const double scale = std::min(area.width() / double(kRemotePictureWidth),
                                  area.height() / double(kRemotePictureHeight));
    const int w = std::max(1, int(kRemotePictureWidth * scale));
    const int h = std::max(1, int(kRemotePictureHeight * scale));
    return QRect(area.left() + (area.width() - w) / 2, area.top() + (area.height() - h) / 2, w, h);
}

void PaintStationPicture(QPainter& p, const QRect& area, const QImage& normal,
                         const QImage& pressed, const StationKeyMarks& marks) {
    const QRect picture = StationPictureRect(area);
    p.save();
    p.setRenderHint(QPainter::SmoothPixmapTransform);
    p.setRenderHint(QPainter::Antialiasing);
    p.drawImage(picture, ComposeRemotePicture(normal, pressed, marks.held));
    for (KeyId key : marks.pressed) {
        const QRectF r = KeyArea(key, picture);
        if (r.isEmpty() || key == marks.held)
            continue;
        p.fillRect(r, QColor(40, 180, 60, 150));
        CheckMark(p, r);
    }
    for (KeyId key : marks.flagged) {
        const QRectF r = KeyArea(key, picture);
        if (r.isEmpty())
            continue;
        p.fillRect(r, QColor(240, 140, 0, 190));
        ExclamationMark(p, r);
    }
    p.restore();
}

StationRemoteView::StationRemoteView(QWidget* parent) : QWidget(parent) {
    InstallAccessibleInterfaces();
    InitRemoteResources();
    m_normal = LoadRemoteBitmap(kBitmapNormal).toImage();
    m_pressed = LoadRemoteBitmap(kBitmapPressed).toImage();
    setSizePolicy(QSizePolicy::Preferred, QSizePolicy::Expanding);
}

void StationRemoteView::SetMarks(StationKeyMarks marks) {
    m_marks = std::move(marks);
    ChangeAccessibleDescription(*this, HeldKeyDescription(m_marks.held));
    update();
}

QSize StationRemoteView::sizeHint() const {
    return {kRemotePictureWidth, kRemotePictureHeight};
}

QSize StationRemoteView::minimumSizeHint() const {
    return {kRemotePictureWidth / 2, kRemotePictureHeight / 2};
}

void StationRemoteView::paintEvent(QPaintEvent*) {
    QPainter p(this);
    PaintStationPicture(p, rect(), m_normal, m_pressed, m_marks);
}
