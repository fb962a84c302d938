#include "Decoder.h"
#include "AudioFixtures.h"
#include "DifficultFiles.h"
#include "FormatSniffer.h"
#include "Mpg123Decoder.h"
#include "SndfileDecoder.h"
#include "VorbisDecoder.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>

#include <algorithm>
#include <cmath>
#include <random>
#include <sndfile.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

using Format = AudioFixtures::Format;

namespace
{

enum class Kind { Sndfile, Vorbis, Mpg123 };

Kind kindOf(Format format)
{
    switch (format) {
    case Format::OggVorbis:
        return Kind::Vorbis;
    case Format::Mp3:
    case Format::Mp3WithoutXing:
        return Kind::Mpg123;
    default:
        return Kind::Sndfile;
    }
}

bool isKind(const Decoder* decoder, Kind kind)
{
    switch (kind) {
    case Kind::Sndfile:
        return dynamic_cast<const SndfileDecoder*>(decoder);
    case Kind::Vorbis:
        return dynamic_cast<const VorbisDecoder*>(decoder);
    case Kind::Mpg123:
        return dynamic_cast<const Mpg123Decoder*>(decoder);
    }
    return false;
}

bool isLossy(Format format)
{
    return format == Format::OggVorbis || format == Format::Mp3 || format == Format::Mp3WithoutXing;
}

// Every frame the decoder yields from where it stands, read in uneven blocks.
std::vector<float> decodeAll(Decoder& decoder, int64_t block = 1000)
{
    std::vector<float> samples;
    std::vector<float> buffer(static_cast<size_t>(block * decoder.channels()));
    for (;;) {
        const int64_t got = decoder.read(buffer.data(), block);
        if (got <= 0)
            break;
        samples.insert(samples.end(), buffer.begin(), buffer.begin() + got * decoder.channels());
    }
    return samples;
}

int64_t framesIn(const std::vector<float>& samples, const Decoder& decoder)
{
    return static_cast<int64_t>(samples.size()) / decoder.channels();
}

double rms(const float* samples, size_t count)
{
    double sum = 0;
    for (size_t i = 0; i < count; ++i)
        sum += double{samples[i]} * samples[i];
    return count ? std::sqrt(sum / static_cast<double>(count)) : 0.0;
}

std::string writeTone(const QTemporaryDir& dir, const QString& name, Format format,
                      const AudioFixtures::Tone& tone)
{
    const std::string path = dir.filePath(name).toStdString();
    if (!AudioFixtures::writeTone(path, format, tone))
        return {};
    return path;
}

// A tone named after its format, "tone.flac" and so on.
std::string writeTone(const QTemporaryDir& dir, Format format, const AudioFixtures::Tone& tone)
{
    return writeTone(dir, QStringLiteral("tone") + AudioFixtures::suffix(format), format, tone);
}

// The columns of the rows that name a format, a sample rate and a channel count.
void addFormatColumns()
{
    QTest::addColumn<Format>("format");
    QTest::addColumn<int>("rate");
    QTest::addColumn<int>("channels");
}

void writeBytes(const std::string& path, const QByteArray& bytes)
{
    QFile file(QString::fromStdString(path));
    QVERIFY(file.open(QIODevice::WriteOnly));
    QCOMPARE(file.write(bytes), bytes.size());
}

QByteArray readBytes(const std::string& path)
{
    QFile file(QString::fromStdString(path));
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

QByteArray randomBytes(qsizetype size, unsigned seed)
{
    std::mt19937 random(seed);
    QByteArray bytes(size, '\0');
    for (char& byte : bytes)
        byte = static_cast<char>(random());
    return bytes;
}

// The offset of the first MPEG frame header at or after `from` in a file of one format: the first
// two bytes of the file's first frame again, where another header follows a frame later.
qsizetype frameAfter(const QByteArray& bytes, qsizetype from)
{
    const QByteArray sync = bytes.left(2);
    for (qsizetype at = bytes.indexOf(sync, from); at >= 0; at = bytes.indexOf(sync, at + 1)) {
        const qsizetype next = bytes.indexOf(sync, at + 2);
        if (next > at && next - at < 2000 && bytes.mid(next + (next - at), 2) == sync)
            return at;
    }
    return from;
}

// The level of the fixtures' tone (amplitude 0.5).
const double toneLevel = 0.5 / std::sqrt(2.0);

// Whether the last `frames` frames still hold the tone: they do when the length is right, and are
// silence when a decoder made up frames it could not decode.
bool toneLastsToTheEnd(const std::vector<float>& samples, int channels, size_t frames = 2048)
{
    const size_t count = std::min(samples.size(), frames * static_cast<size_t>(channels));
    return rms(samples.data() + samples.size() - count, count) > 0.2;
}

// The most an MP3 without a Xing/Info header adds to a tone: the encoder's and the decoder's
// delay at the start and the padding of the last frame.
constexpr int64_t mp3Slack = 576 + 529 + 1152;

// A whole file as the decoder gives it: a run of reads in one format makes a segment.
struct Segment {
    int64_t start = 0; // on the timeline
    Decoder::Format format;
    std::vector<float> samples;
    int64_t frames() const { return static_cast<int64_t>(samples.size()) / format.channels; }
};

// Reads the whole file in uneven blocks, checking at every read what the base promises: never
// more than asked, the position never going back nor past the length, equal to it at the end.
std::vector<Segment> decodeSegments(Decoder& decoder, int64_t block = 777)
{
    std::vector<Segment> segments;
    std::vector<float> buffer(static_cast<size_t>(block * decoder.channels()));
    int64_t before = decoder.position();
    for (;;) {
        const Decoder::Format format = decoder.format();
        const int64_t got = decoder.read(buffer.data(), block);
        if (got < 0 || got > block || decoder.position() > decoder.lengthFrames() ||
            decoder.position() < before) {
            QTest::qFail("a read broke the decoder's promises", __FILE__, __LINE__);
            return {};
        }
        if (got == 0)
            break;
        if (segments.empty() || segments.back().format != format)
            segments.push_back({before, format, {}});
        segments.back().samples.insert(segments.back().samples.end(), buffer.begin(),
                                       buffer.begin() + got * format.channels);
        before = decoder.position();
    }
    return segments;
}

// `seconds` of the first channel from timeline frame `at` on, at the rate of the segment there.
std::vector<float> firstChannelAt(const std::vector<Segment>& segments, int timelineRate,
                                  int64_t at, double seconds, int* rate = nullptr)
{
    for (const Segment& segment : segments) {
        const int64_t native = (at - segment.start) * segment.format.rate / timelineRate;
        if (native < 0 || native >= segment.frames())
            continue;
        const auto count = std::min<int64_t>(static_cast<int64_t>(seconds * segment.format.rate),
                                             segment.frames() - native);
        std::vector<float> channel;
        for (int64_t i = native; i < native + count; ++i)
            channel.push_back(segment.samples[static_cast<size_t>(i * segment.format.channels)]);
        if (rate)
            *rate = segment.format.rate;
        return channel;
    }
    return {};
}

// The pitch of a tone from its zero crossings.
double pitchOf(const std::vector<float>& samples, int rate)
{
    int crossings = 0;
    for (size_t i = 1; i < samples.size(); ++i)
        crossings += (samples[i - 1] < 0) != (samples[i] < 0);
    return samples.empty() ? 0.0 : crossings * rate / (2.0 * static_cast<double>(samples.size()));
}

// Frames of the timeline (at `timelineRate`) before part `index` of a difficult file, as written.
int64_t partStart(const DifficultFiles::Written& written, size_t index, int timelineRate)
{
    int64_t start = 0;
    for (size_t i = 0; i < index; ++i) {
        const auto& part = written.parts[i];
        start += std::llround(part.seconds * part.rate) * timelineRate / part.rate;
    }
    return start;
}

} // namespace

Q_DECLARE_METATYPE(DifficultFiles::Case)
Q_DECLARE_METATYPE(DifficultFiles::OggRewrite)

namespace
{

DifficultFiles::OggRewrite rewrite(uint32_t serial, int64_t lastGranule, double cutShare = -1.0,
                                   double damageShare = -1.0)
{
    return {serial, lastGranule, cutShare, damageShare};
}

} // namespace

class DecoderTest : public QObject
{
    Q_OBJECT

private slots:
    void shouldKnowTheExactLengthAtOpen_data()
    {
        addFormatColumns();
        QTest::newRow("wav 44.1 kHz stereo") << Format::Wav << 44100 << 2;
        QTest::newRow("wav 8 kHz mono") << Format::Wav << 8000 << 1;
        QTest::newRow("wav 96 kHz") << Format::Wav << 96000 << 2;
        QTest::newRow("wav 192 kHz") << Format::Wav << 192000 << 2;
        QTest::newRow("flac 44.1 kHz") << Format::Flac << 44100 << 2;
        QTest::newRow("flac 22.05 kHz mono") << Format::Flac << 22050 << 1;
        QTest::newRow("flac 192 kHz") << Format::Flac << 192000 << 2;
        QTest::newRow("ogg 44.1 kHz") << Format::OggVorbis << 44100 << 2;
        QTest::newRow("ogg 48 kHz mono") << Format::OggVorbis << 48000 << 1;
        QTest::newRow("ogg 8 kHz") << Format::OggVorbis << 8000 << 2;
        QTest::newRow("ogg 96 kHz") << Format::OggVorbis << 96000 << 2;
        QTest::newRow("mp3 xing 44.1 kHz") << Format::Mp3 << 44100 << 2;
        QTest::newRow("mp3 xing 22.05 kHz mono") << Format::Mp3 << 22050 << 1;
        QTest::newRow("mp3 xing 48 kHz") << Format::Mp3 << 48000 << 2;
        QTest::newRow("mp3 xing 8 kHz") << Format::Mp3 << 8000 << 2;
        QTest::newRow("mp3 without xing 44.1 kHz") << Format::Mp3WithoutXing << 44100 << 2;
        QTest::newRow("mp3 without xing 22.05 kHz mono") << Format::Mp3WithoutXing << 22050 << 1;
        QTest::newRow("mp3 without xing 48 kHz") << Format::Mp3WithoutXing << 48000 << 2;
        QTest::newRow("mp3 without xing 8 kHz") << Format::Mp3WithoutXing << 8000 << 1;
    }

