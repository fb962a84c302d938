// Brisnak's start-up, built as the program's main builds it: one MainWindow, shown, then the loop.
#include "BenchClock.h"
#include "FirstPaintApplication.h"
#include "MainWindow.h"

int main(int argc, char* argv[])
{
    BenchClock::mark("main");
    FirstPaintApplication app(argc, argv);
    BenchClock::mark("application");
    MainWindow window;
    BenchClock::mark("window");
    app.watch(&window);
    window.show();
    return app.exec();
}
