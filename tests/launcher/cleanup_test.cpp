// Shutdown and clean-up under Wine: deleting, by the record of what was written or by the walk,
// staying inside the tree, a directory that stays in use, the 5 s grace for a running child, the
// events the handler answers, and the handle shared by two threads.
#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <random>
#include <sstream>
#include <thread>

#include "launcher/cache.h"
#include "launcher/child_job.h"
#include "launcher/cleanup.h"
#include "launcher/held_tree.h"
#include "base/process_state.h"
#include "packer/archive/block_writer.h"
#include "format/settings_record.h"
#include "payload/reader.h"
#include "payload/written_names.h"
#include "tests/support/packer_fixtures.h"
#include "tests/support/self_process.h"

namespace fs = std::filesystem;
using testing_support::quote_argument;
using testing_support::read_file;
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

// Points the clean-up at `directory`, as the launch sequence leaves things once unpacking started.
void prepare(const fs::path& directory, unsigned char started = 1)
{
    use_directory(directory.wstring().c_str());
    record_directory_in_use_identity();
    allow_cleanup_delete(started != 0);
}

bool read_only(const fs::path& path) { return (GetFileAttributesW(path.c_str()) & FILE_ATTRIBUTE_READONLY) != 0; }

// Whether `handle` is still open in this process.
bool is_open(HANDLE handle)
{
    DWORD flags = 0;
    return GetHandleInformation(handle, &flags) != 0;
}

void fill(const fs::path& directory)
{
    fs::create_directories(directory / L"lib" / L"deep");
    write_file(directory / L"app.dll", "dll");
    write_file(directory / L"lib" / L"deep" / L"data.bin", "data");
}

// Records the names fill() writes as unpacking records them, and seals the record.
void record_filled()
{
    begin_written_names(written_names_default_limit);
    record_written_name(L"app.dll");
    record_written_name(L"lib\\deep\\data.bin");
    seal_written_names();
}

// A child copy of this executable that sleeps, then exits with `code`.
PROCESS_INFORMATION start_child(unsigned milliseconds, unsigned code, DWORD flags = 0)
{
    std::wstring self = self_path();
    std::wstring line = quote_argument(self) + L" --scenario exit_after " + std::to_wstring(milliseconds) + L" " +
                        std::to_wstring(code);
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION info = {};
    EXPECT_TRUE(CreateProcessW(self.c_str(), line.data(), nullptr, nullptr, FALSE, flags, nullptr, nullptr, &startup,
                               &info));
    CloseHandle(info.hThread);
    return info;
}

DWORD exit_code_of(HANDLE process)
{
    WaitForSingleObject(process, 30000);
    DWORD code = 12345;
    GetExitCodeProcess(process, &code);
    return code;
}

}  // namespace

TEST(Cleanup, DeletesTheTreeAndLeavesWhatIsNotADirectory)
{
    temp_directory temp;
    fs::path directory = temp.path() / L"onefile";
    fill(directory);
    // More entries than one listing call returns, and a read-only file of the tree's own.
    for (int i = 0; i < 40; ++i) write_file(directory / L"lib" / (L"a-longer-file-name-" + std::to_wstring(i)), "");
    ASSERT_TRUE(SetFileAttributesW((directory / L"lib" / L"deep" / L"data.bin").c_str(), FILE_ATTRIBUTE_READONLY));
    prepare(directory);
    cleanup_child_and_directory();
    EXPECT_FALSE(fs::exists(directory));
    cleanup_child_and_directory();  // already gone: nothing to do, nothing breaks

    // A path that names a file ends the retries at once and leaves the file.
    fs::path file = temp.path() / L"file";
    write_file(file, "not a directory");
    prepare(file);
    cleanup_child_and_directory();
    EXPECT_TRUE(fs::exists(file));
}

