// A playlist of files players get wrong (chained Ogg files, one with a damaged page and one with
// damaged headers, joined MP3 files of two formats, an Ogg file cut short), played from its first
// row: the window moves on by itself, each time the position reaches the length, to the last row.
#include "DifficultFiles.h"
#include "MainWindowProbe.h"
#include "SoundPlayer.h"
#include "ToneFiles.h"

#include <QDir>
#include <QFile>
#include <QListWidget>
#include <QSlider>
#include <QTest>
#include <QTimer>

class DifficultPlaylistTest : public QObject
{
    Q_OBJECT

    ToneFiles folder;
    QStringList paths;

private slots:
    void initTestCase()
    {
        QVERIFY(folder.isValid());
        using Case = DifficultFiles::Case;
        // A quarter of their usual length: the playlist plays in real time.
        for (const Case which :
             {Case::ChainedOtherFormat, Case::FirstLinkPageDamaged, Case::FirstLinkHeaderDamaged,
              Case::Mp3FormatChange, Case::OggCutInFirstPages}) {
            const QString path = QDir(folder.path())
                                     .absoluteFilePath(QStringLiteral("row%1%2")
                                                           .arg(paths.size())
                                                           .arg(DifficultFiles::suffix(which)));
            QVERIFY(DifficultFiles::write(QFile::encodeName(path).toStdString(), which, 0.25).ok);
            paths << path;
        }
    }

    void shouldPlayThroughToTheLastRowByItself()
    {
        MainWindowProbe probe;
        QVERIFY(probe.show(paths));
        QCOMPARE(probe.list()->count(), paths.size());

        // The row that sounds, and the slider's maximum it was given, at every tick.
        QList<int> rows;
        QList<int> maximums;
        connect(probe.timer(), &QTimer::timeout, this, [&] {
            const int row = probe.selectedRows().value(0, -1);
            if (rows.isEmpty() || rows.last() != row) {
                rows << row;
                maximums << probe.seekBar()->maximum();
            }
        });

        probe.click("playButton");
        const int last = static_cast<int>(paths.size()) - 1;
        QTRY_COMPARE_WITH_TIMEOUT(probe.status(), MainWindowProbe::nowPlaying(paths[last]), 20000);
        SoundPlayer& player = probe.player();
        QTRY_VERIFY_WITH_TIMEOUT(
            player.GetLength() > 0 && player.GetPosition() == player.GetLength(), 5000);

        // Every row had its turn, in order, each with a length to play.
        QList<int> expected;
        for (int row = 0; row <= last; ++row)
            expected << row;
        QCOMPARE(rows, expected);
        for (const int maximum : maximums)
            QVERIFY(maximum > 0);
        QCOMPARE(maximums.last(), static_cast<int>(player.GetLength()));
    }
};

QTEST_MAIN(DifficultPlaylistTest)
#include "DifficultPlaylistTest.moc"
