// Drives Brisnak's real window for the whole-player benchmarks: the MainWindow that main builds,
// shown (on whatever platform QT_QPA_PLATFORM names), with files added through its own Add files
// command (the file dialog answered by FileDialogAnswer) and its buttons pressed through their
// slots. Times go to stdout as "name nanoseconds" lines (see BenchClock.h).
//
//     bench_player play FILE        Play, then keep playing until killed
//     bench_player pause FILE       Play, Pause after one second, then stay paused until killed
//     bench_player stop FILE        Play, Stop after one second, then stay stopped until killed
//     bench_player clicks FILE N    N times: Play, wait 1.5 s, Stop, wait 0.7 s; then exit
//     bench_player add LIST         add every path in the file LIST (one a line) at once; exit
#include "BenchClock.h"
#include "FileDialogAnswer.h"
#include "MainWindow.h"

#include <QAbstractItemModel>
#include <QApplication>
#include <QElapsedTimer>
#include <QEvent>
#include <QFile>
#include <QListWidget>
#include <QSlider>
#include <QTimer>
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <vector>

namespace
{

void press(MainWindow& window, const char* slot)
{
    if (!QMetaObject::invokeMethod(&window, slot, Qt::DirectConnection)) {
        std::fprintf(stderr, "MainWindow has no slot %s\n", slot);
        std::exit(2);
    }
}

// File > Add files, answered with `paths`. Returns when the command has returned.
int64_t addFiles(MainWindow& window, const QStringList& paths)
{
    FileDialogAnswer answer(paths);
    qApp->installEventFilter(&answer);
    press(window, "on_menuAddFiles_triggered");
    qApp->removeEventFilter(&answer);
    return answer.answeredNs();
}

void printValue(const char* name, long long value)
{
    std::printf("%s %lld\n", name, value);
    std::fflush(stdout);
}

// Notes the first paint of a widget after it is armed.
class PaintWatch : public QObject
{
public:
    using QObject::QObject;
    bool armed = false;
    int64_t paintedNs = 0;
    bool eventFilter(QObject*, QEvent* event) override
    {
        if (armed && event->type() == QEvent::Paint && paintedNs == 0)
            paintedNs = BenchClock::nowNs();
        return false;
    }
};

int addMany(MainWindow& window, const QString& listPath)
{
    QFile list(listPath);
    if (!list.open(QIODevice::ReadOnly | QIODevice::Text)) {
        std::fprintf(stderr, "cannot read %s\n", qPrintable(listPath));
        return 2;
    }
    QStringList paths;
    while (!list.atEnd()) {
        const QString line = QString::fromLocal8Bit(list.readLine()).trimmed();
        if (!line.isEmpty())
            paths << line;
    }

    auto* listFiles = window.findChild<QListWidget*>(QStringLiteral("listFiles"));
    int64_t firstRow = 0;
    int64_t lastRow = 0;
    QObject::connect(listFiles->model(), &QAbstractItemModel::rowsAboutToBeInserted, listFiles,
                     [&firstRow] {
                         if (firstRow == 0)
                             firstRow = BenchClock::nowNs();
                     });
    QObject::connect(listFiles->model(), &QAbstractItemModel::rowsInserted, listFiles,
                     [&lastRow] { lastRow = BenchClock::nowNs(); });

    // A heartbeat every 5 ms: the longest gap between two beats is the longest time the window
    // could not answer the user.
    std::vector<int64_t> beats;
    beats.reserve(100000);
    QTimer heartbeat;
    heartbeat.setTimerType(Qt::PreciseTimer);
    QObject::connect(&heartbeat, &QTimer::timeout,
                     [&beats] { beats.push_back(BenchClock::nowNs()); });
    heartbeat.start(5);

    PaintWatch watch;
    listFiles->viewport()->installEventFilter(&watch);

    const int64_t answered = addFiles(window, paths);
    const int64_t returned = BenchClock::nowNs();
    watch.armed = true;

    QElapsedTimer waited;
    waited.start();
    while ((watch.paintedNs == 0 || BenchClock::nowNs() - watch.paintedNs < 300000000) &&
           waited.elapsed() < 20000)
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);

    int64_t longestGap = 0;
    for (size_t i = 1; i < beats.size(); ++i)
        if (beats[i] > answered)
            longestGap = std::max(longestGap, beats[i] - std::max(beats[i - 1], answered));

    printValue("paths", paths.size());
    printValue("rows", listFiles->count());
    printValue("answered", answered);
    printValue("first-row", firstRow);
    printValue("last-row", lastRow);
    printValue("returned", returned);
    printValue("painted", watch.paintedNs);
    printValue("longest-gap", longestGap);
    return listFiles->count() == paths.size() ? 0 : 1;
}

} // namespace

int main(int argc, char* argv[])
{
    QApplication app(argc, argv);
    if (argc < 3) {
        std::fprintf(stderr, "usage: %s play|pause|stop|clicks|add FILE [N]\n", argv[0]);
        return 2;
    }
    const QString mode = QString::fromLocal8Bit(argv[1]);
    const QString file = QString::fromLocal8Bit(argv[2]);

    MainWindow window;
    window.show();
    QCoreApplication::processEvents();

    if (mode == QLatin1String("add"))
        return addMany(window, file);

    addFiles(window, {file});
    auto* seekBar = window.findChild<QSlider*>(QStringLiteral("seekBar"));

    if (mode == QLatin1String("clicks")) {
        const int count = argc > 3 ? std::atoi(argv[3]) : 10;
        int done = 0;
        QTimer next;
        next.setSingleShot(true);
        QObject::connect(&next, &QTimer::timeout, [&] {
            if (done == count) {
                BenchClock::mark("done");
                QCoreApplication::quit();
                return;
            }
            ++done;
            BenchClock::mark("click");
            press(window, "on_playButton_clicked");
            BenchClock::mark("returned");
            QTimer::singleShot(1500, &window, [&] {
                press(window, "on_stopButton_clicked");
                next.start(700);
            });
        });
        next.start(700);
        return app.exec();
    }

    BenchClock::mark("click");
    press(window, "on_playButton_clicked");
    BenchClock::mark("playing");
    printValue("length-ms", seekBar->maximum());
    if (mode == QLatin1String("pause"))
        QTimer::singleShot(1000, &window, [&window] {
            press(window, "on_pauseButton_clicked");
            BenchClock::mark("paused");
        });
    else if (mode == QLatin1String("stop"))
        QTimer::singleShot(1000, &window, [&window] {
            press(window, "on_stopButton_clicked");
            BenchClock::mark("stopped");
        });
    else if (mode != QLatin1String("play")) {
        std::fprintf(stderr, "unknown mode %s\n", argv[1]);
        return 2;
    }
    return app.exec();
}