    void shouldKnowTheExactLengthAtOpen()
    {
        QFETCH(Format, format);
        QFETCH(int, rate);
        QFETCH(int, channels);
        QTemporaryDir dir;
        const std::string path = writeTone(dir, format, {rate, channels, 2.0});
        QVERIFY(!path.empty());
        const int64_t toneFrames = 2 * rate;

        auto decoder = FormatSniffer::open(path.c_str());
        QVERIFY(decoder);
        QVERIFY(isKind(decoder.get(), kindOf(format)));
        QCOMPARE(decoder->sampleRate(), rate);
        QCOMPARE(decoder->channels(), channels);
        const int64_t length = decoder->lengthFrames();
        const std::vector<float> samples = decodeAll(*decoder, 777);
        QCOMPARE(framesIn(samples, *decoder), length);

        if (format == Format::Mp3WithoutXing) {
            QVERIFY2(length >= toneFrames && length <= toneFrames + mp3Slack,
                     qPrintable(QString::number(length)));
        } else {
            // Gapless MP3 trims the encoder's delay and padding, so every format gives the tone
            // back to the frame.
            QCOMPARE(length, toneFrames);
        }
        if (kindOf(format) != Kind::Mpg123)
            QCOMPARE(length, AudioFixtures::decodedFrames(path));

        // The decoded signal is the tone, not silence or noise, and it lasts to the end.
        const size_t middle = samples.size() / 2;
        const size_t span = std::min<size_t>(samples.size() / 4, static_cast<size_t>(rate));
        QVERIFY(std::abs(rms(samples.data() + middle - span / 2, span) - toneLevel) <
                (isLossy(format) ? 0.05 : 0.001));
        QVERIFY(toneLastsToTheEnd(samples, channels, static_cast<size_t>(rate) / 8));
    }

