// The Windows platform's own cases: the event loop's wait, and the working directory's choice.
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

TEST(WorkingDirectoryTest, TheProgramsFolderWhenWritableElseTheLocalApplicationDataFolder) {
    EXPECT_EQ(ChooseWorkingDirectory("C:\\pw", true, "D:\\x", nullptr) + "|" +
                  ChooseWorkingDirectory("C:\\pw", false, "D:\\x", nullptr) + "|" +
                  ChooseWorkingDirectory("", true, "\\\\srv\\x", nullptr) + "|" +
                  ChooseWorkingDirectory("C:\\pw", false, "x", nullptr),
              "C:\\pw|D:\\x\\Portweave|\\\\srv\\x\\Portweave|");
}

} // namespace
