// The decoders against the file corpus (FileCorpus): every row's file opened as the player opens
// it, read whole in uneven blocks with the decoder base's promises checked at every read, and held
// to what its row says: refused, or opened by the right library, as long as its audio, the tone
// heard to its very end and each link where it belongs at its pitch, seeks on their frames, and
// no more bytes read than the row allows.
#include "Decoder.h"
#include "FileCorpus.h"
#include "FormatSniffer.h"
#include "Mpg123Decoder.h"
#include "SndfileDecoder.h"
#include "SoundCapture.h"
#include "VorbisDecoder.h"

#include <QFile>
#include <QTemporaryDir>
#include <QTest>

#include <algorithm>
#include <cmath>
#include <string>
#include <vector>

using Expected = FileCorpus::Expected;
using Library = FileCorpus::Library;
using Outcome = FileCorpus::Outcome;

Q_DECLARE_METATYPE(const FileCorpus::Row*)

namespace
{

// The level of the corpus's tones (amplitude 0.5).
const double toneLevel = 0.5 / std::sqrt(2.0);

bool opensWith(const Decoder& decoder, Library library)
{
    switch (library) {
    case Library::Any:
        return true;
    case Library::Sndfile:
        return dynamic_cast<const SndfileDecoder*>(&decoder);
    case Library::Vorbis:
        return dynamic_cast<const VorbisDecoder*>(&decoder);
    case Library::Mpg123:
        return dynamic_cast<const Mpg123Decoder*>(&decoder);
    }
    return false;
}

// A whole file as the decoder gives it: a run of reads in one format makes a segment.
struct Segment {
    int64_t start = 0; // on the timeline
    Decoder::Format format;
    std::vector<float> samples;
    int64_t frames() const { return static_cast<int64_t>(samples.size()) / format.channels; }
};

// Reads from where the decoder stands to the end in uneven blocks, checking what the base promises
// at every read: never more than asked, the position never going back nor past the length, and
// equal to it at the end.
std::vector<Segment> decodeSegments(Decoder& decoder, bool& kept, int64_t block = 777)
{
    std::vector<Segment> segments;
    std::vector<float> buffer(static_cast<size_t>(block * decoder.channels()));
    int64_t before = decoder.position();
    kept = true;
    for (;;) {
        const Decoder::Format format = decoder.format();
        const int64_t got = decoder.read(buffer.data(), block);
        kept = kept && got >= 0 && got <= block && decoder.position() <= decoder.lengthFrames() &&
               decoder.position() >= before && format.channels <= decoder.channels();
        if (got <= 0 || !kept)
            break;
        if (segments.empty() || segments.back().format != format)
            segments.push_back({before, format, {}});
        segments.back().samples.insert(segments.back().samples.end(), buffer.begin(),
                                       buffer.begin() + got * format.channels);
        before = decoder.position();
    }
    kept = kept && decoder.position() == decoder.lengthFrames();
    return segments;
}

// The segment that holds timeline frame `at`, and the frame of it there; null when none does.
const Segment* segmentAt(const std::vector<Segment>& segments, int timelineRate, int64_t at,
                         int64_t& native)
{
    for (const Segment& segment : segments) {
        native = (at - segment.start) * segment.format.rate / timelineRate;
        if (native >= 0 && native < segment.frames())
            return &segment;
    }
    return nullptr;
}

// `seconds` of the first channel from timeline frame `at` on, at the rate of its segment.
SoundCapture heardAt(const std::vector<Segment>& segments, int timelineRate, int64_t at,
                     double seconds)
{
    int64_t native = 0;
    const Segment* segment = segmentAt(segments, timelineRate, at, native);
    if (!segment)
        return {};
    const int rate = segment->format.rate;
    const int channels = segment->format.channels;
    const auto first = segment->samples.begin() + native * channels;
    const int64_t count =
        std::min<int64_t>(static_cast<int64_t>(seconds * rate), segment->frames() - native);
    return SoundCapture::side({first, first + count * channels}, channels, rate);
}

} // namespace

class DecoderTest : public QObject
{
    Q_OBJECT

private slots:
    void shouldDecodeEveryFileAsItsRowSays_data()
    {
        QTest::addColumn<const FileCorpus::Row*>("row");
        for (const FileCorpus::Row& row : FileCorpus::rows())
            QTest::newRow(row.name.c_str()) << &row;
    }

