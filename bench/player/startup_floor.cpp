// A floor for start-up: the least a Qt 6 Widgets program does to show an empty main window. The
// first paint is noted by the driver plugin (tests/support/DriverPlugin.h), loaded as into every
// program the start-up benchmark compares.
#include <QApplication>
#include <QMainWindow>

int main(int argc, char* argv[])
{
    QApplication app(argc, argv);
    QMainWindow window;
    window.show();
    return app.exec();
}
