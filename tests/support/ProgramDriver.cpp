#include "ProgramDriver.h"

#include "DriverClock.h"
#include "FileDialogAnswer.h"

#include <QAbstractItemModel>
#include <QAction>
#include <QApplication>
#include <QElapsedTimer>
#include <QEvent>
#include <QFile>
#include <QListWidget>
#include <QMainWindow>
#include <QPointer>
#include <QSlider>
#include <QTimer>
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <unistd.h>
#include <vector>

namespace
{

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
            paintedNs = DriverClock::nowNs();
        return false;
    }
};

[[noreturn]] void fail(const char* what)
{
    std::fprintf(stderr, "brisnakdriver: %s\n", what);
    std::fflush(stderr);
    _exit(2);
}

} // namespace

bool ProgramDriver::readLines(const QString& path, QStringList& lines)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly | QIODevice::Text))
        return false;
    while (!file.atEnd()) {
        const QString line = QString::fromUtf8(file.readLine()).trimmed();
        if (!line.isEmpty())
            lines << line;
    }
    return true;
}

ProgramDriver::ProgramDriver(QStringList command, QObject* parent)
    : QObject(parent), command(std::move(command))
{
    if (this->command.isEmpty())
        this->command << QStringLiteral("startup");
}

bool ProgramDriver::eventFilter(QObject* watched, QEvent* event)
{
    if (!window && event->type() == QEvent::Show) {
        auto* shown = qobject_cast<QMainWindow*>(watched);
        if (shown && shown->isWindow()) {
            window = shown;
            DriverClock::mark("shown");
            if (command.first() != QLatin1String("startup"))
                QTimer::singleShot(0, this, [this] { run(); });
        }
    } else if (window && !painted && watched == window && event->type() == QEvent::Paint) {
        painted = true;
        if (command.first() == QLatin1String("startup")) {
            // The window paints inside the delivery of an expose or update request, and its
            // children are painted and the frame flushed before that delivery returns: a call
            // queued now runs once the first frame is out.
            DriverClock::mark("paint-begin");
            QMetaObject::invokeMethod(
                this,
                [] {
                    DriverClock::mark("painted");
                    // Nothing after the first frame is measured: skip the tear-down.
                    _exit(0);
                },
                Qt::QueuedConnection);
        }
    }
    return false;
}

void ProgramDriver::run()
{
    list = window->findChild<QListWidget*>(QStringLiteral("listFiles"));
    seekBar = window->findChild<QSlider*>(QStringLiteral("seekBar"));
    if (!list || !seekBar)
        fail("the window has no playlist or no seek bar");
    const QString& name = command.first();
    if (name == QLatin1String("play") || name == QLatin1String("pause") ||
        name == QLatin1String("stop"))
        playAndHold();
    else if (name == QLatin1String("clicks"))
        clicks();
    else if (name == QLatin1String("pauses"))
        pauses();
    else if (name == QLatin1String("seeks"))
        seeks();
    else if (name == QLatin1String("add"))
        QCoreApplication::exit(addMany());
    else if (name == QLatin1String("fill"))
        fill();
    else
        fail("unknown command");
}

// Commands -------------------------------------------------------------------------------------

void ProgramDriver::playAndHold()
{
    if (command.size() != 2)
        fail("usage: play|pause|stop FILE");
    addFiles({command[1]});
    DriverClock::mark("click");
    press("on_playButton_clicked");
    DriverClock::mark("playing");
    DriverClock::print("length-ms", seekBar->maximum());
    if (command.first() == QLatin1String("pause"))
        then(1000, [this] {
            press("on_pauseButton_clicked");
            DriverClock::mark("paused");
        });
    else if (command.first() == QLatin1String("stop"))
        then(1000, [this] {
            press("on_stopButton_clicked");
            DriverClock::mark("stopped");
        });
}

void ProgramDriver::clicks()
{
    if (command.size() < 4)
        fail("usage: clicks N GAP FILE...");
    const int count = command[1].toInt();
    const int gap = command[2].toInt();
    const QStringList files = command.mid(3);
    addFiles(files);
    for (int i = 0; i < count; ++i) {
        const int row = i % static_cast<int>(files.size());
        then(i == 0 ? 700 : gap, [this, row] {
            aimPlayAt(row);
            DriverClock::mark("click", row);
            press("on_playButton_clicked");
            DriverClock::mark("returned");
        });
        then(1500, [this] {
            DriverClock::mark("stop-click");
            press("on_stopButton_clicked");
        });
    }
    then(700, [this] { finish(); });
}

void ProgramDriver::pauses()
{
    if (command.size() != 3)
        fail("usage: pauses N FILE");
    const int count = command[1].toInt();
    addFiles({command[2]});
    then(700, [this] {
        DriverClock::mark("click");
        press("on_playButton_clicked");
    });
    for (int i = 0; i < count; ++i) {
        then(1500, [this] {
            DriverClock::mark("pause-click");
            press("on_pauseButton_clicked");
        });
        then(700, [this] {
            DriverClock::mark("resume-click");
            press("on_playButton_clicked");
        });
    }
    then(1500, [this] { finish(); });
}