TEST(Cleanup, StaysInsideTheTree)
{
    temp_directory temp;
    // Hard links in the tree to files outside it. The read-only one keeps its attribute (which all
    // its names share) and its content; under Wine 8, which cannot delete a read-only file as it is,
    // its name in the tree stays too, and so does the directory. The other loses only that name.
    fs::path kept = temp.path() / L"kept.txt", plain = temp.path() / L"plain.txt";
    write_file(kept, "kept");
    write_file(plain, "plain");
    ASSERT_TRUE(SetFileAttributesW(kept.c_str(), FILE_ATTRIBUTE_READONLY));
    fs::path directory = temp.path() / L"onefile";
    fill(directory);
    ASSERT_TRUE(CreateHardLinkW((directory / L"lib" / L"kept.txt").c_str(), kept.c_str(), nullptr));
    ASSERT_TRUE(CreateHardLinkW((directory / L"plain.txt").c_str(), plain.c_str(), nullptr));
    prepare(directory);
    cleanup_child_and_directory();
    EXPECT_TRUE(read_only(kept));
    EXPECT_EQ(read_file(kept), "kept");
    EXPECT_EQ(read_file(plain), "plain");
    EXPECT_FALSE(fs::exists(directory / L"plain.txt"));
    EXPECT_FALSE(fs::exists(directory / L"app.dll"));
    SetFileAttributesW(kept.c_str(), FILE_ATTRIBUTE_NORMAL);

    // The unpack directory renamed away after its identity was recorded, and another one made
    // under its name: neither is touched.
    fs::path replaced = temp.path() / L"replaced", moved = temp.path() / L"moved";
    fill(replaced);
    prepare(replaced);
    fs::rename(replaced, moved);
    fill(replaced);
    cleanup_child_and_directory();
    EXPECT_TRUE(fs::exists(replaced / L"lib" / L"deep" / L"data.bin"));
    EXPECT_TRUE(fs::exists(moved / L"lib" / L"deep" / L"data.bin"));

    // Wine 8 makes neither junctions nor symbolic links (CreateSymbolicLinkW does nothing,
    // FSCTL_SET_REPARSE_POINT fails), so for them, the walk's choice: a reparse point is removed,
    // never entered (nor accepted as the top); a shared read-only file keeps its attributes.
    const DWORD directory_bit = FILE_ATTRIBUTE_DIRECTORY, link = FILE_ATTRIBUTE_REPARSE_POINT,
                read_only_bit = FILE_ATTRIBUTE_READONLY;
    EXPECT_EQ(choose_cleanup_action(directory_bit, 1), cleanup_descend);
    EXPECT_EQ(choose_cleanup_action(directory_bit | link, 1), cleanup_delete);
    EXPECT_EQ(choose_cleanup_action(link, 1), cleanup_delete);
    EXPECT_EQ(choose_cleanup_action(FILE_ATTRIBUTE_ARCHIVE, 2), cleanup_delete);
    EXPECT_EQ(choose_cleanup_action(read_only_bit | link, 1), cleanup_clear_then_delete);
    EXPECT_EQ(choose_cleanup_action(read_only_bit, 2), cleanup_delete_as_is);
    EXPECT_EQ(choose_cleanup_action(read_only_bit | link | directory_bit, 3), cleanup_delete_as_is);
}

TEST(Cleanup, DirectoryInUseIsTriedForTwoSecondsAndThenLeft)
{
    temp_directory temp;
    fs::path directory = temp.path() / L"onefile";
    fill(directory);
    // Open without delete sharing: the file, and so the directory, cannot go.
    auto hold = [&] {
        return CreateFileW((directory / L"app.dll").c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                           nullptr, OPEN_EXISTING, 0, nullptr);
    };
    HANDLE held = hold();
    ASSERT_NE(held, INVALID_HANDLE_VALUE);
    prepare(directory);
    auto start = std::chrono::steady_clock::now();
    cleanup_child_and_directory();
    auto elapsed = std::chrono::steady_clock::now() - start;
    // Twenty pauses of 100 ms: about 2 s, with room for a slow machine.
    EXPECT_GE(elapsed, std::chrono::milliseconds(1900));
    EXPECT_LT(elapsed, std::chrono::seconds(30));
    EXPECT_TRUE(fs::exists(directory / L"app.dll"));
    CloseHandle(held);

    // Released part-way through the retries: the directory goes after all.
    held = hold();
    ASSERT_NE(held, INVALID_HANDLE_VALUE);
    std::thread release([held] {
        Sleep(700);
        CloseHandle(held);
    });
    cleanup_child_and_directory();
    release.join();
    EXPECT_FALSE(fs::exists(directory));
}

