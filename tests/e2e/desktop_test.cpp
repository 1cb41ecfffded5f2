// What the person at the desktop sees: packages started as a desktop shell starts them (no
// standard handles), on a virtual display (windows.desktop runs this under xvfb-run, in a Wine
// prefix of its own): the failure box read back from its window, the progress window of a long
// start, its cancel, and the starts that show nothing. Also the windowed program entry's window.
#include <gtest/gtest.h>

#include <windows.h>
#include <commctrl.h>
#include <tlhelp32.h>

#include <filesystem>
#include <functional>
#include <random>
#include <set>

#include "format/launcher_messages.h"
#include "launcher/progress_window.h"
#include "tests/support/package_support.h"

namespace fs = std::filesystem;
using namespace package_support;
using namespace testing_support;

namespace {

#define REQUIRE_DISPLAY()                                           \
    if (_wgetenv(L"DISPLAY") == nullptr || *_wgetenv(L"DISPLAY") == 0) \
    GTEST_SKIP() << "no display (windows.desktop gives one)"

const wchar_t box_class[] = L"#32770";
const wchar_t probe_window_class[] = L"tavrin_probe_window";

std::wstring text_of(HWND window)
{
    wchar_t text[4096];
    const int length = GetWindowTextW(window, text, 4096);
    return std::wstring(text, static_cast<std::size_t>(length > 0 ? length : 0));
}

DWORD owner_of(HWND window)
{
    DWORD process = 0;
    GetWindowThreadProcessId(window, &process);
    return process;
}

// The visible top-level windows of class `kind`, of every process.
std::vector<HWND> windows_of(const wchar_t* kind)
{
    std::vector<HWND> found;
    for (HWND window = nullptr; (window = FindWindowExW(nullptr, window, kind, nullptr)) != nullptr;)
        if (IsWindowVisible(window)) found.push_back(window);
    return found;
}

// The first visible window of class `kind` within `timeout_ms` (polled every 20 ms), or nullptr once
// `process` has ended without one.
HWND wait_for(const wchar_t* kind, HANDLE process, DWORD timeout_ms = 30000)
{
    for (const DWORD start = GetTickCount(); GetTickCount() - start < timeout_ms; Sleep(20)) {
        const auto found = windows_of(kind);
        if (!found.empty()) return found.front();
        if (WaitForSingleObject(process, 0) == WAIT_OBJECT_0) break;
    }
    return nullptr;
}

// A message box read back: its title, its static text, its buttons, whether it shows an icon.
struct box_seen {
    std::wstring title, text;
    std::vector<std::wstring> buttons;
    bool icon = false;
};

box_seen read_box(HWND box)
{
    box_seen seen;
    seen.title = text_of(box);
    EnumChildWindows(
        box,
        [](HWND child, LPARAM target) -> BOOL {
            auto* seen = reinterpret_cast<box_seen*>(target);
            wchar_t kind[64];
            GetClassNameW(child, kind, 64);
            const std::wstring text = text_of(child);
            if (wcscmp(kind, L"Button") == 0) seen->buttons.push_back(text);
            else if (wcscmp(kind, L"Static") == 0 && !text.empty()) seen->text = text;
            else if (wcscmp(kind, L"Static") == 0 && SendMessageW(child, STM_GETICON, 0, 0) != 0) seen->icon = true;
            return TRUE;
        },
        reinterpret_cast<LPARAM>(&seen));
    return seen;
}

// The processes whose image is `exe`.
int processes_of(const fs::path& exe)
{
    int count = 0;
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    PROCESSENTRY32W entry = {sizeof entry};
    for (BOOL more = Process32FirstW(snapshot, &entry); more; more = Process32NextW(snapshot, &entry)) {
        HANDLE process = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, entry.th32ProcessID);
        if (process == nullptr) continue;
        wchar_t image[4096];
        DWORD size = 4096;
        if (QueryFullProcessImageNameW(process, 0, image, &size) && _wcsicmp(image, exe.c_str()) == 0) ++count;
        CloseHandle(process);
    }
    CloseHandle(snapshot);
    return count;
}

std::set<std::wstring> unpack_directory_set()
{
    auto names = unpack_directories();
    return {names.begin(), names.end()};
}

// Starts `exe` with `arguments` as a desktop shell does, `watch` running meanwhile.
run start_on_desktop(const fs::path& exe, const std::vector<std::wstring>& arguments,
                     std::function<void(HANDLE process, DWORD id)> watch, run_options options = {})
{
    options.desktop_start = true;
    options.while_running = std::move(watch);
    return start(exe, arguments, options);
}

