#include <QDir>
#include <QFile>
#include <QImage>
#include <QImageReader>
#include <QRegularExpression>
#include <QResource>
#include <QTest>

// The folder that holds the committed images and the icon files.
#ifndef BRISNAK_RESOURCES_DIR
#error "BRISNAK_RESOURCES_DIR must name the resources folder"
#endif

namespace
{

QString sourceFile(const QString& relative)
{
    return QStringLiteral(BRISNAK_RESOURCES_DIR "/") + relative;
}

} // namespace

class ResourcesTest : public QObject
{
    Q_OBJECT

private slots:
    void shouldBeRegisteredBeforeAnyCodeRuns()
    {
        // Nothing in this program calls Q_INIT_RESOURCE: the bundle registers itself while the
        // program is loaded.
        QVERIFY(QResource(":/Icons/images/play.png").isValid());
        // The ten images, and each button icon twice and three times as large for scaled screens.
        QStringList scaled = QDir(":/Icons/images").entryList();
        const QStringList designed = scaled.filter(QRegularExpression("^[^@]*$"));
        QCOMPARE(designed.size(), 10);
        for (const char* name : {"stop", "pause", "play", "previous", "next"}) {
            for (const int scale : {2, 3}) {
                const QString file = QStringLiteral("%1@%2x.png").arg(name).arg(scale);
                QVERIFY2(scaled.removeOne(file), qPrintable(file));
                QCOMPARE(QImage(":/Icons/images/" + file).size(), QSize(16, 16) * scale);
            }
        }
        QCOMPARE(scaled, designed);
    }

    void shouldLoadEveryImageAtItsSizeAndFormat_data()
    {
        QTest::addColumn<QString>("path");
        QTest::addColumn<QByteArray>("format");
        QTest::addColumn<QSize>("size");
        QTest::addColumn<bool>("alpha");

        QTest::newRow("mini logo")
            << "brisnak_mini.png" << QByteArray("png") << QSize(16, 13) << true;
        QTest::newRow("play") << "play.png" << QByteArray("png") << QSize(16, 16) << true;
        QTest::newRow("banner") << "brisnak_banner.jpg" << QByteArray("jpeg") << QSize(389, 323)
                                << false;
        QTest::newRow("logo") << "brisnak.png" << QByteArray("png") << QSize(150, 125) << true;
        QTest::newRow("logo xpm") << "brisnak.xpm" << QByteArray("xpm") << QSize(150, 125) << false;
        QTest::newRow("previous") << "previous.png" << QByteArray("png") << QSize(16, 16) << true;
        QTest::newRow("note") << "musical_note.png" << QByteArray("png") << QSize(96, 96) << false;
        QTest::newRow("stop") << "stop.png" << QByteArray("png") << QSize(16, 16) << true;
        QTest::newRow("pause") << "pause.png" << QByteArray("png") << QSize(16, 16) << true;
        QTest::newRow("next") << "next.png" << QByteArray("png") << QSize(16, 16) << true;
    }

    void shouldLoadEveryImageAtItsSizeAndFormat()
    {
        QFETCH(QString, path);
        QFETCH(QByteArray, format);
        QFETCH(QSize, size);
        QFETCH(bool, alpha);

        const QString resourcePath = ":/Icons/images/" + path;
        const QResource resource(resourcePath);
        QVERIFY(resource.isValid());
        QCOMPARE(resource.compressionAlgorithm(), QResource::NoCompression);
        QCOMPARE(resource.locale().language(), QLocale::C);
        QCOMPARE(resource.locale().territory(), QLocale::AnyTerritory);

        QImageReader reader(resourcePath);
        QCOMPARE(reader.format(), format);
        QCOMPARE(reader.size(), size);
        const QImage image = reader.read();
        QVERIFY2(!image.isNull(), qPrintable(reader.errorString()));
        QCOMPARE(image.size(), size);
        QCOMPARE(image.hasAlphaChannel(), alpha);
    }

    void shouldCarryTheLogoAsXpmWith6800ColoursAtTwoCharactersPerPixel()
    {
        QFile file(":/Icons/images/brisnak.xpm");
        QVERIFY(file.open(QIODevice::ReadOnly));
        QByteArray header;
        while (!file.atEnd() && !header.startsWith('"'))
            header = file.readLine().trimmed();
        // "<width> <height> <colours> <characters per pixel>"
        const QList<QByteArray> values = header.mid(1, header.indexOf('"', 1) - 1).split(' ');
        QCOMPARE(values, (QList<QByteArray>{"150", "125", "6800", "2"}));
    }

    void shouldDrawButtonIconsCentredInsideARingOnTransparentCorners_data()
    {
        QTest::addColumn<QString>("name");
        for (const char* name : {"stop", "pause", "play", "previous", "next"})
            QTest::newRow(name) << QString::fromLatin1(name);
    }

    void shouldDrawButtonIconsCentredInsideARingOnTransparentCorners()
    {
        QFETCH(QString, name);
        const QImage icon =
            QImage(":/Icons/images/" + name + ".png").convertToFormat(QImage::Format_ARGB32);
        QCOMPARE(icon.size(), QSize(16, 16));

        for (const QPoint corner : {QPoint(0, 0), QPoint(15, 0), QPoint(0, 15), QPoint(15, 15)})
            QCOMPARE(qAlpha(icon.pixel(corner)), 0);

        // The ring: opaque and dark at the middle of each edge.
        for (const QPoint edge : {QPoint(0, 8), QPoint(15, 8), QPoint(8, 0), QPoint(8, 15)}) {
            const QRgb p = icon.pixel(edge);
            QVERIFY2(qAlpha(p) > 128 && qGray(p) < 100, qPrintable(name));
        }

        // The glyph: black pixels inside the ring, balanced around the centre.
        double sumX = 0;
        double sumY = 0;
        int count = 0;
        for (int y = 3; y < 13; ++y) {
            for (int x = 3; x < 13; ++x) {
                const QRgb p = icon.pixel(x, y);
                if (qAlpha(p) > 200 && qGray(p) < 40) {
                    sumX += x + 0.5;
                    sumY += y + 0.5;
                    ++count;
                }
            }
        }
        QVERIFY2(count >= 12, qPrintable(name));
        QVERIFY2(qAbs(sumX / count - 8.0) <= 1.0, qPrintable(name));
        QVERIFY2(qAbs(sumY / count - 8.0) <= 0.5, qPrintable(name));
    }

    void shouldShipTheApplicationIconInEveryThemeSize()
    {
        for (const int size : {16, 24, 32, 48, 64, 128, 256}) {
            const QString path = sourceFile(QString("hicolor/%1x%1/apps/brisnak.png").arg(size));
            QImageReader reader(path);
            QCOMPARE(reader.format(), QByteArray("png"));
            QCOMPARE(reader.size(), QSize(size, size));
            QVERIFY(reader.read().hasAlphaChannel());
        }

        // The Windows icon holds 128, 48, 32 and 16 pixel images in 32 bits (with alpha).
        QImageReader ico(sourceFile("brisnak.ico"));
        QList<int> sizes;
        for (int i = 0; i < ico.imageCount() && ico.jumpToImage(i); ++i) {
            const QImage image = ico.read();
            QVERIFY(image.hasAlphaChannel() && image.width() == image.height());
            sizes << image.width();
        }
        QCOMPARE(sizes, (QList<int>{128, 48, 32, 16}));
    }
};

QTEST_GUILESS_MAIN(ResourcesTest)
#include "ResourcesTest.moc"
