// StatusLabel: the status bar's label, as the window's statusLabel. Its text stays whole (text()
// is what was set), but a text wider than the label (a long path) is shown shortened in the middle
// and never widens the window: the label asks for no width of its own.
//
// Threads: GUI thread only.
#pragma once

#include <QLabel>

class StatusLabel : public QLabel
{
public:
    explicit StatusLabel(QWidget* parent);

    QSize minimumSizeHint() const override;

protected:
    void paintEvent(QPaintEvent* event) override;
};
