// The promises of the decoder base, whatever a format's decoder yields: a decoder that gives less
// than a link holds, more, nothing at all, or refuses to seek; links that change format.
#include "Decoder.h"

#include <QTest>

#include <algorithm>
#include <vector>

namespace
{

// How the scripted decoder misbehaves.
enum class Yield {
    Exact,     // every frame of every link
    Short,     // each link stops a third short
    Long,      // never stops, and claims more than it was asked for
    Nothing,   // no frame at all
    Trickle,   // one frame a call
    FirstDead, // the first link gives nothing, the others everything
};

// A decoder over made-up links whose frames say where they are: sample = link * 1000 + frame of
// the link, on every channel (small enough to be exact in a float).
class ScriptedDecoder : public Decoder
{
public:
    using Decoder::Link;

    ScriptedDecoder(const std::vector<Link>& found, Yield behaviour, bool seeks = true)
        : yield(behaviour), seekable(seeks)
    {
        setLinks(found);
    }

    // Whether a decode() asked for more than was left of its link.
    bool askedTooMuch = false;

protected:
    int64_t decode(size_t link, float* out, int64_t frames) override
    {
        if (link != at.first)
            at = {link, 0};
        const Link& current = links()[link];
        askedTooMuch = askedTooMuch || frames > current.frames - at.second;
        int64_t give = frames;
        switch (yield) {
        case Yield::Exact:
        case Yield::Long:
            break;
        case Yield::Short:
            give = std::min(frames, current.frames * 2 / 3 - at.second);
            break;
        case Yield::Nothing:
            give = 0;
            break;
        case Yield::Trickle:
            give = std::min<int64_t>(frames, 1);
            break;
        case Yield::FirstDead:
            give = link == 0 ? 0 : frames;
            break;
        }
        give = std::max<int64_t>(give, 0);
        for (int64_t i = 0; i < give; ++i)
            for (int c = 0; c < current.format.channels; ++c)
                out[i * current.format.channels + c] =
                    static_cast<float>(link * 1000 + (at.second + i) % 1000);
        at.second += give;
        return yield == Yield::Long ? give + 100 : give;
    }

    bool seekTo(size_t link, int64_t frame) override
    {
        if (!seekable)
            return false;
        at = {link, frame};
        return true;
    }

private:
    Yield yield;
    bool seekable;
    std::pair<size_t, int64_t> at{0, 0};
};

std::vector<ScriptedDecoder::Link>
linksOf(const std::vector<std::pair<Decoder::Format, int64_t>>& list)
{
    std::vector<ScriptedDecoder::Link> result;
    for (const auto& [format, frames] : list)
        result.push_back({format, frames});
    return result;
}

// What reading everything gave: each read's format and frames, and the position after it.
struct Reading {
    std::vector<Decoder::Format> formats;
    std::vector<int64_t> frames;
    std::vector<int64_t> positions;
    std::vector<std::vector<float>> samples;
};

Reading readAll(Decoder& decoder, int64_t block)
{
    Reading reading;
    std::vector<float> buffer(static_cast<size_t>(block * decoder.channels()), -1.0f);
    for (int reads = 0; reads < 100000; ++reads) {
        const Decoder::Format format = decoder.format();
        const int64_t got = decoder.read(buffer.data(), block);
        if (got == 0)
            break;
        reading.formats.push_back(format);
        reading.frames.push_back(got);
        reading.positions.push_back(decoder.position());
        reading.samples.emplace_back(buffer.begin(), buffer.begin() + got * format.channels);
    }
    return reading;
}

} // namespace

Q_DECLARE_METATYPE(Yield)

class DecoderBaseTest : public QObject
{
    Q_OBJECT

