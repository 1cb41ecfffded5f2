// Shutdown and clean-up under Wine: the cost of deleting, a directory that stays in use, the 5 s
// grace for a running child, the events the handler answers, and the handle shared by two threads.
#include <gtest/gtest.h>

#include <chrono>
#include <random>
#include <thread>

#include "launcher/cleanup.h"
#include "launcher/process_state.h"
#include "tests/support/self_process.h"

namespace fs = std::filesystem;
using testing_support::quote_argument;
using testing_support::self_path;
using testing_support::temp_directory;
using testing_support::write_file;

// Arguments: MILLISECONDS EXIT-CODE.
TAVRIN_SCENARIO(exit_after)
{
    Sleep(static_cast<DWORD>(_wtoi(argv[1])));
    return _wtoi(argv[2]);
}

namespace {

struct counts {
    LONG deletes, tests, closes;
};

counts now() { return {cleanup_delete_requests, cleanup_existence_tests, cleanup_handles_closed}; }

counts since(const counts& before)
{
    counts after = now();
    return {after.deletes - before.deletes, after.tests - before.tests, after.closes - before.closes};
}

// Points the clean-up at `directory`, as the launch sequence leaves things once unpacking started.
void prepare(const fs::path& directory, unsigned char started = 1)
{
    wcscpy(unpack_directory, directory.wstring().c_str());
    unpack_started = started;
    child_process_handle = NULL;
}

void fill(const fs::path& directory)
{
    fs::create_directories(directory / L"lib" / L"deep");
    write_file(directory / L"app.dll", "dll");
    write_file(directory / L"lib" / L"deep" / L"data.bin", "data");
}

// A child copy of this executable that sleeps, then exits with `code`.
PROCESS_INFORMATION start_child(unsigned milliseconds, unsigned code)
{
    std::wstring self = self_path();
    std::wstring line = quote_argument(self) + L" --scenario exit_after " + std::to_wstring(milliseconds) + L" " +
                        std::to_wstring(code);
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION info = {};
    EXPECT_TRUE(CreateProcessW(self.c_str(), line.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup,
                               &info));
    CloseHandle(info.hThread);
    return info;
}

// A second handle to the same process, kept by the test as the launch sequence keeps its own.
HANDLE duplicate(HANDLE process)
{
    HANDLE copy = nullptr;
    DuplicateHandle(GetCurrentProcess(), process, GetCurrentProcess(), &copy, 0, FALSE, DUPLICATE_SAME_ACCESS);
    return copy;
}

DWORD exit_code_of(HANDLE process)
{
    WaitForSingleObject(process, 30000);
    DWORD code = 12345;
    GetExitCodeProcess(process, &code);
    return code;
}

}  // namespace

TEST(Cleanup, DeletesTheTreeAndStopsOnceItIsGone)
{
    temp_directory temp;
    fs::path directory = temp.path() / L"onefile";
    fill(directory);
    prepare(directory);
    counts before = now();
    cleanup_child_and_directory();
    EXPECT_FALSE(fs::exists(directory));
    counts used = since(before);
    EXPECT_EQ(used.deletes, 1);
    EXPECT_EQ(used.tests, 1);

    // Already gone: one delete call, one attribute test.
    before = now();
    cleanup_child_and_directory();
    used = since(before);
    EXPECT_EQ(used.deletes, 1);
    EXPECT_EQ(used.tests, 1);
    EXPECT_EQ(used.closes, 0);
}

