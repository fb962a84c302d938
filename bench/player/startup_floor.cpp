// The floor for start-up: the least a Qt 6 Widgets program does to show an empty main window.
#include "BenchClock.h"
#include "FirstPaintApplication.h"

#include <QMainWindow>

int main(int argc, char* argv[])
{
    BenchClock::mark("main");
    FirstPaintApplication app(argc, argv);
    BenchClock::mark("application");
    QMainWindow window;
    BenchClock::mark("window");
    app.watch(&window);
    window.show();
    return app.exec();
}
