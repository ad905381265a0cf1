// The single-instance lock, the working directory choice and the termination signal bridge.
#include "app/core/app_platform.h"
#include "tests/app/app_test_util.h"

#include <gtest/gtest.h>

#include <csignal>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

using namespace pw::app;
using apptest::TempDir;

TEST(InstanceLockTest, PathFollowsTheRuntimeDirectory) {
    EXPECT_EQ(InstanceLockPath("/run/user/1000", 1000), "/run/user/1000/PortweaveReenterCheck");
    EXPECT_EQ(InstanceLockPath(nullptr, 1000), "/tmp/PortweaveReenterCheck-1000");
    EXPECT_EQ(InstanceLockPath("", 7), "/tmp/PortweaveReenterCheck-7");
    EXPECT_EQ(InstanceLockPath("relative", 7), "/tmp/PortweaveReenterCheck-7");
}

TEST(InstanceLockTest, OneHolderAtATime) {
    TempDir dir;
    const std::string path = (dir / "lock").string();
    InstanceLock first;
    ASSERT_EQ(first.acquire(path), LockResult::Acquired);
    {
        InstanceLock second;
        EXPECT_EQ(second.acquire(path), LockResult::HeldByOther);
        EXPECT_FALSE(second.held());
    }
    // Another process sees it held too, and gets it once the first lets go.
    const pid_t child = fork();
    if (child == 0) {
        InstanceLock other;
        _exit(other.acquire(path) == LockResult::HeldByOther ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    first.release();
    InstanceLock third;
    EXPECT_EQ(third.acquire(path), LockResult::Acquired);
}

TEST(InstanceLockTest, ALockHeldByAProcessThatDiedIsFree) {
    TempDir dir;
    const std::string path = (dir / "lock").string();
    const pid_t child = fork();
    if (child == 0) {
        InstanceLock lock;
        if (lock.acquire(path) != LockResult::Acquired) {
            _exit(1);
        }
        _exit(0); // ends without releasing, as a crash would
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    InstanceLock lock;
    EXPECT_EQ(lock.acquire(path), LockResult::Acquired);
}

TEST(InstanceLockTest, ASymbolicLinkInPlaceOfTheLockIsRefused) {
    TempDir dir;
    const std::string target = (dir / "elsewhere").string();
    const std::string path = (dir / "lock").string();
    ASSERT_EQ(symlink(target.c_str(), path.c_str()), 0);
    InstanceLock lock;
    EXPECT_EQ(lock.acquire(path), LockResult::Unavailable);
    EXPECT_FALSE(std::filesystem::exists(target));
}

TEST(WorkingDirectoryTest, TheProgramsDirectoryWhenWritableElseTheDataDirectory) {
    EXPECT_EQ(ChooseWorkingDirectory("/opt/pw", true, "/x/data", "/home/u"), "/opt/pw");
    EXPECT_EQ(ChooseWorkingDirectory("/usr/bin", false, "/x/data", "/home/u"), "/x/data/portweave");
    EXPECT_EQ(ChooseWorkingDirectory("/usr/bin", false, nullptr, "/home/u"),
              "/home/u/.local/share/portweave");
    EXPECT_EQ(ChooseWorkingDirectory("/usr/bin", false, "rel", "/home/u"),
              "/home/u/.local/share/portweave");
    EXPECT_EQ(ChooseWorkingDirectory("", true, "/x/data", nullptr), "/x/data/portweave");
    EXPECT_EQ(ChooseWorkingDirectory("/usr/bin", false, nullptr, nullptr), "");

    TempDir dir;
    EXPECT_TRUE(IsWritableDirectory(dir.str()));
    EXPECT_FALSE(IsWritableDirectory((dir / "missing").string()));
    EXPECT_FALSE(IsWritableDirectory(""));
    EXPECT_FALSE(ExecutableDirectory().empty());
}

int g_previousCalls = 0;
void PreviousHandler(int) {
    ++g_previousCalls;
}

TEST(SignalBridgeTest, TerminationSignalsBecomeRequests) {
    g_previousCalls = 0;
    struct sigaction previous {};
    previous.sa_handler = PreviousHandler;
    sigemptyset(&previous.sa_mask);
    ASSERT_EQ(sigaction(SIGHUP, &previous, nullptr), 0);

    SignalBridge bridge;
    ASSERT_TRUE(bridge.install());
    ASSERT_GE(bridge.readFd(), 0);
    EXPECT_EQ(bridge.takeSignal(), 0);
    ASSERT_EQ(raise(SIGTERM), 0);
    ASSERT_EQ(raise(SIGINT), 0);
    ASSERT_EQ(raise(SIGHUP), 0);
    EXPECT_EQ(bridge.takeSignal(), SIGTERM);
    EXPECT_EQ(bridge.takeSignal(), SIGINT);
    EXPECT_EQ(bridge.takeSignal(), SIGHUP);
    EXPECT_EQ(bridge.takeSignal(), 0);
    EXPECT_EQ(g_previousCalls, 0);

    bridge.uninstall();
    EXPECT_EQ(bridge.readFd(), -1);
    ASSERT_EQ(raise(SIGHUP), 0);
    EXPECT_EQ(g_previousCalls, 1); // the earlier handler is back

    // Installing again starts clean.
    ASSERT_TRUE(bridge.install());
    EXPECT_EQ(bridge.takeSignal(), 0);
    ASSERT_EQ(raise(SIGTERM), 0);
    EXPECT_EQ(bridge.takeSignal(), SIGTERM);
    bridge.uninstall();
    signal(SIGHUP, SIG_DFL);
}

} // namespace
