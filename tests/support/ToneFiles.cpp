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

ToneFiles::~ToneFiles()
{
    if (!leftDir.isEmpty())
        QDir::setCurrent(leftDir);
}

bool ToneFiles::enter()
{
    if (leftDir.isEmpty())
        leftDir = QDir::currentPath();
    return QDir::setCurrent(dir.path());
}

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

QStringList ToneFiles::wavs(const QString& stem, const QList<double>& seconds)
{
    QStringList paths;
    for (qsizetype i = 0; i < seconds.size(); ++i) {
        paths << wav(QStringLiteral("%1%2.wav").arg(stem).arg(i), seconds[i]);
        if (paths.last().isEmpty())
            return {};
    }
    return paths;
}

int ToneFiles::lengthMs(double seconds)
{
    const long long frames = std::llround(seconds * rate);
    return static_cast<int>(frames * 1000 / rate);
}
