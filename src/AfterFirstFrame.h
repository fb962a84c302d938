// AfterFirstFrame: runs a piece of start-up work once a window's first frame has been painted, so
// that work which waits on something outside the program (the session bus, say) never delays the
// first sight of the window. It watches the window's paint events and deletes itself afterwards.
//
// Threads: GUI thread only.
#pragma once

#include <QObject>
#include <functional>

class QWidget;

class AfterFirstFrame : public QObject
{
public:
    // `work` runs from the event loop, after the paint pass that first paints `window`.
    static void run(QWidget& window, std::function<void()> work);

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    AfterFirstFrame(QWidget& window, std::function<void()> work);

    std::function<void()> work;
};