// A package whose start takes long enough for the progress window: the probe and some thousands
// of small files (under Wine 8 each file costs some 0.5 ms to write, so that unpacking takes
// about two seconds here, far above progress_window_delay_ms on any machine of this class).
void make_slow_package(const fs::path& exe)
{
    std::mt19937 random(7);
    std::vector<tavrin::archive_entry> entries;
    entries.push_back(tavrin::archive_entry::from_file(u"probe.dll", fs::path(probe_dll)));
    for (int i = 0; i < 3000; ++i) {
        std::string content(1024, '\0');
        for (auto& byte : content) byte = static_cast<char>(random());
        const std::string name = "files\\d" + std::to_string(i % 20) + "\\f" + std::to_string(i) + ".bin";
        entries.push_back(packer_test::memory_entry(std::u16string(name.begin(), name.end()), content));
    }
    tavrin::block_options fast;
    fast.level = 1;
    make_package_of(exe, entries, fast);
}

}  // namespace

// A failure of the launcher's, started without standard streams: one box, shown once the
// clean-up has run (no unpack directory, no second instance while it is open), its text the
// message the streams would show, its title the product's; OK ends the run with exit code 2. The
// second instance's failure is shown by the parent, after its clean-up, once. No box where nobody
// would wait on it: with a usable stream (the message goes there), or TAVRIN_ONEFILE_NO_DIALOG.
TEST(DesktopFailure, AFailureWithoutStreamsShowsOneBoxAfterTheCleanUp)
{
    REQUIRE_DISPLAY();
    GetDesktopWindow();  // the desktop process holds this executable's handles, not a run's
    temp_directory dir;
    const fs::path damaged = dir.path() / L"damaged.exe", no_entry = dir.path() / L"no_entry.exe",
                   not_program = dir.path() / L"not_program.exe";
    make_package(damaged);
    damage_attached_data(damaged);
    make_package_of(no_entry, {tavrin::archive_entry::from_file(u"no_entry.dll", fs::path(no_entry_dll))});
    write_file(dir.path() / L"text.exe", "not a program");
    make_package_of(not_program, {tavrin::archive_entry::from_file(u"text.exe", dir.path() / L"text.exe")});
    set_launch_settings(not_program, {false, u"", "", true});

    struct {
        const char* what;
        fs::path exe;
        const char* message;  // the start of the message
        bool desktop;         // started without streams (else with standard output only)
        std::map<std::wstring, std::optional<std::wstring>> env;
    } cases[] = {
        {"a damaged archive (the parent's failure)", damaged, "Error, couldn't decode attached data.", true, {}},
        {"a DLL entry without run_code (the second instance's)", no_entry, "Error, DLL entry point not found.", true, {}},
        {"a program entry that Windows refuses", not_program, "Error, couldn't start the application. ([Error 193] ", true, {}},
        {"standard output usable", damaged, "Error, couldn't decode attached data.", false, {}},
        {"TAVRIN_ONEFILE_NO_DIALOG set", damaged, "Error, couldn't decode attached data.", true,
         {{L"TAVRIN_ONEFILE_NO_DIALOG", L"1"}}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        const bool box = c.desktop && c.env.empty();
        // What the streams show, for the box to match.
        auto plain = start(c.exe, {});
        const std::string streamed = plain.process.out + plain.process.err;
        ASSERT_EQ(streamed.rfind(c.message, 0), 0u) << streamed;
        const auto before = unpack_directory_set();

        std::vector<box_seen> boxes;
        bool directory_left = false;
        int instances = 0;
        run_options options;
        options.env = c.env;
        options.timeout_ms = 30000;
        options.desktop_start = c.desktop;
        options.without_stderr = true;  // with streams, one is enough
        options.while_running = [&](HANDLE process, DWORD) {
            HWND found = wait_for(box_class, process);
            if (found == nullptr) return;
            for (HWND box : windows_of(box_class)) boxes.push_back(read_box(box));
            directory_left = unpack_directory_set() != before;
            instances = processes_of(c.exe);
            EXPECT_TRUE(windows_of(TAVRIN_PROGRESS_WINDOW_CLASS).empty()) << "a failed start shows no progress";
            PostMessageW(found, WM_COMMAND, IDOK, 0);
        };
        auto run = start(c.exe, {}, options);
        EXPECT_EQ(run.process.exit_code, 2u);
        EXPECT_FALSE(run.process.timed_out);
        EXPECT_TRUE(run.facts.empty()) << "the application never ran";
        if (!box) {
            EXPECT_TRUE(boxes.empty());
            continue;
        }
        ASSERT_EQ(boxes.size(), 1u) << "no box, or more than one";
        EXPECT_EQ(boxes[0].title, L"VX BENCH");
        EXPECT_EQ(narrow(boxes[0].text) + "\r\n", streamed);
        EXPECT_EQ(boxes[0].buttons, std::vector<std::wstring>{L"OK"});
        EXPECT_TRUE(boxes[0].icon) << "the error icon";
        EXPECT_FALSE(directory_left) << "the box was shown before the clean-up";
        EXPECT_EQ(instances, 1) << "only the instance that shows the box runs";
    }
}

// Cached mode runs a DLL entry in the launcher's own process: a box left open there holds nothing
// of the kept tree, which another run may then replace (rename) meanwhile.
TEST(DesktopFailure, ABoxHoldsNoKeptTree)
{
    REQUIRE_DISPLAY();
    temp_directory dir;
    const fs::path exe = dir.path() / L"cached.exe";
    make_package_of(exe, {tavrin::archive_entry::from_file(u"no_entry.dll", fs::path(no_entry_dll))});
    const auto settings = set_launch_settings(exe, {true, u"{EXE_DIR}\\kept", "", false});
    const fs::path tree = dir.path() / L"kept" / widen(settings.archive_identity);
    start(exe, {});  // unpacks the tree and fails in the same way, with streams
    ASSERT_TRUE(fs::is_directory(tree));
    bool renamed = false;
    auto run = start_on_desktop(exe, {}, [&](HANDLE process, DWORD) {
        HWND box = wait_for(box_class, process);
        ASSERT_NE(box, nullptr);
        const fs::path away = tree.wstring() + L".away";
        renamed = MoveFileExW(tree.c_str(), away.c_str(), 0) != 0;
        if (renamed) MoveFileExW(away.c_str(), tree.c_str(), 0);
        PostMessageW(box, WM_COMMAND, IDOK, 0);
    });
    EXPECT_TRUE(renamed) << "the kept tree was still held while the box was open";
    EXPECT_EQ(run.process.exit_code, 2u);
}

// A long start of a windowed package shows the progress window (the product's title, a bar) until
// the application shows its own window, which stays: a second instance's in temporary mode, the
// launcher's own process's in cached mode. The starts that need none show none: a quick one (three
// tries, in case the machine stalls one for 400 ms), a console package and one packed with
// --no-progress (both as slow), a later cached run with its tree intact. The application never
// sees the launcher's failure hand-over. (The window's icon is not read back: Wine 8 answers
// neither WM_GETICON nor GetClassLongPtrW for another process's window.)
TEST(DesktopProgress, ShownOnlyWhileALongStartUnpacks)
{
    REQUIRE_DISPLAY();
    temp_directory dir;
    const fs::path slow = dir.path() / L"slow.exe", cached = dir.path() / L"cached.exe", quick = dir.path() / L"quick.exe",
                   console = dir.path() / L"console.exe", turned_off = dir.path() / L"off.exe";
    for (const fs::path& exe : {slow, cached, console, turned_off}) make_slow_package(exe);
    make_package(quick);
    set_launch_settings(cached, {true, u"{EXE_DIR}\\kept", "", false});
    set_launch_settings(turned_off, {false, u"", "", false, true});
    std::string image = read_file(console);  // subsystem 3, as tavrin-pack --console writes it
    image[*reinterpret_cast<const std::uint32_t*>(image.data() + 0x3C) + 4 + 20 + 68] = 3;
    write_file(console, image);

    struct {
        const char* what;
        fs::path exe;
        bool shown, in_own_process;
    } cases[] = {
        {"a long temporary start", slow, true, false},
        {"a first cached run", cached, true, true},
        {"a later cached run", cached, false, true},
        {"a console package", console, false, false},
        {"--no-progress", turned_off, false, false},
        {"a quick start", quick, false, false},
        {"a quick start, again", quick, false, false},
        {"a quick start, a third time", quick, false, false},
    };
    bool quick_shown = true;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        if (c.exe == quick && !quick_shown) continue;
        const fs::path trace = dir.path() / L"trace.txt";
        HWND progress = nullptr;
        std::wstring title;
        LRESULT range = 0, position = -1;
        DWORD application_owner = 0;
        bool gone = false;
        run_options options;
        options.limited = true;  // as a user starts it: Wine 8 starts every process elevated
        options.env[L"TAVRIN_ONEFILE_TRACE"] = trace.wstring();
        auto run = start_on_desktop(
            c.exe, {L"--window", L"2000", L"--variable", L"TAVRIN_ONEFILE_FAILURE_HANDOVER"},
            [&](HANDLE process, DWORD id) {
                while (progress == nullptr && WaitForSingleObject(process, 10) == WAIT_TIMEOUT) {
                    const auto found = windows_of(TAVRIN_PROGRESS_WINDOW_CLASS);
                    if (!found.empty()) progress = found.front();
                }
                if (progress == nullptr) return;
                EXPECT_EQ(owner_of(progress), id) << "the parent's own window";
                title = text_of(progress);
                HWND bar = FindWindowExW(progress, nullptr, PROGRESS_CLASSW, nullptr);
                range = SendMessageW(bar, PBM_GETRANGE, FALSE, 0);
                position = SendMessageW(bar, PBM_GETPOS, 0, 0);
                HWND application = wait_for(probe_window_class, process, 60000);
                ASSERT_NE(application, nullptr);
                application_owner = owner_of(application);
                EXPECT_EQ(application_owner == id, c.in_own_process);
                // Hidden within a few of its refreshes, while the application's window shows.
                // (Under Xvfb, with no window manager to confirm it, Wine 8 takes 2 s more to
                // destroy it.)
                for (int i = 0; i < 50 && !gone; ++i, Sleep(20)) gone = !IsWindowVisible(progress);
                EXPECT_FALSE(windows_of(probe_window_class).empty());
            },
            options);
        const std::string traced = read_file(trace);
        fs::remove(trace);
        EXPECT_EQ(run.process.exit_code, 0u) << traced;
        EXPECT_EQ(one(run.facts, "window"), L"shown");
        EXPECT_EQ(all(run.facts, "unset.TAVRIN_ONEFILE_FAILURE_HANDOVER").size(), 1u);
        if (c.exe == quick) quick_shown = progress != nullptr;
        if (c.exe == quick) continue;
        EXPECT_EQ(progress != nullptr, c.shown) << traced;
        if (!c.shown) continue;
        EXPECT_EQ(title, L"VX BENCH");
        EXPECT_EQ(range, 1000);
        EXPECT_GE(position, 0);
        EXPECT_LE(position, 1000);
        EXPECT_TRUE(gone) << traced;
        EXPECT_NE(traced.find("progress window closed: the application showed a window"), std::string::npos) << traced;
    }
    EXPECT_FALSE(quick_shown) << "a quick start showed the window three times";
}

