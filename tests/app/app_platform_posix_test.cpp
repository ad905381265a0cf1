// The POSIX platform's own cases: locks and sockets that a process ending without cleaning up
// leaves behind, and the working directory's choice.
#include "app/core/app_platform.h"
#include "tests/app/app_test_util.h"

#include <gtest/gtest.h>

#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

namespace apptest {

bool WaitReadable(int fd, int timeoutMs) {
    pollfd readable{fd, POLLIN, 0};
    return poll(&readable, 1, timeoutMs) == 1;
}

} // namespace apptest

namespace {

using namespace apptest;

template <class Child>
bool InChild(Child child) { // true when `child` returns true in a forked process
    const pid_t pid = fork();
    if (pid == 0) {
        _exit(child() ? 0 : 1);
    }
    int status = 0;
    return waitpid(pid, &status, 0) == pid && WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

TEST(InstanceLockTest, OneHolderAtATimeAndALockOfADeadProcessIsFree) {
    testsupport::TempDir dir;
    const std::string path = (dir / "lock").string();
    // A process that took the lock and ended without letting go, as a crash would.
    ASSERT_TRUE(InChild([&] { return (new InstanceLock)->acquire(path) == LockResult::Acquired; }));
    InstanceLock first, second;
    ASSERT_EQ(first.acquire(path), LockResult::Acquired);
    EXPECT_EQ(second.acquire(path), LockResult::HeldByOther);
    EXPECT_TRUE(InChild([&] { return InstanceLock().acquire(path) == LockResult::HeldByOther; }));
    EXPECT_TRUE(first.held() && !second.held());
    first.release();
    EXPECT_TRUE(second.acquire(path) == LockResult::Acquired && !first.held());
}

TEST(InstanceChannelTest, TheSocketOfACrashedInstanceIsReplaced) {
    testsupport::TempDir dir;
    const std::string path = InstanceChannelPath((dir / "lock").string());
    ASSERT_TRUE(InChild([&] { return (new InstanceChannel)->listen(path); }));
    EXPECT_TRUE(std::filesystem::exists(path) && !AskRunningInstanceToShow(path, 0));
    InstanceChannel running;
    EXPECT_TRUE(running.listen(path));
}

TEST(WorkingDirectoryTest, TheProgramsDirectoryWhenWritableElseTheDataDirectory) {
    EXPECT_EQ(ChooseWorkingDirectory("/opt/pw", true, "/x", "/h") + "|" +
                  ChooseWorkingDirectory("/opt/pw", false, "/x", "/h") + "|" +
                  ChooseWorkingDirectory("", true, "/x", nullptr) + "|" +
                  ChooseWorkingDirectory("/opt/pw", false, nullptr, "/h") + "|" +
                  ChooseWorkingDirectory("/opt/pw", false, "x", "h"),
              "/opt/pw|/x/portweave|/x/portweave|/h/.local/share/portweave|");
}

} // namespace
