#pragma once

// The station window's picture of the remote: the main window's picture and key
// highlight, scaled to the space it is given (never cut), with every key pressed so
// far marked by a colour and a check mark, and flagged keys (double, stuck) by another
// colour and an exclamation mark, so colour is never the only sign.

#include <QImage>
#include <QWidget>
#include <vector>

#include "receiver/types.h"

class QPainter;

struct StationKeyMarks {
    KeyId held = 0;  // highlighted as the main window does
    std::vector<KeyId> pressed;
    std::vector<KeyId> flagged;
};

// Where the picture goes inside `area`: as large as fits, centred, its aspect kept.
QRect StationPictureRect(const QRect& area);

// Paints the picture with its marks into StationPictureRect(area).
void PaintStationPicture(QPainter& p, const QRect& area, const QImage& normal,
                         const QImage& pressed, const StationKeyMarks& marks);

// The widget the .ui places; the window hands it the marks. The held key is its
// accessible description.
class StationRemoteView : public QWidget {
    Q_OBJECT

public:
    explicit StationRemoteView(QWidget* parent = nullptr);
    void SetMarks(StationKeyMarks marks);
    const StationKeyMarks& Marks() const { return m_marks; }
    QSize sizeHint() const override;
    QSize minimumSizeHint() const override;

protected:
    void paintEvent(QPaintEvent* e) override;

private:
    QImage m_normal;
    QImage m_pressed;
    StationKeyMarks m_marks;
};
