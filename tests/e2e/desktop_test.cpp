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
using testing_support::read_file;
using testing_support::run_options;
using testing_support::temp_directory;
using testing_support::write_file;

namespace {

bool have_display()
{
    const wchar_t* display = _wgetenv(L"DISPLAY");
    return display != nullptr && *display != 0;
}

#define REQUIRE_DISPLAY() \
    if (!have_display()) GTEST_SKIP() << "no display (windows.desktop gives one)"

struct window_seen {
    HWND handle = nullptr;
    DWORD process = 0;
    std::wstring kind, title;
};

std::wstring text_of(HWND window)
{
    wchar_t text[4096];
    int length = GetWindowTextW(window, text, 4096);
    return std::wstring(text, static_cast<std::size_t>(length > 0 ? length : 0));
}

// The visible top-level windows of every process.
std::vector<window_seen> visible_windows()
{
    std::vector<window_seen> found;
    EnumWindows(
        [](HWND window, LPARAM list) -> BOOL {
            if (!IsWindowVisible(window)) return TRUE;
            window_seen seen;
            seen.handle = window;
            GetWindowThreadProcessId(window, &seen.process);
            wchar_t kind[256];
            GetClassNameW(window, kind, 256);
            seen.kind = kind;
            seen.title = text_of(window);
            reinterpret_cast<std::vector<window_seen>*>(list)->push_back(seen);
            return TRUE;
        },
        reinterpret_cast<LPARAM>(&found));
    return found;
}

std::vector<window_seen> windows_of_kind(const std::wstring& kind)
{
    std::vector<window_seen> matching;
    for (const auto& seen : visible_windows())
        if (seen.kind == kind) matching.push_back(seen);
    return matching;
}

// Polls every 20 ms, up to `timeout_ms`, for a visible window of `kind`; the first found.
std::optional<window_seen> wait_for_window(const std::wstring& kind, DWORD timeout_ms, HANDLE process = nullptr)
{
    const DWORD start = GetTickCount();
    while (GetTickCount() - start < timeout_ms) {
        auto matching = windows_of_kind(kind);
        if (!matching.empty()) return matching.front();
        if (process != nullptr && WaitForSingleObject(process, 0) == WAIT_OBJECT_0) return std::nullopt;
        Sleep(20);
    }
    return std::nullopt;
}

// A message box (#32770) read back: its title, the text of its static controls, its buttons.
struct box_seen {
    DWORD process = 0;
    std::wstring title, text;
    std::vector<std::wstring> buttons;
    bool icon = false;  // a static control with an icon (the error icon)
};

box_seen read_box(const window_seen& window)
{
    box_seen box;
    box.process = window.process;
    box.title = window.title;
    EnumChildWindows(
        window.handle,
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
        reinterpret_cast<LPARAM>(&box));
    return box;
}

// The processes whose image is `exe`, by their full image paths.
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

// Sets the subsystem field of the package's optional header (2 windowed, 3 console).
void set_subsystem(const fs::path& exe, std::uint16_t subsystem)
{
    std::string image = read_file(exe);
    const std::uint32_t nt = *reinterpret_cast<const std::uint32_t*>(image.data() + 0x3C);
    image[nt + 4 + 20 + 68] = static_cast<char>(subsystem);
    image[nt + 4 + 20 + 69] = 0;
    write_file(exe, image);
}

// A package whose start takes long enough for the progress window: the probe and some thousands
// of small files (under Wine 8 each file costs some 0.5 ms to write, so that unpacking takes
// about two seconds here, far above progress_window_delay_ms on any machine of this class).
void make_slow_package(const fs::path& exe)
{
    std::mt19937 random(7);
    std::vector<tavrin::archive_entry> files;
    for (int i = 0; i < 3000; ++i) {
        std::string content(1024, '\0');
        for (auto& byte : content) byte = static_cast<char>(random());
        const std::string name = "files\\d" + std::to_string(i % 20) + "\\f" + std::to_string(i) + ".bin";
        files.push_back(packer_test::memory_entry(std::u16string(name.begin(), name.end()), content));
    }
    tavrin::block_options fast;
    fast.level = 1;
    std::vector<tavrin::archive_entry> entries;
    entries.push_back(tavrin::archive_entry::from_file(u"probe.dll", fs::path(probe_dll)));
    for (auto& file : files) entries.push_back(std::move(file));
    make_package_of(exe, entries, fast);
}

}  // namespace

