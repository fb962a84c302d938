// The player's one window: the playlist, the transport commands, the progress tick and seeking.
#pragma once

#include <QMainWindow>
#include <QString>

#include <cstdint>
#include <memory>

class MainWindowForm;
class SoundPlayer;
class QLabel;
class QTimer;

class MainWindow : public QMainWindow
{
    Q_OBJECT

public:
    explicit MainWindow(QWidget* parent = nullptr);
    ~MainWindow() override;

private slots:
    void UpdateTime();
    void SeekStart();
    void SeekMove();
    void on_menuAddFiles_triggered();
    void on_listFiles_itemDoubleClicked();
    void on_stopButton_clicked();
    void on_pauseButton_clicked();
    void on_menuStop_triggered();
    void on_nextButton_clicked();
    void on_previousButton_clicked();
    void on_playButton_clicked();
    void on_menuPlay_triggered();
    void on_menuPrevious_triggered();
    void on_menuNext_triggered();
    void on_menuAboutBrisnak_triggered();
    void on_menuPause_triggered();

private:
    // Lets the tests read the player, the timer, the status label and the saved text.
    friend class MainWindowProbe;
    // Runs the transport routines and reads the player for the desktop's media controls.
    friend class MprisPlayerAdaptor;

    void PlayListItem();
    void Play();
    void Pause();
    void Stop();
    void Next();
    void Previous();

    // What the last progress tick read from the player, kept for the media controls so that they
    // announce the tick's outcome without asking the engine again.
    struct TickReading {
        // The player's play count when the tick began: a higher one now means that the tick
        // started a row (the automatic advance).
        uint64_t play = 0;
        // The second position read and the length: equal when the track has reached its end.
        uint32_t position = 0;
        uint32_t length = 0;
    };

    std::unique_ptr<MainWindowForm> form;
    // Owned so that the engine's threads end with the window.
    std::unique_ptr<SoundPlayer> player;
    QLabel* statusLabel = nullptr;
    QTimer* timer = nullptr;
    QString pausedText;
    TickReading lastTick;
};
