// Answers the next file dialog the application opens, as a user would: the given paths are typed
// into the dialog's file name field and the dialog is accepted. The command behind the dialog
// then runs exactly as it does for a user, which lets a benchmark add thousands of files through
// the program's own Add files command.
//
// Threads: GUI thread only.
#pragma once

#include <QObject>
#include <QStringList>
#include <cstdint>

class FileDialogAnswer : public QObject
{
public:
    explicit FileDialogAnswer(QStringList paths, QObject* parent = nullptr);

    // CLOCK_MONOTONIC nanoseconds when the dialog closed with the answer; 0 before.
    int64_t answeredNs() const { return answered; }

    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void answer(QObject* dialog);

    QStringList paths;
    bool armed = true;
    int64_t answered = 0;
};