TEST(Cleanup, DirectoryInUseIsTried21TimesAndLeft)
{
    temp_directory temp;
    fs::path directory = temp.path() / L"onefile";
    fill(directory);
    // Open without delete sharing: the file, and so the directory, cannot go.
    HANDLE held = CreateFileW((directory / L"app.dll").c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                              nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(held, INVALID_HANDLE_VALUE);
    prepare(directory);
    counts before = now();
    auto start = std::chrono::steady_clock::now();
    cleanup_child_and_directory();
    auto elapsed = std::chrono::steady_clock::now() - start;
    counts used = since(before);
    EXPECT_EQ(used.deletes, 21);
    EXPECT_EQ(used.tests, 20);
    // Twenty pauses of 100 ms: about 2 s, with room for a slow machine.
    EXPECT_GE(elapsed, std::chrono::milliseconds(1900));
    EXPECT_LT(elapsed, std::chrono::seconds(30));
    EXPECT_TRUE(fs::exists(directory / L"app.dll"));
    CloseHandle(held);
}

TEST(Cleanup, PathNamingAFileEndsTheRetriesAtOnce)
{
    temp_directory temp;
    fs::path file = temp.path() / L"onefile";
    write_file(file, "not a directory");
    HANDLE held = CreateFileW(file.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(held, INVALID_HANDLE_VALUE);
    prepare(file);
    counts before = now();
    cleanup_child_and_directory();
    counts used = since(before);
    EXPECT_EQ(used.deletes, 1);
    EXPECT_EQ(used.tests, 1);
    CloseHandle(held);
}

TEST(Cleanup, ChildStillRunningAfterTheGraceIsTerminatedWithZero)
{
    temp_directory temp;
    fs::path directory = temp.path() / L"onefile";
    fill(directory);
    prepare(directory);
    PROCESS_INFORMATION child = start_child(120000, 42);
    HANDLE own = duplicate(child.hProcess);
    child_process_handle = child.hProcess;
    auto start = std::chrono::steady_clock::now();
    cleanup_child_and_directory();
    auto elapsed = std::chrono::steady_clock::now() - start;
    EXPECT_EQ(WaitForSingleObject(own, 5000), WAIT_OBJECT_0);
    EXPECT_EQ(exit_code_of(own), 0u);
    // It was given its 5 s first.
    EXPECT_GE(elapsed, std::chrono::milliseconds(4500));
    EXPECT_FALSE(fs::exists(directory));
    CloseHandle(own);
}

TEST(Cleanup, HandlerRunsTheCleanUpForItsEventsOnlyAndNeverHandlesThem)
{
    temp_directory temp;
    PROCESS_INFORMATION child = start_child(0, 7);
    WaitForSingleObject(child.hProcess, 30000);
    HANDLE own = duplicate(child.hProcess);

    for (DWORD event : {3u, 4u, 7u, 100u, 0xFFFFFFFFu}) {
        fs::path directory = temp.path() / (L"ignored" + std::to_wstring(event));
        fill(directory);
        prepare(directory);
        child_process_handle = child.hProcess;
        counts before = now();
        EXPECT_FALSE(console_ctrl_handler(event));
        counts used = since(before);
        EXPECT_EQ(used.deletes + used.tests + used.closes, 0) << event;
        EXPECT_EQ(child_process_handle, child.hProcess);
        EXPECT_TRUE(fs::exists(directory / L"app.dll"));
    }

    for (DWORD event : {CTRL_C_EVENT, CTRL_BREAK_EVENT, CTRL_CLOSE_EVENT, CTRL_LOGOFF_EVENT, CTRL_SHUTDOWN_EVENT}) {
        fs::path directory = temp.path() / (L"handled" + std::to_wstring(event));
        fill(directory);
        prepare(directory);
        if (event == CTRL_C_EVENT) child_process_handle = child.hProcess;  // ended already: no wait
        EXPECT_FALSE(console_ctrl_handler(event));
        EXPECT_FALSE(fs::exists(directory)) << event;
        EXPECT_EQ(child_process_handle, nullptr);
    }
    EXPECT_EQ(exit_code_of(own), 7u);  // not terminated
    CloseHandle(own);

    // Before unpacking has started there is nothing to delete.
    fs::path untouched = temp.path() / L"not_started";
    fill(untouched);
    prepare(untouched, 0);
    counts before = now();
    EXPECT_FALSE(console_ctrl_handler(CTRL_C_EVENT));
    EXPECT_EQ(since(before).deletes, 0);
    EXPECT_TRUE(fs::exists(untouched / L"app.dll"));
}

TEST(Cleanup, TwoThreadsCleaningUpAtOnceCloseTheHandleOnce)
{
    // Both threads find the child running: only one may wait on its handle and close it. The child
    // ends within its 5 s and keeps its own exit code.
    temp_directory temp;
    fs::path directory = temp.path() / L"onefile";
    fill(directory);
    prepare(directory);
    PROCESS_INFORMATION child = start_child(700, 42);
    HANDLE own = duplicate(child.hProcess);
    child_process_handle = child.hProcess;
    counts before = now();
    std::thread handler([] { console_ctrl_handler(CTRL_CLOSE_EVENT); });
    cleanup_child_and_directory();
    handler.join();
    EXPECT_EQ(since(before).closes, 1);
    EXPECT_EQ(exit_code_of(own), 42u);
    EXPECT_FALSE(fs::exists(directory));
    CloseHandle(own);
}

TEST(Cleanup, MainThreadPathAndHandlerTogetherAreSafe)
{
    // The launch sequence's end, as it runs on the main thread: wait on its own handle, read the
    // exit code, take whatever is left in the slot, close it, clean up. The handler runs at random
    // moments against it. The slot's handle must be closed once, by one of them, and the main
    // thread must always read the child's real exit code.
    std::mt19937 generator(3);
    temp_directory temp;
    for (int round = 0; round < 25; ++round) {
        fs::path directory = temp.path() / std::to_wstring(round);
        fill(directory);
        prepare(directory);
        PROCESS_INFORMATION child = start_child(generator() % 60, 42);
        HANDLE own = duplicate(child.hProcess);
        child_process_handle = child.hProcess;
        counts before = now();
        unsigned delay = generator() % 80;
        std::thread handler([delay] {
            Sleep(delay);
            console_ctrl_handler(CTRL_C_EVENT);
        });

        WaitForSingleObject(own, INFINITE);
        DWORD code = 1;
        if (!GetExitCodeProcess(own, &code)) code = 1;
        CloseHandle(own);
        LONG main_closes = 0;
        if (HANDLE left = InterlockedExchangePointer(&child_process_handle, NULL)) {
            CloseHandle(left);
            main_closes = 1;
        }
        cleanup_child_and_directory();
        handler.join();

        EXPECT_EQ(code, 42u) << round;
        EXPECT_EQ(since(before).closes + main_closes, 1) << round;
        EXPECT_EQ(child_process_handle, nullptr);
        EXPECT_FALSE(fs::exists(directory)) << round;
    }
}
