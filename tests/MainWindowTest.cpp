// The window's form as one table of objects (object name, class, parent, where it is placed, its
// texts and icon), what the form fixes beyond the table, the fresh window, the sixteen slots, the
// About box and a window named before the set-up.
#include "MainWindow.h"
#include "MainWindowForm.h"

#include <QAccessible>
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

template <auto member>
QObject* formMember(const MainWindowForm& form)
{
    return form.*member;
}

// One object of the form, in the order of the form's members: its member, class, parent, the menu,
// menu bar or layout that holds it (in this order), its texts and icon, and the name assistive
// technology (a screen reader) gives it (null: not set). A property the form is to fix later is
// one more column.
struct Entry {
    const char* name;
    QObject* (*member)(const MainWindowForm&);
    const char* className;
    const char* parent;
    const char* in;
    const char* text;
    const char* toolTip;
    const char* title;
    const char* icon;
    const char* accessibleName = nullptr;
};

template <auto member>
constexpr auto m = &formMember<member>;
using F = MainWindowForm;
constexpr const char* _ = nullptr;

// clang-format off
const Entry form[] = {
//   name               member                     class          parent
//       in, text, tool tip, title, icon
    {"menuAddFiles",     m<&F::menuAddFiles>,       "QAction",     "MainWindow",
        "menuFile", "Add files ...", "Add files ...", _, _},
    {"menuStop",         m<&F::menuStop>,           "QAction",     "MainWindow",
        "menuPlayback", "Stop", _, _, _},
    {"menuPause",        m<&F::menuPause>,          "QAction",     "MainWindow",
        "menuPlayback", "Pause", _, _, _},
    {"menuPlay",         m<&F::menuPlay>,           "QAction",     "MainWindow",
        "menuPlayback", "Play", _, _, _},
    {"menuPrevious",     m<&F::menuPrevious>,       "QAction",     "MainWindow",
        "menuPlayback", "Previous", _, _, _},
    {"menuNext",         m<&F::menuNext>,           "QAction",     "MainWindow",
        "menuPlayback", "Next", _, _, _},
    {"menuAboutBrisnak", m<&F::menuAboutBrisnak>,   "QAction",     "MainWindow",
        "menuHelp", "About Brisnak", _, _, _},
    {"centralWidget",    m<&F::centralWidget>,      "QWidget",     "MainWindow",
        _, _, _, _, _},
    {"verticalLayout_2", m<&F::verticalLayout_2>,   "QVBoxLayout", "centralWidget",
        _, _, _, _, _},
    {"verticalLayout",   m<&F::verticalLayout>,     "QVBoxLayout", "verticalLayout_2",
        "verticalLayout_2", _, _, _, _},
    {"horizontalLayout", m<&F::horizontalLayout>,   "QHBoxLayout", "verticalLayout",
        "verticalLayout", _, _, _, _},
    {"stopButton",       m<&F::stopButton>,         "QPushButton", "centralWidget",
        "horizontalLayout", "", "Stop", _, ":/Icons/images/stop.png", "Stop"},
    {"pauseButton",      m<&F::pauseButton>,        "QPushButton", "centralWidget",
        "horizontalLayout", "", "Pause", _, ":/Icons/images/pause.png", "Pause"},
    {"playButton",       m<&F::playButton>,         "QPushButton", "centralWidget",
        "horizontalLayout", "", "Play", _, ":/Icons/images/play.png", "Play"},
    {"previousButton",   m<&F::previousButton>,     "QPushButton", "centralWidget",
        "horizontalLayout", "", "Previous", _, ":/Icons/images/previous.png", "Previous"},
    {"nextButton",       m<&F::nextButton>,         "QPushButton", "centralWidget",
        "horizontalLayout", "", "Next", _, ":/Icons/images/next.png", "Next"},
    {"seekBar",          m<&F::seekBar>,            "QSlider",     "centralWidget",
        "horizontalLayout", _, _, _, _, "Position"},
    {"listFiles",        m<&F::listFiles>,          "QListWidget", "centralWidget",
        "verticalLayout", _, _, _, _, "Playlist"},
    {"menuBar",          m<&F::menuBar>,            "QMenuBar",    "MainWindow",
        _, _, _, _, _},
    {"menuFile",         m<&F::menuFile>,           "QMenu",       "menuBar",
        "menuBar", _, _, "File", _},
    {"menuPlayback",     m<&F::menuPlayback>,       "QMenu",       "menuBar",
        "menuBar", _, _, "Playback", _},
    {"menuHelp",         m<&F::menuHelp>,           "QMenu",       "menuBar",
        "menuBar", _, _, "Help", _},
    {"statusBar",        m<&F::statusBar>,          "QStatusBar",  "MainWindow",
        _, _, _, _, _},
};
// clang-format on