    void shouldSeekToTheExactFrame_data()
    {
        addFormatColumns();
        QTest::newRow("wav") << Format::Wav << 44100 << 2;
        QTest::newRow("flac") << Format::Flac << 44100 << 2;
        QTest::newRow("ogg") << Format::OggVorbis << 44100 << 2;
        QTest::newRow("ogg mono") << Format::OggVorbis << 44100 << 1;
        QTest::newRow("mp3 xing") << Format::Mp3 << 44100 << 2;
        QTest::newRow("mp3 xing mono") << Format::Mp3 << 44100 << 1;
        QTest::newRow("mp3 xing 22.05 kHz") << Format::Mp3 << 22050 << 2;
        QTest::newRow("mp3 xing 8 kHz mono") << Format::Mp3 << 8000 << 1;
        QTest::newRow("mp3 without xing") << Format::Mp3WithoutXing << 44100 << 2;
        QTest::newRow("mp3 without xing 48 kHz mono") << Format::Mp3WithoutXing << 48000 << 1;
    }

    void shouldSeekToTheExactFrame()
    {
        QFETCH(Format, format);
        QFETCH(int, rate);
        QFETCH(int, channels);
        QTemporaryDir dir;
        // A frame off moves a 443 Hz tone by far more than the tolerance below.
        const std::string path = writeTone(dir, format, {rate, channels, 3.0, 443.0});
        QVERIFY(!path.empty());
        auto decoder = FormatSniffer::open(path.c_str());
        QVERIFY(decoder);
        const std::vector<float> reference = decodeAll(*decoder);
        const int64_t length = decoder->lengthFrames();
        QCOMPARE(framesIn(reference, *decoder), length);

        const int64_t block = 300;
        std::vector<float> buffer(static_cast<size_t>(block * channels));
        // Lossless formats and Vorbis give the very same samples. libmpg123 carries its filter
        // bank's state across a seek, which leaves differences of float rounding (about 1e-7,
        // below one step of 24-bit audio) in the first samples.
        const float tolerance = kindOf(format) == Kind::Mpg123 ? 1e-6f : 0.0f;
        const std::vector<int64_t> targets{
            length / 2, 1, length - 1, 577, 0, 1152 * 3 + 5, length - 100, rate + 17, 1152 * 20};
        for (const int64_t target : targets) {
            QVERIFY(decoder->seek(target));
            const int64_t expected = std::min(block, length - target);
            QCOMPARE(decoder->read(buffer.data(), block), expected);
            const auto first = reference.begin() + target * channels;
            const bool same =
                std::equal(first, first + expected * channels, buffer.begin(),
                           [&](float a, float b) { return std::abs(a - b) <= tolerance; });
            QVERIFY2(same, qPrintable(QStringLiteral("after a seek to %1").arg(target)));
        }

        // Past the end is the end, and the decoder comes back from there.
        QVERIFY(decoder->seek(length + 1000));
        QCOMPARE(decoder->read(buffer.data(), block), int64_t{0});
        QVERIFY(decoder->seek(0));
        QCOMPARE(framesIn(decodeAll(*decoder), *decoder), length);
    }

    void shouldPickTheDecoderByContentWhateverTheName_data()
    {
        QTest::addColumn<Format>("format");
        QTest::addColumn<QString>("name");
        QTest::newRow("ogg named .mp3") << Format::OggVorbis << "song.mp3";
        QTest::newRow("wav named .ogg") << Format::Wav << "song.ogg";
        QTest::newRow("mp3 named .wav") << Format::Mp3 << "song.wav";
        QTest::newRow("mp3 without xing named .ogg") << Format::Mp3WithoutXing << "song.ogg";
        QTest::newRow("flac named .mp3") << Format::Flac << "song.mp3";
        QTest::newRow("mp3 without a suffix") << Format::Mp3 << "song";
        QTest::newRow("wav with an upper-case suffix") << Format::Wav << "SONG.WAV";
        QTest::newRow("icelandic mp3")
            << Format::Mp3 << QStringLiteral("Sigur Rós – Hoppípolla.mp3");
        QTest::newRow("japanese ogg") << Format::OggVorbis << QStringLiteral("日本語の歌 ♫.ogg");
        QTest::newRow("umlauts wav") << Format::Wav << QStringLiteral("Über Straße ☃.wav");
    }

    void shouldPickTheDecoderByContentWhateverTheName()
    {
        QFETCH(Format, format);
        QFETCH(QString, name);
        QTemporaryDir dir;
        const std::string path = writeTone(dir, name, format, {});
        QVERIFY(!path.empty());
        QVERIFY(QFile::exists(QString::fromStdString(path)));
        auto decoder = FormatSniffer::open(path.c_str());
        QVERIFY(decoder);
        QVERIFY(isKind(decoder.get(), kindOf(format)));
        // A one-second tone: to the frame but for MP3 without a Xing header.
        if (format == Format::Mp3WithoutXing)
            QVERIFY(decoder->lengthFrames() >= 44100);
        else
            QCOMPARE(decoder->lengthFrames(), int64_t{44100});
        QCOMPARE(framesIn(decodeAll(*decoder), *decoder), decoder->lengthFrames());
    }

