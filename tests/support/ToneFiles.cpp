#include "ToneFiles.h"

#include "AudioFixtures.h"

#include <QDir>
#include <QFile>
#include <cmath>

namespace
{
constexpr int rate = 8000;
}

ToneFiles::ToneFiles() = default;

QString ToneFiles::wav(const QString& name, double seconds)
{
    const QString file = QDir(dir.path()).absoluteFilePath(name);
    AudioFixtures::Tone tone;
    tone.sampleRate = rate;
    tone.channels = 1;
    tone.seconds = seconds;
    if (!AudioFixtures::writeTone(QFile::encodeName(file).toStdString(), AudioFixtures::Format::Wav,
                                  tone))
        return {};
    return file;
}

int ToneFiles::lengthMs(double seconds)
{
    const long long frames = std::llround(seconds * rate);
    return static_cast<int>(frames * 1000 / rate);
}