// A failure of the launcher's, started without standard streams: one box, shown once the
// clean-up has run (no unpack directory, no second instance while it is open), its text the
// message the streams would show, its title the product's; OK ends the run with exit code 2. The
// second instance's failure is shown by the parent, after its clean-up, once.
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
    } cases[] = {
        {"a damaged archive (the parent's failure)", damaged, "Error, couldn't decode attached data."},
        {"a DLL entry without run_code (the second instance's)", no_entry, "Error, DLL entry point not found."},
        {"a program entry that Windows refuses", not_program, "Error, couldn't start the application. ([Error 193] "},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        // What the streams show, for the box to match.
        auto plain = start(c.exe, {});
        const std::string streamed = plain.process.out + plain.process.err;
        ASSERT_EQ(streamed.rfind(c.message, 0), 0u) << streamed;
        const auto before = unpack_directory_set();

        std::vector<box_seen> boxes;
        bool directory_left = false;
        int instances = 0;
        run_options options;
        options.desktop_start = true;
        options.while_running = [&](HANDLE process, DWORD) {
            auto found = wait_for_window(L"#32770", 30000, process);
            if (!found) return;
            boxes.push_back(read_box(*found));
            for (const auto& other : windows_of_kind(L"#32770"))
                if (other.handle != found->handle) boxes.push_back(read_box(other));
            directory_left = unpack_directory_set() != before;
            instances = processes_of(c.exe);
            EXPECT_TRUE(windows_of_kind(TAVRIN_PROGRESS_WINDOW_CLASS).empty()) << "a failed start shows no progress";
            PostMessageW(found->handle, WM_COMMAND, IDOK, 0);
        };
        auto run = start(c.exe, {}, options);
        ASSERT_EQ(boxes.size(), 1u) << "no box, or more than one";
        EXPECT_EQ(boxes[0].title, L"VX BENCH");
        EXPECT_EQ(testing_support::narrow(boxes[0].text) + "\r\n", streamed);
        EXPECT_EQ(boxes[0].buttons, std::vector<std::wstring>{L"OK"});
        EXPECT_TRUE(boxes[0].icon) << "the error icon";
        EXPECT_FALSE(directory_left) << "the box was shown before the clean-up";
        EXPECT_EQ(instances, 1) << "only the instance that shows the box runs";
        EXPECT_EQ(run.process.exit_code, 2u);
        EXPECT_TRUE(run.facts.empty()) << "the application never ran";
    }
}

