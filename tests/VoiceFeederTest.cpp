// The read-ahead path on its own: a sound whose links change format comes out at the output rate
// for exactly its duration, and a resampler libsoxr refuses ends the sound in silence of the time
// left instead of stalling the feeder.
#include "VoiceFeeder.h"
#include "Decoder.h"
#include "DifficultFiles.h"
#include "FormatSniffer.h"
#include "Resampler.h"
#include "SoundCapture.h"
#include "Voice.h"

#include <QTemporaryDir>
#include <QTest>

#include <algorithm>
#include <cmath>
#include <vector>

namespace
{

// Everything a feeder pushes, taken from the voice's ring as it fills. `rounds` bounds the calls,
// so a feeder that stalls fails the test instead of hanging it.
struct Fed {
    std::vector<float> stereo;
    bool finished = false;
};

Fed feedAll(VoiceFeeder& feeder, int rounds = 100000)
{
    Voice voice;
    voice.prepare(48000, 240, 0, false);
    Fed fed;
    std::vector<StereoFrame> block(4096);
    for (int i = 0; i < rounds && !feeder.finished(); ++i) {
        feeder.fill(voice, 2048);
        for (size_t got; (got = voice.ring.pop(block.data(), block.size())) > 0;) {
            for (size_t f = 0; f < got; ++f)
                fed.stereo.insert(fed.stereo.end(), {block[f].left, block[f].right});
        }
    }
    fed.finished = feeder.finished() && voice.producerDone.load();
    return fed;
}

// The level of the left side of `stereo` at `rate`, over `seconds` from `fromSecond` on.
double levelOf(const std::vector<float>& stereo, double fromSecond, double seconds, int rate)
{
    return SoundCapture::side(stereo, 2, rate).rms(fromSecond, fromSecond + seconds);
}

// A factory whose resamplers libsoxr refuses (a rate of 0) for input at `refusedRate`.
Resampler::Factory refusing(int refusedRate)
{
    return [refusedRate](int inputRate, int outputRate) {
        return std::make_unique<Resampler>(inputRate == refusedRate ? 0 : inputRate, outputRate);
    };
}

} // namespace

class VoiceFeederTest : public QObject
{
    Q_OBJECT

    QTemporaryDir dir;
    std::string chained; // 3 s of stereo 44.1 kHz, then 2 s of mono 22.05 kHz

private slots:
    void initTestCase()
    {
        chained = dir.filePath("chained.ogg").toStdString();
        QVERIFY(DifficultFiles::write(chained, DifficultFiles::Case::ChainedOtherFormat).ok);
    }

    void shouldGiveEachLinkItsDurationAtTheOutputRate_data()
    {
        QTest::addColumn<int>("outputRate");
        QTest::newRow("at the first link's rate") << 44100;
        QTest::newRow("at the second link's rate") << 22050;
        QTest::newRow("at neither") << 48000;
    }

    void shouldGiveEachLinkItsDurationAtTheOutputRate()
    {
        QFETCH(int, outputRate);
        auto decoder = FormatSniffer::open(chained.c_str());
        QVERIFY(decoder);
        VoiceFeeder feeder(*decoder, outputRate);
        const Fed fed = feedAll(feeder);
        QVERIFY(fed.finished);
        // Five seconds: each link resampled on its own and drained at its end, so neither loses
        // nor gains more than libsoxr's rounding of a frame or two.
        const auto frames = static_cast<int64_t>(fed.stereo.size() / 2);
        QVERIFY2(std::abs(frames - 5 * outputRate) <= 4, qPrintable(QString::number(frames)));
        // Both links are heard throughout, the mono one on both sides.
        for (const double second : {0.5, 2.5, 3.5, 4.5})
            QVERIFY(std::abs(levelOf(fed.stereo, second, 0.2, outputRate) - 0.5 / std::sqrt(2.0)) <
                    0.05);
        QCOMPARE(decoder->position(), decoder->lengthFrames());
    }

    void shouldEndInSilenceFromWhereTheResamplerIsRefused_data()
    {
        QTest::addColumn<int>("outputRate");
        QTest::addColumn<int>("refusedRate");
        QTest::addColumn<int>("silentFrom"); // seconds
        // At 44.1 kHz the first link needs no resampler; the one the second needs is refused.
        QTest::newRow("the second link's") << 44100 << 22050 << 3;
        QTest::newRow("the first link's") << 48000 << 44100 << 0;
    }

    void shouldEndInSilenceFromWhereTheResamplerIsRefused()
    {
        QFETCH(int, outputRate);
        QFETCH(int, refusedRate);
        QFETCH(int, silentFrom);
        auto decoder = FormatSniffer::open(chained.c_str());
        QVERIFY(decoder);
        VoiceFeeder feeder(*decoder, outputRate, refusing(refusedRate));
        const Fed fed = feedAll(feeder);
        QVERIFY(fed.finished);
        // The sound still lasts its five seconds, heard up to where the resampler was refused.
        QCOMPARE(fed.stereo.size() / 2, size_t{5} * static_cast<size_t>(outputRate));
        if (silentFrom > 0)
            QVERIFY(std::abs(levelOf(fed.stereo, 1.0, 1.0, outputRate) - 0.5 / std::sqrt(2.0)) <
                    0.05);
        QVERIFY(std::all_of(fed.stereo.begin() + silentFrom * outputRate * 2, fed.stereo.end(),
                            [](float s) { return s == 0.0f; }));
        // A seek tries again from where it lands, and the sound still ends.
        feeder.requestSeek(decoder->lengthFrames() / 2);
        QVERIFY(feedAll(feeder).finished);
    }

    void shouldTellWhetherASoundCanBeFed()
    {
        auto decoder = FormatSniffer::open(chained.c_str());
        QVERIFY(decoder);
        QVERIFY(VoiceFeeder::canFeed(*decoder, {48000}, Resampler::make));
        QVERIFY(!VoiceFeeder::canFeed(*decoder, {48000}, refusing(22050)));
        // At the rate of the refused link, no resampler is needed for it.
        QVERIFY(VoiceFeeder::canFeed(*decoder, {22050}, refusing(22050)));
    }
};

QTEST_GUILESS_MAIN(VoiceFeederTest)
#include "VoiceFeederTest.moc"