TEST(Cleanup, HandlerRunsTheCleanUpForItsEventsOnlyAndNeverHandlesThem)
{
    temp_directory temp;
    PROCESS_INFORMATION child = start_child(0, 7);
    WaitForSingleObject(child.hProcess, 30000);
    HANDLE own = hand_over_child(child.hProcess);

    for (DWORD event : {3u, 4u, 7u, 100u, 0xFFFFFFFFu}) {
        fs::path directory = temp.path() / (L"ignored" + std::to_wstring(event));
        fill(directory);
        prepare(directory);
        EXPECT_FALSE(console_ctrl_handler(event));
        EXPECT_TRUE(fs::exists(directory / L"app.dll")) << event;
        EXPECT_TRUE(is_open(child.hProcess)) << event;
    }

    for (DWORD event : {CTRL_C_EVENT, CTRL_BREAK_EVENT, CTRL_CLOSE_EVENT, CTRL_LOGOFF_EVENT, CTRL_SHUTDOWN_EVENT}) {
        fs::path directory = temp.path() / (L"handled" + std::to_wstring(event));
        fill(directory);
        prepare(directory);
        EXPECT_FALSE(console_ctrl_handler(event));
        EXPECT_FALSE(fs::exists(directory)) << event;
    }
    EXPECT_FALSE(is_open(child.hProcess));
    EXPECT_EQ(exit_code_of(own), 7u);  // ended by itself, not terminated
    CloseHandle(own);

    // Before unpacking has started there is nothing to delete.
    fs::path untouched = temp.path() / L"not_started";
    fill(untouched);
    prepare(untouched, 0);
    EXPECT_FALSE(console_ctrl_handler(CTRL_C_EVENT));
    EXPECT_TRUE(fs::exists(untouched / L"app.dll"));

    // A child created suspended while unpacking, an interrupt before it was resumed: it never ran,
    // so it is ended at once, without the grace that a running child gets.
    fs::path unpacking = temp.path() / L"unpacking";
    fill(unpacking);
    prepare(unpacking);
    PROCESS_INFORMATION suspended = start_child(0, 42, CREATE_SUSPENDED);
    HANDLE waited = hand_over_child(suspended.hProcess);
    auto interrupted = std::chrono::steady_clock::now();
    EXPECT_FALSE(console_ctrl_handler(CTRL_C_EVENT));
    EXPECT_LT(std::chrono::steady_clock::now() - interrupted, std::chrono::milliseconds(4500));
    EXPECT_EQ(exit_code_of(waited), 1u);
    EXPECT_FALSE(fs::exists(unpacking));
    CloseHandle(waited);

    // Once the child is starting, interrupts are its own: the parent answers them and keeps
    // everything; close still cleans up. (Last here: the mark stays for the rest of the process.)
    fs::path running = temp.path() / L"running";
    fill(running);
    prepare(running);
    mark_child_starting();
    EXPECT_TRUE(console_ctrl_handler(CTRL_C_EVENT));
    EXPECT_TRUE(console_ctrl_handler(CTRL_BREAK_EVENT));
    EXPECT_TRUE(fs::exists(running / L"app.dll"));
    EXPECT_FALSE(console_ctrl_handler(CTRL_CLOSE_EVENT));
    EXPECT_FALSE(fs::exists(running));
}

TEST(Cleanup, ChildStillRunningAfterTheGraceIsEndedWithOne)
{
    temp_directory temp;
    fs::path directory = temp.path() / L"onefile";
    fill(directory);
    prepare(directory);
    PROCESS_INFORMATION child = start_child(120000, 42);
    mark_child_starting();  // it has run
    HANDLE own = hand_over_child(child.hProcess);
    auto start = std::chrono::steady_clock::now();
    cleanup_child_and_directory();
    auto elapsed = std::chrono::steady_clock::now() - start;
    EXPECT_EQ(WaitForSingleObject(own, 5000), WAIT_OBJECT_0);
    EXPECT_EQ(exit_code_of(own), 1u);  // never 0: ended from outside is no success
    // It was given its 5 s first.
    EXPECT_GE(elapsed, std::chrono::milliseconds(4500));
    EXPECT_FALSE(fs::exists(directory));
    EXPECT_FALSE(is_open(child.hProcess));
    CloseHandle(own);
}

TEST(Cleanup, MainThreadPathAndHandlerTogetherAreSafe)
{
    // The launch sequence's end, as it runs on the main thread: hand the child over, wait on the
    // handle it gives back, read the exit code, release the slot, clean up. The handler runs at
    // random moments against it (at the first round, at once: both find the child running). The
    // slot's handle ends closed, and the main thread always reads the child's real exit code: the
    // child ends within its 5 s and is never terminated. Odd rounds delete by the record of what
    // was written, even ones walk.
    std::mt19937 generator(3);
    temp_directory temp;
    mark_child_starting();  // the children run
    for (int round = 0; round < 25; ++round) {
        fs::path directory = temp.path() / std::to_wstring(round);
        fill(directory);
        prepare(directory);
        if (round % 2 == 1) record_filled();
        else begin_written_names(0);
        PROCESS_INFORMATION child = start_child(round == 0 ? 700 : generator() % 60, 42);
        unsigned delay = round == 0 ? 0 : generator() % 80;
        HANDLE own = hand_over_child(child.hProcess);
        std::thread handler([delay] {
            Sleep(delay);
            console_ctrl_handler(CTRL_CLOSE_EVENT);
        });

        DWORD code = 1;
        ASSERT_NE(own, nullptr);
        WaitForSingleObject(own, INFINITE);
        if (!GetExitCodeProcess(own, &code)) code = 1;
        CloseHandle(own);
        release_child();
        cleanup_child_and_directory();
        handler.join();

        EXPECT_EQ(code, 42u) << round;
        EXPECT_FALSE(is_open(child.hProcess)) << round;
        EXPECT_FALSE(fs::exists(directory)) << round;
    }
    begin_written_names(0);  // unsealed: the other cases walk
}