    void shouldReadOtherContainersAndSeeBehindTags_data()
    {
        QTest::addColumn<QString>("input");
        QTest::addColumn<int>("expectedKind");
        QTest::newRow("aiff") << "aiff" << int(Kind::Sndfile);
        QTest::newRow("au") << "au" << int(Kind::Sndfile);
        QTest::newRow("wave64") << "w64" << int(Kind::Sndfile);
        QTest::newRow("mp3 behind a 300 kB ID3v2 tag") << "id3.mp3" << int(Kind::Mpg123);
        QTest::newRow("mp3 without xing behind an ID3v2 tag, named .dat")
            << "id3-noxing.dat" << int(Kind::Mpg123);
        QTest::newRow("flac behind an ID3v2 tag") << "id3.flac" << int(Kind::Sndfile);
    }

    void shouldReadOtherContainersAndSeeBehindTags()
    {
        QFETCH(QString, input);
        QFETCH(int, expectedKind);
        QTemporaryDir dir;
        const std::string path = dir.filePath("song." + input).toStdString();
        int64_t expectedLength = 44100;
        if (input.startsWith("id3")) {
            const Format format = input == "id3.flac"         ? Format::Flac
                                  : input == "id3-noxing.dat" ? Format::Mp3WithoutXing
                                                              : Format::Mp3;
            QVERIFY(AudioFixtures::writeTone(path, format, {}));
            auto untagged = FormatSniffer::open(path.c_str());
            QVERIFY(untagged);
            expectedLength = untagged->lengthFrames();
            // An ID3v2.4 tag: header, then its size as four 7-bit bytes, then padding.
            const int tagSize = 300000;
            QByteArray tag("ID3\x04\x00\x00", 6);
            for (int shift : {21, 14, 7, 0})
                tag.append(char((tagSize >> shift) & 0x7F));
            tag.append(QByteArray(tagSize, '\0'));
            writeBytes(path, tag + readBytes(path));
        } else {
            const int container = input == "aiff" ? SF_FORMAT_AIFF
                                  : input == "au" ? SF_FORMAT_AU
                                                  : SF_FORMAT_W64;
            SF_INFO info{};
            info.samplerate = 44100;
            info.channels = 2;
            info.format = container | SF_FORMAT_PCM_16;
            SNDFILE* file = sf_open(path.c_str(), SFM_WRITE, &info);
            QVERIFY(file);
            std::vector<float> samples(44100 * 2);
            for (size_t i = 0; i < samples.size(); ++i)
                samples[i] = 0.5f * float(std::sin(2 * M_PI * 440.0 * double(i / 2) / 44100));
            QCOMPARE(sf_writef_float(file, samples.data(), 44100), sf_count_t{44100});
            QCOMPARE(sf_close(file), 0);
        }

        auto decoder = FormatSniffer::open(path.c_str());
        QVERIFY(decoder);
        QVERIFY(isKind(decoder.get(), Kind(expectedKind)));
        QCOMPARE(decoder->lengthFrames(), expectedLength);
        const std::vector<float> samples = decodeAll(*decoder);
        QCOMPARE(framesIn(samples, *decoder), expectedLength);
        QVERIFY(toneLastsToTheEnd(samples, decoder->channels()));
    }

    void shouldHandleBadInputWithoutHangingOrLying_data()
    {
        QTest::addColumn<QString>("input");
        QTest::addColumn<QString>("outcome");
        const std::pair<const char*, const char*> refused[] = {
            {"missing path", "missing"},
            {"empty path", "empty"},
            {"directory", "directory"},
            {"directory named .mp3", "directory.mp3"},
            {"zero-byte .mp3", "zero.mp3"},
            {"zero-byte .wav", "zero.wav"},
            {"random bytes .mp3", "random.mp3"},
            {"random bytes .ogg", "random.ogg"},
            {"random bytes .wav", "random.wav"},
            {"random bytes .flac", "random.flac"},
            {"text named .mp3", "text.mp3"},
            {"wav header without data", "header.wav"},
            {"fifo", "fifo"},
            {"fifo named .mp3", "fifo.mp3"},
            {"symlink to a fifo", "fifo-link"},
            {"/dev/zero", "/dev/zero"},
            {"/dev/null", "/dev/null"},
        };
        for (const auto& [row, input] : refused)
            QTest::newRow(row) << QString::fromLatin1(input) << "refused";
        QTest::newRow("symlink to a song") << "song-link"
                                           << "opened";
        for (const char* format : {"wav", "flac", "ogg", "mp3", "mp3-without-xing"}) {
            QTest::addRow("%s cut to 60%%", format)
                << QStringLiteral("cut60.%1").arg(format) << "shorter";
            QTest::addRow("%s cut to 95%%", format)
                << QStringLiteral("cut95.%1").arg(format) << "shorter";
            // The headers of an Ogg Vorbis file of a tone are a quarter of it: 20% leaves none.
            QTest::addRow("%s cut to 20%%", format)
                << QStringLiteral("cut20.%1").arg(format)
                << (QStringLiteral("ogg") == format ? "either" : "shorter");
            QTest::addRow("%s cut to 100 bytes", format)
                << QStringLiteral("cut100b.%1").arg(format) << "either";
        }
    }

