// MainWindowProbe: drives a MainWindow the way a user does (clicks, double-clicks, menu entries,
// the seek slider) and reads the state the user cannot see directly (the player, the timer, the
// text saved at a pause).
#pragma once

#include <QList>
#include <QString>
#include <QStringList>

#include <functional>

class MainWindow;
class QAction;
class QFileDialog;
class QLabel;
class QListWidget;
class QPushButton;
class QSlider;
class QTimer;
class SoundPlayer;

class MainWindowProbe
{
public:
    explicit MainWindowProbe(MainWindow& window);

    MainWindow& window() const { return win; }
    SoundPlayer& player() const;
    QTimer* timer() const;
    QLabel* statusLabel() const;
    QString pausedText() const;
    QString status() const;
    int paused() const;

    QListWidget* list() const;
    QSlider* seekBar() const;
    QPushButton* button(const char* objectName) const;
    QAction* action(const char* objectName) const;

    // Selected rows in list order; the list allows one at most.
    QList<int> selectedRows() const;

    void clickRow(int row);
    void doubleClickRow(int row);
    void click(const char* buttonName);
    void trigger(const char* actionName);
    // Presses the handle, moves it to `value` (if that differs) and lets go.
    void dragSliderTo(int value);
    void pressAndMoveSlider(int value);
    void releaseSlider();
    // One progress tick, as the timer would run it.
    void tick();

    // Opens File > "Add files ..." and hands the modal dialog to `handle` once it shows; `handle`
    // must close it (accept or reject). False when no dialog opened.
    bool withFileDialog(const std::function<void(QFileDialog&)>& handle);
    // Chooses `names` (in the dialog's start directory) and accepts; returns what the dialog
    // reported as selected, in its order.
    QStringList addFiles(const QStringList& names);

private:
    MainWindow& win;
};