// What a menu, menu bar or layout holds, by object name, in order.
QStringList held(QObject* container)
{
    QStringList names;
    if (auto* widget = qobject_cast<QWidget*>(container)) {
        for (QAction* action : widget->actions())
            names << (action->menu() ? action->menu()->objectName() : action->objectName());
    } else if (auto* layout = qobject_cast<QBoxLayout*>(container)) {
        for (int i = 0; i < layout->count(); ++i) {
            QLayoutItem* item = layout->itemAt(i);
            names << (item->widget() ? item->widget()->objectName() : item->layout()->objectName());
            if (layout->stretch(i) != 0)
                names.last() += QStringLiteral(" (stretched)");
        }
    }
    return names;
}

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

    void shouldBuildTheFormAsTabled()
    {
        MainWindow window;
        // The form's members, on a window of its own.
        QMainWindow bare;
        MainWindowForm members;
        members.SetupForm(&bare);

        QHash<QString, QStringList> containers;
        for (const Entry& entry : form) {
            const QString name = QLatin1String(entry.name);
            QObject* object = window.findChild<QObject*>(name);
            QVERIFY2(object, entry.name);
            QVERIFY2(entry.member(members) &&
                         entry.member(members) == bare.findChild<QObject*>(name),
                     entry.name);
            QCOMPARE(object->metaObject()->className(), entry.className);
            QCOMPARE(object->parent()->objectName(), QLatin1String(entry.parent));
            if (entry.in)
                containers[QLatin1String(entry.in)] << name;
            const auto text = [&](const char* property, const char* expected) {
                if (expected)
                    QCOMPARE(object->property(property).toString(), QLatin1String(expected));
            };
            text("text", entry.text);
            text("toolTip", entry.toolTip);
            text("title", entry.title);
            if (entry.accessibleName)
                QCOMPARE(QAccessible::queryAccessibleInterface(object)->text(QAccessible::Name),
                         QLatin1String(entry.accessibleName));
            if (entry.icon) {
                const QImage image(QLatin1String(entry.icon));
                QCOMPARE(qobject_cast<QPushButton*>(object)->icon().pixmap(image.size()).toImage(),
                         image.convertToFormat(QImage::Format_ARGB32_Premultiplied));
            }
            if (auto* action = qobject_cast<QAction*>(object)) {
                // The actions carry nothing but their texts.
                QVERIFY2(action->shortcut().isEmpty() && action->icon().isNull() &&
                             !action->isCheckable() && action->statusTip().isEmpty(),
                         entry.name);
            }
        }
        for (auto it = containers.begin(); it != containers.end(); ++it)
            QCOMPARE(held(window.findChild<QObject*>(it.key())), it.value());

        QCOMPARE(window.objectName(), QString("MainWindow"));
        // No title is seen; assistive technology names the window.
        QVERIFY(window.windowTitle().isEmpty());
        QCOMPARE(QAccessible::queryAccessibleInterface(&window)->text(QAccessible::Name),
                 QString("Brisnak"));
        QCOMPARE(window.centralWidget(), window.findChild<QWidget*>("centralWidget"));
        QCOMPARE(window.menuBar(), window.findChild<QMenuBar*>("menuBar"));
        QCOMPARE(window.statusBar(), window.findChild<QStatusBar*>("statusBar"));
        QCOMPARE(window.centralWidget()->layout(), window.findChild<QLayout*>("verticalLayout_2"));
    }

    // The properties the set-up gives beyond the texts; everything else keeps Qt's defaults.
    void shouldSetTheFormsProperties()
    {
        MainWindow window;
        QCOMPARE(window.size(), QSize(700, 419));
        QCOMPARE(window.tabShape(), QTabWidget::Rounded);
        for (const char* name : {"verticalLayout_2", "verticalLayout", "horizontalLayout"})
            QCOMPARE(window.findChild<QLayout*>(name)->spacing(), 6);
        QCOMPARE(window.findChild<QLayout*>("verticalLayout_2")->contentsMargins(),
                 QMargins(11, 11, 11, 11));
        QCOMPARE(window.findChild<QMenuBar*>("menuBar")->geometry(), QRect(0, 0, 700, 22));
        auto* seekBar = window.findChild<QSlider*>("seekBar");
        QCOMPARE(seekBar->orientation(), Qt::Horizontal);
        auto* list = window.findChild<QListWidget*>("listFiles");
        QCOMPARE(list->font().family(), QString("Arial"));
        QCOMPARE(list->font().pointSize(), 10);
        QCOMPARE(list->font().weight(), QFont::Bold);
        QCOMPARE(list->styleSheet(),
                 QString("background-color: rgb(0, 0, 0);\ncolor: rgb(255, 255, 255);"));
        QCOMPARE(list->selectionMode(), QAbstractItemView::SingleSelection);
    }

    // An empty playlist, the slider at 0 of 0 to 99, the status label empty in the status bar
    // (stretch 200) and the 500 ms timer idle.
    void shouldStartIdleWithEverythingEmpty()
    {
        MainWindow window;
        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window));
        QCOMPARE(window.findChild<QListWidget*>("listFiles")->count(), 0);
        auto* seekBar = window.findChild<QSlider*>("seekBar");
        QCOMPARE(seekBar->minimum(), 0);
        QCOMPARE(seekBar->maximum(), 99);
        QCOMPARE(seekBar->value(), 0);

        auto* statusBar = window.findChild<QStatusBar*>("statusBar");
        const QList<QLabel*> labels = statusBar->findChildren<QLabel*>();
        QCOMPARE(labels.size(), 1);
        QVERIFY(labels[0]->text().isEmpty());
        QVERIFY(labels[0]->isVisible());
        QList<int> stretches;
        for (QBoxLayout* box : statusBar->findChildren<QBoxLayout*>())
            if (box->indexOf(labels[0]) >= 0)
                stretches << box->stretch(box->indexOf(labels[0]));
        QCOMPARE(stretches, QList<int>{200});

        const QList<QTimer*> timers = window.findChildren<QTimer*>(Qt::FindDirectChildrenOnly);
        QCOMPARE(timers.size(), 1);
        QCOMPARE(timers[0]->interval(), 500);
        QVERIFY(!timers[0]->isSingleShot());
        QVERIFY(!timers[0]->isActive());
    }

    // What assistive technology is told of the seek slider, whose own value stays in
    // milliseconds: the position in whole seconds, and in the minutes and seconds a person reads.
    void shouldTellThePositionInMinutesAndSeconds_data()
    {
        QTest::addColumn<int>("value");
        QTest::addColumn<int>("maximum");
        QTest::addColumn<QString>("spoken");
        QTest::newRow("fresh") << 0 << 99 << "0:00 of 0:00";
        QTest::newRow("minutes") << 83456 << 296000 << "1:23 of 4:56";
        QTest::newRow("up to an hour") << 3599999 << 3600000 << "59:59 of 1:00:00";
        QTest::newRow("past an hour") << 3723000 << 7200500 << "1:02:03 of 2:00:00";
    }

    void shouldTellThePositionInMinutesAndSeconds()
    {
        QFETCH(int, value);
        QFETCH(int, maximum);
        QFETCH(QString, spoken);
        MainWindow window;
        auto* seekBar = window.findChild<QSlider*>("seekBar");
        seekBar->setMaximum(maximum);
        seekBar->setValue(value);
        QAccessibleInterface* slider = QAccessible::queryAccessibleInterface(seekBar);
        QCOMPARE(slider->role(), QAccessible::Slider);
        QCOMPARE(slider->text(QAccessible::Value), spoken);
        QCOMPARE(slider->valueInterface()->currentValue().toInt(), value / 1000);
        QCOMPARE(slider->valueInterface()->maximumValue().toInt(), maximum / 1000);
        QCOMPARE(slider->valueInterface()->minimumStepSize().toInt(), 1);
        // Set from assistive technology: the handle moves, in milliseconds.
        slider->valueInterface()->setCurrentValue(1);
        QCOMPARE(seekBar->value(), std::min(1000, maximum));
    }

    // How the window looks where the status text and keyboard focus would spoil it: a long path
    // stays whole in the label but never widens the window; the playlist, white on black, shows
    // when it has keyboard focus.
    void shouldFitAnyScreenAndShowFocus_data()
    {
        QTest::addColumn<QString>("status");
        QTest::addColumn<bool>("listFocused");
        QTest::newRow("a 435-character path in the status text")
            << QStringLiteral("Now playing: /") + QString("music/").repeated(71) + "abcd.mp3"
            << false;
        QTest::newRow("keyboard focus on the playlist") << QString() << true;
    }

    void shouldFitAnyScreenAndShowFocus()
    {
        QFETCH(QString, status);
        QFETCH(bool, listFocused);
        MainWindow window;
        window.show();
        QVERIFY(QTest::qWaitForWindowActive(&window));
        const int narrowest = window.minimumSizeHint().width();
        auto* label = window.findChild<QStatusBar*>("statusBar")->findChild<QLabel*>();
        label->setText(status);
        auto* list = window.findChild<QListWidget*>("listFiles");
        if (listFocused)
            list->setFocus();
        QTRY_COMPARE(list->hasFocus(), listFocused);
        QTest::qWait(50); // the layout's and the paint's passes
        QCOMPARE(window.minimumSizeHint().width(), narrowest);
        QCOMPARE(window.minimumSize().width(), narrowest);
        QCOMPARE(label->text(), status);
        QVERIFY(label->geometry().right() < window.width());

        // The playlist's edge, just inside its frame: white where it shows focus, else black.
        const QImage seen = list->viewport()->grab().toImage();
        int light = 0;
        for (int x = 0; x < seen.width(); ++x)
            light += qGray(seen.pixel(x, 1)) > 200 ? 1 : 0;
        if (listFocused)
            QVERIFY2(light > seen.width() / 4, qPrintable(QString::number(light)));
        else
            QCOMPARE(light, 0);
    }

    void shouldDeclareSixteenPrivateSlotsInTableOrder()
    {
        const QMetaObject& meta = MainWindow::staticMetaObject;
        QCOMPARE(meta.className(), "MainWindow");
        QCOMPARE(meta.superClass(), &QMainWindow::staticMetaObject);
        QCOMPARE(meta.methodOffset(), QMainWindow::staticMetaObject.methodCount());
        QCOMPARE(meta.propertyCount(), meta.propertyOffset());
        QCOMPARE(meta.enumeratorCount(), meta.enumeratorOffset());

        const QByteArrayList expected =
            QByteArray("UpdateTime() SeekStart() SeekMove() on_menuAddFiles_triggered() "
                       "on_listFiles_itemDoubleClicked() on_stopButton_clicked() "
                       "on_pauseButton_clicked() on_menuStop_triggered() on_nextButton_clicked() "
                       "on_previousButton_clicked() on_playButton_clicked() "
                       "on_menuPlay_triggered() on_menuPrevious_triggered() "
                       "on_menuNext_triggered() on_menuAboutBrisnak_triggered() "
                       "on_menuPause_triggered()")
                .split(' ');
        QByteArrayList declared;
        for (int i = meta.methodOffset(); i < meta.methodCount(); ++i) {
            const QMetaMethod method = meta.method(i);
            QVERIFY(method.methodType() == QMetaMethod::Slot &&
                    method.access() == QMetaMethod::Private &&
                    method.returnMetaType() == QMetaType::fromType<void>());
            declared << method.methodSignature();
        }
        QCOMPARE(declared, expected);

        MainWindow window;
        QCOMPARE(window.qt_metacast("MainWindow"), static_cast<void*>(&window));
        QCOMPARE(window.qt_metacast(nullptr), nullptr);
        QCOMPARE(window.qt_metacast("QMainWindow"),
                 static_cast<void*>(static_cast<QMainWindow*>(&window)));
    }

    void shouldShowTheAboutBoxFromTheHelpMenu()
    {
        MainWindow window;
        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window));

        QString title;
        QString text;
        bool modal = false;
        // The box runs its own event loop; this closes it once it shows, which lets trigger()
        // return.
        QTimer poll;
        connect(&poll, &QTimer::timeout, [&] {
            if (auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget())) {
                title = box->windowTitle();
                text = box->text();
                modal = box->isModal();
                box->close();
            }
        });
        poll.start(10);
        window.findChild<QAction*>("menuAboutBrisnak")->trigger();
        poll.stop();

        QCOMPARE(title, QString("About Brisnak"));
        QVERIFY(modal);
        // A sentence naming the program broken across two lines, the version and the credit.
        const QStringList lines = text.split('\n');
        QCOMPARE(lines.size(), 6);
        QVERIFY(lines[0].contains("Brisnak") && !lines[0].trimmed().endsWith('.'));
        QVERIFY(lines[1].trimmed().endsWith('.'));
        QCOMPARE(lines.mid(2, 3), (QStringList{"", "Version: 0.1", ""}));
        QVERIFY(lines[5].startsWith("Developed by: ") && lines[5].size() > 14);

        // The box leaves the window as it was.
        QVERIFY(window.windowTitle().isEmpty());
        QVERIFY(window.findChild<QStatusBar*>("statusBar")->findChild<QLabel*>()->text().isEmpty());
        QVERIFY(!window.findChild<QTimer*>(QString(), Qt::FindDirectChildrenOnly)->isActive());
    }

    void shouldKeepAnObjectNameSetBeforeSetUp()
    {
        QMainWindow named;
        named.setObjectName("PlayerWindow");
        MainWindowForm form;
        form.SetupForm(&named);
        QCOMPARE(named.objectName(), QString("PlayerWindow"));
        QCOMPARE(named.centralWidget(), form.centralWidget);
    }
};

QTEST_MAIN(MainWindowTest)
#include "MainWindowTest.moc"
