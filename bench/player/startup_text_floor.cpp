// The floor for start-up: an empty QMainWindow that shows some text, a menu bar with three menus
// and a status bar with a label. Any window with text loads the font database first, which the
// empty window never does; the player's start-up is held against this one. The first paint is
// noted by the driver plugin (tests/support/DriverPlugin.h).
#include <QApplication>
#include <QLabel>
#include <QMainWindow>
#include <QMenuBar>
#include <QStatusBar>

int main(int argc, char* argv[])
{
    QApplication app(argc, argv);
    QMainWindow window;
    window.resize(700, 419);
    window.menuBar()->addMenu(QStringLiteral("File"));
    window.menuBar()->addMenu(QStringLiteral("Playback"));
    window.menuBar()->addMenu(QStringLiteral("Help"));
    window.statusBar()->addPermanentWidget(new QLabel(QStringLiteral("Ready"), &window), 200);
    window.show();
    return app.exec();
}
