#pragma once

// The bare dialog's stand-in for the widget the main dialog lays over its picture of
// the remote: a plain widget, so the baseline carries nothing of the program.

#include <QWidget>

class RemotePictureArea : public QWidget {
public:
    using QWidget::QWidget;
};
