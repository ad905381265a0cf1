// The desktop application: one instance per user, the working directory, then the window's run.
#include "app/cli/program.h"
#include "app/core/app_platform.h"
#include "app/ui/application.h"
#include "base/platform.h"

#include <QApplication>

#include <vector>

namespace pw::app {

namespace {

// How long a second start waits for the running instance to take its request: long enough for
// an instance that is itself still starting.
constexpr int SHOW_REQUEST_WAIT_MS = 3000;

} // namespace

int RunDesktop(const char* program, const CommandLine& line) {
    const std::string lockPath = InstanceLockPath();
    InstanceLock lock;
    InstanceChannel channel;
    switch (lock.acquire(lockPath)) {
    case LockResult::Acquired:
        if (!channel.listen(InstanceChannelPath(lockPath))) {
            diag("a second start cannot reach this instance; it will just end");
        }
        break;
    case LockResult::HeldByOther:
        // The running instance brings its window to the front; this one ends.
        (void)AskRunningInstanceToShow(InstanceChannelPath(lockPath), SHOW_REQUEST_WAIT_MS);
        return 0;
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

    // A headless service may run in this directory; both would write its data file.
    InstanceLock directoryLock;
    if (AcquireDirectoryLock(directoryLock, DIRECTORY_LOCK_NAME, InstanceRole::Desktop) ==
        LockResult::HeldByOther) {
        diag("another instance is running in this directory");
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
    if (channel.readFd() >= 0) {
        app.watchShowRequests(channel.readFd(), [&channel] { return channel.takeRequests(); });
    }
    QApplication::exec();
    app.finish();
    return 0;
}

} // namespace pw::app
