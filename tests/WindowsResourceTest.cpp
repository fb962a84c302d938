// Compiles resources/brisnak.rc with mingw-w64's windres and reads the compiled resources back:
// the IDI_ICON1 icon group and the manifest that the Windows build links into brisnak.exe.
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>
#include <QXmlStreamReader>

#include <optional>

#ifndef BRISNAK_RESOURCES_DIR
#error "BRISNAK_RESOURCES_DIR must name the resources folder"
#endif

namespace
{

constexpr quint16 iconType = 3;
constexpr quint16 iconGroupType = 14;
constexpr quint16 manifestType = 24;
constexpr quint16 usEnglish = 1033;

// A type or name in a compiled resource: a number or a string.
struct ResourceId {
    std::optional<quint16> number;
    QString text;

    bool operator==(quint16 n) const { return number && *number == n; }
    bool operator==(const QString& s) const { return !number && text == s; }
};

struct Resource {
    ResourceId type;
    ResourceId name;
    quint16 language = 0;
    QByteArray data;
};

class Reader
{
public:
    explicit Reader(const QByteArray& bytes) : bytes(bytes) {}

    bool ok() const { return good; }
    int at() const { return position; }
    bool atEnd() const { return position >= bytes.size(); }
    void seek(int to) { position = to; }

    quint16 u16()
    {
        if (!need(2))
            return 0;
        const quint16 v = quint16(uchar(bytes[position]) | uchar(bytes[position + 1]) << 8);
        position += 2;
        return v;
    }

    quint32 u32()
    {
        const quint32 low = u16();
        return low | quint32(u16()) << 16;
    }

    QByteArray take(int count)
    {
        if (count < 0 || !need(count))
            return {};
        const QByteArray out = bytes.mid(position, count);
        position += count;
        return out;
    }

    ResourceId id()
    {
        ResourceId out;
        const quint16 first = u16();
        if (first == 0xffff) {
            out.number = u16();
            return out;
        }
        for (quint16 c = first; good && c != 0; c = u16())
            out.text += QChar(c);
        return out;
    }

    void alignTo4() { position = (position + 3) & ~3; }

private:
    bool need(int count)
    {
        good = good && position + count <= bytes.size();
        return good;
    }

    QByteArray bytes;
    int position = 0;
    bool good = true;
};

// Reads every entry of a .res file; nothing when the file is malformed.
std::optional<QList<Resource>> readResources(const QByteArray& bytes)
{
    QList<Resource> resources;
    Reader reader(bytes);
    while (!reader.atEnd()) {
        const int start = reader.at();
        const quint32 dataSize = reader.u32();
        const quint32 headerSize = reader.u32();
        Resource resource;
        resource.type = reader.id();
        resource.name = reader.id();
        reader.alignTo4();
        reader.u32(); // data version
        reader.u16(); // memory flags
        resource.language = reader.u16();
        if (!reader.ok() || headerSize < 32 || dataSize > quint32(bytes.size()))
            return std::nullopt;
        reader.seek(start + int(headerSize));
        resource.data = reader.take(int(dataSize));
        reader.alignTo4();
        if (!reader.ok())
            return std::nullopt;
        // The file starts with an empty entry that only marks the format.
        if (!(resource.type == 0 && dataSize == 0))
            resources.append(resource);
    }
    return resources;
}

const Resource* find(const QList<Resource>& resources, quint16 type, const ResourceId& name)
{
    for (const Resource& r : resources) {
        if (!(r.type == type))
            continue;
        if (name.number ? r.name == *name.number : r.name == name.text)
            return &r;
    }
    return nullptr;
}

} // namespace

class WindowsResourceTest : public QObject
{
    Q_OBJECT

private:
    QTemporaryDir work;
    QList<Resource> resources;

private slots:
    void initTestCase()
    {
        const QString windres = QStandardPaths::findExecutable("x86_64-w64-mingw32-windres");
        if (windres.isEmpty())
            QSKIP("x86_64-w64-mingw32-windres is not installed (binutils-mingw-w64-x86-64)");
        QVERIFY(work.isValid());

        QStringList arguments;
        // Without the mingw-w64 compiler, the host's C preprocessor reads the script.
        if (QStandardPaths::findExecutable("x86_64-w64-mingw32-gcc").isEmpty())
            arguments << "--preprocessor=cpp";
        const QString output = work.filePath("brisnak.res");
        arguments << "-i"
                  << "brisnak.rc"
                  << "-O"
                  << "res"
                  << "-o" << output;

        QProcess process;
        process.setWorkingDirectory(QStringLiteral(BRISNAK_RESOURCES_DIR));
        process.start(windres, arguments);
        QVERIFY(process.waitForFinished(60000));
        QVERIFY2(process.exitStatus() == QProcess::NormalExit && process.exitCode() == 0,
                 process.readAllStandardError().constData());

        QFile res(output);
        QVERIFY(res.open(QIODevice::ReadOnly));
        const auto read = readResources(res.readAll());
        QVERIFY2(read, "the compiled resources are malformed");
        resources = *read;
    }