    void shouldHandleBadInputWithoutHangingOrLying()
    {
        QFETCH(QString, input);
        QFETCH(QString, outcome);
        QTemporaryDir dir;
        const std::string path =
            input.startsWith("/dev/") ? input.toStdString() : dir.filePath(input).toStdString();
        int64_t fullLength = 0;

        if (input == "missing") {
        } else if (input == "empty") {
            QVERIFY(!FormatSniffer::open(""));
            QVERIFY(!FormatSniffer::open(nullptr));
            return;
        } else if (input.startsWith("directory")) {
            QVERIFY(QDir(dir.path()).mkdir(input));
        } else if (input.startsWith("zero")) {
            writeBytes(path, {});
        } else if (input.startsWith("random")) {
            writeBytes(path, randomBytes(200000, 7));
        } else if (input.startsWith("text")) {
            writeBytes(path, QByteArray("Not a song, just words.\n").repeated(1000));
        } else if (input == "header.wav") {
            QVERIFY(AudioFixtures::writeTone(path, Format::Wav, {}));
            writeBytes(path, readBytes(path).left(44));
        } else if (input.startsWith("fifo")) {
            const std::string fifo = dir.filePath("fifo").toStdString();
            QCOMPARE(::mkfifo(fifo.c_str(), 0600), 0);
            if (input == "fifo.mp3")
                QCOMPARE(::rename(fifo.c_str(), path.c_str()), 0);
            if (input == "fifo-link")
                QCOMPARE(::symlink(fifo.c_str(), path.c_str()), 0);
        } else if (input.startsWith("/dev/")) {
            QVERIFY(QFile::exists(input));
        } else if (input == "song-link") {
            const std::string song = dir.filePath("song.ogg").toStdString();
            QVERIFY(AudioFixtures::writeTone(song, Format::OggVorbis, {}));
            QCOMPARE(::symlink(song.c_str(), path.c_str()), 0);
        } else if (input.startsWith("cut")) {
            const QString formatName = input.section('.', 1);
            const Format format = formatName == "wav"    ? Format::Wav
                                  : formatName == "flac" ? Format::Flac
                                  : formatName == "ogg"  ? Format::OggVorbis
                                  : formatName == "mp3"  ? Format::Mp3
                                                         : Format::Mp3WithoutXing;
            AudioFixtures::Tone tone;
            tone.seconds = 5.0;
            QVERIFY(AudioFixtures::writeTone(path, format, tone));
            auto whole = FormatSniffer::open(path.c_str());
            QVERIFY(whole);
            fullLength = whole->lengthFrames();
            const QByteArray bytes = readBytes(path);
            const qsizetype keep = input.startsWith("cut95")   ? bytes.size() * 95 / 100
                                   : input.startsWith("cut60") ? bytes.size() * 6 / 10
                                   : input.startsWith("cut20") ? bytes.size() * 2 / 10
                                                               : 100;
            writeBytes(path, bytes.left(keep));
        }

        auto decoder = FormatSniffer::open(path.c_str());
        if (outcome == "refused") {
            QVERIFY(!decoder);
            return;
        }
        if (outcome != "either")
            QVERIFY(decoder);
        if (!decoder)
            return;
        QVERIFY(decoder->lengthFrames() > 0);
        const std::vector<float> samples = decodeAll(*decoder);
        QCOMPARE(framesIn(samples, *decoder), decoder->lengthFrames());
        if (outcome == "shorter") {
            QVERIFY(decoder->lengthFrames() < fullLength);
            // The length ends where the decodable audio does, not with made-up silence, and not
            // before: libsndfile decoding the cut file to its end agrees (it reads all but MP3).
            // Of an Ogg file, the whole packets of the page the cut fell in play too, which
            // libsndfile drops with the page.
            QVERIFY(toneLastsToTheEnd(samples, decoder->channels()));
            if (input.contains("ogg"))
                QVERIFY(decoder->lengthFrames() > AudioFixtures::decodedFrames(path));
            else if (!input.contains("mp3"))
                QCOMPARE(decoder->lengthFrames(), AudioFixtures::decodedFrames(path));
        }
    }

    void shouldMatchAStraightDecodeOfEveryMp3_data()
    {
        // How a constant-bitrate MP3 is made: its bitrate, format, whether LAME wrote its Info
        // header, and what was done to the file afterwards.
        QTest::addColumn<int>("kbps");
        QTest::addColumn<int>("rate");
        QTest::addColumn<int>("channels");
        QTest::addColumn<bool>("info");
        QTest::addColumn<QString>("change");
        QTest::newRow("128 kbit/s without info") << 128 << 44100 << 2 << false << "";
        QTest::newRow("128 kbit/s with info") << 128 << 44100 << 2 << true << "";
        QTest::newRow("48 kHz without info") << 128 << 48000 << 2 << false << "";
        QTest::newRow("22.05 kHz mono without info") << 64 << 22050 << 1 << false << "";
        QTest::newRow("8 kHz without info") << 32 << 8000 << 2 << false << "";
        QTest::newRow("320 kbit/s without info") << 320 << 44100 << 2 << false << "";
        QTest::newRow("without info, ID3v1 tag") << 128 << 44100 << 2 << false << "id3v1";
        QTest::newRow("with info, ID3v1 tag") << 128 << 44100 << 2 << true << "id3v1";
        QTest::newRow("without info, joined thrice") << 128 << 44100 << 2 << false << "thrice";
        QTest::newRow("with info, joined thrice") << 128 << 44100 << 2 << true << "thrice";
        QTest::newRow("without info, junk appended") << 128 << 44100 << 2 << false << "junk";
        QTest::newRow("without info, a frame cut out") << 128 << 48000 << 2 << false << "cut";
        QTest::newRow("with info, cut short") << 128 << 44100 << 2 << true << "short";
    }

    void shouldMatchAStraightDecodeOfEveryMp3()
    {
        QFETCH(int, kbps);
        QFETCH(int, rate);
        QFETCH(int, channels);
        QFETCH(bool, info);
        QFETCH(QString, change);
        QTemporaryDir dir;
        const std::string path = dir.filePath("tone.mp3").toStdString();
        QVERIFY(AudioFixtures::writeConstantBitrateMp3(path, {rate, channels, 3.0}, kbps, info));
        QByteArray bytes = readBytes(path);
        if (change == "id3v1")
            bytes += QByteArray("TAG").leftJustified(128, ' ');
        else if (change == "thrice")
            bytes = bytes.repeated(3);
        else if (change == "junk")
            bytes += randomBytes(1000, 5);
        else if (change == "cut")
            bytes.remove(frameAfter(bytes, bytes.size() / 2), kbps * 144000 / rate);
        else if (change == "short")
            bytes.chop(bytes.size() / 3);
        writeBytes(path, bytes);

        auto decoder = FormatSniffer::open(path.c_str());
        QVERIFY(decoder);
        QVERIFY(isKind(decoder.get(), Kind::Mpg123));
        // The length is what libmpg123 decodes going straight through the file, and what the
        // decoder gives. Files joined end to end play every frame whole.
        QCOMPARE(decoder->lengthFrames(),
                 AudioFixtures::mpg123DecodedFrames(path, !(info && change == "thrice")));
        const std::vector<float> samples = decodeAll(*decoder);
        QCOMPARE(framesIn(samples, *decoder), decoder->lengthFrames());
        QVERIFY(toneLastsToTheEnd(samples, channels, static_cast<size_t>(rate) / 8));
    }