// Closing the progress window (its close box sends WM_CLOSE; Esc) cancels the start: no code of
// the application runs, the unpack directory goes, the exit code is 1223 (ERROR_CANCELLED).
TEST(DesktopProgress, ClosingTheWindowCancelsTheStart)
{
    REQUIRE_DISPLAY();
    temp_directory dir;
    const fs::path exe = dir.path() / L"slow.exe";
    make_slow_package(exe);
    struct {
        const char* what;
        UINT message;
        WPARAM key;
    } closers[] = {{"the close box (WM_CLOSE)", WM_CLOSE, 0}, {"Esc", WM_KEYDOWN, VK_ESCAPE}};
    for (const auto& closer : closers) {
        SCOPED_TRACE(closer.what);
        const auto before = unpack_directory_set();
        bool shown = false;
        auto run = start_on_desktop(exe, {}, [&](HANDLE process, DWORD) {
            HWND progress = wait_for(TAVRIN_PROGRESS_WINDOW_CLASS, process);
            shown = progress != nullptr;
            if (shown) PostMessageW(progress, closer.message, closer.key, 0);
        });
        ASSERT_TRUE(shown);
        EXPECT_EQ(run.process.exit_code, unsigned(launcher_cancelled_exit_code));
        EXPECT_TRUE(run.facts.empty()) << "the application ran";
        EXPECT_EQ(unpack_directory_set(), before) << "an unpack directory was left";
    }
}

