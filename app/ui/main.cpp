// Portweave's entry point: one instance, the working directory, then the application's run.
#include "app/core/app_platform.h"
#include "app/ui/application.h"
#include "base/platform.h"

#include <QApplication>

int main(int argc, char** argv) {
    pw::app::InstanceLock lock;
    switch (lock.acquire(pw::app::InstanceLockPath())) {
    case pw::app::LockResult::Acquired:
        break;
    case pw::app::LockResult::HeldByOther:
        return 0; // the running instance is left alone
    case pw::app::LockResult::Unavailable:
        pw::diag("the single-instance lock cannot be taken; running without it");
        break;
    }
    (void)pw::app::EnterWorkingDirectory();

    // Installed before anything can start a thread, and before the window exists: a signal that
    // arrives during start-up ends the program in order as soon as the event loop runs.
    pw::app::SignalBridge bridge;
    if (!bridge.install()) {
        pw::diag("termination signals cannot be caught; they will end the program at once");
    }

    QApplication qapp(argc, argv);
    QApplication::setApplicationName(QStringLiteral("portweave"));
    QApplication::setQuitOnLastWindowClosed(false);

    pw::app::Application app;
    if (!app.start()) {
        return 0;
    }
    if (bridge.readFd() >= 0) {
        app.watchSignals(bridge.readFd(), [&bridge] { (void)bridge.takeSignal(); });
    }
    QApplication::exec();
    app.finish();
    return 0;
}