    void shouldCountTheFramesWhenAXingHeaderAnnouncesTooMany()
    {
        QTemporaryDir dir;
        const std::string path = dir.filePath("lying.mp3").toStdString();
        QVERIFY(AudioFixtures::writeTone(path, Format::Mp3, {}));
        QByteArray bytes = readBytes(path);
        qsizetype tag = bytes.indexOf("Xing");
        if (tag < 0)
            tag = bytes.indexOf("Info");
        QVERIFY(tag > 0 && tag < 2048);
        QVERIFY(bytes[tag + 7] & 1); // the header carries a frame count
        // Ten million frames, over seven hours, in a file of a few kilobytes.
        const uint32_t frames = 10'000'000;
        for (int i = 0; i < 4; ++i)
            bytes[tag + 8 + i] = char((frames >> (24 - 8 * i)) & 0xFF);
        writeBytes(path, bytes);

        auto decoder = FormatSniffer::open(path.c_str());
        QVERIFY(decoder);
        QVERIFY2(decoder->lengthFrames() >= 44100 && decoder->lengthFrames() <= 44100 + mp3Slack,
                 qPrintable(QString::number(decoder->lengthFrames())));
        const std::vector<float> samples = decodeAll(*decoder);
        QCOMPARE(framesIn(samples, *decoder), decoder->lengthFrames());
        QVERIFY(toneLastsToTheEnd(samples, decoder->channels()));
    }

    void shouldRefuseAnUnreadableFile()
    {
        if (::geteuid() == 0)
            QSKIP("root reads a file whatever its permission bits say, so mode 000 proves nothing");
        QTemporaryDir dir;
        const std::string path = dir.filePath("locked.wav").toStdString();
        QVERIFY(AudioFixtures::writeTone(path, Format::Wav, {}));
        QCOMPARE(::chmod(path.c_str(), 0), 0);
        QVERIFY(!FormatSniffer::open(path.c_str()));
    }

    void shouldDecodePastADamagedRegionOfAnMp3_data()
    {
        QTest::addColumn<Format>("format");
        QTest::newRow("with xing") << Format::Mp3;
        QTest::newRow("without xing") << Format::Mp3WithoutXing;
    }

    void shouldDecodePastADamagedRegionOfAnMp3()
    {
        QFETCH(Format, format);
        QTemporaryDir dir;
        AudioFixtures::Tone tone;
        tone.seconds = 10.0;
        const std::string path = writeTone(dir, "damaged.mp3", format, tone);
        QVERIFY(!path.empty());
        // A tenth of the file, from 40% on, replaced by garbage with frame syncs scattered in it.
        QByteArray bytes = readBytes(path);
        QByteArray garbage = randomBytes(bytes.size() / 10, 11);
        for (qsizetype i = 0; i + 1 < garbage.size(); i += 97) {
            garbage[i] = char(0xFF);
            garbage[i + 1] = char(0xFB);
        }
        bytes.replace(bytes.size() * 4 / 10, garbage.size(), garbage);
        writeBytes(path, bytes);

        auto decoder = FormatSniffer::open(path.c_str());
        QVERIFY(decoder);
        const std::vector<float> samples = decodeAll(*decoder);
        QCOMPARE(framesIn(samples, *decoder), decoder->lengthFrames());
        // Nearly all of the nine undamaged seconds come out as the tone, those after the damage
        // too.
        const size_t block = 4410 * 2;
        int toneBlocks = 0;
        int toneBlocksAfterDamage = 0;
        for (size_t at = 0; at + block <= samples.size(); at += block) {
            if (std::abs(rms(samples.data() + at, block) - toneLevel) > 0.05)
                continue;
            ++toneBlocks;
            if (at > samples.size() * 6 / 10)
                ++toneBlocksAfterDamage;
        }
        QVERIFY2(toneBlocks >= 85, qPrintable(QString::number(toneBlocks)));
        QVERIFY2(toneBlocksAfterDamage >= 30, qPrintable(QString::number(toneBlocksAfterDamage)));
    }
    void shouldLastAsLongAsItsBytesHold_data()
    {
        QTest::addColumn<QString>("damage");
        QTest::addColumn<double>("seconds");
        // WAV files whose recorder died before it wrote the data size, with the RIFF sizes such
        // recorders leave; a FLAC file cut short, and one whose stream info claims the most
        // frames it can.
        QTest::newRow("WAV, data size 0, RIFF size 36, 60 s") << "riff 36" << 60.0;
        QTest::newRow("WAV, data size 0, RIFF size 0") << "riff 0" << 2.0;
        QTest::newRow("WAV, data size 0, RIFF size 2^32 - 1") << "riff max" << 2.0;
        QTest::newRow("WAV, data size 0, a LIST chunk before the data") << "list" << 2.0;
        QTest::newRow("WAV, data size 0, cut inside its last frame") << "cut frame" << 2.0;
        QTest::newRow("FLAC of 60 s cut to 60 %") << "flac cut" << 60.0;
        QTest::newRow("FLAC announcing 2^36 - 1 frames") << "flac max" << 2.0;
    }