    void shouldCarryTheIconGroupWithFour32BitImages()
    {
        const Resource* group = find(resources, iconGroupType, {std::nullopt, "IDI_ICON1"});
        QVERIFY(group);
        QCOMPARE(group->language, usEnglish);

        Reader reader(group->data);
        QCOMPARE(reader.u16(), quint16(0));
        QCOMPARE(reader.u16(), quint16(1));
        QCOMPARE(reader.u16(), quint16(4));
        const int sizes[] = {128, 48, 32, 16};
        for (const int size : sizes) {
            const QByteArray entry = reader.take(14);
            QVERIFY(reader.ok());
            Reader fields(entry);
            const int width = uchar(fields.take(1).at(0));
            const int height = uchar(fields.take(1).at(0));
            fields.take(2);                      // colour count, reserved
            QCOMPARE(fields.u16(), quint16(1));  // planes
            QCOMPARE(fields.u16(), quint16(32)); // bits per pixel
            const quint32 bytes = fields.u32();
            const quint16 iconId = fields.u16();
            QCOMPARE(width, size);
            QCOMPARE(height, size);

            // Each entry points at an icon image of that size, a 32-bit DIB.
            const Resource* image = find(resources, iconType, {iconId, {}});
            QVERIFY(image);
            QCOMPARE(image->language, usEnglish);
            QCOMPARE(quint32(image->data.size()), bytes);
            Reader dib(image->data);
            QCOMPARE(dib.u32(), quint32(40));
            QCOMPARE(dib.u32(), quint32(size));
            QCOMPARE(dib.u32(), quint32(size * 2));
            QCOMPARE(dib.u16(), quint16(1));
            QCOMPARE(dib.u16(), quint16(32));
        }
    }

    void shouldCarryTheManifestAsResourceOne()
    {
        const Resource* manifest = find(resources, manifestType, {quint16(1), {}});
        QVERIFY(manifest);
        QCOMPARE(manifest->language, usEnglish);

        QString level;
        QString uiAccess;
        QXmlStreamAttributes controls;
        bool controlsFound = false;
        QXmlStreamReader xml(manifest->data);
        while (!xml.atEnd()) {
            if (xml.readNext() != QXmlStreamReader::StartElement)
                continue;
            if (xml.name() == QLatin1String("requestedExecutionLevel")) {
                level = xml.attributes().value("level").toString();
                uiAccess = xml.attributes().value("uiAccess").toString();
            } else if (xml.name() == QLatin1String("assemblyIdentity") &&
                       xml.attributes().value("name") ==
                           QLatin1String("Microsoft.Windows.Common-Controls")) {
                controls = xml.attributes();
                controlsFound = true;
            }
        }
        QVERIFY2(!xml.hasError(), qPrintable(xml.errorString()));
        QCOMPARE(level, QString("asInvoker"));
        QCOMPARE(uiAccess, QString("false"));
        QVERIFY(controlsFound);
        QCOMPARE(controls.value("version").toString(), QString("6.0.0.0"));
        QCOMPARE(controls.value("processorArchitecture").toString(), QString("*"));
        QCOMPARE(controls.value("language").toString(), QString("*"));
        QCOMPARE(controls.value("type").toString(), QString("win32"));
    }

    void shouldCarryNothingElse()
    {
        // Four icon images, their group and the manifest; no version resource.
        QCOMPARE(resources.size(), 6);
        for (const Resource& r : resources)
            QVERIFY(r.type == iconType || r.type == iconGroupType || r.type == manifestType);
    }
};

QTEST_GUILESS_MAIN(WindowsResourceTest)
#include "WindowsResourceTest.moc"