// No box where nobody would wait on it: with a usable stream (the message goes there), or with
// TAVRIN_ONEFILE_NO_DIALOG set. The run ends at once with exit code 2 either way.
TEST(DesktopFailure, NoBoxWithAStreamOrWhenTurnedOff)
{
    REQUIRE_DISPLAY();
    temp_directory dir;
    const fs::path damaged = dir.path() / L"damaged.exe";
    make_package(damaged);
    damage_attached_data(damaged);
    struct {
        const char* what;
        bool desktop;
        bool no_dialog;
    } cases[] = {{"standard output and error", false, false}, {"no streams, no dialog asked", true, true}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        bool box = false;
        run_options options;
        options.desktop_start = c.desktop;
        options.without_stderr = true;  // one usable stream is enough
        if (c.no_dialog) options.env[L"TAVRIN_ONEFILE_NO_DIALOG"] = L"1";
        options.timeout_ms = 30000;
        options.while_running = [&](HANDLE process, DWORD) {
            box = wait_for_window(L"#32770", 30000, process).has_value();
            for (const auto& found : windows_of_kind(L"#32770")) PostMessageW(found.handle, WM_COMMAND, IDOK, 0);
        };
        auto run = start(damaged, {}, options);
        EXPECT_FALSE(box);
        EXPECT_FALSE(run.process.timed_out);
        EXPECT_EQ(run.process.exit_code, 2u);
        if (!c.desktop) {
            EXPECT_EQ(run.process.out, "Error, couldn't decode attached data.\r\n");
        }
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
    const fs::path tree = dir.path() / L"kept" / testing_support::widen(settings.archive_identity);
    start(exe, {});  // unpacks the tree and fails in the same way, with streams
    ASSERT_TRUE(fs::is_directory(tree));
    bool renamed = false, box = false;
    run_options options;
    options.desktop_start = true;
    options.while_running = [&](HANDLE process, DWORD) {
        auto found = wait_for_window(L"#32770", 30000, process);
        box = found.has_value();
        if (!box) return;
        const fs::path away = tree.wstring() + L".away";
        renamed = MoveFileExW(tree.c_str(), away.c_str(), 0) != 0;
        if (renamed) MoveFileExW(away.c_str(), tree.c_str(), 0);
        PostMessageW(found->handle, WM_COMMAND, IDOK, 0);
    };
    auto run = start(exe, {}, options);
    EXPECT_TRUE(box);
    EXPECT_TRUE(renamed) << "the kept tree was still held while the box was open";
    EXPECT_EQ(run.process.exit_code, 2u);
}

// A long start of a windowed package shows the progress window: the product's title, a bar; it
// closes when the application shows its own window, which stays. (Its icon is not read back: Wine
// 8 answers neither WM_GETICON nor GetClassLongPtrW for another process's window.)
TEST(DesktopProgress, ALongStartShowsProgressUntilTheApplicationShowsItsWindow)
{
    REQUIRE_DISPLAY();
    temp_directory dir;
    const fs::path exe = dir.path() / L"slow.exe", trace = dir.path() / L"trace.txt";
    make_slow_package(exe);
    std::optional<window_seen> progress;
    int range = 0, position = -1;
    bool application_window = false, progress_gone = false;
    run_options options;
    options.desktop_start = true;
    options.env[L"TAVRIN_ONEFILE_TRACE"] = trace.wstring();
    options.while_running = [&](HANDLE process, DWORD id) {
        progress = wait_for_window(TAVRIN_PROGRESS_WINDOW_CLASS, 30000, process);
        if (!progress) return;
        EXPECT_EQ(progress->process, id) << "the parent's own window";
        for (const auto& child : {FindWindowExW(progress->handle, nullptr, PROGRESS_CLASSW, nullptr)}) {
            range = static_cast<int>(SendMessageW(child, PBM_GETRANGE, FALSE, 0));
            position = static_cast<int>(SendMessageW(child, PBM_GETPOS, 0, 0));
        }
        application_window = wait_for_window(L"tavrin_probe_window", 60000, process).has_value();
        // Gone within a few of its refreshes, while the application's window still shows. (Hidden
        // at once; under Xvfb, with no window manager to confirm it, Wine 8 takes 2 s more to
        // finish destroying it.)
        for (int i = 0; i < 50 && !progress_gone; ++i, Sleep(20))
            progress_gone = !IsWindow(progress->handle) || !IsWindowVisible(progress->handle);
        EXPECT_FALSE(windows_of_kind(L"tavrin_probe_window").empty());
    };
    auto run = start(exe, {L"--window", L"3000"}, options);
    ASSERT_TRUE(progress.has_value()) << read_file(trace);
    EXPECT_EQ(progress->title, L"VX BENCH");
    EXPECT_EQ(range, 1000);
    EXPECT_GE(position, 0);
    EXPECT_LE(position, 1000);
    EXPECT_TRUE(application_window);
    EXPECT_TRUE(progress_gone) << read_file(trace);
    EXPECT_NE(read_file(trace).find("progress window closed: the application showed a window"), std::string::npos)
        << read_file(trace);
    EXPECT_EQ(run.process.exit_code, 0u);
    EXPECT_EQ(one(run.facts, "window"), L"shown");
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
        run_options options;
        options.desktop_start = true;
        options.while_running = [&](HANDLE process, DWORD) {
            auto progress = wait_for_window(TAVRIN_PROGRESS_WINDOW_CLASS, 30000, process);
            shown = progress.has_value();
            if (shown) PostMessageW(progress->handle, closer.message, closer.key, 0);
        };
        auto run = start(exe, {}, options);
        ASSERT_TRUE(shown);
        EXPECT_EQ(run.process.exit_code, unsigned(launcher_cancelled_exit_code));
        EXPECT_TRUE(run.facts.empty()) << "the application ran";
        EXPECT_EQ(unpack_directory_set(), before) << "an unpack directory was left";
    }
}

