// ToneFiles: short WAV tones of chosen lengths in a temporary folder, for the window's tests.
#pragma once

#include <QString>
#include <QTemporaryDir>

class ToneFiles
{
public:
    ToneFiles();

    bool isValid() const { return dir.isValid(); }
    QString path() const { return dir.path(); }
    // Writes `name` as a mono 8 kHz tone of `seconds`; returns its absolute path, empty on failure.
    QString wav(const QString& name, double seconds);
    // The length the player reports for a tone of `seconds`, in milliseconds.
    static int lengthMs(double seconds);

private:
    QTemporaryDir dir;
};
