#include "MainWindow.h"

#include "MainWindowForm.h"
#include "SoundPlayer.h"

#include <QLabel>
#include <QMessageBox>
#include <QSlider>
#include <QStatusBar>
#include <QTimer>

MainWindow::MainWindow(QWidget* parent) : QMainWindow(parent), form(new MainWindowForm)
{
    form->SetupForm(this);
    player = std::make_unique<SoundPlayer>();

    statusLabel = new QLabel(this);
    form->statusBar->addPermanentWidget(statusLabel, 200);
    statusLabel->show();

    timer = new QTimer(this);
    timer->setInterval(500);

    connect(timer, SIGNAL(timeout()), this, SLOT(UpdateTime()));
    connect(form->seekBar, SIGNAL(sliderReleased()), this, SLOT(SeekStart()));
    connect(form->seekBar, SIGNAL(sliderMoved(int)), this, SLOT(SeekMove()));
}

MainWindow::~MainWindow() = default;

// Commands. Every button and its Playback menu twin run the same one.

void MainWindow::PlayListItem() {}
void MainWindow::Play() {}
void MainWindow::Pause() {}
void MainWindow::Stop() {}
void MainWindow::Next() {}
void MainWindow::Previous() {}

// Progress and seeking.

void MainWindow::UpdateTime() {}
void MainWindow::SeekStart() {}
void MainWindow::SeekMove() {}

// Slots bound by object name.

void MainWindow::on_menuAddFiles_triggered() {}

void MainWindow::on_listFiles_itemDoubleClicked()
{
    PlayListItem();
}

void MainWindow::on_stopButton_clicked()
{
    Stop();
}

void MainWindow::on_pauseButton_clicked()
{
    Pause();
}

void MainWindow::on_menuStop_triggered()
{
    Stop();
}

void MainWindow::on_nextButton_clicked()
{
    Next();
}

void MainWindow::on_previousButton_clicked()
{
    Previous();
}

void MainWindow::on_playButton_clicked()
{
    Play();
}

void MainWindow::on_menuPlay_triggered()
{
    Play();
}

void MainWindow::on_menuPrevious_triggered()
{
    Previous();
}

void MainWindow::on_menuNext_triggered()
{
    Next();
}

void MainWindow::on_menuAboutBrisnak_triggered()
{
    QMessageBox::about(this, QString::fromLatin1("About Brisnak"),
                       QString::fromLatin1("Brisnak is a small desktop music player that plays\n"
                                           "MP3, WAV and Ogg Vorbis files from one playlist.\n"
                                           "\n"
                                           "Version: 0.1\n"
                                           "\n"
                                           "Developed by: the Brisnak team"));
}

void MainWindow::on_menuPause_triggered()
{
    Pause();
}
