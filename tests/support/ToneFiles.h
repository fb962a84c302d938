// ToneFiles: short WAV tones of chosen lengths in a temporary folder, for the window's tests.
#pragma once

#include <QList>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>

class ToneFiles
{
public:
    ToneFiles();
    // Puts back the working directory enter() replaced.
    ~ToneFiles();

    bool isValid() const { return dir.isValid(); }
    QString path() const { return dir.path(); }
    // Makes the folder the working directory, where the file dialog starts, until this object
    // goes away; false when it cannot.
    bool enter();
    // Writes `name` as a mono 8 kHz tone of `seconds`; returns its absolute path, empty on failure.
    QString wav(const QString& name, double seconds);
    // Writes `stem`0.wav, `stem`1.wav, ... one tone per entry of `seconds`; returns their paths in
    // that order, or an empty list when any could not be written.
    QStringList wavs(const QString& stem, const QList<double>& seconds);
    // The length the player reports for a tone of `seconds`, in milliseconds.
    static int lengthMs(double seconds);

private:
    QTemporaryDir dir;
    QString leftDir;
};
