#include "MainWindow.h"
#include "MainWindowForm.h"

#include <QAction>
#include <QApplication>
#include <QBoxLayout>
#include <QLabel>
#include <QListWidget>
#include <QMenu>
#include <QMenuBar>
#include <QMessageBox>
#include <QMetaMethod>
#include <QPushButton>
#include <QRegularExpression>
#include <QSlider>
#include <QStatusBar>
#include <QTabWidget>
#include <QTest>
#include <QTimer>

namespace
{

template <typename T>
T* child(QObject& window, const char* name)
{
    return window.findChild<T*>(QString::fromLatin1(name));
}

const char* const buttonNames[] = {"stopButton", "pauseButton", "playButton", "previousButton",
                                   "nextButton"};

} // namespace

class MainWindowTest : public QObject
{
    Q_OBJECT

private slots:
    void init()
    {
        // A slot spelled after an object that does not exist would only show up as this warning.
        QTest::failOnWarning(QRegularExpression("QMetaObject::connectSlotsByName"));
    }

    void shouldArrangeButtonsSliderAndPlaylistInNestedLayouts()
    {
        MainWindow window;
        QCOMPARE(window.objectName(), QString("MainWindow"));
        QCOMPARE(window.size(), QSize(700, 419));
        QCOMPARE(window.tabShape(), QTabWidget::Rounded);

        auto* central = child<QWidget>(window, "centralWidget");
        QVERIFY(central);
        QCOMPARE(window.centralWidget(), central);

        auto* outer = child<QVBoxLayout>(window, "verticalLayout_2");
        auto* column = child<QVBoxLayout>(window, "verticalLayout");
        auto* row = child<QHBoxLayout>(window, "horizontalLayout");
        QVERIFY(outer && column && row);
        QCOMPARE(central->layout(), outer);
        QCOMPARE(outer->spacing(), 6);
        QCOMPARE(outer->contentsMargins(), QMargins(11, 11, 11, 11));
        QCOMPARE(column->spacing(), 6);
        QCOMPARE(row->spacing(), 6);

        QCOMPARE(outer->count(), 1);
        QCOMPARE(outer->itemAt(0)->layout(), column);
        QCOMPARE(column->count(), 2);
        QCOMPARE(column->itemAt(0)->layout(), row);
        QCOMPARE(column->itemAt(1)->widget(), child<QListWidget>(window, "listFiles"));

        // Stop, Pause, Play, Previous, Next, then the slider, none stretched.
        QCOMPARE(row->count(), 6);
        for (int i = 0; i < 5; ++i) {
            auto* button = child<QPushButton>(window, buttonNames[i]);
            QVERIFY2(button, buttonNames[i]);
            QCOMPARE(button->parentWidget(), central);
            QCOMPARE(row->itemAt(i)->widget(), button);
            QCOMPARE(row->stretch(i), 0);
        }
        auto* seekBar = child<QSlider>(window, "seekBar");
        QVERIFY(seekBar);
        QCOMPARE(seekBar->parentWidget(), central);
        QCOMPARE(row->itemAt(5)->widget(), seekBar);
        QCOMPARE(seekBar->orientation(), Qt::Horizontal);
        QCOMPARE(row->stretch(5), 0);
        QCOMPARE(column->stretch(0), 0);
        QCOMPARE(column->stretch(1), 0);

        auto* statusBar = child<QStatusBar>(window, "statusBar");
        QVERIFY(statusBar);
        QCOMPARE(window.statusBar(), statusBar);
    }

