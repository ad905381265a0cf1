// The Windows platform's own cases: the running instance's pipe that no other listener joins, and
// the working directory's choice.
#include "app/core/app_platform.h"
#include "tests/app/app_test_util.h"

#include <gtest/gtest.h>

#include <windows.h>

namespace apptest {

bool WaitReadable(int fd, int timeoutMs) {
    const auto handle = reinterpret_cast<HANDLE>(static_cast<std::intptr_t>(fd));
    return WaitForSingleObject(handle, static_cast<DWORD>(timeoutMs)) == WAIT_OBJECT_0;
}

} // namespace apptest

namespace {

using namespace apptest;

TEST(InstanceChannelTest, NoOtherListenerJoinsTheRunningInstancesPipe) {
    testsupport::TempDir dir;
    const std::string path = InstanceChannelPath((dir / "lock").string());
    InstanceChannel running, other;
    ASSERT_TRUE(running.listen(path));
    // Windows refuses to claim a pipe's name twice; Wine lets anyone add instances to a pipe.
    if (GetProcAddress(GetModuleHandleA("ntdll.dll"), "wine_get_version") == nullptr) {
        EXPECT_FALSE(other.listen(path) || other.readFd() >= 0);
    }
    EXPECT_FALSE(WaitReadable(running.readFd(), 0)); // nobody asked yet
}

TEST(WorkingDirectoryTest, TheProgramsFolderWhenWritableElseTheLocalApplicationDataFolder) {
    EXPECT_EQ(ChooseWorkingDirectory("C:\\pw", true, "D:\\x", nullptr) + "|" +
                  ChooseWorkingDirectory("C:\\pw", false, "D:\\x", nullptr) + "|" +
                  ChooseWorkingDirectory("", true, "\\\\srv\\x", nullptr) + "|" +
                  ChooseWorkingDirectory("C:\\pw", false, "x", nullptr),
              "C:\\pw|D:\\x\\Portweave|\\\\srv\\x\\Portweave|");
}

} // namespace