// A windowed program entry opens a real window. The window placement the package was started with
// reaches the program's start-up information (Wine 8 does not apply it to the window: a program
// started directly shows it normal too).
TEST(ExeEntryWindow, AWindowedProgramShowsItsWindowAndPassesItsExitCode)
{
    REQUIRE_DISPLAY();
    // Under Wine 8 the first window on a display starts the desktop process, which inherits the
    // standard handles of the process that needs it and holds them until the display ends. Started
    // from here it holds this executable's own, not the stream files of the run below, whose
    // directory stayed in %TEMP% for that.
    GetDesktopWindow();
    temp_directory dir;
    const fs::path exe = dir.path() / L"windowed.exe";
    make_package_of(exe, lay_out_program(dir.path() / L"plain", exe_app_windowed));
    set_launch_settings(exe, {false, u"", "", true});
    run_options options;
    options.show_window = SW_SHOWMINNOACTIVE;
    auto result = start(exe, {L"--exit", L"3221225477", L"--window"}, options);
    EXPECT_EQ(result.process.exit_code, 3221225477u) << result.process.out << result.process.err;
    EXPECT_EQ(one(result.facts, "visible"), L"1");
    EXPECT_EQ(one(result.facts, "show"), std::to_wstring(SW_SHOWMINNOACTIVE));
}
