#include "MainWindowProbe.h"

#include "MainWindow.h"
#include "SoundPlayer.h"

#include <QAction>
#include <QApplication>
#include <QFileDialog>
#include <QLabel>
#include <QListWidget>
#include <QPushButton>
#include <QSlider>
#include <QTest>
#include <QTimer>

MainWindowProbe::MainWindowProbe() : win(std::make_unique<MainWindow>()) {}

MainWindowProbe::~MainWindowProbe() = default;

bool MainWindowProbe::show(const QStringList& rows)
{
    win->show();
    if (!QTest::qWaitForWindowExposed(win.get()))
        return false;
    addRows(rows);
    return true;
}

SoundPlayer& MainWindowProbe::player() const
{
    return *win->player;
}

QTimer* MainWindowProbe::timer() const
{
    return win->timer;
}

QString MainWindowProbe::status() const
{
    return win->statusLabel->text();
}

int MainWindowProbe::paused() const
{
    return win->player->paused;
}

QListWidget* MainWindowProbe::list() const
{
    return win->findChild<QListWidget*>(QStringLiteral("listFiles"));
}

QSlider* MainWindowProbe::seekBar() const
{
    return win->findChild<QSlider*>(QStringLiteral("seekBar"));
}

QPushButton* MainWindowProbe::button(const char* objectName) const
{
    return win->findChild<QPushButton*>(QLatin1String(objectName));
}

QAction* MainWindowProbe::action(const char* objectName) const
{
    return win->findChild<QAction*>(QLatin1String(objectName));
}

QString MainWindowProbe::nowPlaying(const QString& path)
{
    return QStringLiteral("Now playing: ") + path;
}

bool MainWindowProbe::advances() const
{
    const uint32_t start = player().GetPosition();
    return QTest::qWaitFor([&] { return player().GetPosition() > start; }, 5000);
}

bool MainWindowProbe::holdsStill() const
{
    for (int attempt = 0; attempt < 5; ++attempt) {
        const uint32_t before = player().GetPosition();
        QTest::qWait(300);
        if (player().GetPosition() == before)
            return true;
    }
    return false;
}

bool MainWindowProbe::passes(uint32_t ms) const
{
    return QTest::qWaitFor([&] { return player().GetPosition() > ms; }, 5000);
}

QList<int> MainWindowProbe::selectedRows() const
{
    QList<int> rows;
    QListWidget* files = list();
    for (int row = 0; row < files->count(); ++row) {
        if (files->item(row)->isSelected())
            rows << row;
    }
    return rows;
}

void MainWindowProbe::addRows(const QStringList& paths)
{
    for (const QString& path : paths)
        list()->addItem(path);
}

void MainWindowProbe::clickRow(int row)
{
    QListWidget* files = list();
    QListWidgetItem* item = files->item(row);
    files->scrollToItem(item);
    QTest::mouseClick(files->viewport(), Qt::LeftButton, {}, files->visualItemRect(item).center());
}

void MainWindowProbe::doubleClickRow(int row)
{
    QListWidget* files = list();
    QListWidgetItem* item = files->item(row);
    files->scrollToItem(item);
    // What a mouse delivers: press and release, then the double-click and its release.
    const QPoint at = files->visualItemRect(item).center();
    QTest::mouseClick(files->viewport(), Qt::LeftButton, {}, at);
    QTest::mouseDClick(files->viewport(), Qt::LeftButton, {}, at);
    QTest::mouseRelease(files->viewport(), Qt::LeftButton, {}, at);
}

void MainWindowProbe::click(const char* buttonName)
{
    QTest::mouseClick(button(buttonName), Qt::LeftButton);
}

void MainWindowProbe::trigger(const char* actionName)
{
    action(actionName)->trigger();
}

void MainWindowProbe::command(const char* name, bool viaMenu)
{
    const QByteArray command(name);
    if (viaMenu)
        trigger(("menu" + command).constData());
    else
        click((command.toLower() + "Button").constData());
}

void MainWindowProbe::dragSliderTo(int value)
{
    pressAndMoveSlider(value);
    releaseSlider();
}

void MainWindowProbe::pressAndMoveSlider(int value)
{
    QSlider* slider = seekBar();
    const int to = qBound(slider->minimum(), value, slider->maximum());
    slider->setSliderDown(true);
    // The handle passes the position beside `to` on its way, so that it moves even when it
    // already stood at `to`.
    slider->setSliderPosition(to > slider->minimum() ? to - 1 : to + 1);
    slider->setSliderPosition(to);
}

void MainWindowProbe::releaseSlider()
{
    seekBar()->setSliderDown(false);
}

bool MainWindowProbe::playToTheEnd()
{
    SoundPlayer& sound = player();
    sound.SetPosition(sound.GetLength());
    return QTest::qWaitFor(
        [&] { return sound.GetLength() > 0 && sound.GetPosition() == sound.GetLength(); }, 5000);
}

void MainWindowProbe::tick()
{
    QMetaObject::invokeMethod(win.get(), "UpdateTime");
}

bool MainWindowProbe::withFileDialog(const std::function<void(QFileDialog&)>& handle)
{
    bool opened = false;
    bool waiting = true;
    std::function<void()> poll = [&] {
        if (!waiting)
            return;
        auto* dialog = qobject_cast<QFileDialog*>(QApplication::activeModalWidget());
        if (!dialog) {
            QTimer::singleShot(10, poll);
            return;
        }
        opened = true;
        waiting = false;
        handle(*dialog);
    };
    QTimer::singleShot(0, poll);
    trigger("menuAddFiles");
    waiting = false;
    // Let a poll that is already queued see that the dialog is gone.
    QCoreApplication::processEvents();
    return opened;
}

QStringList MainWindowProbe::addFiles(const QStringList& names)
{
    QStringList chosen;
    withFileDialog([&](QFileDialog& dialog) {
        QStringList quoted;
        for (const QString& name : names)
            quoted << QLatin1Char('"') + name + QLatin1Char('"');
        dialog.selectFile(quoted.join(QLatin1Char(' ')));
        chosen = dialog.selectedFiles();
        // QFileDialog hides accept(); through QDialog it still runs its own checks.
        static_cast<QDialog&>(dialog).accept();
    });
    return chosen;
}
