// Start-up work that waits for the window's first frame: it runs once, after the window has been
// painted, and never while the window is hidden.
#include "AfterFirstFrame.h"

#include <QEvent>
#include <QTest>
#include <QWidget>

namespace
{

// Counts the paint events a widget receives.
class PaintCount : public QObject
{
public:
    int paints = 0;

protected:
    bool eventFilter(QObject*, QEvent* event) override
    {
        if (event->type() == QEvent::Paint)
            ++paints;
        return false;
    }
};

} // namespace

class AfterFirstFrameTest : public QObject
{
    Q_OBJECT

private slots:
    void shouldRunOnceAfterTheFirstPaint()
    {
        QWidget window;
        PaintCount count;
        window.installEventFilter(&count);
        int runs = 0;
        int paintsBeforeRun = -1;
        AfterFirstFrame::run(window, [&] {
            ++runs;
            paintsBeforeRun = count.paints;
        });
        QTest::qWait(50);
        QCOMPARE(runs, 0);

        window.show();
        QTRY_COMPARE(runs, 1);
        QCOMPARE(paintsBeforeRun, 1);
        window.update();
        QTRY_VERIFY(count.paints >= 2);
        QTest::qWait(20);
        QCOMPARE(runs, 1);
    }

    void shouldNotRunWhenTheWindowGoesFirst()
    {
        int runs = 0;
        {
            QWidget window;
            AfterFirstFrame::run(window, [&] { ++runs; });
        }
        QTest::qWait(20);
        QCOMPARE(runs, 0);
    }
};

QTEST_MAIN(AfterFirstFrameTest)
#include "AfterFirstFrameTest.moc"