    void shouldLastAsLongAsItsBytesHold()
    {
        QFETCH(QString, damage);
        QFETCH(double, seconds);
        QTemporaryDir dir;
        AudioFixtures::Tone tone;
        tone.seconds = seconds;
        const std::string path =
            writeTone(dir, damage.startsWith("flac") ? Format::Flac : Format::Wav, tone);
        QVERIFY(!path.empty());
        int64_t expected = std::llround(seconds * tone.sampleRate);
        QByteArray bytes = readBytes(path);
        if (damage == "flac cut") {
            writeBytes(path, bytes.left(bytes.size() * 6 / 10));
            // What libsndfile decodes of it, read to its end.
            expected = AudioFixtures::decodedFrames(path);
            QVERIFY(expected > 0 && expected < std::llround(seconds * tone.sampleRate * 0.7));
        } else if (damage == "flac max") {
            // The total sample count is the low 36 bits of bytes 21 to 25 (the stream info's 13
            // to 17).
            bytes[21] = char(bytes[21] | 0x0f);
            bytes.replace(22, 4, QByteArray(4, char(0xff)));
            writeBytes(path, bytes);
        } else {
            const uint32_t riff = damage == "riff 0" ? 0 : damage == "riff max" ? 0xffffffff : 36;
            QVERIFY(DifficultFiles::clearWavDataSize(path, riff, damage == "list"));
            if (damage == "cut frame") {
                // 16-bit stereo: 3 bytes short of the last frame, one of it left.
                bytes = readBytes(path);
                writeBytes(path, bytes.left(bytes.size() - 3));
                --expected;
            }
        }

        auto decoder = FormatSniffer::open(path.c_str());
        QVERIFY(decoder);
        QCOMPARE(decoder->lengthFrames(), expected);
        const std::vector<float> samples = decodeAll(*decoder);
        QCOMPARE(framesIn(samples, *decoder), expected);
        QVERIFY(toneLastsToTheEnd(samples, decoder->channels()));
    }

    // An Ogg link lasts as long as its packets do, whatever its pages' serial numbers and granule
    // positions: a serial of 2^31 and over is a serial like any other (encoders pick them at
    // random), a last page that claims more than its packets hold is not believed, and a page lost
    // plays as silence. The decoder opens a 20 s file from its start and its end when its last
    // pages add up, and reads it through otherwise; a 2 s file it always reads through.
    void shouldTakeAnOggLinkAsLongAsItsPacketsLast_data()
    {
        QTest::addColumn<double>("seconds");
        QTest::addColumn<DifficultFiles::OggRewrite>("how");
        const uint32_t high = 0x92345678u;
        const int64_t huge = 0x7000000000000000;
        const int64_t days = int64_t{1} << 40;
        QTest::newRow("cut inside a page, serial 0x92345678") << 20.0 << rewrite(high, -1, 0.5);
        QTest::newRow("cut inside a page, serial 0xffffffff")
            << 20.0 << rewrite(0xffffffffu, -1, 0.5);
        QTest::newRow("cut inside the first audio page, serial 0x92345678")
            << 20.0 << rewrite(high, -1, 0.0);
        QTest::newRow("last page claims 2^40") << 20.0 << rewrite(0, days);
        QTest::newRow("last page claims 0x7000000000000000") << 20.0 << rewrite(0, huge);
        QTest::newRow("last page claims 2^40, serial 0x92345678, 2 s")
            << 2.0 << rewrite(high, days);
        QTest::newRow("last page claims 0x7000000000000000, 2 s") << 2.0 << rewrite(0, huge);
        QTest::newRow("a page lost in the middle") << 20.0 << rewrite(0, -1, -1.0, 0.5);
    }

    void shouldTakeAnOggLinkAsLongAsItsPacketsLast()
    {
        QFETCH(double, seconds);
        QFETCH(DifficultFiles::OggRewrite, how);
        QTemporaryDir dir;
        AudioFixtures::Tone tone;
        tone.seconds = seconds;
        const auto toneFrames = static_cast<int64_t>(seconds * 44100);
        const auto write = [&](const char* name, const DifficultFiles::OggRewrite& with) {
            const std::string path = writeTone(dir, name, Format::OggVorbis, tone);
            return !path.empty() && DifficultFiles::rewriteOgg(path, with) ? path : std::string();
        };
        const std::string path = write("file.ogg", how);
        QVERIFY(!path.empty());
        auto decoder = FormatSniffer::open(path.c_str());
        QVERIFY(decoder);
        const int64_t length = decoder->lengthFrames();
        if (how.cutShare >= 0.0) {
            // The same cut with a serial below 2^31 gives the same length: the whole packets
            // before the cut, more than libsndfile gives (it drops the page the cut fell in).
            DifficultFiles::OggRewrite low = how;
            low.serial = 0x12345678u;
            const std::string lowPath = write("low.ogg", low);
            QVERIFY(!lowPath.empty());
            auto reference = FormatSniffer::open(lowPath.c_str());
            QVERIFY(reference);
            QCOMPARE(length, reference->lengthFrames());
            QVERIFY(length > AudioFixtures::decodedFrames(path) && length < toneFrames);
        } else if (how.lastGranule >= 0) {
            // The end trim the granule position said is lost with it: the last packet's frames
            // play whole, at most half of Vorbis's largest block (8192) more than the tone.
            QVERIFY2(length >= toneFrames && length <= toneFrames + 4096,
                     qPrintable(QString::number(length)));
        } else {
            QCOMPARE(length, toneFrames);
        }
        const std::vector<float> samples = decodeAll(*decoder);
        QCOMPARE(framesIn(samples, *decoder), length);
        QVERIFY(toneLastsToTheEnd(samples, decoder->channels()));
        if (how.damageShare >= 0.0) {
            // The lost page's stretch is silent, the rest the tone.
            const size_t block = 4410 * 2;
            int silent = 0;
            for (size_t from = 0; from + block <= samples.size(); from += block)
                silent += rms(samples.data() + from, block) < 0.001 ? 1 : 0;
            QVERIFY2(silent >= 1 && silent <= 40, qPrintable(QString::number(silent)));
        }
        // A seek close to the end lands on the very frames the full decode gave there.
        const int64_t target = length - 3000;
        QVERIFY(decoder->seek(target));
        QCOMPARE(decoder->position(), target);
        std::vector<float> block(1000 * static_cast<size_t>(decoder->channels()));
        QCOMPARE(decoder->read(block.data(), 1000), int64_t{1000});
        QVERIFY(
            std::equal(block.begin(), block.end(), samples.begin() + target * decoder->channels()));
    }