    // Two stereo 44.1 kHz links, a mono 22.05 kHz one, and a stereo 44.1 kHz one again.
    const std::vector<ScriptedDecoder::Link> chain =
        linksOf({{{44100, 2}, 3000}, {{44100, 2}, 2000}, {{22050, 1}, 1500}, {{44100, 2}, 1001}});
    // On the timeline: 3000 + 2000 + 3000 + 1001.
    static constexpr int64_t chainLength = 9001;

private slots:
    void shouldReadExactlyTheLengthWhateverTheDecoderYields_data()
    {
        QTest::addColumn<Yield>("yield");
        QTest::addColumn<int>("block");
        for (const int block : {1, 333, 4096}) {
            QTest::addRow("exact, blocks of %d", block) << Yield::Exact << block;
            QTest::addRow("short, blocks of %d", block) << Yield::Short << block;
            QTest::addRow("long, blocks of %d", block) << Yield::Long << block;
            QTest::addRow("nothing, blocks of %d", block) << Yield::Nothing << block;
            QTest::addRow("one frame a call, blocks of %d", block) << Yield::Trickle << block;
            QTest::addRow("first link dead, blocks of %d", block) << Yield::FirstDead << block;
        }
    }

    void shouldReadExactlyTheLengthWhateverTheDecoderYields()
    {
        QFETCH(Yield, yield);
        QFETCH(int, block);
        ScriptedDecoder decoder(chain, yield);
        QCOMPARE(decoder.sampleRate(), 44100);
        QCOMPARE(decoder.channels(), 2);
        QCOMPARE(decoder.lengthFrames(), chainLength);
        const Reading reading = readAll(decoder, block);

        // Frames per format add up to each run of links, and no read crosses a format change.
        int64_t stereo = 0;
        int64_t mono = 0;
        int64_t before = 0;
        for (size_t i = 0; i < reading.frames.size(); ++i) {
            QVERIFY(reading.frames[i] > 0 && reading.frames[i] <= block);
            (reading.formats[i].channels == 2 ? stereo : mono) += reading.frames[i];
            // The position moves on by the read's duration and never passes the length.
            QVERIFY(reading.positions[i] > before);
            QVERIFY(reading.positions[i] <= chainLength);
            before = reading.positions[i];
            if (reading.formats[i].channels == 1)
                QVERIFY(stereo == 5000 && mono <= 1500);
        }
        QCOMPARE(stereo, int64_t{3000 + 2000 + 1001});
        QCOMPARE(mono, int64_t{1500});
        QCOMPARE(decoder.position(), chainLength);
        std::vector<float> more(8);
        QCOMPARE(decoder.read(more.data(), 4), int64_t{0});
        QCOMPARE(decoder.position(), chainLength);

        // The decoder was never asked for more than was left of a link.
        QVERIFY(!decoder.askedTooMuch);
    }

    void shouldMakeUpWhatALinkCannotGiveWithSilence()
    {
        ScriptedDecoder decoder(chain, Yield::Short);
        const Reading reading = readAll(decoder, 500);
        // The first link gives its first 2000 frames, then 1000 of silence.
        std::vector<float> first;
        for (size_t i = 0; first.size() < 3000 * 2; ++i)
            first.insert(first.end(), reading.samples[i].begin(), reading.samples[i].end());
        for (int64_t frame : {0, 1999})
            QCOMPARE(first[static_cast<size_t>(frame * 2)], float(frame % 1000));
        QVERIFY(std::all_of(first.begin() + 2000 * 2, first.begin() + 3000 * 2,
                            [](float s) { return s == 0.0f; }));
    }

    void shouldSeekOntoTheLinkOfAnyFrame_data()
    {
        QTest::addColumn<qint64>("target");
        QTest::addColumn<qint64>("landed");
        QTest::addColumn<int>("link");
        QTest::addColumn<qint64>("linkFrame");
        QTest::newRow("start") << qint64{0} << qint64{0} << 0 << qint64{0};
        QTest::newRow("inside the first link") << qint64{1234} << qint64{1234} << 0 << qint64{1234};
        QTest::newRow("first frame of the second link")
            << qint64{3000} << qint64{3000} << 1 << qint64{0};
        // The mono link has a frame every two frames of the timeline: an odd frame lands on the one
        // before.
        QTest::newRow("even frame of the mono link")
            << qint64{5600} << qint64{5600} << 2 << qint64{300};
        QTest::newRow("odd frame of the mono link")
            << qint64{5601} << qint64{5600} << 2 << qint64{300};
        QTest::newRow("last frame") << qint64{9000} << qint64{9000} << 3 << qint64{1000};
        QTest::newRow("the end") << qint64{9001} << qint64{9001} << -1 << qint64{0};
        QTest::newRow("past the end") << qint64{20000} << qint64{9001} << -1 << qint64{0};
        QTest::newRow("before the start") << qint64{-5} << qint64{0} << 0 << qint64{0};
    }