    void shouldOfferFileThenPlaybackThenHelpMenus()
    {
        MainWindow window;
        auto* menuBar = child<QMenuBar>(window, "menuBar");
        QVERIFY(menuBar);
        QCOMPARE(window.menuBar(), menuBar);
        QCOMPARE(menuBar->geometry(), QRect(0, 0, 700, 22));

        const QStringList menuNames{"menuFile", "menuPlayback", "menuHelp"};
        const QStringList menuTitles{"File", "Playback", "Help"};
        const QList<QAction*> bar = menuBar->actions();
        QCOMPARE(bar.size(), 3);
        for (int i = 0; i < 3; ++i) {
            auto* menu = bar[i]->menu();
            QVERIFY(menu);
            QCOMPARE(menu->objectName(), menuNames[i]);
            QCOMPARE(menu->parent(), menuBar);
            QCOMPARE(menu->title(), menuTitles[i]);
        }

        auto entries = [](QMenu* menu) {
            QStringList names;
            QStringList texts;
            for (QAction* action : menu->actions()) {
                names << action->objectName();
                texts << action->text();
            }
            return std::pair(names, texts);
        };
        const auto file = entries(bar[0]->menu());
        QCOMPARE(file.first, QStringList{"menuAddFiles"});
        QCOMPARE(file.second, QStringList{"Add files ..."});
        const auto playback = entries(bar[1]->menu());
        QCOMPARE(playback.first,
                 (QStringList{"menuStop", "menuPause", "menuPlay", "menuPrevious", "menuNext"}));
        QCOMPARE(playback.second, (QStringList{"Stop", "Pause", "Play", "Previous", "Next"}));
        const auto help = entries(bar[2]->menu());
        QCOMPARE(help.first, QStringList{"menuAboutBrisnak"});
        QCOMPARE(help.second, QStringList{"About Brisnak"});

        // The actions belong to the window and carry nothing but their texts.
        for (QAction* action : window.findChildren<QAction*>(QRegularExpression("^menu"),
                                                             Qt::FindDirectChildrenOnly)) {
            QCOMPARE(action->parent(), &window);
            QVERIFY2(action->shortcut().isEmpty(), qPrintable(action->objectName()));
            QVERIFY2(action->icon().isNull(), qPrintable(action->objectName()));
            QVERIFY2(!action->isCheckable(), qPrintable(action->objectName()));
            QVERIFY2(action->statusTip().isEmpty(), qPrintable(action->objectName()));
        }
        QCOMPARE(child<QAction>(window, "menuAddFiles")->toolTip(), QString("Add files ..."));
    }

    void shouldShowIconButtonsWithNamesOnlyAsToolTips()
    {
        MainWindow window;
        const QStringList tips{"Stop", "Pause", "Play", "Previous", "Next"};
        for (int i = 0; i < 5; ++i) {
            auto* button = child<QPushButton>(window, buttonNames[i]);
            QVERIFY2(button, buttonNames[i]);
            QCOMPARE(button->toolTip(), tips[i]);
            QVERIFY2(button->text().isEmpty(), buttonNames[i]);
            // The icon comes from the image bundle, so an empty icon means a missing image.
            QVERIFY2(!button->icon().isNull(), buttonNames[i]);
            QVERIFY2(button->icon().availableSizes().contains(QSize(16, 16)), buttonNames[i]);
            QVERIFY2(!button->icon().pixmap(16, 16).isNull(), buttonNames[i]);
        }
    }

    void shouldPaintPlaylistInBoldWhiteOnBlack()
    {
        MainWindow window;
        auto* list = child<QListWidget>(window, "listFiles");
        QVERIFY(list);
        QCOMPARE(list->font().family(), QString("Arial"));
        QCOMPARE(list->font().pointSize(), 10);
        QVERIFY(list->font().bold());
        QCOMPARE(list->font().weight(), QFont::Bold);
        QCOMPARE(list->styleSheet(),
                 QString("background-color: rgb(0, 0, 0);\ncolor: rgb(255, 255, 255);"));
        QCOMPARE(list->selectionMode(), QAbstractItemView::SingleSelection);
    }

