#include "AfterFirstFrame.h"

#include <QEvent>
#include <QWidget>

AfterFirstFrame::AfterFirstFrame(QWidget& window, std::function<void()> task)
    : QObject(&window), work(std::move(task))
{
    window.installEventFilter(this);
}

void AfterFirstFrame::run(QWidget& window, std::function<void()> work)
{
    new AfterFirstFrame(window, std::move(work));
}

bool AfterFirstFrame::eventFilter(QObject* watched, QEvent* event)
{
    if (event->type() == QEvent::Paint) {
        watched->removeEventFilter(this);
        // Not inside the paint pass: once the event loop comes round again.
        QMetaObject::invokeMethod(
            this,
            [this] {
                work();
                deleteLater();
            },
            Qt::QueuedConnection);
    }
    return false;
}
