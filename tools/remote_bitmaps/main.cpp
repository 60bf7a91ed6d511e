// Draws the pictures of the remote, bitmaps 132 (every key normal) and 133 (every
// key pressed, tinted reddish), and the program icon 128, from the key rectangle
// table the program uses. Usage: remote_bitmaps OUTPUT_DIR
// Writes OUTPUT_DIR/remote_132.png, remote_133.png and quillon_128.png.

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <vector>

#include <QDir>
#include <QGuiApplication>
#include <QImage>
#include <QLinearGradient>
#include <QPainter>
#include <QPainterPath>
#include <QRadialGradient>

#include "app/key_rects.h"
#include "tools/remote_bitmaps/indexed_palette.h"

namespace {

const QColor kPaper(240, 240, 240);  // around the remote
const QColor kBodyDark(34, 37, 43);
const QColor kBodyLight(92, 98, 110);
const QColor kKeyDark(66, 70, 79);       // rubber keys
const QColor kKeySilver(196, 201, 209);  // ring, side keys
const QColor kRed(214, 38, 36);
const QColor kGreen(36, 160, 72);
const QColor kYellow(236, 192, 36);
const QColor kBlue(38, 96, 206);
const QColor kPressTint(232, 52, 44);

QColor Mix(const QColor& a, const QColor& b, double t) {
    auto m = [t](int x, int y) { return static_cast<int>(std::lround(x + (y - x) * t)); };
    return QColor(m(a.red(), b.red()), m(a.green(), b.green()), m(a.blue(), b.blue()));
}

QRectF ToRectF(const KeyRect& r) {
    return QRectF(r.left, r.top, r.Width(), r.Height());
}

QFont LabelFont(int pixels, bool bold = true) {
    QFont f("DejaVu Sans");
    f.setPixelSize(pixels);
    f.setBold(bold);
    f.setHintingPreference(QFont::PreferFullHinting);
    return f;
}

// ---------------------------------------------------------------- the body

QPainterPath BodyPath() {
    QPainterPath path;
    path.addRoundedRect(QRectF(5.5, 2.5, 139, 525), 38, 44);
    return path;
}

void DrawBody(QPainter& p) {
    p.fillRect(QRect(0, 0, kRemotePictureWidth, kRemotePictureHeight), kPaper);

    // Soft shadow on the paper, down and to the right.
    const QPainterPath body = BodyPath();
    for (int i = 4; i >= 1; --i) {
        p.fillPath(body.translated(i * 0.6, i * 0.8), QColor(0, 0, 0, 18));
    }

    // Rounded, lit from the upper left: a horizontal sweep plus a top-to-bottom fall-off.
    QLinearGradient across(5, 0, 145, 0);
    across.setColorAt(0.0, Mix(kBodyDark, kBodyLight, 0.45));
    across.setColorAt(0.18, kBodyLight);
    across.setColorAt(0.45, Mix(kBodyDark, kBodyLight, 0.55));
    across.setColorAt(0.85, Mix(kBodyDark, kBodyLight, 0.25));
    across.setColorAt(1.0, kBodyDark);
    p.fillPath(body, across);
    QLinearGradient down(0, 0, 0, 530);
    down.setColorAt(0.0, QColor(255, 255, 255, 30));
    down.setColorAt(0.5, QColor(255, 255, 255, 0));
    down.setColorAt(1.0, QColor(0, 0, 0, 45));
    p.fillPath(body, down);

    p.setPen(QPen(QColor(18, 19, 23), 1.0));
    p.drawPath(body);
    p.setPen(QPen(QColor(255, 255, 255, 48), 1.0));
    QPainterPath rim;
    rim.addRoundedRect(QRectF(6.5, 3.5, 137, 523), 37, 43);
    p.drawPath(rim);
}

// A recessed plate: darker inside, light lower rim, dark upper rim.
void Recess(QPainter& p, const QPainterPath& shape) {
    QLinearGradient g(0, shape.boundingRect().top(), 0, shape.boundingRect().bottom());
    g.setColorAt(0, QColor(24, 26, 30));
    g.setColorAt(1, QColor(52, 56, 64));
    p.fillPath(shape, g);
    p.setPen(QPen(QColor(10, 11, 13), 1.0));
    p.drawPath(shape);
    p.setPen(QPen(QColor(255, 255, 255, 40), 1.0));
    p.drawPath(shape.translated(0, 1).subtracted(shape));
}

void Text(QPainter& p, const QRectF& r, const QString& s, const QColor& c, const QFont& f) {
    p.setFont(f);
    p.setPen(c);
    p.drawText(r, Qt::AlignCenter, s);
}

void DrawPrintedParts(QPainter& p) {
    // IR window at the top end.
    QPainterPath lens;
    lens.addRoundedRect(QRectF(56.5, 7.5, 38, 10), 5, 5);
    QLinearGradient lg(0, 7, 0, 18);
    lg.setColorAt(0, QColor(120, 20, 30));
    lg.setColorAt(1, QColor(40, 6, 10));
    p.fillPath(lens, lg);
    p.setPen(QPen(QColor(255, 255, 255, 70), 1.0));
    p.drawLine(QPointF(61, 9.5), QPointF(90, 9.5));

    // Upper game pad: a round recess under the four buttons.
    QPainterPath ring;
    ring.addEllipse(QPointF(77, 71), 47, 47);
    Recess(p, ring);
    // Lower game pad: a round recess with the cross of the direction pad.
    QPainterPath pad;
    pad.addEllipse(QPointF(75, 458.5), 41, 41);
    Recess(p, pad);
    QPainterPath cross;
    cross.addRoundedRect(QRectF(62.5, 420.5, 25, 77), 5, 5);
    cross.addRoundedRect(QRectF(37.5, 445.5, 76, 26), 5, 5);
    cross.setFillRule(Qt::WindingFill);
    p.fillPath(cross.simplified(), QColor(30, 32, 37));
    p.setPen(QPen(QColor(12, 13, 15), 1.0));
    p.drawPath(cross.simplified());
    // Centre of the pad: a dimple.
    QRadialGradient dimple(QPointF(75, 458), 8);
    dimple.setColorAt(0, QColor(28, 30, 34));
    dimple.setColorAt(1, QColor(70, 75, 84));
    p.setPen(Qt::NoPen);
    p.setBrush(dimple);
    p.drawEllipse(QPointF(75, 458), 7, 7);

    // Key field: a slightly sunken face plate.
    QPainterPath plate;
    plate.addRoundedRect(QRectF(8.5, 126.5, 133, 275), 9, 9);
    p.fillPath(plate, QColor(0, 0, 0, 38));
    p.setPen(QPen(QColor(0, 0, 0, 90), 1.0));
    p.setBrush(Qt::NoBrush);
    p.drawPath(plate);
    p.setPen(QPen(QColor(255, 255, 255, 30), 1.0));
    p.drawLine(QPointF(14, 401.5), QPointF(136, 401.5));

    // Rocker beds under volume and channel.
    for (const QRectF& bed : {QRectF(14.5, 255.5, 23, 65), QRectF(110.5, 256.5, 24, 63)}) {
        QPainterPath b;
        b.addRoundedRect(bed, 10, 10);
        Recess(p, b);
    }
    // Silver navigation ring around OK; the arrows are drawn on it as keys.
    QPainterPath nav;
    nav.addEllipse(QPointF(74.5, 285), 33.5, 33.5);
    QPainterPath hole;
    hole.addEllipse(QPointF(74.5, 285), 14, 14);
    QLinearGradient ng(0, 251, 0, 319);
    ng.setColorAt(0, kKeySilver.lighter(112));
    ng.setColorAt(1, kKeySilver.darker(135));
    p.fillPath(nav.subtracted(hole), ng);
    p.setPen(QPen(QColor(20, 22, 26), 1.0));
    p.drawPath(nav);
    p.drawPath(hole);

    const QColor print(205, 210, 218);
    Text(p, QRectF(12, 320, 28, 10), "VOL", print, LabelFont(7));
    Text(p, QRectF(108, 320, 30, 10), "CH", print, LabelFont(7));
    Text(p, QRectF(50, 114, 96, 12), "ORVANE", QColor(170, 176, 186), LabelFont(8));
}

// ---------------------------------------------------------------- keys

enum class Shape { Rounded, Ellipse };

// A key cap inside `r`: raised with a gradient and a shadow when normal, pressed
// in, one pixel lower and tinted reddish when pressed. Everything stays inside r.
QRectF KeyCap(QPainter& p, const QRectF& r, QColor colour, bool pressed, Shape shape,
              double radius = 4) {
    QRectF cap = r.adjusted(0.5, 0.5, -0.5, -1.5);
    if (pressed) {
        colour = Mix(colour, kPressTint, 0.6);
        cap.translate(0, 1);
    }
    auto path = [&](const QRectF& rc) {
        QPainterPath pp;
        if (shape == Shape::Ellipse) {
            pp.addEllipse(rc);
        } else {
            pp.addRoundedRect(rc, radius, radius);
        }
        return pp;
    };
    if (!pressed) {
        p.fillPath(path(cap.translated(0, 1)), QColor(0, 0, 0, 120));
    }
    QLinearGradient g(0, cap.top(), 0, cap.bottom());
    if (pressed) {
        g.setColorAt(0, colour.darker(135));
        g.setColorAt(1, colour.lighter(110));
    } else {
        g.setColorAt(0, colour.lighter(140));
        g.setColorAt(0.45, colour);
        g.setColorAt(1, colour.darker(125));
    }
    p.fillPath(path(cap), g);
    // Pressed keys get a light rim, so that even a red key shows its state.
    p.setPen(QPen(pressed ? QColor(255, 150, 140) : colour.darker(170), 1.0));
    p.setBrush(Qt::NoBrush);
    p.drawPath(path(cap));
    if (!pressed) {
        // A gloss line under the top edge.
        p.save();
        p.setClipPath(path(cap.adjusted(1, 1, -1, -1)));
        p.setPen(QPen(QColor(255, 255, 255, 70), 1.0));
        p.drawLine(QPointF(cap.left() + 2, cap.top() + 1.5),
                   QPointF(cap.right() - 2, cap.top() + 1.5));
        p.restore();
    }
    return cap;
}

void Label(QPainter& p, const QRectF& cap, const QString& s, int pixels,
           const QColor& c = Qt::white) {
    Text(p, cap.adjusted(0, 0, 0, 0.5), s, c, LabelFont(pixels));
}

void Fill(QPainter& p, const QPolygonF& poly, const QColor& c) {
    p.setPen(Qt::NoPen);
    p.setBrush(c);
    p.drawPolygon(poly);
    p.setBrush(Qt::NoBrush);
}

// Triangle pointing in direction (dx, dy), centred on c.
QPolygonF Arrow(QPointF c, double size, int dx, int dy) {
    const double h = size / 2;
    if (dx != 0) {
        return QPolygonF(
            {c + QPointF(dx * h, 0), c + QPointF(-dx * h, -h), c + QPointF(-dx * h, h)});
    }
    return QPolygonF({c + QPointF(0, dy * h), c + QPointF(-h, -dy * h), c + QPointF(h, -dy * h)});
}

void PowerSymbol(QPainter& p, QPointF c, double r, const QColor& col) {
    p.setPen(QPen(col, 1.8, Qt::SolidLine, Qt::RoundCap));
    p.drawArc(QRectF(c.x() - r, c.y() - r, 2 * r, 2 * r), 120 * 16, 300 * 16);
    p.drawLine(c + QPointF(0, -r - 1), c + QPointF(0, -1));
}

void MuteSymbol(QPainter& p, QPointF c, const QColor& col) {
    QPolygonF speaker({c + QPointF(-7, -2), c + QPointF(-4, -2), c + QPointF(0, -5.5),
                       c + QPointF(0, 5.5), c + QPointF(-4, 2), c + QPointF(-7, 2)});
    Fill(p, speaker, col);
    p.setPen(QPen(col, 1.4, Qt::SolidLine, Qt::RoundCap));
    p.drawLine(c + QPointF(2.5, -3), c + QPointF(8, 3));
    p.drawLine(c + QPointF(8, -3), c + QPointF(2.5, 3));
}

void KeySymbol(QPainter& p, QPointF c, const QColor& col) {
    p.setPen(QPen(col, 2.2, Qt::SolidLine, Qt::RoundCap));
    p.setBrush(Qt::NoBrush);
    p.drawEllipse(c + QPointF(-6, 0), 4.5, 4.5);
    p.drawLine(c + QPointF(-1.5, 0), c + QPointF(10, 0));
    p.drawLine(c + QPointF(6, 0), c + QPointF(6, 4));
    p.drawLine(c + QPointF(9.5, 0), c + QPointF(9.5, 3.5));
}

void BackspaceSymbol(QPainter& p, QPointF c, const QColor& col) {
    QPolygonF shape({c + QPointF(-8, 0), c + QPointF(-4, -4), c + QPointF(7, -4), c + QPointF(7, 4),
                     c + QPointF(-4, 4)});
    p.setPen(QPen(col, 1.2));
    p.setBrush(Qt::NoBrush);
    p.drawPolygon(shape);
    p.drawLine(c + QPointF(-1, -2), c + QPointF(3.5, 2));
    p.drawLine(c + QPointF(3.5, -2), c + QPointF(-1, 2));
}

void HouseSymbol(QPainter& p, QPointF c, const QColor& col) {
    Fill(p, QPolygonF({c + QPointF(0, -7), c + QPointF(8, 0), c + QPointF(-8, 0)}), col);
    p.fillRect(QRectF(c.x() - 5.5, c.y(), 11, 6), col);
}

void DrawKey(QPainter& p, KeyId id, bool pressed) {
    const KeyRect kr = GetKeyRect(id);
    const QRectF r = ToRectF(kr);
    const QColor white(245, 246, 248);
    const QColor ink(30, 30, 34);
    p.save();
    p.setClipRect(r);
    switch (id) {
        case 48:
        case 49:
        case 50:
        case 51:
        case 52:
        case 53:
        case 54:
        case 55:
        case 56:
        case 57: {
            const QRectF cap = KeyCap(p, r, kKeyDark, pressed, Shape::Rounded, 5);
            Label(p, cap, QString(QChar('0' + (id - 48))), 10);
            break;
        }
        case 8:
            BackspaceSymbol(p, KeyCap(p, r, kKeyDark, pressed, Shape::Rounded, 5).center(), white);
            break;
        case 236:
            Label(p, KeyCap(p, r, kKeyDark, pressed, Shape::Rounded, 5), "Fn", 8);
            break;
        case 233:
            Label(p, KeyCap(p, r, kGreen, pressed, Shape::Rounded, 5), "i", 10);
            break;
        case 27:
            Label(p, KeyCap(p, r, kYellow, pressed, Shape::Rounded, 5), "EXIT", 7, ink);
            break;
        case 235:
            Label(p, KeyCap(p, r, kKeyDark, pressed, Shape::Rounded, 5), "-/--", 8);
            break;
        case 238:
            Label(p, KeyCap(p, r, kKeyDark, pressed, Shape::Rounded, 5), "#", 9);
            break;
        case 234: {
            const QRectF cap = KeyCap(p, r, kRed, pressed, Shape::Ellipse);
            PowerSymbol(p, cap.center() + QPointF(0, 0.5), 6, white);
            break;
        }
        case 173:
            MuteSymbol(p, KeyCap(p, r, kKeyDark, pressed, Shape::Rounded, 9).center(), white);
            break;
        case 244:
            KeySymbol(p, KeyCap(p, r, kGreen, pressed, Shape::Ellipse).center() + QPointF(-1, 0),
                      white);
            break;
        case 175:
        case 174:
        case 33:
        case 34: {
            const bool up = id == 175 || id == 33;
            const QRectF cap = KeyCap(p, r, kKeyDark, pressed, Shape::Rounded, 8);
            if (id == 175 || id == 174) {
                Label(p, cap, up ? "+" : QString(QChar(0x2212)), 13);
            } else {
                Fill(p, Arrow(cap.center(), 8, 0, up ? -1 : 1), white);
            }
            break;
        }
        case 38:
        case 40:
        case 37:
        case 39: {
            // The arrows sit on the silver ring; pressed, a reddish pad lights up under
            // the arrow, rounded so that it reads as part of the ring.
            if (pressed) {
                QPainterPath pad;
                pad.addRoundedRect(r.adjusted(1, 1, -1, -1), 5, 5);
                QRadialGradient glow(r.center(), std::max(r.width(), r.height()) / 2);
                glow.setColorAt(0, Mix(kKeySilver, kPressTint, 0.75));
                glow.setColorAt(1, Mix(kKeySilver, kPressTint, 0.45));
                p.fillPath(pad, glow);
                p.setPen(QPen(QColor(255, 150, 140), 1.0));
                p.drawPath(pad);
            }
            const int dx = id == 37 ? -1 : id == 39 ? 1 : 0;
            const int dy = id == 38 ? -1 : id == 40 ? 1 : 0;
            const QPointF c = r.center() + QPointF(0, pressed ? 1 : 0);
            Fill(p, Arrow(c, 7, dx, dy), QColor(40, 42, 48));
            break;
        }
        case 13:
            Label(p, KeyCap(p, r, kKeyDark, pressed, Shape::Ellipse), "OK", 9);
            break;
        case 146: {
            const QRectF cap = KeyCap(p, r, kKeyDark, pressed, Shape::Rounded, 6);
            p.setPen(Qt::NoPen);
            p.setBrush(QColor(236, 40, 40));
            p.drawEllipse(cap.center(), 4, 4);
            break;
        }
        case 243:
            HouseSymbol(p, KeyCap(p, r, kRed, pressed, Shape::Rounded, 10).center(), white);
            break;
        case 227: {
            const QPointF c = KeyCap(p, r, kKeyDark, pressed, Shape::Rounded, 6).center();
            Fill(p, Arrow(c + QPointF(0, -1.5), 8, 0, -1), white);
            p.fillRect(QRectF(c.x() - 4, c.y() + 3, 8, 1.6), white);
            break;
        }
        case 147:
        case 148: {
            const QPointF c = KeyCap(p, r, kKeyDark, pressed, Shape::Rounded, 6).center();
            const int d = id == 148 ? 1 : -1;
            Fill(p, Arrow(c + QPointF(-3, 0), 6, d, 0), white);
            Fill(p, Arrow(c + QPointF(3, 0), 6, d, 0), white);
            break;
        }
        case 176:
        case 177: {
            const QPointF c = KeyCap(p, r, kKeyDark, pressed, Shape::Rounded, 6).center();
            const int d = id == 176 ? 1 : -1;
            Fill(p, Arrow(c + QPointF(-2.5, 0), 6, d, 0), white);
            Fill(p, Arrow(c + QPointF(3.0, 0), 6, d, 0), white);
            p.fillRect(QRectF(c.x() + d * 6.5 - 0.75, c.y() - 3, 1.5, 6), white);
            break;
        }
        case 179: {
            const QPointF c = KeyCap(p, r, kKeyDark, pressed, Shape::Rounded, 7).center();
            Fill(p, Arrow(c + QPointF(-3, 0), 7, 1, 0), white);
            p.fillRect(QRectF(c.x() + 2, c.y() - 3.5, 1.6, 7), white);
            p.fillRect(QRectF(c.x() + 4.6, c.y() - 3.5, 1.6, 7), white);
            break;
        }
        case 178: {
            const QPointF c = KeyCap(p, r, kKeyDark, pressed, Shape::Rounded, 7).center();
            p.fillRect(QRectF(c.x() - 3.5, c.y() - 3.5, 7, 7), white);
            break;
        }
        case 4103:
        case 4104:
        case 4105:
        case 4106: {
            const QColor colour = id == 4103   ? kYellow
                                  : id == 4104 ? kGreen
                                  : id == 4105 ? kBlue
                                               : kRed;
            const char* letter = id == 4103 ? "X" : id == 4104 ? "B" : id == 4105 ? "A" : "Y";
            Label(p, KeyCap(p, r, colour, pressed, Shape::Ellipse), letter, 11);
            break;
        }
        case 4101:
        case 4102:
            Label(p, KeyCap(p, r, kKeySilver.darker(150), pressed, Shape::Ellipse),
                  id == 4102 ? "SEL" : "ST", 7);
            break;
        case 4097:
        case 4098:
        case 4099:
        case 4100: {
            const QRectF cap = KeyCap(p, r, kKeyDark.darker(115), pressed, Shape::Rounded, 3);
            const int dx = id == 4097 ? -1 : id == 4098 ? 1 : 0;
            const int dy = id == 4100 ? -1 : id == 4099 ? 1 : 0;
            Fill(p, Arrow(cap.center(), 7, dx, dy), QColor(200, 204, 212));
            break;
        }
        case 4107:
        case 4108: {
            // Side key standing out of the left edge of the body.
            QRectF bar = r.adjusted(0.5, 1.5, -4.5, -1.5);
            QColor c = kKeySilver;
            if (pressed) {
                c = Mix(c, kPressTint, 0.6);
                bar.translate(1, 0);
            }
            QLinearGradient g(bar.left(), 0, bar.right(), 0);
            g.setColorAt(0, c.darker(140));
            g.setColorAt(0.35, c.lighter(115));
            g.setColorAt(1, c.darker(120));
            QPainterPath pp;
            pp.addRoundedRect(bar, 4, 4);
            p.fillPath(pp, g);
            p.setPen(QPen(c.darker(220), 1.0));
            p.drawPath(pp);
            p.setPen(QPen(c.darker(160), 1.0));
            for (double y = bar.center().y() - 6; y <= bar.center().y() + 6.5; y += 4) {
                p.drawLine(QPointF(bar.left() + 2.5, y + 0.5), QPointF(bar.right() - 2, y + 0.5));
            }
            break;
        }
        default:
            KeyCap(p, r, kKeyDark, pressed, Shape::Rounded);
            break;
    }
    p.restore();
}

QImage DrawRemote(bool pressed) {
    QImage img(kRemotePictureWidth, kRemotePictureHeight, QImage::Format_RGB32);
    QPainter p(&img);
    p.setRenderHint(QPainter::Antialiasing);
    p.setRenderHint(QPainter::TextAntialiasing);
    DrawBody(p);
    DrawPrintedParts(p);
    for (KeyId id : KeyIdsWithRect()) {
        DrawKey(p, id, pressed);
    }
    return img;
}

QImage DrawIcon() {
    QImage img(128, 128, QImage::Format_ARGB32_Premultiplied);
    img.fill(Qt::transparent);
    QPainter p(&img);
    p.setRenderHint(QPainter::Antialiasing);
    QPainterPath tile;
    tile.addRoundedRect(QRectF(4, 4, 120, 120), 24, 24);
    QLinearGradient bg(0, 4, 0, 124);
    bg.setColorAt(0, QColor(64, 132, 226));
    bg.setColorAt(1, QColor(24, 62, 140));
    p.fillPath(tile, bg);
    // The remote, tilted.
    p.translate(64, 66);
    p.rotate(-20);
    QPainterPath body;
    body.addRoundedRect(QRectF(-22, -54, 44, 108), 18, 18);
    p.fillPath(body.translated(3, 4), QColor(0, 0, 0, 70));
    QLinearGradient across(-22, 0, 22, 0);
    across.setColorAt(0, QColor(70, 75, 86));
    across.setColorAt(0.3, QColor(104, 110, 124));
    across.setColorAt(1, QColor(32, 35, 41));
    p.fillPath(body, across);
    p.setPen(QPen(QColor(14, 15, 18), 1.5));
    p.drawPath(body);
    p.setPen(Qt::NoPen);
    p.setBrush(QColor(214, 38, 36));
    p.drawEllipse(QPointF(-9, -38), 6, 6);
    p.setBrush(QColor(36, 180, 80));
    p.drawEllipse(QPointF(9, -38), 7, 7);
    p.setBrush(QColor(200, 206, 216));
    for (int row = 0; row < 4; ++row) {
        for (int col = 0; col < 3; ++col) {
            p.drawRoundedRect(QRectF(-15 + col * 11, -24 + row * 10, 8, 6), 2, 2);
        }
    }
    p.setBrush(QColor(236, 192, 36));
    p.drawEllipse(QPointF(0, 30), 9, 9);
    p.setBrush(QColor(40, 42, 48));
    p.drawEllipse(QPointF(0, 30), 3.5, 3.5);
    return img;
}

bool Save(const QImage& img, const QString& path) {
    if (!img.save(path, "PNG")) {
        std::fprintf(stderr, "remote_bitmaps: cannot write %s\n", qPrintable(path));
        return false;
    }
    return true;
}

// Bitmap 133 must equal 132 outside the key rectangles and differ in each of them.
bool Check(const QImage& normal, const QImage& pressed) {
    QImage outside(normal.size(), QImage::Format_Mono);
    outside.fill(1);
    bool ok = true;
    for (KeyId id : KeyIdsWithRect()) {
        const KeyRect r = GetKeyRect(id);
        bool differs = false;
        for (int y = r.top; y < r.bottom; ++y) {
            for (int x = r.left; x < r.right; ++x) {
                outside.setPixel(x, y, 0);
                differs = differs || normal.pixel(x, y) != pressed.pixel(x, y);
            }
        }
        if (!differs) {
            std::fprintf(stderr, "remote_bitmaps: key %u looks the same pressed\n", id);
            ok = false;
        }
    }
    for (int y = 0; y < normal.height(); ++y) {
        for (int x = 0; x < normal.width(); ++x) {
            if (outside.pixelIndex(x, y) == 1 && normal.pixel(x, y) != pressed.pixel(x, y)) {
                std::fprintf(stderr, "remote_bitmaps: pixel %d,%d differs outside every key\n", x,
                             y);
                return false;
            }
        }
    }
    return ok;
}

}  // namespace

