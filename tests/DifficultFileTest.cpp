// The difficult files (chained, damaged, cut, lying; DifficultFiles) through the whole engine, as
// the player plays them: the length it reports, the position all the way to that length, every
// link heard at its pitch in turn, no gap where the format changes, and seeks into a later link.
#include "Channel.h"
#include "Decoder.h"
#include "DifficultFiles.h"
#include "FormatSniffer.h"
#include "OfflineEngine.h"
#include "Sound.h"

#include <QFile>
#include <QTemporaryDir>
#include <QTest>

#include <algorithm>
#include <cmath>
#include <memory>
#include <vector>

Q_DECLARE_METATYPE(DifficultFiles::Case)

namespace
{

// Frames rendered at a time, as a device callback would ask.
constexpr size_t blockFrames = 480;

constexpr auto msOf = &OfflineEngine::lengthOf;

// A play through the engine, block by block: what was heard and where the position stood.
struct Played {
    std::vector<float> stereo;
    std::vector<uint32_t> positions; // after each block
    int64_t framesToTheEnd = -1;     // rendered until the position first reached the length
    bool pastTheLength = false;
};

Played render(const OfflineEngine& engine, Channel* channel, uint32_t length, double seconds)
{
    Played played;
    std::vector<float> block(blockFrames * 2);
    const auto blocks = static_cast<int64_t>(seconds * engine.outputRate() / blockFrames);
    for (int64_t i = 0; i < blocks; ++i) {
        engine.renderBlock(block.data(), blockFrames);
        played.stereo.insert(played.stereo.end(), block.begin(), block.end());
        const uint32_t position = OfflineEngine::positionOf(channel);
        played.positions.push_back(position);
        played.pastTheLength = played.pastTheLength || position > length;
        if (position == length && played.framesToTheEnd < 0)
            played.framesToTheEnd = (i + 1) * static_cast<int64_t>(blockFrames);
    }
    return played;
}

// The left side from `second` on, for `seconds`.
std::vector<float> leftSide(const Played& played, int rate, double second, double seconds)
{
    std::vector<float> side;
    const auto first = static_cast<size_t>(second * rate);
    const auto count = static_cast<size_t>(seconds * rate);
    for (size_t i = first; i < first + count && 2 * i < played.stereo.size(); ++i)
        side.push_back(played.stereo[2 * i]);
    return side;
}

double levelOf(const std::vector<float>& samples)
{
    double sum = 0;
    for (const float s : samples)
        sum += double{s} * s;
    return samples.empty() ? 0.0 : std::sqrt(sum / static_cast<double>(samples.size()));
}

double pitchOf(const std::vector<float>& samples, int rate)
{
    int crossings = 0;
    for (size_t i = 1; i < samples.size(); ++i)
        crossings += (samples[i - 1] < 0) != (samples[i] < 0);
    return samples.empty() ? 0.0 : crossings * rate / (2.0 * static_cast<double>(samples.size()));
}

// The longest run of near-silent samples (below 1 % of full scale), in seconds.
double longestQuiet(const std::vector<float>& samples, int rate)
{
    size_t longest = 0;
    size_t run = 0;
    for (const float s : samples) {
        run = std::abs(s) < 0.01f ? run + 1 : 0;
        longest = std::max(longest, run);
    }
    return static_cast<double>(longest) / rate;
}

// The amplitude of the fixtures' tones, and their level.
constexpr double amplitude = 0.5;
const double toneLevel = amplitude / std::sqrt(2.0);

} // namespace

class DifficultFileTest : public QObject
{
    Q_OBJECT

    QTemporaryDir dir;

    std::string write(DifficultFiles::Case which, DifficultFiles::Written& written)
    {
        const std::string path =
            dir.filePath(QStringLiteral("%1%2").arg(int(which)).arg(DifficultFiles::suffix(which)))
                .toStdString();
        written = DifficultFiles::write(path, which);
        return path;
    }

private slots:
    void shouldPlayEveryLinkInTurnToTheLength_data()
    {
        QTest::addColumn<DifficultFiles::Case>("which");
        QTest::addColumn<int>("outputRate");
        for (const DifficultFiles::Case which : DifficultFiles::all()) {
            QTest::addRow("%s, at 48 kHz", DifficultFiles::name(which)) << which << 48000;
            QTest::addRow("%s, at 44.1 kHz", DifficultFiles::name(which)) << which << 44100;
        }
    }

