// Every file of the corpus (FileCorpus) and every input the fuzzer ever found (tests/fuzz/
// regressions) through the fuzzer's own routine (FileExercise: the decoders, then the whole engine
// offline, aborting on any broken promise), and what cannot be played through SoundPlayer as the
// window plays it: nothing is heard, length and position stay 0, and no call blocks or crashes.
#include "FileCorpus.h"
#include "FileExercise.h"
#include "SoundPlayer.h"

#include <QDir>
#include <QFileInfo>
#include <QTemporaryDir>
#include <QTest>

using Outcome = FileCorpus::Outcome;

Q_DECLARE_METATYPE(const FileCorpus::Row*)

class BadInputTest : public QObject
{
    Q_OBJECT

private slots:
    void shouldKeepTheEnginesPromisesOnEveryFile_data()
    {
        QTest::addColumn<const FileCorpus::Row*>("row");
        QTest::addColumn<QString>("finding");
        for (const FileCorpus::Row& row : FileCorpus::rows())
            QTest::newRow(row.name.c_str()) << &row << QString();
        const QDir findings(BRISNAK_FUZZ_REGRESSIONS);
        for (const QString& name : findings.entryList(QDir::Files))
            QTest::newRow(qPrintable(name))
                << static_cast<const FileCorpus::Row*>(nullptr) << findings.filePath(name);
    }

    void shouldKeepTheEnginesPromisesOnEveryFile()
    {
        QFETCH(const FileCorpus::Row*, row);
        QFETCH(QString, finding);
        QTemporaryDir folder;
        FileCorpus::Expected expected;
        expected.path = finding.toStdString();
        expected.outcome = Outcome::Either;
        if (row) {
            expected = row->make(folder.path().toStdString(), 1.0);
            QVERIFY(expected.written);
        }
        // A fifo or a device is never read: SoundPlayer's test below plays those.
        if (!QFileInfo(QString::fromStdString(expected.path)).isFile())
            QSKIP("not a regular file");
        const FileExercise::Outcome outcome = FileExercise::runFile(expected.path);
        if (expected.outcome != Outcome::Either)
            QCOMPARE(outcome.opened, expected.outcome == Outcome::Plays);
        QVERIFY(outcome.framesRead <= outcome.lengthFrames);
    }

    void shouldPlayNothingOfWhatCannotBePlayed()
    {
        SoundPlayer player;
        QTemporaryDir folder;
        int index = 0;
        int refused = 0;
        for (const FileCorpus::Row& row : FileCorpus::rows()) {
            if (row.outcome != Outcome::Refused)
                continue;
            const QString subfolder = folder.filePath(QString::number(++index));
            QVERIFY(QDir().mkdir(subfolder));
            const FileCorpus::Expected expected = row.make(subfolder.toStdString(), 1.0);
            ++refused;
            player.Play(expected.path.c_str());
            QCOMPARE(player.GetLength(), 0u);
            QCOMPARE(player.GetPosition(), 0u);
            // The window takes 0 == 0 for the end of a track; nothing else may change.
            player.SetPosition(1000);
            player.TogglePause();
            player.TogglePause();
            QCOMPARE(player.GetPosition(), 0u);
            player.Stop();
        }
        QVERIFY(refused > 30);
    }
};

QTEST_GUILESS_MAIN(BadInputTest)
#include "BadInputTest.moc"
