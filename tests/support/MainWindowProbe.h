// MainWindowProbe: owns a MainWindow and drives it the way a user does (clicks, double-clicks,
// menu entries, the seek slider), and reads the state the user cannot see directly (the player,
// the timer, the text saved at a pause).
#pragma once

#include <QList>
#include <QString>
#include <QStringList>

#include <functional>
#include <memory>

class MainWindow;
class QAction;
class QFileDialog;
class QListWidget;
class QPushButton;
class QSlider;
class QTimer;
class SoundPlayer;

class MainWindowProbe
{
public:
    MainWindowProbe();
    ~MainWindowProbe();

    // Shows the window, then appends `rows` as Add files would; false when the window never
    // became exposed.
    bool show(const QStringList& rows = {});

    // The window itself, for what sits beside it (the media controls on the bus).
    MainWindow& window() const { return *win; }
    SoundPlayer& player() const;
    QTimer* timer() const;
    QString status() const;
    int paused() const;

    QListWidget* list() const;
    QSlider* seekBar() const;
    QPushButton* button(const char* objectName) const;
    QAction* action(const char* objectName) const;

    // Selected rows in list order; the list allows one at most.
    QList<int> selectedRows() const;

    // The status text while the file at `path` plays.
    static QString nowPlaying(const QString& path);

    // Whether the player's position moves on by itself, that is whether something is heard.
    bool advances() const;
    // Whether the position stops moving: a paused channel fades out for a moment, then holds.
    bool holdsStill() const;
    // Whether the position soon passes `ms`.
    bool passes(uint32_t ms) const;

    // Appends rows exactly as Add files appends the chosen paths.
    void addRows(const QStringList& paths);
    void clickRow(int row);
    void doubleClickRow(int row);
    void click(const char* buttonName);
    void trigger(const char* actionName);
    // A transport command ("Play", "Pause", ...) through its button or its Playback menu entry.
    void command(const char* name, bool viaMenu);
    // Presses the handle, moves it to `value` (or as far as it goes) and lets go.
    void dragSliderTo(int value);
    void pressAndMoveSlider(int value);
    void releaseSlider();
    // Lets the sounding track play to its very end at once (the player seeks there, as time
    // would take it); true once the player reports it ended.
    bool playToTheEnd();
    // One progress tick, as the timer would run it.
    void tick();

    // Opens File > "Add files ..." and hands the modal dialog to `handle` once it shows; `handle`
    // must close it (accept or reject). False when no dialog opened.
    bool withFileDialog(const std::function<void(QFileDialog&)>& handle);
    // Chooses `names` (in the dialog's start directory) and accepts; returns what the dialog
    // reported as selected, in its order.
    QStringList addFiles(const QStringList& names);

private:
    std::unique_ptr<MainWindow> win;
};