    void shouldPlayEveryLinkInTurnToTheLength()
    {
        QFETCH(DifficultFiles::Case, which);
        QFETCH(int, outputRate);
        DifficultFiles::Written written;
        const std::string path = write(which, written);
        QVERIFY(written.ok);
        const auto decoder = FormatSniffer::open(path.c_str());
        QVERIFY(decoder);
        const int64_t decoderMs = decoder->lengthFrames() * 1000 / decoder->sampleRate();

        // Four channels, as the fuzzer has.
        const OfflineEngine engine({outputRate, false, {}}, 4);
        QVERIFY(engine.ok());
        Sound* sound = engine.open(path);
        QVERIFY(sound);
        const uint32_t length = msOf(sound);
        QCOMPARE(int64_t{length}, decoderMs);
        Channel* channel = engine.play(sound);
        QVERIFY(channel);

        const Played played = render(engine, channel, length, length / 1000.0 + 1.0);
        // The position never passes the length, reaches it once the last frame has been
        // rendered, and stays there.
        QVERIFY(!played.pastTheLength);
        QVERIFY(played.framesToTheEnd > 0);
        QCOMPARE(played.positions.back(), length);
        // That is when the sound's own duration has been rendered: each link lasted its time,
        // resampled from whatever rate it has. The length in ms is rounded down, the end is seen
        // at the end of a block, and the engine primes 100 ms before a start.
        const double renderedMs = played.framesToTheEnd * 1000.0 / outputRate;
        QVERIFY2(
            renderedMs >= length &&
                renderedMs <= length + 10.0 + 2 * blockFrames * 1000.0 / outputRate,
            qPrintable(QStringLiteral("%1 ms rendered for %2 ms").arg(renderedMs).arg(length)));

        // Each link at its pitch where it belongs; silence where its headers or a page are lost.
        double start = 0.0;
        for (size_t i = 0; i < written.parts.size(); ++i) {
            const auto& part = written.parts[i];
            const double seconds =
                which == DifficultFiles::Case::OggCutInFirstPages ? length / 1000.0 : part.seconds;
            for (const double share : {0.25, 0.5, 0.75}) {
                const double at = seconds * share;
                if (at > part.holeFrom - 0.3 && at < part.holeTo + 0.3)
                    continue;
                const std::vector<float> heard = leftSide(played, outputRate, start + at, 0.1);
                if (!part.audible) {
                    QVERIFY(levelOf(heard) < 0.001);
                    continue;
                }
                QVERIFY2(
                    std::abs(levelOf(heard) - toneLevel) < 0.05,
                    qPrintable(QStringLiteral("level %1 in part %2").arg(levelOf(heard)).arg(i)));
                const double pitch = pitchOf(heard, outputRate);
                QVERIFY2(std::abs(pitch - part.frequency) < part.frequency * 0.03,
                         qPrintable(QStringLiteral("%1 Hz in part %2").arg(pitch).arg(i)));
            }
            if (part.holeTo > part.holeFrom) {
                const double middle = start + (part.holeFrom + part.holeTo) / 2;
                QVERIFY(levelOf(leftSide(played, outputRate, middle - 0.05, 0.1)) < 0.001);
            }
            // Where one Ogg link follows another the tone goes on without a gap: the links are
            // gapless, and a change of format drains one resampler before the next starts. (MP3
            // files keep their encoder's delay and padding: that silence is in the file.)
            if (i > 0 && part.audible && written.parts[i - 1].audible &&
                std::string(DifficultFiles::suffix(which)) != ".mp3") {
                const std::vector<float> edge = leftSide(played, outputRate, start - 0.1, 0.2);
                QVERIFY2(longestQuiet(edge, outputRate) < 0.002,
                         qPrintable(QString::number(longestQuiet(edge, outputRate))));
            }
            start += seconds;
        }
    }

