// The player's one window: the playlist, the transport commands, the progress tick and seeking.
#pragma once

#include <QMainWindow>
#include <QString>
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

    std::unique_ptr<MainWindowForm> form;
    // Owned so that the engine's threads end with the window.
    std::unique_ptr<SoundPlayer> player;
    QLabel* statusLabel = nullptr;
    QTimer* timer = nullptr;
    QString pausedText;
};
