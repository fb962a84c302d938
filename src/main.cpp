#include "MainWindow.h"
#include "MprisService.h"

#include <QApplication>

int main(int argc, char* argv[])
{
    QApplication app(argc, argv);
    MainWindow window;
    // Media keys and the desktop's media controls; without a session bus, nothing happens here.
    MprisService mpris(window, QDBusConnection::sessionBus());
    window.show();
    return app.exec();
}