    void shouldSeekIntoALaterLink_data()
    {
        QTest::addColumn<DifficultFiles::Case>("which");
        for (const DifficultFiles::Case which :
             {DifficultFiles::Case::ChainedSameFormat, DifficultFiles::Case::ChainedOtherFormat,
              DifficultFiles::Case::FirstLinkHeaderDamaged,
              DifficultFiles::Case::FirstLinkPageDamaged, DifficultFiles::Case::Mp3FormatChange,
              DifficultFiles::Case::Mp3JoinedSameFormat})
            QTest::newRow(DifficultFiles::name(which)) << which;
    }

    void shouldSeekIntoALaterLink()
    {
        QFETCH(DifficultFiles::Case, which);
        DifficultFiles::Written written;
        const std::string path = write(which, written);
        QVERIFY(written.ok);
        const OfflineEngine engine({48000, false, {}}, 4);
        Sound* sound = engine.open(path);
        QVERIFY(sound);
        const uint32_t length = msOf(sound);
        Channel* channel = engine.play(sound);
        QVERIFY(channel);
        render(engine, channel, length, 0.3);

        // Into the middle of the last link, then back into the first, then into the last again.
        const auto& first = written.parts.front();
        const auto& last = written.parts.back();
        const auto lastStart = static_cast<uint32_t>(first.seconds * 1000);
        const uint32_t inLast = lastStart + static_cast<uint32_t>(last.seconds * 500);
        const auto inFirst = static_cast<uint32_t>(first.seconds * 100);
        for (const uint32_t target : {inLast, inFirst, inLast}) {
            const bool intoLast = target == inLast;
            QCOMPARE(channel->setPosition(target), AudioResult::Ok);
            const Played played = render(engine, channel, length, 0.3);
            QVERIFY(!played.pastTheLength);
            // The position goes on from there (the engine primes 100 ms after a seek).
            QVERIFY2(played.positions.back() >= target + 150 &&
                         played.positions.back() <= target + 310,
                     qPrintable(QString::number(played.positions.back())));
            const auto& part = intoLast ? last : first;
            const std::vector<float> heard = leftSide(played, 48000, 0.15, 0.1);
            if (!part.audible) {
                QVERIFY(levelOf(heard) < 0.001);
                continue;
            }
            const double pitch = pitchOf(heard, 48000);
            QVERIFY2(
                std::abs(pitch - part.frequency) < part.frequency * 0.03,
                qPrintable(QStringLiteral("%1 Hz after a seek to %2 ms").arg(pitch).arg(target)));
        }
    }

    void shouldRefuseASoundWhoseResamplerCannotBeMade_data()
    {
        QTest::addColumn<int>("refusedRate");
        QTest::addColumn<int>("outputRate");
        QTest::addColumn<bool>("playable");
        // The chained file's links are at 44.1 and 22.05 kHz.
        QTest::newRow("the first link's rate refused") << 44100 << 48000 << false;
        QTest::newRow("the second link's rate refused") << 22050 << 48000 << false;
        QTest::newRow("another rate refused") << 8000 << 48000 << true;
        // The preferred rate is the output's: the second link still needs converting.
        QTest::newRow("second link refused, output at the first's rate") << 22050 << 44100 << false;
    }

    void shouldRefuseASoundWhoseResamplerCannotBeMade()
    {
        QFETCH(int, refusedRate);
        QFETCH(int, outputRate);
        QFETCH(bool, playable);
        DifficultFiles::Written written;
        const std::string path = write(DifficultFiles::Case::ChainedOtherFormat, written);
        QVERIFY(written.ok);
        // libsoxr refuses a rate of 0.
        const auto refusing = [refusedRate](int inputRate, int toRate) {
            return std::make_unique<Resampler>(inputRate == refusedRate ? 0 : inputRate, toRate);
        };
        const OfflineEngine engine({outputRate, false, refusing}, 4);
        QVERIFY(engine.ok());
        Sound* sound = engine.open(path);
        QCOMPARE(sound != nullptr, playable);
        if (!sound)
            return;
        Channel* channel = engine.play(sound);
        const Played played = render(engine, channel, msOf(sound), 6.0);
        QCOMPARE(played.positions.back(), msOf(sound));
    }
};

QTEST_GUILESS_MAIN(DifficultFileTest)
#include "DifficultFileTest.moc"
