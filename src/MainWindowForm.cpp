#include "MainWindowForm.h"

#include "Playlist.h"

#include <QAction>
#include <QCoreApplication>
#include <QHBoxLayout>
#include <QIcon>
#include <QListWidget>
#include <QMainWindow>
#include <QMenu>
#include <QMenuBar>
#include <QPushButton>
#include <QSlider>
#include <QStatusBar>
#include <QTabWidget>
#include <QVBoxLayout>

namespace
{

QAction* makeAction(QMainWindow* window, const char* objectName)
{
    auto* action = new QAction(window);
    action->setObjectName(QString::fromLatin1(objectName));
    return action;
}

QPushButton* addIconButton(QWidget* parent, QHBoxLayout* row, const char* objectName,
                           const char* iconPath)
{
    auto* button = new QPushButton(parent);
    button->setObjectName(QString::fromLatin1(objectName));
    QIcon icon;
    icon.addFile(QString::fromLatin1(iconPath), QSize(), QIcon::Normal, QIcon::Off);
    button->setIcon(icon);
    row->addWidget(button);
    return button;
}

QString tr(const char* text)
{
    return QCoreApplication::translate("MainWindow", text);
}

} // namespace

void MainWindowForm::SetupForm(QMainWindow* window)
{
    if (window->objectName().isEmpty())
        window->setObjectName("MainWindow");
    window->resize(700, 419);
    window->setTabShape(QTabWidget::Rounded);

    menuAddFiles = makeAction(window, "menuAddFiles");
    menuStop = makeAction(window, "menuStop");
    menuPause = makeAction(window, "menuPause");
    menuPlay = makeAction(window, "menuPlay");
    menuPrevious = makeAction(window, "menuPrevious");
    menuNext = makeAction(window, "menuNext");
    menuAboutBrisnak = makeAction(window, "menuAboutBrisnak");

    centralWidget = new QWidget(window);
    centralWidget->setObjectName("centralWidget");
    verticalLayout_2 = new QVBoxLayout(centralWidget);
    verticalLayout_2->setSpacing(6);
    verticalLayout_2->setContentsMargins(11, 11, 11, 11);
    verticalLayout_2->setObjectName("verticalLayout_2");
    verticalLayout = new QVBoxLayout();
    verticalLayout->setSpacing(6);
    verticalLayout->setObjectName("verticalLayout");
    horizontalLayout = new QHBoxLayout();
    horizontalLayout->setSpacing(6);
    horizontalLayout->setObjectName("horizontalLayout");

    stopButton =
        addIconButton(centralWidget, horizontalLayout, "stopButton", ":/Icons/images/stop.png");
    pauseButton =
        addIconButton(centralWidget, horizontalLayout, "pauseButton", ":/Icons/images/pause.png");
    playButton =
        addIconButton(centralWidget, horizontalLayout, "playButton", ":/Icons/images/play.png");
    previousButton = addIconButton(centralWidget, horizontalLayout, "previousButton",
                                   ":/Icons/images/previous.png");
    nextButton =
        addIconButton(centralWidget, horizontalLayout, "nextButton", ":/Icons/images/next.png");

    seekBar = new QSlider(centralWidget);
    seekBar->setObjectName("seekBar");
    seekBar->setMaximum(99);
    seekBar->setOrientation(Qt::Horizontal);
    horizontalLayout->addWidget(seekBar);

    verticalLayout->addLayout(horizontalLayout);

    listFiles = new Playlist(centralWidget);
    listFiles->setObjectName("listFiles");
    QFont font;
    font.setFamilies({QString::fromLatin1("Arial")});
    font.setPointSize(10);
    font.setBold(true);
    listFiles->setFont(font);
    listFiles->setStyleSheet(
        QString::fromLatin1("background-color: rgb(0, 0, 0);\ncolor: rgb(255, 255, 255);"));
    verticalLayout->addWidget(listFiles);

    verticalLayout_2->addLayout(verticalLayout);
    window->setCentralWidget(centralWidget);

    menuBar = new QMenuBar(window);
    menuBar->setObjectName("menuBar");
    menuBar->setGeometry(QRect(0, 0, 700, 22));
    menuFile = new QMenu(menuBar);
    menuFile->setObjectName("menuFile");
    menuPlayback = new QMenu(menuBar);
    menuPlayback->setObjectName("menuPlayback");
    menuHelp = new QMenu(menuBar);
    menuHelp->setObjectName("menuHelp");
    window->setMenuBar(menuBar);

    statusBar = new QStatusBar(window);
    statusBar->setObjectName("statusBar");
    window->setStatusBar(statusBar);

    menuBar->addAction(menuFile->menuAction());
    menuBar->addAction(menuPlayback->menuAction());
    menuBar->addAction(menuHelp->menuAction());
    menuFile->addAction(menuAddFiles);
    menuPlayback->addAction(menuStop);
    menuPlayback->addAction(menuPause);
    menuPlayback->addAction(menuPlay);
    menuPlayback->addAction(menuPrevious);
    menuPlayback->addAction(menuNext);
    menuHelp->addAction(menuAboutBrisnak);

    RetranslateForm(window);
    QMetaObject::connectSlotsByName(window);
}

void MainWindowForm::RetranslateForm(QMainWindow* window)
{
    window->setWindowTitle(QString());
    menuAddFiles->setText(tr("Add files ..."));
    menuAddFiles->setToolTip(tr("Add files ..."));
    menuStop->setText(tr("Stop"));
    menuPause->setText(tr("Pause"));
    menuPlay->setText(tr("Play"));
    menuPrevious->setText(tr("Previous"));
    menuNext->setText(tr("Next"));
    menuAboutBrisnak->setText(tr("About Brisnak"));
    stopButton->setToolTip(tr("Stop"));
    stopButton->setText(QString());
    pauseButton->setToolTip(tr("Pause"));
    pauseButton->setText(QString());
    playButton->setToolTip(tr("Play"));
    playButton->setText(QString());
    previousButton->setToolTip(tr("Previous"));
    previousButton->setText(QString());
    nextButton->setToolTip(tr("Next"));
    nextButton->setText(QString());
    menuFile->setTitle(tr("File"));
    menuPlayback->setTitle(tr("Playback"));
    menuHelp->setTitle(tr("Help"));

    // What assistive technology (a screen reader) names the controls by; nothing of it is seen.
    window->setAccessibleName(tr("Brisnak"));
    stopButton->setAccessibleName(tr("Stop"));
    pauseButton->setAccessibleName(tr("Pause"));
    playButton->setAccessibleName(tr("Play"));
    previousButton->setAccessibleName(tr("Previous"));
    previousButton->setAccessibleDescription(tr("Plays the track above in the playlist"));
    nextButton->setAccessibleName(tr("Next"));
    nextButton->setAccessibleDescription(tr("Plays the track below in the playlist"));
    seekBar->setAccessibleName(tr("Position"));
    seekBar->setAccessibleDescription(tr("Drag and let go to play from another point"));
    listFiles->setAccessibleName(tr("Playlist"));
}
