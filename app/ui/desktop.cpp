// The desktop application: one instance per user, the working directory, then the window's run.
#include "app/cli/program.h"
#include "app/core/app_platform.h"
#include "app/ui/application.h"
#include "base/platform.h"

#include <QApplication>

#include <vector>

namespace pw::app {

int RunDesktop(const char* program, const CommandLine& line) {
    InstanceLock lock;
    switch (lock.acquire(InstanceLockPath())) {
    case LockResult::Acquired:
        break;
    case LockResult::HeldByOther:
        return 0; // the running instance is left alone
    case LockResult::Unavailable:
        diag("the single-instance lock cannot be taken; running without it");
        break;
    }
    if (line.dir.empty()) {
        (void)EnterWorkingDirectory();
    } else if (std::string error; !EnterGivenDirectory(line.dir, error)) {
        diag(error.c_str());
        return EXIT_REFUSED;
    }

    // Installed before anything can start a thread, and before the window exists: a signal that
    // arrives during start-up ends the program in order as soon as the event loop runs.
    SignalBridge bridge;
    if (!bridge.install()) {
        diag("termination signals cannot be caught; they will end the program at once");
    }

    // The toolkit sees the program's name and its own options only.
    std::vector<std::string> args{program};
    args.insert(args.end(), line.desktopArgs.begin(), line.desktopArgs.end());
    std::vector<char*> argv;
    for (std::string& arg : args) {
        argv.push_back(arg.data());
    }
    argv.push_back(nullptr);
    int argc = static_cast<int>(args.size());
    QApplication qapp(argc, argv.data());
    QApplication::setApplicationName(QStringLiteral("portweave"));
    QApplication::setQuitOnLastWindowClosed(false);

    Application app;
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

} // namespace pw::app
