// File > "Add files ...": the real file dialog, its filter, what it lists and what it adds.
#include "MainWindowProbe.h"
#include "ToneFiles.h"

#include <QAbstractItemModel>
#include <QDir>
#include <QFile>
#include <QFileDialog>
#include <QFileInfo>
#include <QListView>
#include <QListWidget>
#include <QSet>
#include <QSlider>
#include <QTest>
#include <QTimer>

class FileDialogTest : public QObject
{
    Q_OBJECT

    ToneFiles tones;
    QString one;
    QString two;
    QString unicode;

    static QStringList rowTexts(MainWindowProbe& probe)
    {
        QStringList texts;
        for (int row = 0; row < probe.list()->count(); ++row)
            texts << probe.list()->item(row)->text();
        return texts;
    }

    // The file names the dialog's list view shows for its current folder.
    static QSet<QString> listedNames(QFileDialog& dialog)
    {
        QSet<QString> names;
        auto* view = dialog.findChild<QListView*>(QStringLiteral("listView"));
        if (!view)
            return names;
        const QAbstractItemModel* model = view->model();
        for (int row = 0; row < model->rowCount(view->rootIndex()); ++row)
            names << model->index(row, 0, view->rootIndex()).data().toString();
        return names;
    }

    // The folder is read in the background: what the dialog lists once `expected` shows (or it
    // gave up waiting), for the caller to compare.
    static QSet<QString> listingOnceRead(QFileDialog& dialog, const QSet<QString>& expected)
    {
        (void)QTest::qWaitFor([&] { return listedNames(dialog).contains(expected); }, 5000);
        return listedNames(dialog);
    }

private slots:
    void initTestCase()
    {
        QVERIFY(tones.isValid());
        for (const char* name : {"song.mp3", "SONG.MP3", "Track.Ogg", "tone.wav", "LOUD.WAV",
                                 "other.ogg", "notes.txt", "cover.jpg"}) {
            QFile file(QDir(tones.path()).filePath(QLatin1String(name)));
            QVERIFY(file.open(QIODevice::WriteOnly));
        }
        one = tones.wav(QStringLiteral("one.wav"), 1.0);
        two = tones.wav(QStringLiteral("two.wav"), 2.0);
        // Long enough that it plays on while the dialogs come and go.
        unicode = tones.wav(QStringLiteral("Ünïcødé – 音楽 ♫.wav"), 30.0);
        QVERIFY(!one.isEmpty() && !two.isEmpty() && !unicode.isEmpty());
        QVERIFY(tones.enter());
    }

    void shouldOfferTheAudioPatternsAndListEveryCase()
    {
        MainWindowProbe probe;
        QVERIFY(probe.show());

        QStringList filters;
        QString caption;
        QString directory;
        QFileDialog::FileMode mode = QFileDialog::AnyFile;
        QSet<QString> listed;
        const QSet<QString> audio = {
            QStringLiteral("song.mp3"), QStringLiteral("SONG.MP3"), QStringLiteral("Track.Ogg"),
            QStringLiteral("tone.wav"), QStringLiteral("LOUD.WAV"), QStringLiteral("other.ogg"),
            QStringLiteral("one.wav"),  QStringLiteral("two.wav"),  QFileInfo(unicode).fileName()};
        const bool opened = probe.withFileDialog([&](QFileDialog& dialog) {
            filters = dialog.nameFilters();
            caption = dialog.windowTitle();
            directory = dialog.directory().absolutePath();
            mode = dialog.fileMode();
            listed = listingOnceRead(dialog, audio);
            dialog.reject();
        });
        QVERIFY(opened);
        QCOMPARE(caption, QStringLiteral("Add files ..."));
        QCOMPARE(directory, QDir(tones.path()).absolutePath());
        QCOMPARE(mode, QFileDialog::ExistingFiles);
        QCOMPARE(filters.size(), 1);
        QCOMPARE(filters.first(), QStringLiteral("Audio (*.mp3 *.wav *.ogg *.MP3 *.WAV *.OGG)"));
        QCOMPARE(listed, audio);
    }

    // In the order chosen, at the end, the same file twice as two rows; a track that plays (here
    // one whose name is not ASCII, passed to the engine in the local encoding) plays on.
    void shouldAppendTheChosenFilesInOrderAndLeavePlaybackAlone()
    {
        MainWindowProbe probe;
        QVERIFY(probe.show());
        QCOMPARE(probe.addFiles({QFileInfo(unicode).fileName()}), QStringList{unicode});
        probe.doubleClickRow(0);
        QCOMPARE(probe.status(), MainWindowProbe::nowPlaying(unicode));
        QCOMPARE(probe.seekBar()->maximum(), ToneFiles::lengthMs(30.0));
        QVERIFY(probe.advances());

        QCOMPARE(probe.addFiles({QStringLiteral("one.wav"), QStringLiteral("two.wav")}),
                 QStringList({one, two}));
        QCOMPARE(probe.addFiles({QStringLiteral("one.wav")}), QStringList{one});
        QCOMPARE(rowTexts(probe), QStringList({unicode, one, two, one}));
        QCOMPARE(probe.list()->currentRow(), 0);
        QCOMPARE(probe.selectedRows(), QList<int>{0});
        QCOMPARE(probe.status(), MainWindowProbe::nowPlaying(unicode));
        QVERIFY(probe.timer()->isActive());
        QVERIFY(probe.advances());
    }

    void shouldChangeNothingWhenCancelled()
    {
        MainWindowProbe probe;
        QVERIFY(probe.show());
        probe.addFiles({QStringLiteral("one.wav"), QStringLiteral("two.wav")});
        probe.clickRow(1);

        const bool opened = probe.withFileDialog([](QFileDialog& dialog) {
            dialog.selectFile(QStringLiteral("one.wav"));
            dialog.reject();
        });
        QVERIFY(opened);
        QCOMPARE(probe.list()->count(), 2);
        QCOMPARE(probe.list()->currentRow(), 1);
        QCOMPARE(probe.selectedRows(), QList<int>{1});
        QCOMPARE(probe.status(), QString());
        QVERIFY(!probe.timer()->isActive());
    }
};

QTEST_MAIN(FileDialogTest)
#include "FileDialogTest.moc"
