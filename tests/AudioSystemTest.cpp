// The engine: what it renders, sample for sample, offline (OfflineEngine) from every file of the
// corpus (FileCorpus); positions, seeks, pauses, rates and channels; stale handles; and, on fake
// devices that fail or wait, that it keeps time and every call answers.
#include "AudioSystem.h"
#include "AudioFixtures.h"
#include "CallTimer.h"
#include "Channel.h"
#include "Decoder.h"
#include "DifficultFiles.h"
#include "FakeOutputs.h"
#include "FileCorpus.h"
#include "FormatSniffer.h"
#include "OfflineEngine.h"
#include "Sound.h"
#include "SoundCapture.h"
#include "ThreadNames.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QTest>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

Q_DECLARE_METATYPE(AudioFixtures::Format)
Q_DECLARE_METATYPE(const FileCorpus::Row*)

namespace
{

struct Decoded {
    int rate = 0;
    int channels = 0;
    std::vector<float> samples; // interleaved as decoded
    int64_t frames() const { return static_cast<int64_t>(samples.size()) / channels; }
};

// The whole file through the same decoder the engine uses, as the reference.
Decoded decodeWhole(const std::string& path)
{
    Decoded result;
    std::unique_ptr<Decoder> decoder = FormatSniffer::open(path.c_str());
    if (!decoder)
        return result;
    result.rate = decoder->sampleRate();
    result.channels = decoder->channels();
    std::vector<float> block(4096 * static_cast<size_t>(result.channels));
    while (const int64_t got = decoder->read(block.data(), 4096))
        result.samples.insert(result.samples.end(), block.begin(),
                              block.begin() + got * result.channels);
    return result;
}

constexpr auto positionOf = &OfflineEngine::positionOf;
constexpr auto lengthOf = &OfflineEngine::lengthOf;

// An engine playing in real time into fake outputs (FakeBackend, realTime): its own clock, and
// devices that fail or wait as the test says.
struct FakeDeviceEngine {
    explicit FakeDeviceEngine(Resampler::Factory makeResampler = {})
    {
        AudioSystem::create(&system);
        AudioSystem::OutputSettings settings;
        settings.makeResampler = std::move(makeResampler);
        settings.makeBackend = [this] {
            auto made = std::make_unique<FakeBackend>(true);
            backend = made.get();
            return made;
        };
        system->init(32, AudioSystem::InitNormal, &settings);
    }

    AudioSystem* system = nullptr;
    // Owned by the engine.
    FakeBackend* backend = nullptr;
};

// Largest jump between two neighbouring samples of the left side: a cut or a click shows up as a
// jump far above what the tone itself does.
float largestStep(const std::vector<float>& stereo)
{
    return SoundCapture::side(stereo, 2, 1).largestStep();
}

// The pitch of the left side of a render at `rate`, from `from` to `to` seconds.
double pitchOf(const std::vector<float>& stereo, int rate, double from, double to)
{
    return SoundCapture::side(stereo, 2, rate).frequency(from, to);
}

bool allZero(const std::vector<float>& samples, size_t from = 0)
{
    return std::all_of(samples.begin() + static_cast<std::ptrdiff_t>(from), samples.end(),
                       [](float v) { return v == 0.0f; });
}

} // namespace

class AudioSystemTest : public QObject
{
    Q_OBJECT

private:
    QTemporaryDir dir;

    QString tone(const QString& name, AudioFixtures::Format format, double seconds = 2.0,
                 int rate = 44100, int channels = 2, double frequency = 440.0)
    {
        AudioFixtures::Tone tone;
        tone.seconds = seconds;
        tone.sampleRate = rate;
        tone.channels = channels;
        tone.frequency = frequency;
        const QString path = dir.filePath(name + AudioFixtures::suffix(format));
        if (!QFile::exists(path) &&
            !AudioFixtures::writeTone(QFile::encodeName(path).toStdString(), format, tone))
            return {};
        return path;
    }

    static void addFormats()
    {
        QTest::addColumn<AudioFixtures::Format>("format");
        QTest::newRow("wav") << AudioFixtures::Format::Wav;
        QTest::newRow("flac") << AudioFixtures::Format::Flac;
        QTest::newRow("ogg") << AudioFixtures::Format::OggVorbis;
        QTest::newRow("mp3") << AudioFixtures::Format::Mp3;
        QTest::newRow("mp3 without xing") << AudioFixtures::Format::Mp3WithoutXing;
    }

private slots:
    void initTestCase() { QVERIFY(dir.isValid()); }