    void shouldDecodeEveryFileAsItsRowSays()
    {
        QFETCH(const FileCorpus::Row*, row);
        QTemporaryDir folder;
        const Expected expected = row->make(folder.path().toStdString(), 1.0);
        QVERIFY(expected.written);

        const int64_t readBefore = FileCorpus::bytesRead();
        std::unique_ptr<Decoder> decoder = FormatSniffer::open(expected.path.c_str());
        if (expected.mostBytesOpening > 0) {
            const int64_t read = FileCorpus::bytesRead() - readBefore;
            QVERIFY2(read <= expected.mostBytesOpening,
                     qPrintable(QStringLiteral("%1 bytes read to open").arg(read)));
        }
        if (expected.outcome == Outcome::Refused ||
            (expected.outcome == Outcome::Either && !decoder)) {
            QVERIFY(!decoder);
            return;
        }
        QVERIFY(decoder);
        const int64_t length = decoder->lengthFrames();
        const int rate = decoder->sampleRate();
        QVERIFY(length > 0 && rate > 0 && decoder->channels() > 0);
        // A length beyond the row's is not decoded: it could be hours of a lie.
        if (expected.outcome == Outcome::Plays) {
            QVERIFY(opensWith(*decoder, expected.library));
            QVERIFY2(length >= expected.fewest && length <= expected.most,
                     qPrintable(QStringLiteral("%1 frames for %2 to %3")
                                    .arg(length)
                                    .arg(expected.fewest)
                                    .arg(expected.most)));
        }
        bool kept = false;
        const std::vector<Segment> segments = decodeSegments(*decoder, kept);
        QVERIFY2(kept, "a read broke the decoder's promises");
        if (expected.mostBytesRead > 0) {
            const int64_t read = FileCorpus::bytesRead() - readBefore;
            QVERIFY2(read <= expected.mostBytesRead,
                     qPrintable(QStringLiteral("%1 bytes read").arg(read)));
        }
        // The segments follow each other on the timeline and add up to the length (a link at
        // another rate may leave a frame of the timeline unfilled).
        int64_t frames = 0;
        for (const Segment& segment : segments) {
            QCOMPARE(segment.start, frames);
            frames += segment.frames() * rate / segment.format.rate;
        }
        QVERIFY(frames <= length && frames >= length - static_cast<int64_t>(segments.size()) + 1);
        std::vector<float> more(16 * static_cast<size_t>(decoder->channels()));
        QCOMPARE(decoder->read(more.data(), 2), int64_t{0});
        if (expected.outcome == Outcome::Either)
            return;
        if (!expected.sameLengthAs.empty()) {
            const auto twin = FormatSniffer::open(expected.sameLengthAs.c_str());
            QVERIFY(twin);
            QCOMPARE(length, twin->lengthFrames());
        }
        if (expected.toTheEnd && (expected.parts.empty() || expected.parts.back().audible)) {
            // The last frames still hold the tone: nothing was made up with silence at the end.
            const int64_t window = std::min<int64_t>(expected.endFrames, length);
            const SoundCapture end = heardAt(segments, rate, length - window, 1.0);
            QVERIFY2(end.rms(0, end.duration()) > 0.2, qPrintable(QString::number(end.rms(0, 1))));
        }

        // Each link's tone where it belongs, away from its edges and from a hole; a link whose
        // headers are lost, and the hole a damaged page leaves, are silent.
        int64_t start = 0;
        for (const DifficultFiles::Part& part : expected.parts) {
            const double seconds = part.seconds > 0 ? part.seconds : double(length) / rate;
            for (const double share : {0.25, 0.5, 0.75}) {
                const double at = seconds * share;
                if (at > part.holeFrom - 0.2 && at < part.holeTo + 0.2)
                    continue;
                const SoundCapture heard =
                    heardAt(segments, rate, start + static_cast<int64_t>(at * rate), 0.1);
                const double level = heard.rms(0, heard.duration());
                if (!part.audible) {
                    QVERIFY2(level < 0.001, qPrintable(QString::number(level)));
                    continue;
                }
                QCOMPARE(heard.rate, part.rate);
                QVERIFY2(std::abs(level - toneLevel) < expected.levelTolerance,
                         qPrintable(QStringLiteral("level %1 at %2 s").arg(level).arg(at)));
                const double pitch = heard.frequency(0, heard.duration());
                QVERIFY2(std::abs(pitch - part.frequency) < part.frequency * 0.03,
                         qPrintable(QStringLiteral("%1 Hz at %2 s").arg(pitch).arg(at)));
            }
            if (part.holeTo > part.holeFrom) {
                const double middle = (part.holeFrom + part.holeTo) / 2;
                const SoundCapture hole =
                    heardAt(segments, rate, start + static_cast<int64_t>(middle * rate), 0.1);
                QVERIFY(hole.rms(0, hole.duration()) < 0.001);
            }
            start += std::llround(seconds * part.rate) * rate / part.rate;
        }

        // Damage no link describes: the share of 100 ms blocks that hold the tone, or are silent.
        if (expected.leastToneShare > 0 || expected.mostQuietBlocks >= 0) {
            int tone = 0;
            int quiet = 0;
            int blocks = 0;
            for (int64_t at = 0; at + rate / 10 <= length; at += rate / 10, ++blocks) {
                const SoundCapture block = heardAt(segments, rate, at, 0.1);
                const double level = block.rms(0, block.duration());
                tone += std::abs(level - toneLevel) < 0.05 ? 1 : 0;
                quiet += level < 0.001 ? 1 : 0;
            }
            QVERIFY2(tone >= expected.leastToneShare * blocks, qPrintable(QString::number(tone)));
            if (expected.mostQuietBlocks >= 0)
                QVERIFY2(quiet >= expected.leastQuietBlocks && quiet <= expected.mostQuietBlocks,
                         qPrintable(QString::number(quiet)));
        }

        if (!expected.exactSeeks)
            return;
        // A seek lands on the very samples the straight decode gave there, at the frame asked for
        // or, in a link at another rate, at its nearest frame before it. libmpg123 carries its
        // filter bank's state across a seek, which leaves differences of float rounding (about
        // 1e-7, below one step of 24-bit audio) in the first samples.
        const float tolerance = expected.library == Library::Mpg123 ? 1e-6f : 0.0f;
        std::vector<float> block(300 * static_cast<size_t>(decoder->channels()));
        for (const int64_t target :
             {length / 2, int64_t{1}, length - 1, int64_t{577}, int64_t{0}, int64_t{1152 * 3 + 5},
              length - 100, int64_t{rate + 17}, int64_t{1152 * 20}, length - 3000}) {
            if (target < 0 || target >= length)
                continue;
            QVERIFY(decoder->seek(target));
            const int64_t landed = decoder->position();
            const Decoder::Format format = decoder->format();
            QVERIFY(landed <= target && target - landed < rate / format.rate + 1);
            int64_t native = 0;
            const Segment* segment = segmentAt(segments, rate, landed, native);
            QVERIFY(segment && segment->format == format);
            const int64_t wanted = std::min<int64_t>(300, segment->frames() - native);
            QCOMPARE(decoder->read(block.data(), 300), wanted);
            const auto first = segment->samples.begin() + native * format.channels;
            QVERIFY2(std::equal(block.begin(), block.begin() + wanted * format.channels, first,
                                [&](float a, float b) { return std::abs(a - b) <= tolerance; }),
                     qPrintable(QStringLiteral("after a seek to %1").arg(target)));
        }
        // Past the end is the end, and the decoder comes back from there.
        QVERIFY(decoder->seek(length + 1000));
        QCOMPARE(decoder->read(block.data(), 300), int64_t{0});
        QVERIFY(decoder->seek(0));
        const std::vector<Segment> again = decodeSegments(*decoder, kept);
        QVERIFY(kept);
        QCOMPARE(again.size(), segments.size());
        QCOMPARE(again.back().samples.size(), segments.back().samples.size());
    }

    void shouldRefuseANullPath() { QVERIFY(!FormatSniffer::open(nullptr)); }
};

QTEST_GUILESS_MAIN(DecoderTest)
#include "DecoderTest.moc"
