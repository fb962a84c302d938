// The window's widget tree: a plain record of non-owning pointers, each named after its object.
#pragma once

class QAction;
class QHBoxLayout;
class QListWidget;
class QMainWindow;
class QMenu;
class QMenuBar;
class QPushButton;
class QSlider;
class QStatusBar;
class QVBoxLayout;
class QWidget;

class MainWindowForm
{
public:
    QAction* menuAddFiles = nullptr;
    QAction* menuStop = nullptr;
    QAction* menuPause = nullptr;
    QAction* menuPlay = nullptr;
    QAction* menuPrevious = nullptr;
    QAction* menuNext = nullptr;
    QAction* menuAboutBrisnak = nullptr;
    QWidget* centralWidget = nullptr;
    QVBoxLayout* verticalLayout_2 = nullptr;
    QVBoxLayout* verticalLayout = nullptr;
    QHBoxLayout* horizontalLayout = nullptr;
    QPushButton* stopButton = nullptr;
    QPushButton* pauseButton = nullptr;
    QPushButton* playButton = nullptr;
    QPushButton* previousButton = nullptr;
    QPushButton* nextButton = nullptr;
    QSlider* seekBar = nullptr;
    QListWidget* listFiles = nullptr;
    QMenuBar* menuBar = nullptr;
    QMenu* menuFile = nullptr;
    QMenu* menuPlayback = nullptr;
    QMenu* menuHelp = nullptr;
    QStatusBar* statusBar = nullptr;

    // Builds the tree on `window`, assigns the texts and binds the on_<object>_<signal> slots.
    void SetupForm(QMainWindow* window);
    void RetranslateForm(QMainWindow* window);
};