int main(int argc, char** argv) {
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) {
        qputenv("QT_QPA_PLATFORM", "offscreen");
    }
    QGuiApplication app(argc, argv);
    if (argc != 2) {
        std::fprintf(stderr, "usage: remote_bitmaps OUTPUT_DIR\n");
        return 2;
    }
    const QDir out(QString::fromLocal8Bit(argv[1]));

    const QImage normal = DrawRemote(false);
    const QImage allPressed = DrawRemote(true);
    // 133 is 132 with every key rectangle taken from the all-pressed drawing, so
    // nothing outside the rectangles can differ.
    QImage pressed = normal.copy();
    {
        QPainter p(&pressed);
        p.setCompositionMode(QPainter::CompositionMode_Source);
        for (KeyId id : KeyIdsWithRect()) {
            const KeyRect r = GetKeyRect(id);
            const QRect rect(r.left, r.top, r.Width(), r.Height());
            p.drawImage(rect, allPressed, rect);
        }
    }
    const std::vector<QImage> indexed = ToSharedIndexed8({normal, pressed});
    if (!Check(indexed[0], indexed[1])) {
        return 1;
    }
    const bool ok = Save(indexed[0], out.filePath("remote_132.png")) &&
                    Save(indexed[1], out.filePath("remote_133.png")) &&
                    Save(DrawIcon(), out.filePath("quillon_128.png"));
    return ok ? 0 : 1;
}
