// The floor for the window's own work: Brisnak's widgets, built by the same form, in the state
// the player shows them (the file in the playlist, the status text, the seek bar's range), and
// the same 500 ms tick moving the seek bar as playback would, with no engine behind them.
//
//     bench_window_floor playing|paused|stopped FILE LENGTH_MS
//
// playing: the tick sets the seek bar to the time since the start; paused and stopped: the tick
// sets it to the same value each time, as the player's tick does while nothing moves. Prints
// "ready nanoseconds" once the window is up (DriverClock.h), then runs until killed.
#include "DriverClock.h"
#include "MainWindowForm.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QLabel>
#include <QListWidget>
#include <QMainWindow>
#include <QSlider>
#include <QStatusBar>
#include <QTimer>
#include <cstdio>

int main(int argc, char* argv[])
{
    QApplication app(argc, argv);
    if (argc != 4) {
        std::fprintf(stderr, "usage: %s playing|paused|stopped FILE LENGTH_MS\n", argv[0]);
        return 2;
    }
    const QString mode = QString::fromLocal8Bit(argv[1]);
    const QString file = QString::fromLocal8Bit(argv[2]);
    const int length = QString::fromLocal8Bit(argv[3]).toInt();
    if (mode != QLatin1String("playing") && mode != QLatin1String("paused") &&
        mode != QLatin1String("stopped")) {
        std::fprintf(stderr, "unknown mode %s\n", argv[1]);
        return 2;
    }

    QMainWindow window;
    MainWindowForm form;
    form.SetupForm(&window);
    auto* statusLabel = new QLabel(&window);
    form.statusBar->addPermanentWidget(statusLabel, 200);
    statusLabel->show();

    form.listFiles->insertItem(0, file);
    form.listFiles->item(0)->setSelected(true);
    form.seekBar->setMaximum(length);
    if (mode == QLatin1String("playing"))
        statusLabel->setText(QStringLiteral("Now playing: ") + file);
    else if (mode == QLatin1String("paused"))
        statusLabel->setText(QStringLiteral("Music is paused!"));

    // Where the player's position stands while it does not move: a second in, or at the start.
    const int still = mode == QLatin1String("paused") ? 1000 : 0;
    form.seekBar->setValue(still);
    QElapsedTimer sinceStart;
    sinceStart.start();
    QTimer tick;
    tick.setInterval(500);
    QObject::connect(&tick, &QTimer::timeout, [&] {
        form.seekBar->setValue(
            mode == QLatin1String("playing") ? static_cast<int>(sinceStart.elapsed()) : still);
    });
    tick.start();

    window.show();
    QTimer::singleShot(0, [] { DriverClock::mark("ready"); });
    return app.exec();
}
