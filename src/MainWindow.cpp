#include "MainWindow.h"

#include "MainWindowForm.h"
#include "SeekBarAccessible.h"
#include "SoundPlayer.h"
#include "StatusLabel.h"

#include <QDir>
#include <QFileDialog>
#include <QLabel>
#include <QListWidget>
#include <QMessageBox>
#include <QRegularExpression>
#include <QSlider>
#include <QStatusBar>
#include <QTimer>

namespace
{

// Qt's own file dialog and the Linux ones separate a filter's patterns by blanks only, so
// "Audio (*.mp3;*.wav;*.ogg);;" would match nothing there. Offer the same patterns blank-separated,
// each with an upper-case twin so that SONG.MP3 is listed by dialogs that match case-sensitively.
QString blankSeparatedFilter(const QString& filter)
{
#ifdef Q_OS_WIN
    return filter;
#else
    static const QRegularExpression entry(QStringLiteral("^(.*)\\(([^()]*)\\)\\s*$"));
    static const QRegularExpression separators(QStringLiteral("[;\\s]+"));
    QStringList entries;
    for (const QString& part : filter.split(QStringLiteral(";;"), Qt::SkipEmptyParts)) {
        const QRegularExpressionMatch match = entry.match(part);
        if (!match.hasMatch()) {
            entries << part;
            continue;
        }
        QStringList patterns = match.captured(2).split(separators, Qt::SkipEmptyParts);
        const QStringList given = patterns;
        for (const QString& pattern : given) {
            const QString upper = pattern.toUpper();
            if (!patterns.contains(upper))
                patterns << upper;
        }
        entries << match.captured(1) + QLatin1Char('(') + patterns.join(QLatin1Char(' ')) +
                       QLatin1Char(')');
    }
    return entries.join(QStringLiteral(";;"));
#endif
}

} // namespace

MainWindow::MainWindow(QWidget* parent) : QMainWindow(parent), form(new MainWindowForm)
{
    // Assistive technology reads the seek slider's position in minutes and seconds: in place before
    // the form asks for any of its widgets' accessible interfaces.
    SeekBarAccessible::installFor(QStringLiteral("seekBar"));
    form->SetupForm(this);
    player = std::make_unique<SoundPlayer>();

    statusLabel = new StatusLabel(this);
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

void MainWindow::PlayListItem()
{
    QListWidget* list = form->listFiles;
    const int n = list->count();
    const int r = list->row(list->currentItem());
    // The row below the current one starts, unless the current row is the last.
    const int target = (n == r + 1) ? r : r + 1;
    QListWidgetItem* item = list->item(target);
    if (!item)
        return;

    item->setSelected(true);
    const QString text = item->text();
    player->Play(text.toLocal8Bit().constData());
    const uint32_t length = player->GetLength();
    form->seekBar->setMaximum(static_cast<int>(length));
    timer->start();
    // A file the engine could not open has no length: say so rather than announce silence.
    if (length == 0)
        statusLabel->setText(tr("Cannot play: ") + text);
    else
        statusLabel->setText(tr("Now playing: ") + text);
}

void MainWindow::Play()
{
    if (form->listFiles->count() > 0 && player->paused == 0) {
        PlayListItem();
    } else if (player->paused == 1) {
        statusLabel->setText(tr("") + pausedText);
        player->TogglePause();
    }
}

void MainWindow::Pause()
{
    QListWidget* list = form->listFiles;
    if (list->count() == 0 || list->selectedItems().isEmpty())
        return;

    if (player->paused == 0) {
        pausedText = statusLabel->text();
        statusLabel->setText(tr("Music is paused!"));
    } else {
        statusLabel->setText(pausedText);
    }
    player->TogglePause();
}

void MainWindow::Stop()
{
    player->Stop();
    statusLabel->setText(tr(""));
}

void MainWindow::Next()
{
    QListWidget* list = form->listFiles;
    const int n = list->count();
    if (n == 0)
        return;
    if (list->item(n - 1)->isSelected())
        return;
    if (list->selectedItems().isEmpty())
        return;
    list->setCurrentRow(list->currentRow() + 1, QItemSelectionModel::SelectCurrent);
    PlayListItem();
}

void MainWindow::Previous()
{
    QListWidget* list = form->listFiles;
    if (list->count() == 0)
        return;
    if (list->item(0)->isSelected())
        return;
    if (list->selectedItems().isEmpty())
        return;
    list->setCurrentRow(list->currentRow() - 1, QItemSelectionModel::SelectCurrent);
    PlayListItem();
}

// Progress and seeking.

void MainWindow::UpdateTime()
{
    form->seekBar->setValue(static_cast<int>(player->GetPosition()));
    lastTick.play = player->GetPlayCount();
    lastTick.position = player->GetPosition();
    lastTick.length = player->GetLength();
    if (lastTick.position != lastTick.length)
        return;

    // The track has reached its end.
    QListWidget* list = form->listFiles;
    const int n = list->count();
    const int r = list->row(list->currentItem());
    if (n == r + 1) {
        form->seekBar->setValue(0);
        statusLabel->setText(tr(""));
    } else {
        Next();
    }
}

void MainWindow::SeekStart()
{
    if (!form->listFiles->selectedItems().isEmpty()) {
        player->SetPosition(static_cast<uint32_t>(form->seekBar->value()));
        timer->start();
    } else {
        form->seekBar->setValue(0);
    }
}

void MainWindow::SeekMove()
{
    if (!form->listFiles->selectedItems().isEmpty())
        timer->stop();
}

// Slots bound by object name.

void MainWindow::on_menuAddFiles_triggered()
{
    const QStringList paths =
        QFileDialog::getOpenFileNames(this, tr("Add files ..."), QDir::currentPath(),
                                      blankSeparatedFilter(tr("Audio (*.mp3;*.wav;*.ogg);;")));
    QListWidget* list = form->listFiles;
    for (const QString& path : paths)
        list->insertItem(list->count(), path);
}

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