    void shouldSeekOntoTheLinkOfAnyFrame()
    {
        QFETCH(qint64, target);
        QFETCH(qint64, landed);
        QFETCH(int, link);
        QFETCH(qint64, linkFrame);
        ScriptedDecoder decoder(chain, Yield::Exact);
        std::vector<float> buffer(64);
        QVERIFY(decoder.read(buffer.data(), 10) == 10);
        QVERIFY(decoder.seek(target));
        QCOMPARE(decoder.position(), landed);
        const Decoder::Format format = decoder.format();
        const int64_t got = decoder.read(buffer.data(), 1);
        if (link < 0) {
            QCOMPARE(got, int64_t{0});
            return;
        }
        QCOMPARE(got, int64_t{1});
        QCOMPARE(format, chain[static_cast<size_t>(link)].format);
        QCOMPARE(buffer[0], float(link * 1000 + linkFrame % 1000));
    }

    void shouldKeepThePositionWhenTheDecoderCannotSeek()
    {
        ScriptedDecoder decoder(chain, Yield::Exact, false);
        std::vector<float> buffer(200);
        QCOMPARE(decoder.read(buffer.data(), 100), int64_t{100});
        QVERIFY(!decoder.seek(6000));
        QCOMPARE(decoder.position(), int64_t{100});
        // Where a decoder stands after a failed seek is unknown: the rest of its link is silence,
        // and the length is still read to the end.
        const Reading rest = readAll(decoder, 700);
        QCOMPARE(decoder.position(), chainLength);
        QVERIFY(std::all_of(rest.samples[0].begin(), rest.samples[0].end(),
                            [](float s) { return s == 0.0f; }));
        QCOMPARE(rest.samples.back().back(), float(3000 + 1000 % 1000));
        // Seeking onto the very end asks nothing of the decoder.
        QVERIFY(decoder.seek(chainLength));
        QCOMPARE(decoder.read(buffer.data(), 100), int64_t{0});
    }

    void shouldLeaveOutLinksThatCannotPlay()
    {
        // A link without frames, one at 11 Hz and one at 1 MHz: only the two others are kept, and
        // the first kept one sets the timeline's rate.
        const ScriptedDecoder decoder(linksOf({{{11, 2}, 500},
                                               {{48000, 1}, 0},
                                               {{22050, 2}, 2205},
                                               {{1000000, 2}, 500},
                                               {{44100, 6}, 4410}}),
                                      Yield::Exact);
        QCOMPARE(decoder.sampleRate(), 22050);
        QCOMPARE(decoder.channels(), 6);
        QCOMPARE(decoder.lengthFrames(), int64_t{2205 + 2205});
        const std::vector<Decoder::Format> formats = decoder.formats();
        QCOMPARE(formats.size(), size_t{2});
        QCOMPARE(formats[1], (Decoder::Format{44100, 6}));

        const ScriptedDecoder empty({}, Yield::Exact);
        QCOMPARE(empty.lengthFrames(), int64_t{0});
    }

    void shouldCutClaimsPastTheLongestTimeline()
    {
        // Links claiming 2^62 frames: the first is cut where the timeline ends and the others are
        // dropped, so that a length in milliseconds, at any rate, is still an int64_t.
        constexpr int64_t huge = int64_t{1} << 62;
        const ScriptedDecoder decoder(
            linksOf({{{8000, 1}, 1000}, {{768000, 2}, huge}, {{44100, 2}, huge}}), Yield::Exact);
        QCOMPARE(decoder.lengthFrames(), Decoder::MaxLengthFrames);
        QCOMPARE(decoder.formats().size(), size_t{2});
        ScriptedDecoder seeking(linksOf({{{768000, 2}, huge}}), Yield::Exact);
        QVERIFY(seeking.seek(Decoder::MaxLengthFrames - 1));
        QCOMPARE(seeking.position(), Decoder::MaxLengthFrames - 1);
    }
};

QTEST_GUILESS_MAIN(DecoderBaseTest)
#include "DecoderBaseTest.moc"
