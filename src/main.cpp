#include "AfterFirstFrame.h"
#include "MainWindow.h"
#include "MprisService.h"
#include "TerminationSignals.h"

#include <QApplication>
#include <memory>

int main(int argc, char* argv[])
{
    // The name a Wayland shell matches to brisnak.desktop (icon and name in the dock).
    QGuiApplication::setDesktopFileName(QStringLiteral("brisnak"));
    QApplication app(argc, argv);
    MainWindow window;
    window.show();
    // A session that ends, Ctrl+C or a closed terminal close the window as its close button does.
    TerminationSignals::closeOnSignals(app);
    // Media keys and the desktop's media controls, once the window is up: joining the session bus
    // waits on the bus daemon. Without a session bus nothing happens here.
    std::unique_ptr<MprisService> mpris;
    AfterFirstFrame::run(window, [&] {
        mpris = std::make_unique<MprisService>(window, QDBusConnection::sessionBus());
    });
    return app.exec();
}