    void shouldPlayEveryLinkOfDifficultFilesToTheirLength_data()
    {
        QTest::addColumn<DifficultFiles::Case>("which");
        for (const DifficultFiles::Case which : DifficultFiles::all())
            QTest::newRow(DifficultFiles::name(which)) << which;
    }

    void shouldPlayEveryLinkOfDifficultFilesToTheirLength()
    {
        QFETCH(DifficultFiles::Case, which);
        QTemporaryDir dir;
        const std::string path =
            dir.filePath(QStringLiteral("file") + DifficultFiles::suffix(which)).toStdString();
        DifficultFiles::Written written = DifficultFiles::write(path, which);
        QVERIFY(written.ok);
        auto decoder = FormatSniffer::open(path.c_str());
        QVERIFY(decoder);
        const int rate = decoder->sampleRate();
        QCOMPARE(rate, written.parts[0].rate);

        // The length is every link's duration, whatever its rate: to the frame for the formats
        // that say how long a link is, within what the encoder adds for joined MP3 files.
        int64_t expected = partStart(written, written.parts.size(), rate);
        int64_t slack = 0;
        for (const auto& part : written.parts)
            slack += written.slackFrames * rate / part.rate;
        const int64_t length = decoder->lengthFrames();
        // Files joined in one format make one link, every frame of it whole.
        if (which == DifficultFiles::Case::Mp3JoinedSameFormat)
            QCOMPARE(length, AudioFixtures::mpg123DecodedFrames(path, false));
        if (which == DifficultFiles::Case::OggCutInFirstPages) {
            // What the whole packets before the cut hold: some of the tone, not all of it.
            QVERIFY(length > rate / 4 && length < 6 * rate);
            written.parts[0].seconds = static_cast<double>(length) / rate;
            expected = length;
        }
        QVERIFY2(length >= expected && length <= expected + slack,
                 qPrintable(QStringLiteral("%1 for %2").arg(length).arg(expected)));

        // A full decode gives every link in turn, each in its own format, and ends at the length.
        const std::vector<Segment> segments = decodeSegments(*decoder);
        QCOMPARE(decoder->position(), length);
        int64_t frames = 0;
        for (const Segment& segment : segments) {
            QCOMPARE(segment.start, frames);
            frames += segment.frames() * rate / segment.format.rate;
        }
        QVERIFY(frames <= length && frames >= length - static_cast<int64_t>(segments.size()));
        std::vector<float> more(16);
        QCOMPARE(decoder->read(more.data(), 2), int64_t{0});

        // Each link's tone is heard where it belongs, away from its edges and from a hole; a link
        // whose headers are lost, and the hole a damaged page leaves, are silent.
        for (size_t i = 0; i < written.parts.size(); ++i) {
            const auto& part = written.parts[i];
            const int64_t start = partStart(written, i, rate);
            for (const double share : {0.25, 0.5, 0.75}) {
                const double at = part.seconds * share;
                if (at > part.holeFrom - 0.2 && at < part.holeTo + 0.2)
                    continue;
                int native = 0;
                const std::vector<float> heard = firstChannelAt(
                    segments, rate, start + static_cast<int64_t>(at * rate), 0.1, &native);
                QVERIFY(!heard.empty());
                const double level = rms(heard.data(), heard.size());
                if (!part.audible) {
                    QVERIFY2(level < 0.001, qPrintable(QString::number(level)));
                    continue;
                }
                QVERIFY2(std::abs(level - toneLevel) < 0.05, qPrintable(QString::number(level)));
                QCOMPARE(native, part.rate);
                const double pitch = pitchOf(heard, native);
                QVERIFY2(std::abs(pitch - part.frequency) < part.frequency * 0.03,
                         qPrintable(QStringLiteral("%1 Hz in part %2").arg(pitch).arg(i)));
            }
            if (part.holeTo > part.holeFrom) {
                const double middle = (part.holeFrom + part.holeTo) / 2;
                const std::vector<float> hole = firstChannelAt(
                    segments, rate, start + static_cast<int64_t>(middle * rate), 0.1);
                QVERIFY(rms(hole.data(), hole.size()) < 0.001);
            }
        }

        // A seek into the last link lands on the very samples the full decode gave there.
        const auto& last = written.parts.back();
        const int64_t target = partStart(written, written.parts.size() - 1, rate) +
                               static_cast<int64_t>(last.seconds * 0.4 * rate);
        if (written.parts.size() < 2 || target >= length)
            return;
        QVERIFY(decoder->seek(target));
        const int64_t landed = decoder->position();
        QVERIFY(landed <= target && target - landed < rate / last.rate + 1);
        const Decoder::Format format = decoder->format();
        QCOMPARE(format.rate, last.rate);
        std::vector<float> block(300 * static_cast<size_t>(format.channels));
        QCOMPARE(decoder->read(block.data(), 300), int64_t{300});
        const Segment& segment = segments.back();
        const auto first = segment.samples.begin() +
                           (landed - segment.start) * format.rate / rate * format.channels;
        const float tolerance = std::string(DifficultFiles::suffix(which)) == ".mp3" ? 1e-6f : 0.0f;
        QVERIFY(std::equal(block.begin(), block.end(), first,
                           [&](float a, float b) { return std::abs(a - b) <= tolerance; }));
    }
};

QTEST_GUILESS_MAIN(DecoderTest)
#include "DecoderTest.moc"