TEST(Cleanup, DeletesByTheRecordWhateverTheApplicationChanged)
{
    // Written and recorded as unpacking does; "lib" comes back after "data", so a recorded
    // directory still holds a later name when its level is left.
    const std::vector<std::wstring> written = {L"app.dll",     L"lib\\a.txt",  L"lib\\deep\\b.bin", L"lib\\deep\\c.bin",
                                               L"data\\x.txt", L"lib\\z.txt", L"data\\more\\y.txt"};
    struct change_case {
        const char* what;
        std::function<void(const fs::path&)> change;
        unsigned serial = 0;  // serial_steps during the clean-up
        size_t limit = written_names_default_limit;
        bool deleted = true;
    };
    const change_case cases[] = {
        {"nothing changed", [](const fs::path&) {}},
        {"a file added in a recorded directory", [](const fs::path& d) { write_file(d / L"lib\\deep\\added", "+"); }},
        {"a new subdirectory with files",
         [](const fs::path& d) {
             fs::create_directories(d / L"lib\\new\\sub");
             write_file(d / L"lib\\new\\one", "1");
             write_file(d / L"lib\\new\\sub\\two", "2");
         }},
        {"a recorded file deleted", [](const fs::path& d) { fs::remove(d / L"lib\\deep\\b.bin"); }},
        {"a recorded file made read-only",
         [](const fs::path& d) { ASSERT_TRUE(SetFileAttributesW((d / L"lib\\a.txt").c_str(), FILE_ATTRIBUTE_READONLY)); }},
        {"a recorded directory replaced by a file",
         [](const fs::path& d) {
             fs::remove_all(d / L"data");
             write_file(d / L"data", "a file now");
         }},
        {"a recorded file replaced by a directory",
         [](const fs::path& d) {
             fs::remove(d / L"lib\\deep\\c.bin");
             fs::create_directories(d / L"lib\\deep\\c.bin\\inner");
             write_file(d / L"lib\\deep\\c.bin\\inner\\f", "f");
         }},
        {"the walk only", [](const fs::path&) {}, serial_cleanup},
        {"the record incomplete", [](const fs::path&) {}, 0, 0},
        {"the top swapped for another directory",
         [](const fs::path& d) {
             fs::rename(d, d.parent_path() / L"moved");
             fs::create_directories(d);
             for (const auto& name : std::vector<std::wstring>{L"app.dll", L"lib\\deep\\b.bin"}) {
                 fs::create_directories((d / name).parent_path());
                 write_file(d / name, "kept");
             }
         },
         0, written_names_default_limit, false},
    };
    unsigned saved_serial = serial_steps;
    for (const change_case& row : cases) {
        temp_directory temp;
        fs::path directory = temp.path() / L"onefile", beside = temp.path() / L"onefile-beside";
        fs::create_directories(directory);
        prepare(directory);
        begin_written_names(row.limit);
        for (const auto& name : written) {
            for (const fs::path& tree : {directory, beside}) {
                fs::create_directories((tree / name).parent_path());
                write_file(tree / name, "kept");
            }
            record_written_name(name.c_str());
        }
        seal_written_names();
        row.change(directory);
        serial_steps = row.serial;
        cleanup_child_and_directory();
        serial_steps = saved_serial;

        EXPECT_EQ(fs::exists(directory), !row.deleted) << row.what;
        // The same names next to the tree are never touched.
        for (const auto& name : written) EXPECT_EQ(read_file(beside / name), "kept") << row.what;
        if (!row.deleted) {
            EXPECT_EQ(read_file(directory / L"lib\\deep\\b.bin"), "kept") << row.what;
            for (const auto& name : written) EXPECT_EQ(read_file(temp.path() / L"moved" / name), "kept") << row.what;
        }
    }
    begin_written_names(0);  // unsealed: the other cases walk
}