// Cached mode: the first run unpacks, slowly, and shows the window, which closes when the
// application, run in the launcher's own process, shows its window; a later run finds its tree
// intact and shows none, however long its check takes.
TEST(DesktopProgress, CachedModeShowsProgressOnlyWhileItUnpacks)
{
    REQUIRE_DISPLAY();
    temp_directory dir;
    const fs::path exe = dir.path() / L"cached.exe", trace = dir.path() / L"trace.txt";
    make_slow_package(exe);
    set_launch_settings(exe, {true, u"{EXE_DIR}\\kept", "", false});
    for (int run_number = 1; run_number <= 2; ++run_number) {
        SCOPED_TRACE(run_number == 1 ? "the first run" : "a later run");
        bool progress = false, closed_by_window = false;
        run_options options;
        options.desktop_start = true;
        options.limited = true;  // as a user starts it: Wine 8 starts every process elevated
        options.env[L"TAVRIN_ONEFILE_TRACE"] = trace.wstring();
        options.while_running = [&](HANDLE process, DWORD id) {
            while (WaitForSingleObject(process, 10) == WAIT_TIMEOUT && !progress)
                progress = !windows_of_kind(TAVRIN_PROGRESS_WINDOW_CLASS).empty();
            if (!progress) return;
            auto application = wait_for_window(L"tavrin_probe_window", 60000, process);
            EXPECT_TRUE(application.has_value());
            if (application) {
                EXPECT_EQ(application->process, id) << "run in the launcher's own process";
            }
            for (int i = 0; i < 50 && !closed_by_window; ++i, Sleep(20))
                closed_by_window = windows_of_kind(TAVRIN_PROGRESS_WINDOW_CLASS).empty();
        };
        auto run = start(exe, {L"--window", L"2000"}, options);
        EXPECT_EQ(run.process.exit_code, 0u) << read_file(trace);
        EXPECT_EQ(one(run.facts, "window"), L"shown");
        EXPECT_EQ(progress, run_number == 1) << read_file(trace);
        if (run_number == 1) {
            EXPECT_TRUE(closed_by_window) << read_file(trace);
        }
    }
}

// Starts that show no progress window: a quick one (the common small package never flashes a
// window), a console package, and a package packed with --no-progress, both as slow as the one
// above.
TEST(DesktopProgress, StartsThatShowNoWindow)
{
    REQUIRE_DISPLAY();
    temp_directory dir;
    const fs::path quick = dir.path() / L"quick.exe", console = dir.path() / L"console.exe",
                   turned_off = dir.path() / L"off.exe";
    make_package(quick);
    make_slow_package(console);
    set_subsystem(console, 3);
    make_slow_package(turned_off);
    set_launch_settings(turned_off, {false, u"", "", false, true});

    auto shows_window = [](const fs::path& exe) {
        bool seen = false;
        run_options options;
        options.desktop_start = true;
        options.while_running = [&](HANDLE process, DWORD) {
            while (WaitForSingleObject(process, 10) == WAIT_TIMEOUT && !seen)
                seen = !windows_of_kind(TAVRIN_PROGRESS_WINDOW_CLASS).empty();
        };
        // The hand-over of a failure to the parent is the launcher's own: the application never
        // sees its variable.
        auto run = start(exe, {L"--variable", L"TAVRIN_ONEFILE_FAILURE_HANDOVER"}, options);
        EXPECT_EQ(run.process.exit_code, 0u);
        EXPECT_EQ(all(run.facts, "unset.TAVRIN_ONEFILE_FAILURE_HANDOVER").size(), 1u);
        return seen;
    };
    // A quick start shows nothing; three tries, in case the machine stalls one for 400 ms.
    bool quick_shown = true;
    for (int attempt = 0; attempt < 3 && quick_shown; ++attempt) quick_shown = shows_window(quick);
    EXPECT_FALSE(quick_shown);
    EXPECT_FALSE(shows_window(console)) << "a console package";
    EXPECT_FALSE(shows_window(turned_off)) << "--no-progress";
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