void ProgramDriver::seeks()
{
    if (command.size() < 3)
        fail("usage: seeks FILE MS...");
    addFiles({command[1]});
    then(700, [this] {
        DriverClock::mark("click");
        press("on_playButton_clicked");
    });
    for (const QString& target : command.mid(2)) {
        const int ms = target.toInt();
        then(1500, [this, ms] {
            DriverClock::mark("seek-click", ms);
            seekTo(ms);
        });
    }
    then(1500, [this] { finish(); });
}

QStringList ProgramDriver::listedPaths(const char* usage) const
{
    QStringList paths;
    if (command.size() != 2)
        fail(usage);
    if (!readLines(command[1], paths))
        fail("cannot read the list of paths");
    return paths;
}

int ProgramDriver::addMany()
{
    const QStringList paths = listedPaths("usage: add LIST");

    int64_t firstRow = 0;
    int64_t lastRow = 0;
    connect(list->model(), &QAbstractItemModel::rowsAboutToBeInserted, this, [&firstRow] {
        if (firstRow == 0)
            firstRow = DriverClock::nowNs();
    });
    connect(list->model(), &QAbstractItemModel::rowsInserted, this,
            [&lastRow] { lastRow = DriverClock::nowNs(); });

    // A heartbeat every 5 ms: the longest gap between two beats is the longest time the window
    // could not answer the user.
    std::vector<int64_t> beats;
    beats.reserve(100000);
    QTimer heartbeat;
    heartbeat.setTimerType(Qt::PreciseTimer);
    connect(&heartbeat, &QTimer::timeout, this,
            [&beats] { beats.push_back(DriverClock::nowNs()); });
    heartbeat.start(5);

    PaintWatch watch;
    list->viewport()->installEventFilter(&watch);

    const int64_t answered = addFiles(paths);
    const int64_t returned = DriverClock::nowNs();
    watch.armed = true;

    QElapsedTimer waited;
    waited.start();
    while ((watch.paintedNs == 0 || DriverClock::nowNs() - watch.paintedNs < 300000000) &&
           waited.elapsed() < 20000)
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
    heartbeat.stop();
    list->model()->disconnect(this);

    int64_t longestGap = 0;
    for (size_t i = 1; i < beats.size(); ++i)
        if (beats[i] > answered)
            longestGap = std::max(longestGap, beats[i] - std::max(beats[i - 1], answered));

    DriverClock::print("paths", paths.size());
    DriverClock::print("rows", list->count());
    DriverClock::print("answered", answered);
    DriverClock::print("first-row", firstRow);
    DriverClock::print("last-row", lastRow);
    DriverClock::print("returned", returned);
    DriverClock::print("painted", watch.paintedNs);
    DriverClock::print("longest-gap", longestGap);
    return list->count() == paths.size() ? 0 : 1;
}

void ProgramDriver::fill()
{
    addFiles(listedPaths("usage: fill LIST"));
    DriverClock::print("rows", list->count());
}

// The window's commands ------------------------------------------------------------------------

int64_t ProgramDriver::addFiles(const QStringList& paths)
{
    auto* command = window->findChild<QAction*>(QStringLiteral("menuAddFiles"));
    if (!command)
        fail("the window has no Add files command");
    FileDialogAnswer answer(paths);
    qApp->installEventFilter(&answer);
    command->trigger();
    qApp->removeEventFilter(&answer);
    if (list->count() < paths.size())
        fail("the playlist did not take the files");
    return answer.answeredNs();
}

void ProgramDriver::press(const char* slot)
{
    if (!QMetaObject::invokeMethod(window, slot, Qt::DirectConnection))
        fail("the window has no such slot");
}

void ProgramDriver::aimPlayAt(int row)
{
    if (row == 0)
        list->setCurrentItem(nullptr);
    else
        list->setCurrentRow(row - 1);
}

void ProgramDriver::seekTo(int milliseconds)
{
    // A drag: pressed, moved (the slider's signals as the mouse sends them), released.
    seekBar->setSliderDown(true);
    seekBar->setSliderPosition(milliseconds);
    seekBar->setSliderDown(false);
}

// Steps ----------------------------------------------------------------------------------------

void ProgramDriver::then(int delayMs, std::function<void()> step)
{
    steps.emplace_back(delayMs, std::move(step));
    if (!stepDue) {
        stepDue = true;
        QTimer::singleShot(steps.front().first, Qt::PreciseTimer, this, [this] { runSteps(); });
    }
}

void ProgramDriver::runSteps()
{
    auto step = std::move(steps.front().second);
    steps.pop_front();
    step();
    stepDue = !steps.empty();
    if (stepDue)
        QTimer::singleShot(steps.front().first, Qt::PreciseTimer, this, [this] { runSteps(); });
}

void ProgramDriver::finish()
{
    DriverClock::mark("done");
    QCoreApplication::quit();
}