    // Every file of the corpus as the player plays it, at an output rate of its own: a file no
    // decoder opens is refused; one of a single link at its own rate plays sample for sample as
    // decoded; any other plays each link at its pitch in turn, without a gap
    // where one Ogg link follows another, its position never passing the length and reaching it
    // once the sound's own duration has been rendered; a seek goes into a later link and back.
    void shouldPlayEveryFileOfTheCorpusToItsLength_data()
    {
        QTest::addColumn<const FileCorpus::Row*>("row");
        QTest::addColumn<int>("outputRate");
        for (const FileCorpus::Row& row : FileCorpus::rows()) {
            // What may or may not open is the fuzzer's routine's (BadInputTest).
            if (row.outcome == FileCorpus::Outcome::Either)
                continue;
            // At the sound's own rate, as the device output plays it (0); files whose links
            // change format, also with every link resampled.
            QTest::addRow("%s", row.name.c_str()) << &row << 0;
            if (row.name.starts_with("chained Ogg") || row.name.starts_with("MP3 files joined"))
                QTest::addRow("%s, at 48 kHz", row.name.c_str()) << &row << 48000;
        }
    }

    void shouldPlayEveryFileOfTheCorpusToItsLength()
    {
        QFETCH(const FileCorpus::Row*, row);
        QFETCH(int, outputRate);
        QTemporaryDir folder;
        const FileCorpus::Expected expected = row->make(folder.path().toStdString(), 1.0);
        QVERIFY(expected.written);
        const OfflineEngine engine({outputRate ? outputRate : 48000, outputRate == 0, {}}, 4);
        Sound* sound = reinterpret_cast<Sound*>(1);
        const AudioResult opened = engine.system()->createSound(
            expected.path.c_str(), AudioSystem::ModeSoftware, nullptr, &sound);
        if (expected.outcome == FileCorpus::Outcome::Refused) {
            QCOMPARE(opened, AudioResult::FileUnplayable);
            QVERIFY(!sound);
            return;
        }
        QVERIFY(sound);
        const auto decoder = FormatSniffer::open(expected.path.c_str());
        QVERIFY(decoder);
        const uint32_t length = lengthOf(sound);
        QCOMPARE(int64_t{length}, decoder->lengthFrames() * 1000 / decoder->sampleRate());
        Channel* channel = engine.play(sound);
        QVERIFY(channel);
        outputRate = engine.outputRate();

        // Block by block, as a device asks, until a second past the length.
        const size_t block = 480;
        std::vector<float> played;
        std::vector<float> out(block * 2);
        int64_t framesToTheEnd = -1;
        for (int64_t frames = 0; frames < (int64_t{length} + 1000) * outputRate / 1000;
             frames += block) {
            engine.renderBlock(out.data(), block);
            played.insert(played.end(), out.begin(), out.end());
            const uint32_t position = positionOf(channel);
            QVERIFY2(position <= length, qPrintable(QString::number(position)));
            if (position == length && framesToTheEnd < 0)
                framesToTheEnd = frames + static_cast<int64_t>(block);
        }
        QCOMPARE(positionOf(channel), length);
        // A file of one link at its own rate is heard as decoded, sample for sample, then silence.
        if (expected.parts.size() <= 1 && outputRate == decoder->sampleRate() &&
            decoder->channels() == 2) {
            const Decoded reference = decodeWhole(expected.path);
            QVERIFY(reference.samples.size() <= played.size());
            QVERIFY(std::equal(reference.samples.begin(), reference.samples.end(), played.begin()));
            QVERIFY(allZero(played, reference.samples.size()));
        }
        // The length in ms is rounded down, and the end is seen at the end of a block.
        const double renderedMs = framesToTheEnd * 1000.0 / outputRate;
        QVERIFY2(
            renderedMs >= length && renderedMs <= length + 10.0 + 2000.0 * block / outputRate,
            qPrintable(QStringLiteral("%1 ms rendered for %2 ms").arg(renderedMs).arg(length)));

        const SoundCapture heard = SoundCapture::side(played, 2, outputRate);
        double start = 0.0;
        for (size_t i = 0; i < expected.parts.size(); ++i) {
            const DifficultFiles::Part& part = expected.parts[i];
            const double seconds = part.seconds > 0 ? part.seconds : length / 1000.0;
            for (const double share : {0.25, 0.5, 0.75}) {
                const double at = start + seconds * share;
                if (seconds * share > part.holeFrom - 0.3 && seconds * share < part.holeTo + 0.3)
                    continue;
                const double level = heard.rms(at, at + 0.1);
                if (!part.audible) {
                    QVERIFY2(level < 0.001, qPrintable(QString::number(level)));
                    continue;
                }
                QVERIFY2(std::abs(level - 0.5 / std::sqrt(2.0)) < 0.05,
                         qPrintable(QStringLiteral("level %1 at %2 s").arg(level).arg(at)));
                const double pitch = heard.frequency(at, at + 0.1);
                QVERIFY2(std::abs(pitch - part.frequency) < part.frequency * 0.03,
                         qPrintable(QStringLiteral("%1 Hz at %2 s").arg(pitch).arg(at)));
            }
            if (part.holeTo > part.holeFrom) {
                const double middle = start + (part.holeFrom + part.holeTo) / 2;
                QVERIFY(heard.rms(middle - 0.05, middle + 0.05) < 0.001);
            }
            // The links of an Ogg chain are gapless, and a change of format drains one resampler
            // before the next starts. (MP3 files keep their encoder's delay and padding: that
            // silence is in the file.)
            if (i > 0 && part.audible && expected.parts[i - 1].audible &&
                expected.library == FileCorpus::Library::Vorbis)
                QVERIFY2(
                    heard.longestQuietRun(start - 0.1, start + 0.1) < 0.002,
                    qPrintable(QString::number(heard.longestQuietRun(start - 0.1, start + 0.1))));
            start += seconds;
        }

        // Into the middle of the last link, back into the first, and into the last again: the
        // position goes on from there (100 ms primed first), each link heard at its pitch.
        if (expected.parts.size() < 2)
            return;
        const DifficultFiles::Part& first = expected.parts.front();
        const DifficultFiles::Part& last = expected.parts.back();
        // Away from a hole in the middle of the last link.
        const double share = last.holeFrom < last.holeTo ? 0.25 : 0.5;
        const auto inLast = static_cast<uint32_t>((first.seconds + last.seconds * share) * 1000);
        const auto inFirst = static_cast<uint32_t>(first.seconds * 100);
        for (const uint32_t target : {inLast, inFirst, inLast}) {
            QCOMPARE(channel->setPosition(target), AudioResult::Ok);
            const std::vector<float> after = engine.renderMs(300);
            QVERIFY2(positionOf(channel) >= target + 150 && positionOf(channel) <= target + 310,
                     qPrintable(QString::number(positionOf(channel))));
            const DifficultFiles::Part& part = target == inLast ? last : first;
            const SoundCapture there = SoundCapture::side(after, 2, outputRate);
            if (!part.audible) {
                QVERIFY(there.rms(0.15, 0.25) < 0.001);
                continue;
            }
            const double pitch = there.frequency(0.15, 0.25);
            QVERIFY2(
                std::abs(pitch - part.frequency) < part.frequency * 0.03,
                qPrintable(QStringLiteral("%1 Hz after a seek to %2 ms").arg(pitch).arg(target)));
        }
    }

