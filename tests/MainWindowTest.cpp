#include "MainWindow.h"

#include <QLabel>
#include <QListWidget>
#include <QSlider>
#include <QStatusBar>
#include <QTest>

class MainWindowTest : public QObject
{
    Q_OBJECT

private slots:
    void shouldStartWithEmptyPlaylistAndIdleSlider()
    {
        MainWindow window;
        auto* list = window.findChild<QListWidget*>("listFiles");
        auto* seekBar = window.findChild<QSlider*>("seekBar");
        QVERIFY(list);
        QVERIFY(seekBar);
        QCOMPARE(list->count(), 0);
        QCOMPARE(seekBar->minimum(), 0);
        QCOMPARE(seekBar->maximum(), 99);
        QCOMPARE(seekBar->value(), 0);
        QVERIFY(window.windowTitle().isEmpty());
    }
};

QTEST_MAIN(MainWindowTest)
#include "MainWindowTest.moc"
