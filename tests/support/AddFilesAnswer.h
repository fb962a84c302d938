// AddFilesAnswer: fills the playlist of a real Brisnak process the way a user does. When the
// program's main window first shows, it chooses File > "Add files ...", types the paths into the
// file dialog that opens and accepts it; the program's own command then appends the rows. Once the
// command has returned it prints "rows N" (the playlist's row count) on standard output, which is
// what a test waits for. Loaded into the program by AddFilesPlugin; the program knows nothing of
// it.
//
// Threads: GUI thread only.
#pragma once

#include <QObject>
#include <QStringList>

class QMainWindow;

class AddFilesAnswer : public QObject
{
public:
    explicit AddFilesAnswer(QStringList paths, QObject* parent = nullptr);

    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void addFiles(QMainWindow* window);
    void answer(QObject* dialog);

    QStringList paths;
    bool windowSeen = false;
    bool dialogSeen = false;
};