    void shouldStartIdleWithEverythingEmpty()
    {
        MainWindow window;
        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window));

        QVERIFY(window.windowTitle().isEmpty());
        auto* list = child<QListWidget>(window, "listFiles");
        QCOMPARE(list->count(), 0);
        auto* seekBar = child<QSlider>(window, "seekBar");
        QCOMPARE(seekBar->minimum(), 0);
        QCOMPARE(seekBar->maximum(), 99);
        QCOMPARE(seekBar->value(), 0);

        // The status label sits in the status bar as a permanent widget with stretch 200.
        auto* statusBar = child<QStatusBar>(window, "statusBar");
        const QList<QLabel*> labels = statusBar->findChildren<QLabel*>();
        QCOMPARE(labels.size(), 1);
        QLabel* statusLabel = labels.first();
        QVERIFY(statusLabel->text().isEmpty());
        QVERIFY(statusLabel->isVisible());
        bool stretchFound = false;
        for (QBoxLayout* box : statusBar->findChildren<QBoxLayout*>()) {
            const int index = box->indexOf(statusLabel);
            if (index >= 0) {
                QCOMPARE(box->stretch(index), 200);
                stretchFound = true;
            }
        }
        QVERIFY(stretchFound);

        const QList<QTimer*> timers = window.findChildren<QTimer*>(Qt::FindDirectChildrenOnly);
        QCOMPARE(timers.size(), 1);
        QCOMPARE(timers.first()->interval(), 500);
        QVERIFY(!timers.first()->isSingleShot());
        QVERIFY(!timers.first()->isActive());
    }

    void shouldShowAboutBoxFromHelpMenu()
    {
        MainWindow window;
        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window));

        QString title;
        QString text;
        bool wasModal = false;
        int attempts = 0;
        QTimer poll;
        poll.setInterval(10);
        connect(&poll, &QTimer::timeout, [&] {
            // Never leave a stray modal box running: after five seconds close whatever it is.
            if (++attempts > 500 && QApplication::activeModalWidget()) {
                poll.stop();
                QApplication::activeModalWidget()->close();
                return;
            }
            for (QWidget* top : QApplication::topLevelWidgets()) {
                auto* box = qobject_cast<QMessageBox*>(top);
                if (box && box->isVisible()) {
                    title = box->windowTitle();
                    text = box->text();
                    wasModal = box->isModal();
                    poll.stop();
                    box->close();
                }
            }
        });
        poll.start();
        // The box runs its own event loop; the poll above closes it, which lets trigger() return.
        child<QAction>(window, "menuAboutBrisnak")->trigger();
        poll.stop();

        QCOMPARE(title, QString("About Brisnak"));
        QVERIFY(wasModal);
        QVERIFY2(text.contains("Version: 0.1"), qPrintable(text));
        const QStringList lines = text.split('\n');
        QCOMPARE(lines.size(), 6);
        QVERIFY(lines[0].contains("Brisnak"));
        QVERIFY(!lines[0].trimmed().isEmpty() && !lines[1].trimmed().isEmpty());
        // One sentence broken across the first two lines.
        QVERIFY(!lines[0].trimmed().endsWith('.'));
        QVERIFY(lines[1].trimmed().endsWith('.'));
        QVERIFY(lines[2].isEmpty());
        QCOMPARE(lines[3], QString("Version: 0.1"));
        QVERIFY(lines[4].isEmpty());
        QVERIFY(lines[5].startsWith("Developed by: "));
        QVERIFY(lines[5].size() > QString("Developed by: ").size());

        // The box leaves the window as it was.
        QVERIFY(window.windowTitle().isEmpty());
        QCOMPARE(child<QListWidget>(window, "listFiles")->count(), 0);
        QVERIFY(child<QStatusBar>(window, "statusBar")->findChild<QLabel*>()->text().isEmpty());
        QVERIFY(!window.findChild<QTimer*>(QString(), Qt::FindDirectChildrenOnly)->isActive());
        QTRY_VERIFY(!qobject_cast<QMessageBox*>(QApplication::activeModalWidget()));
    }

    void shouldKeepAnObjectNameSetBeforeSetUp()
    {
        QMainWindow named;
        named.setObjectName("PlayerWindow");
        MainWindowForm namedForm;
        namedForm.SetupForm(&named);
        QCOMPARE(named.objectName(), QString("PlayerWindow"));
        QCOMPARE(named.centralWidget(), namedForm.centralWidget);

        QMainWindow unnamed;
        MainWindowForm unnamedForm;
        unnamedForm.SetupForm(&unnamed);
        QCOMPARE(unnamed.objectName(), QString("MainWindow"));
    }

    void shouldNameEveryFormObjectAfterItsMember()
    {
        QMainWindow window;
        MainWindowForm form;
        form.SetupForm(&window);
        const std::pair<QObject*, const char*> members[] = {
            {form.menuAddFiles, "menuAddFiles"},
            {form.menuStop, "menuStop"},
            {form.menuPause, "menuPause"},
            {form.menuPlay, "menuPlay"},
            {form.menuPrevious, "menuPrevious"},
            {form.menuNext, "menuNext"},
            {form.menuAboutBrisnak, "menuAboutBrisnak"},
            {form.centralWidget, "centralWidget"},
            {form.verticalLayout_2, "verticalLayout_2"},
            {form.verticalLayout, "verticalLayout"},
            {form.horizontalLayout, "horizontalLayout"},
            {form.stopButton, "stopButton"},
            {form.pauseButton, "pauseButton"},
            {form.playButton, "playButton"},
            {form.previousButton, "previousButton"},
            {form.nextButton, "nextButton"},
            {form.seekBar, "seekBar"},
            {form.listFiles, "listFiles"},
            {form.menuBar, "menuBar"},
            {form.menuFile, "menuFile"},
            {form.menuPlayback, "menuPlayback"},
            {form.menuHelp, "menuHelp"},
            {form.statusBar, "statusBar"},
        };
        for (const auto& [object, name] : members) {
            QVERIFY2(object, name);
            QCOMPARE(object->objectName(), QString(name));
            QCOMPARE(window.findChild<QObject*>(name), object);
        }
    }

    void shouldDeclareSixteenPrivateSlotsInTableOrder()
    {
        const QMetaObject& meta = MainWindow::staticMetaObject;
        QCOMPARE(meta.className(), "MainWindow");
        QCOMPARE(meta.superClass(), &QMainWindow::staticMetaObject);
        QCOMPARE(meta.methodOffset(), QMainWindow::staticMetaObject.methodCount());
        QCOMPARE(meta.propertyCount(), meta.propertyOffset());
        QCOMPARE(meta.enumeratorCount(), meta.enumeratorOffset());

        const QByteArrayList expected{
            "UpdateTime()",
            "SeekStart()",
            "SeekMove()",
            "on_menuAddFiles_triggered()",
            "on_listFiles_itemDoubleClicked()",
            "on_stopButton_clicked()",
            "on_pauseButton_clicked()",
            "on_menuStop_triggered()",
            "on_nextButton_clicked()",
            "on_previousButton_clicked()",
            "on_playButton_clicked()",
            "on_menuPlay_triggered()",
            "on_menuPrevious_triggered()",
            "on_menuNext_triggered()",
            "on_menuAboutBrisnak_triggered()",
            "on_menuPause_triggered()",
        };
        QCOMPARE(meta.methodCount() - meta.methodOffset(), int(expected.size()));
        for (int i = 0; i < expected.size(); ++i) {
            const QMetaMethod method = meta.method(meta.methodOffset() + i);
            QCOMPARE(method.methodSignature(), expected[i]);
            QCOMPARE(method.methodType(), QMetaMethod::Slot);
            QCOMPARE(method.access(), QMetaMethod::Private);
            QCOMPARE(method.returnMetaType(), QMetaType::fromType<void>());
        }

        MainWindow window;
        QCOMPARE(window.qt_metacast("MainWindow"), static_cast<void*>(&window));
        QCOMPARE(window.qt_metacast(nullptr), nullptr);
        QCOMPARE(window.qt_metacast("QMainWindow"),
                 static_cast<void*>(static_cast<QMainWindow*>(&window)));
    }
};

QTEST_MAIN(MainWindowTest)
#include "MainWindowTest.moc"