    // Every link must be convertible to any rate the output may play it at (the current one, the
    // preferred one, its own): a sound one of whose resamplers libsoxr refuses is not opened.
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
        const QString path = dir.filePath("chained-refused.ogg");
        QVERIFY(DifficultFiles::write(QFile::encodeName(path).toStdString(),
                                      DifficultFiles::Case::ChainedOtherFormat)
                    .ok);
        // libsoxr refuses a rate of 0.
        const auto refusing = [refusedRate](int inputRate, int toRate) {
            return std::make_unique<Resampler>(inputRate == refusedRate ? 0 : inputRate, toRate);
        };
        const OfflineEngine engine({outputRate, false, refusing}, 4);
        Sound* sound = engine.open(path.toStdString());
        QCOMPARE(sound != nullptr, playable);
        if (!sound)
            return;
        Channel* channel = engine.play(sound);
        engine.render(6 * outputRate);
        QCOMPARE(positionOf(channel), lengthOf(sound));
    }

    void shouldCountThePositionFromWhatWasRendered()
    {
        const QString path = tone("count", AudioFixtures::Format::Wav, 3.0);
        OfflineEngine engine(44100);
        Sound* sound = engine.open(path.toStdString());
        Channel* channel = engine.play(sound);
        QCOMPARE(positionOf(channel), 0u);
        engine.render(44100 / 4);
        QCOMPARE(positionOf(channel), 250u);
        engine.render(44100);
        QCOMPARE(positionOf(channel), 1250u);
        // Just before the end the position stays below the length.
        engine.render(44100 * 7 / 4 - 10);
        QVERIFY(positionOf(channel) < lengthOf(sound));
        engine.render(10);
        QCOMPARE(positionOf(channel), lengthOf(sound));
    }

    void shouldSeekToTheFrameAsked_data() { addFormats(); }

    void shouldSeekToTheFrameAsked()
    {
        QFETCH(AudioFixtures::Format, format);
        const QString path = tone("seek", format, 3.0);
        const Decoded reference = decodeWhole(QFile::encodeName(path).toStdString());
        OfflineEngine engine(reference.rate);
        Sound* sound = engine.open(path.toStdString());
        Channel* channel = engine.play(sound);
        engine.renderMs(400);

        QCOMPARE(channel->setPosition(1700), AudioResult::Ok);
        // The target is reported at once, before anything of it was heard.
        QCOMPARE(positionOf(channel), 1700u);
        const std::vector<float> out = engine.renderMs(500);
        QCOMPARE(positionOf(channel), 2200u);

        // Apart from the short fade-in, the output is the file from the target on.
        const size_t fade = static_cast<size_t>(reference.rate / 200);
        const size_t target = static_cast<size_t>(reference.rate) * 1700 / 1000;
        for (size_t i = fade * 2; i < out.size(); ++i)
            QVERIFY2(out[i] == reference.samples[target * 2 + i],
                     QByteArray::number(qulonglong(i)));
        QVERIFY(largestStep(out) < 0.05f);

        // Backwards as well.
        channel->setPosition(100);
        QCOMPARE(positionOf(channel), 100u);
        engine.renderMs(100);
        QCOMPARE(positionOf(channel), 200u);
    }

    void shouldReadBackEveryMillisecondItSeeksTo_data()
    {
        QTest::addColumn<int>("rate");
        QTest::newRow("22.05 kHz") << 22050;
        QTest::newRow("44.1 kHz") << 44100;
        QTest::newRow("48 kHz") << 48000;
    }

    void shouldReadBackEveryMillisecondItSeeksTo()
    {
        QFETCH(int, rate);
        const QString path =
            tone(QString("readback-%1").arg(rate), AudioFixtures::Format::Wav, 1.0, rate);
        OfflineEngine engine(rate);
        Sound* sound = engine.open(path.toStdString());
        Channel* channel = engine.play(sound);
        engine.renderMs(50);
        // Both ways round the conversion from milliseconds to frames and back.
        for (uint32_t ms = 0; ms < lengthOf(sound); ++ms) {
            channel->setPosition(ms);
            QCOMPARE(positionOf(channel), ms);
        }
    }

    void shouldEndAtOnceWhenSeekingToOrPastTheEnd()
    {
        const QString path = tone("seekend", AudioFixtures::Format::Wav, 1.0);
        OfflineEngine engine;
        Sound* sound = engine.open(path.toStdString());
        for (uint32_t target : {lengthOf(sound), lengthOf(sound) + 5000, 0xFFFFFFFFu}) {
            Channel* channel = engine.play(sound);
            engine.renderMs(100);
            channel->setPosition(target);
            const std::vector<float> out = engine.renderMs(50);
            QCOMPARE(positionOf(channel), lengthOf(sound));
            QVERIFY(largestStep(out) < 0.05f);
            channel->stop();
        }
    }

    void shouldKeepThePositionWhilePaused()
    {
        const QString path = tone("pause", AudioFixtures::Format::Wav, 3.0);
        const Decoded reference = decodeWhole(QFile::encodeName(path).toStdString());
        OfflineEngine engine(44100);
        Sound* sound = engine.open(path.toStdString());
        Channel* channel = engine.play(sound);
        std::vector<float> heard = engine.renderMs(1000);

        QCOMPARE(channel->setPaused(true), AudioResult::Ok);
        const std::vector<float> fading = engine.renderMs(100);
        const uint32_t held = positionOf(channel);
        // The fade-out plays a few milliseconds more, then nothing moves.
        QVERIFY2(held >= 1000 && held <= 1010, QByteArray::number(held));
        const std::vector<float> silence = engine.renderMs(1000);
        QVERIFY(allZero(silence));
        QCOMPARE(positionOf(channel), held);
        bool paused = false;
        channel->getPaused(&paused);
        QVERIFY(paused);

        QCOMPARE(channel->setPaused(false), AudioResult::Ok);
        const std::vector<float> resumed = engine.renderMs(500);
        QCOMPARE(positionOf(channel), held + 500);
        // No clicks going down or coming back.
        QVERIFY(largestStep(fading) < 0.05f);
        QVERIFY(largestStep(resumed) < 0.05f);
        // Nothing was skipped: after the fade-in the file continues where the fade-out ended,
        // which is a few frames after the pause was asked for.
        const size_t fade = 44100 / 200;
        auto continuesFrom = [&](size_t frame) {
            for (size_t i = 2 * fade + 2; i < 2 * 4410; ++i) {
                if (resumed[i] != reference.samples[frame * 2 + i])
                    return false;
            }
            return true;
        };
        bool found = false;
        for (size_t frame = 44100; frame <= 44100 + fade + 2 && !found; ++frame)
            found = continuesFrom(frame);
        QVERIFY(found);
    }

    void shouldSeekWhilePausedAndResumeThere()
    {
        const QString path = tone("pausedseek", AudioFixtures::Format::OggVorbis, 3.0);
        const Decoded reference = decodeWhole(QFile::encodeName(path).toStdString());
        OfflineEngine engine(44100);
        Channel* channel = engine.play(engine.open(path.toStdString()));
        engine.renderMs(500);
        channel->setPaused(true);
        engine.renderMs(50);

        channel->setPosition(2000);
        QCOMPARE(positionOf(channel), 2000u);
        QVERIFY(allZero(engine.renderMs(300)));
        QCOMPARE(positionOf(channel), 2000u);

        channel->setPaused(false);
        const std::vector<float> out = engine.renderMs(200);
        QCOMPARE(positionOf(channel), 2200u);
        QVERIFY(largestStep(out) < 0.05f);
        const size_t fade = 44100 / 200;
        for (size_t i = 2 * fade; i < out.size(); ++i)
            QCOMPARE(out[i], reference.samples[2 * 88200 + i]);
    }

    void shouldKeepTheToneWhenResampling_data()
    {
        QTest::addColumn<int>("rate");
        for (int rate : {8000, 22050, 44100, 48000, 96000, 192000})
            QTest::newRow(QByteArray::number(rate).constData()) << rate;
    }

    void shouldKeepTheToneWhenResampling()
    {
        QFETCH(int, rate);
        const QString path =
            tone(QString("rate%1").arg(rate), AudioFixtures::Format::Wav, 1.0, rate, 1, 1000.0);
        OfflineEngine engine(48000);
        Sound* sound = engine.open(path.toStdString());
        QCOMPARE(lengthOf(sound), 1000u);
        Channel* channel = engine.play(sound);
        const std::vector<float> out = engine.render(48000 + 4800);
        QCOMPARE(positionOf(channel), 1000u);

        // A 1 kHz tone makes 2000 zero crossings a second, whatever the file's rate.
        const double pitch = pitchOf(out, 48000, 0.1, 0.9);
        QVERIFY2(std::abs(pitch - 1000.0) < 1.5, QByteArray::number(pitch));
        // Its length in time is kept too, within the resampler's filter delay.
        size_t last = out.size() / 2;
        while (last > 0 && std::abs(out[2 * (last - 1)]) < 1e-3f)
            --last;
        QVERIFY2(std::abs(int(last) - 48000) < 100, QByteArray::number(qulonglong(last)));
        // The level survives the conversion.
        float peak = 0.0f;
        for (size_t i = 4800; i < 43200; ++i)
            peak = std::max(peak, std::abs(out[2 * i]));
        QVERIFY2(peak > 0.45f && peak < 0.55f, QByteArray::number(peak));
    }

    void shouldRenderEachTrackAtItsOwnRateOnceTheOutputIsQuiet()
    {
        const QString low = tone("follow22050", AudioFixtures::Format::Wav, 1.0, 22050);
        const QString high = tone("follow96000", AudioFixtures::Format::Wav, 1.0, 96000);
        const QString slow = tone("follow4000", AudioFixtures::Format::Wav, 1.0, 4000, 1, 200.0);
        const Decoded lowReference = decodeWhole(QFile::encodeName(low).toStdString());
        OfflineEngine engine(48000, true);

        // Nothing plays: the first track sets the rate and comes out untouched.
        Sound* first = engine.open(low.toStdString());
        Channel* firstChannel = engine.play(first);
        QCOMPARE(engine.system()->outputRate(), 22050);
        std::vector<float> out = engine.render(lowReference.frames());
        QVERIFY(std::equal(lowReference.samples.begin(), lowReference.samples.end(), out.begin()));
        QCOMPARE(positionOf(firstChannel), 1000u);

        // A track started while another is fading out keeps the rate, resampled to it, and
        // still keeps time: 1 s of it takes 22050 frames.
        first->release();
        first = engine.open(low.toStdString());
        firstChannel = engine.play(first);
        engine.renderMs(200);
        firstChannel->stop();
        Sound* second = engine.open(high.toStdString());
        Channel* secondChannel = engine.play(second);
        QCOMPARE(engine.system()->outputRate(), 22050);
        out = engine.render(22050 + 2205);
        QVERIFY(largestStep(out) < 0.2f);
        QCOMPARE(positionOf(secondChannel), 1000u);

        // Once it has ended the next play may change the rate again; a rate no stream takes
        // plays at the preferred rate instead, with its pitch kept.
        secondChannel->stop();
        Sound* third = engine.open(slow.toStdString());
        Channel* thirdChannel = engine.play(third);
        QCOMPARE(engine.system()->outputRate(), 48000);
        out = engine.render(48000 + 4800);
        QCOMPARE(positionOf(thirdChannel), 1000u);
        const double pitch = pitchOf(out, 48000, 0.1, 0.9);
        QVERIFY2(std::abs(pitch - 200.0) < 1.5, QByteArray::number(pitch));
    }

    void shouldPlayMonoOnBothSidesAndFoldWideFilesToStereo_data()
    {
        QTest::addColumn<int>("channels");
        QTest::newRow("mono") << 1;
        QTest::newRow("3 channels") << 3;
        QTest::newRow("quad") << 4;
        QTest::newRow("5.1") << 6;
        QTest::newRow("7.1") << 8;
    }

    void shouldPlayMonoOnBothSidesAndFoldWideFilesToStereo()
    {
        QFETCH(int, channels);
        const QString path =
            tone(QString("wide%1").arg(channels), AudioFixtures::Format::Wav, 0.5, 44100, channels);
        const Decoded reference = decodeWhole(QFile::encodeName(path).toStdString());
        QCOMPARE(reference.channels, channels);
        OfflineEngine engine(44100);
        Channel* channel = engine.play(engine.open(path.toStdString()));
        QVERIFY(channel);
        const std::vector<float> out = engine.render(reference.frames());
        // The fixture has the same tone on every channel, so both sides carry it at its level.
        for (int64_t i = 0; i < reference.frames(); ++i) {
            const float expected = reference.samples[static_cast<size_t>(i * channels)];
            QVERIFY(std::abs(out[2 * i] - expected) < 1e-5f);
            QVERIFY(std::abs(out[2 * i + 1] - expected) < 1e-5f);
        }
    }

    void shouldLeaveOnlyTheSecondOfTwoPlays()
    {
        const QString first = tone("first", AudioFixtures::Format::Wav, 2.0, 44100, 2, 440.0);
        const QString second = tone("second", AudioFixtures::Format::Wav, 2.0, 44100, 2, 660.0);
        const Decoded reference = decodeWhole(QFile::encodeName(second).toStdString());
        OfflineEngine engine(44100);
        Sound* a = engine.open(first.toStdString());
        Channel* channelA = engine.play(a);
        engine.renderMs(300);

        // What SoundPlayer::Play does: stop, free the old sound, open and play the new one.
        channelA->stop();
        a->release();
        Sound* b = engine.open(second.toStdString());
        Channel* channelB = engine.play(b);
        const std::vector<float> out = engine.renderMs(500);
        QVERIFY(largestStep(out) < 0.1f); // both tones' own steps, no jump
        // Once the old channel's fade-out is over, only the second file is heard.
        const size_t fade = 44100 / 200;
        for (size_t i = 2 * fade; i < out.size(); ++i)
            QCOMPARE(out[i], reference.samples[i]);
        QCOMPARE(positionOf(channelB), 500u);

        uint32_t ms = 777;
        QCOMPARE(channelA->getPosition(&ms), AudioResult::InvalidHandle);
        QCOMPARE(ms, 777u);
    }

    void shouldIgnoreCallsOnStoppedChannels()
    {
        const QString path = tone("stale", AudioFixtures::Format::Wav, 2.0);
        OfflineEngine engine;
        Sound* sound = engine.open(path.toStdString());
        Channel* old = engine.play(sound);
        engine.renderMs(200);
        QCOMPARE(old->stop(), AudioResult::Ok);
        const std::vector<float> tail = engine.renderMs(50);
        QVERIFY(largestStep(tail) < 0.05f);
        QVERIFY(allZero(tail, 2 * 44100 / 100)); // silent after the fade-out

        // The same voice is reused by the next play; the old handle must not reach it.
        Channel* current = engine.play(sound);
        engine.renderMs(100);
        uint32_t ms = 4242;
        bool paused = true;
        QCOMPARE(old->getPosition(&ms), AudioResult::InvalidHandle);
        QCOMPARE(old->getPaused(&paused), AudioResult::InvalidHandle);
        QCOMPARE(old->setPaused(true), AudioResult::InvalidHandle);
        QCOMPARE(old->setPosition(1500), AudioResult::InvalidHandle);
        QCOMPARE(old->stop(), AudioResult::InvalidHandle);
        QCOMPARE(ms, 4242u);
        QVERIFY(paused);
        QVERIFY(!old->isLive());
        QCOMPARE(positionOf(current), 100u);
        engine.renderMs(100);
        QCOMPARE(positionOf(current), 200u);

        // Releasing a sound stops its channel.
        sound->release();
        QVERIFY(!current->isLive());
        QCOMPARE(current->getPosition(&ms), AudioResult::InvalidHandle);
    }

    void shouldPlayASoundAgainFromTheStart()
    {
        const QString path = tone("again", AudioFixtures::Format::Mp3, 2.0);
        const Decoded reference = decodeWhole(QFile::encodeName(path).toStdString());
        OfflineEngine engine(reference.rate);
        Sound* sound = engine.open(path.toStdString());
        Channel* first = engine.play(sound);
        engine.renderMs(700);
        Channel* second = engine.play(sound);
        QVERIFY(!first->isLive());
        QCOMPARE(positionOf(second), 0u);
        const std::vector<float> out = engine.renderMs(300);
        const size_t fade = static_cast<size_t>(reference.rate / 200);
        for (size_t i = 2 * fade; i < out.size(); ++i)
            QCOMPARE(out[i], reference.samples[i]);
    }

    void shouldStayStillUntilTheFirstFramesArriveAndLoseNone()
    {
        const QString path = tone("late", AudioFixtures::Format::Wav, 1.0);
        const Decoded reference = decodeWhole(QFile::encodeName(path).toStdString());
        OfflineEngine engine(44100);
        Channel* channel = engine.play(engine.open(path.toStdString()));
        // The output asks before the read-ahead has run: silence, and the position waits.
        std::vector<float> early(441 * 2);
        engine.system()->render(early.data(), 441);
        QVERIFY(allZero(early));
        QCOMPARE(positionOf(channel), 0u);

        const std::vector<float> out = engine.renderMs(100);
        QCOMPARE(positionOf(channel), 100u);
        QVERIFY(largestStep(out) < 0.05f);
        // The file starts from its first frame, faded in over the first few milliseconds.
        const size_t fade = 44100 / 200;
        for (size_t i = 2 * fade; i < out.size(); ++i)
            QCOMPARE(out[i], reference.samples[i]);
    }

    void shouldStartPausedWhenAsked()
    {
        const QString path = tone("startpaused", AudioFixtures::Format::Wav, 1.0);
        OfflineEngine engine;
        Channel* channel = engine.play(engine.open(path.toStdString()), true);
        QVERIFY(allZero(engine.renderMs(200)));
        QCOMPARE(positionOf(channel), 0u);
        channel->setPaused(false);
        const std::vector<float> out = engine.renderMs(200);
        QCOMPARE(positionOf(channel), 200u);
        QVERIFY(largestStep(out) < 0.05f);
    }

    void shouldKeepTimeAndEndTheTrackWhateverTheDeviceDoes_data()
    {
        QTest::addColumn<QString>("fault");
        QTest::newRow("no device") << "no device";
        QTest::newRow("start refused") << "start refused";
        QTest::newRow("open waits") << "open waits";
        QTest::newRow("start waits") << "start waits";
        QTest::newRow("close waits") << "close waits";
    }

    void shouldKeepTimeAndEndTheTrackWhateverTheDeviceDoes()
    {
        QFETCH(QString, fault);
        // Long enough to be still playing after the device has been given up, under ThreadSanitizer
        // too.
        const QString path = tone("through-a-fault", AudioFixtures::Format::Wav, 3.0);
        const QStringList threadsBefore = ThreadNames::now("brisnak-");
        FakeDeviceEngine engine;
        FakeBackend& backend = *engine.backend;
        Hold* hold = fault == "open waits"    ? &backend.openHold
                     : fault == "start waits" ? &backend.startHold
                     : fault == "close waits" ? &backend.stopHold
                                              : nullptr;
        backend.deviceAvailable = fault != "no device";
        backend.refuseStart = fault == "start refused";
        if (hold && fault != "close waits")
            hold->close();

        Sound* sound = nullptr;
        engine.system->createSound(QFile::encodeName(path).constData(), AudioSystem::ModeSoftware,
                                   nullptr, &sound);
        Channel* channel = nullptr;
        engine.system->playSound(AudioSystem::FreeChannel, sound, false, &channel);
        QVERIFY(channel);
        CallTimer timed;
        const auto position = [&] { return timed([&] { return positionOf(channel); }); };
        if (fault == "close waits") {
            // Heard on the device first; then it fails, and closing it waits for the server.
            QTRY_VERIFY(engine.system->usingDevice() && position() > 100);
            hold->close();
            backend.lastDevice()->failed = true;
        }
        if (hold)
            QTRY_COMPARE(hold->waiting(), 1);

        // Time goes on, through a pause, to the end of the track.
        const uint32_t before = position();
        QTRY_VERIFY(position() > before + 100);
        QCOMPARE(timed([&] { return channel->setPaused(true); }), AudioResult::Ok);
        QTRY_VERIFY(!engine.system->outputRunning());
        const uint32_t paused = position();
        QCOMPARE(timed([&] { return channel->setPaused(false); }), AudioResult::Ok);
        QTRY_VERIFY(position() > paused);
        QTRY_COMPARE_WITH_TIMEOUT(position(), 3000u, 8000);
        QVERIFY(!engine.system->usingDevice());
        if (hold)
            QCOMPARE(hold->waiting(), 1);
        if (fault == "no device")
            QVERIFY(backend.tries >= 2);
        if (fault == "start refused") {
            QVERIFY(backend.disconnects >= 2);
            QVERIFY(backend.lastDevice()->destroyed);
        }
        // A hang check, not a timing: a call takes microseconds, and one that waited for the
        // held fake would not come back before the test opens it.
        QVERIFY2(timed.slowestMs < 200, qPrintable(QString("%1 ms").arg(timed.slowestMs)));

        // Quitting does not wait for a server that does not answer beyond ReleaseWait (500 ms);
        // 2 s is again a hang check.
        QElapsedTimer quitting;
        quitting.start();
        QCOMPARE(engine.system->release(), AudioResult::Ok);
        QVERIFY2(quitting.elapsed() < 2000, qPrintable(QString("%1 ms").arg(quitting.elapsed())));
        // Nothing held: the engine's threads have ended. Otherwise the device thread left behind
        // comes back and ends on the engine it was left with.
        if (!hold)
            QCOMPARE(ThreadNames::now("brisnak-"), threadsBefore);
        else
            hold->open();
    }

    void shouldAnswerAndSeekWhileTheEngineDecodes_data()
    {
        QTest::addColumn<bool>("quitWhileStuck");
        QTest::newRow("the step ends") << false;
        QTest::newRow("quitting while it is stuck") << true;
    }

    void shouldAnswerAndSeekWhileTheEngineDecodes()
    {
        QFETCH(bool, quitWhileStuck);
        // The second link of the chain is at another rate: its resampler is made by the read-ahead
        // thread as it decodes, here one that waits for the test, as a slow decode step would.
        const QString path = dir.filePath("decoding-slowly.ogg");
        QVERIFY(DifficultFiles::write(QFile::encodeName(path).toStdString(),
                                      DifficultFiles::Case::ChainedOtherFormat)
                    .ok);
        // Shared with the resampler factory, which an engine left behind keeps.
        struct Stall {
            Hold hold;
            std::atomic<bool> slow{false};
        };
        const auto stall = std::make_shared<Stall>();
        Hold& decoding = stall->hold;
        std::atomic<bool>& slow = stall->slow;
        FakeDeviceEngine engine([stall](int from, int to) {
            if (stall->slow)
                stall->hold.pass();
            return Resampler::make(from, to);
        });
        Sound* sound = nullptr;
        engine.system->createSound(QFile::encodeName(path).constData(), AudioSystem::ModeSoftware,
                                   nullptr, &sound);
        QVERIFY(sound);
        decoding.close();
        slow = true;
        Channel* channel = nullptr;
        engine.system->playSound(AudioSystem::FreeChannel, sound, false, &channel);
        QVERIFY(channel);
        QTRY_COMPARE_WITH_TIMEOUT(decoding.waiting(), 1, 5000);

        // Every call answers while the step is stuck; a seek on the channel being filled is
        // taken once it is over, and reads its target meanwhile.
        CallTimer timed;
        QCOMPARE(timed([&] { return channel->setPaused(true); }), AudioResult::Ok);
        QCOMPARE(timed([&] { return channel->setPaused(false); }), AudioResult::Ok);
        QCOMPARE(timed([&] { return channel->setPosition(500); }), AudioResult::Ok);
        QCOMPARE(timed([&] { return positionOf(channel); }), 500u);
        QCOMPARE(timed([&] { return engine.system->usingDevice(); }), true);
        QCOMPARE(decoding.waiting(), 1);
        // A hang check: these take microseconds, and would otherwise wait for the test.
        QVERIFY2(timed.slowestMs < 200, qPrintable(QString("%1 ms").arg(timed.slowestMs)));

        if (quitWhileStuck) {
            // Quitting waits ReleaseWait (500 ms) for the step at most; 2 s is a hang check. The
            // thread left behind then ends its step on the engine it was left with.
            QCOMPARE(timed([&] { return engine.system->release(); }), AudioResult::Ok);
            QVERIFY2(timed.slowestMs < 2000, qPrintable(QString("%1 ms").arg(timed.slowestMs)));
            decoding.open();
            return;
        }
        // The step ends: the sound goes on from the target.
        slow = false;
        decoding.open();
        // It stood at about 2 s when the step stuck (where the ring reached the second link).
        QTRY_VERIFY(positionOf(channel) > 700);
        QVERIFY(positionOf(channel) < 1500);
        QCOMPARE(engine.system->release(), AudioResult::Ok);
    }

    void shouldKeepNothingOfARefusedInit()
    {
        AudioSystem* system = nullptr;
        AudioSystem::create(&system);
        AudioSystem::OfflineSettings refused;
        refused.outputRate = 1;
        refused.followSoundRate = false;
        refused.makeResampler = [](int, int) { return std::unique_ptr<Resampler>(); };
        QCOMPARE(system->init(32, AudioSystem::InitOffline, &refused), AudioResult::InvalidParam);

        // An ordinary init after it follows the sound's rate, with libsoxr's resamplers.
        AudioSystem::OutputSettings fake;
        fake.makeBackend = [] { return std::make_unique<FakeBackend>(true); };
        QCOMPARE(system->init(32, AudioSystem::InitNormal, &fake), AudioResult::Ok);
        const QString path = tone("after-a-refusal", AudioFixtures::Format::Wav, 1.0, 22050);
        Sound* sound = nullptr;
        QCOMPARE(system->createSound(QFile::encodeName(path).constData(), AudioSystem::ModeSoftware,
                                     nullptr, &sound),
                 AudioResult::Ok);
        Channel* channel = nullptr;
        QCOMPARE(system->playSound(AudioSystem::FreeChannel, sound, false, &channel),
                 AudioResult::Ok);
        QCOMPARE(system->outputRate(), 22050);
        QTRY_VERIFY(positionOf(channel) > 100);
        QCOMPARE(system->release(), AudioResult::Ok);
    }

    void shouldRefuseNullArguments()
    {
        OfflineEngine engine;
        Sound* sound = nullptr;
        QCOMPARE(engine.system()->createSound(nullptr, AudioSystem::ModeSoftware, nullptr, &sound),
                 AudioResult::InvalidParam);
        QVERIFY(!sound);
        const QString path = tone("null", AudioFixtures::Format::Wav, 0.5);
        sound = engine.open(path.toStdString());
        QCOMPARE(engine.system()->playSound(AudioSystem::FreeChannel, sound, false, nullptr),
                 AudioResult::InvalidParam);
        Channel* channel = nullptr;
        QCOMPARE(engine.system()->playSound(32, sound, false, &channel),
                 AudioResult::NoFreeChannel);
        QVERIFY(!channel);
        QCOMPARE(sound->getLength(nullptr), AudioResult::InvalidParam);
    }
};

QTEST_GUILESS_MAIN(AudioSystemTest)
#include "AudioSystemTest.moc"
