// A second floor for start-up: an empty QMainWindow that shows some text, a menu bar with three
// menus and a status bar with a label. Any window with text loads the font database first,
// which the empty window never does; this tells that cost apart from the player's own.
#include "BenchClock.h"
#include "FirstPaintApplication.h"

#include <QLabel>
#include <QMainWindow>
#include <QMenuBar>
#include <QStatusBar>

int main(int argc, char* argv[])
{
    BenchClock::mark("main");
    FirstPaintApplication app(argc, argv);
    BenchClock::mark("application");
    QMainWindow window;
    window.resize(700, 419);
    window.menuBar()->addMenu(QStringLiteral("File"));
    window.menuBar()->addMenu(QStringLiteral("Playback"));
    window.menuBar()->addMenu(QStringLiteral("Help"));
    window.statusBar()->addPermanentWidget(new QLabel(QStringLiteral("Ready"), &window), 200);
    BenchClock::mark("window");
    app.watch(&window);
    window.show();
    return app.exec();
}
