// The progress window: once a start has taken long, a thread of its own shows a small window with
// the package's title, icon and a bar, and ends it when the application shows itself or the person
// at the desktop closes it.
#include "launcher/progress_window.h"

#include <wchar.h>

#include "base/errors.h"
#include "base/process_state.h"
#include "base/trace.h"
#include "format/settings_record.h"
#include "launcher/desktop.h"
#include "paths/bounded.h"
#include "resources/version_strings.h"

namespace {

// Client area and margins, in pixels.
enum { client_width = 380, client_height = 92, margin = 16, text_height = 20, bar_top = 48, bar_height = 18 };
// The bar's range: tenths of a percent.
enum { bar_range = 1000 };

// This room's state. The main thread writes `armed` when it arms the window (the moment goes into
// progress_due_at), `thread` and `started` when the window is due, before the thread starts;
// `application` and `application_id` in watch_application before it sets `started`. The window's
// thread owns the rest, and reads `application` only after it has seen `started` set.
struct progress_state {
    bool armed;
    HANDLE thread;
    HANDLE started;        // manual-reset event: the application runs (watch_application)
    HANDLE application;    // a duplicate of the process that runs it; NULL: this process
    DWORD application_id;
    const desktop_calls* calls;
    HWND window, bar;
    unsigned shown_position;  // the bar's position last set
    HWND application_window;  // what the search for the application's window found
    wchar_t title[version_text_capacity];
    wchar_t text[version_text_capacity + 16];
};
progress_state progress;

// The window's answer to its close box, Alt+F4 (both a WM_CLOSE) and Esc: before the application
// started, the start is cancelled (the main thread ends the run at its next step); after, the
// window only closes.
LRESULT CALLBACK progress_procedure(HWND window, UINT message, WPARAM w, LPARAM l)
{
    const desktop_calls* calls = progress.calls;
    if (message == WM_KEYDOWN && w == VK_ESCAPE) {
        calls->post_message(window, WM_CLOSE, 0, 0);
        return 0;
    }
    if (message == WM_CLOSE) {
        // Hidden at once; its thread destroys it when its loop sees it so.
        if (InterlockedCompareExchange(&start_stage, start_cancelled, start_preparing) == start_preparing)
            trace("progress window closed by the person at the desktop: the start is cancelled");
        calls->show_window(window, SW_HIDE);
        return 0;
    }
    return calls->default_window_procedure(window, message, w, l);
}

// The bar's position for what unpacking has done: its share of the declared content, or a
// marquee (set when the bar was made) where the frame declares none.
void update_bar()
{
    const unsigned long long total = unpack_total_bytes, done = unpacked_bytes;
    if (progress.bar == NULL || total == 0) return;
    const unsigned position = done >= total ? unsigned(bar_range) : static_cast<unsigned>(done * bar_range / total);
    if (position == progress.shown_position) return;
    progress.shown_position = position;
    progress.calls->send_message(progress.bar, PBM_SETPOS, position, 0);
}

// Makes the window, centred in the work area, shown without taking the start-up's show state
// (a DLL entry run in this process shows its first window with it, as the plain program does).
bool create_window()
{
    const desktop_calls* calls = progress.calls;
    HINSTANCE instance = GetModuleHandleW(NULL);
    if (calls->init_common_controls != NULL) {
        INITCOMMONCONTROLSEX controls = {sizeof controls, ICC_PROGRESS_CLASS};
        calls->init_common_controls(&controls);
    }
    const wchar_t* icon = package_icon_name();
    WNDCLASSEXW kind;
    ZeroMemory(&kind, sizeof kind);
    kind.cbSize = sizeof kind;
    kind.lpfnWndProc = progress_procedure;
    kind.hInstance = instance;
    if (icon != NULL) {
        kind.hIcon = static_cast<HICON>(calls->load_image(instance, icon, IMAGE_ICON, calls->system_metrics(SM_CXICON),
                                                          calls->system_metrics(SM_CYICON), LR_DEFAULTCOLOR));
        kind.hIconSm = static_cast<HICON>(calls->load_image(instance, icon, IMAGE_ICON, calls->system_metrics(SM_CXSMICON),
                                                            calls->system_metrics(SM_CYSMICON), LR_DEFAULTCOLOR));
    }
    kind.hCursor = static_cast<HCURSOR>(calls->load_image(NULL, MAKEINTRESOURCEW(32512) /* IDC_ARROW */, IMAGE_CURSOR, 0, 0,
                                                          LR_DEFAULTSIZE | LR_SHARED));
    kind.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_BTNFACE + 1);
    kind.lpszClassName = TAVRIN_PROGRESS_WINDOW_CLASS;
    if (calls->register_class(&kind) == 0) return false;

    const DWORD style = WS_OVERLAPPED | WS_CAPTION | WS_SYSMENU | WS_MINIMIZEBOX, extended = WS_EX_APPWINDOW;
    RECT frame = {0, 0, client_width, client_height};
    calls->adjust_window_rect(&frame, style, FALSE, extended);
    const int width = frame.right - frame.left, height = frame.bottom - frame.top;
    RECT area = {0, 0, calls->system_metrics(SM_CXSCREEN), calls->system_metrics(SM_CYSCREEN)};
    calls->system_parameters(SPI_GETWORKAREA, 0, &area, 0);
    const int x = area.left + (area.right - area.left - width) / 2, y = area.top + (area.bottom - area.top - height) / 2;
    progress.window = calls->create_window(extended, TAVRIN_PROGRESS_WINDOW_CLASS, progress.title, style, x, y, width, height,
                                           NULL, NULL, instance, NULL);
    if (progress.window == NULL) return false;

    HWND label = calls->create_window(0, L"STATIC", progress.text, WS_CHILD | WS_VISIBLE | SS_LEFT | SS_NOPREFIX | SS_ENDELLIPSIS,
                                      margin, margin, client_width - 2 * margin, text_height, progress.window, NULL, instance, NULL);
    const bool declared = unpack_total_bytes != 0;
    progress.bar = calls->create_window(0, PROGRESS_CLASSW, NULL, WS_CHILD | WS_VISIBLE | (declared ? 0 : PBS_MARQUEE), margin,
                                        bar_top, client_width - 2 * margin, bar_height, progress.window, NULL, instance, NULL);
    if (progress.bar != NULL) {
        if (declared) calls->send_message(progress.bar, PBM_SETRANGE32, 0, bar_range);
        else calls->send_message(progress.bar, PBM_SETMARQUEE, TRUE, 0);
    }
    NONCLIENTMETRICSW metrics;
    metrics.cbSize = sizeof metrics;
    if (label != NULL && calls->create_font != NULL && calls->system_parameters(SPI_GETNONCLIENTMETRICS, sizeof metrics, &metrics, 0)) {
        HFONT font = calls->create_font(&metrics.lfMessageFont);
        if (font != NULL) calls->send_message(label, WM_SETFONT, reinterpret_cast<WPARAM>(font), FALSE);
    }
    // Also as the window's own icons: the taskbar and Alt+Tab show them, and WM_GETICON tells them.
    calls->send_message(progress.window, WM_SETICON, ICON_BIG, reinterpret_cast<LPARAM>(kind.hIcon));
    calls->send_message(progress.window, WM_SETICON, ICON_SMALL, reinterpret_cast<LPARAM>(kind.hIconSm));
    update_bar();
    calls->set_window_position(progress.window, HWND_TOP, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE | SWP_SHOWWINDOW);
    calls->set_foreground(progress.window);
    return true;
}

BOOL CALLBACK find_application_window(HWND window, LPARAM)
{
    DWORD owner = 0;
    progress.calls->window_process(window, &owner);
    if (owner != progress.application_id || window == progress.window || !progress.calls->is_window_visible(window)) return TRUE;
    progress.application_window = window;
    return FALSE;
}

// Why the window closes now that the application runs, or NULL while it stays. `since` is when
// the window first saw the application running (GetTickCount).
const char* reason_to_close(DWORD since)
{
    const desktop_calls* calls = progress.calls;
    progress.application_window = NULL;
    calls->enum_windows(find_application_window, 0);
    if (progress.application_window != NULL) return "the application showed a window";
    if (progress.application != NULL) {
        if (WaitForSingleObject(progress.application, 0) == WAIT_OBJECT_0) return "the application ended";
        if (calls->wait_for_input_idle(progress.application, 0) == 0) return "the application is ready for input";
    }
    if (GetTickCount() - since >= progress_linger_ms) return "the application started a while ago";
    return NULL;
}

// Runs the window until it closes; returns why.
const char* run_window()
{
    const desktop_calls* calls = progress.calls;
    bool running = false;
    DWORD since = 0;
    for (;;) {
        // While the application has not started, its start wakes the loop too.
        calls->wait_for_messages(running ? 0 : 1, &progress.started, FALSE, progress_tick_ms, QS_ALLINPUT);
        MSG message;
        while (calls->peek_message(&message, NULL, 0, 0, PM_REMOVE)) {
            calls->translate_message(&message);
            calls->dispatch_message(&message);
        }
        if (start_stage == start_cancelled) return "the start is cancelled";
        if (!calls->is_window_visible(progress.window)) return "closed by the person at the desktop";
        if (start_stage == start_failed) {
            calls->show_window(progress.window, SW_HIDE);
            return "the start failed";
        }
        update_bar();
        if (!running && WaitForSingleObject(progress.started, 0) == WAIT_OBJECT_0) {
            running = true;
            since = GetTickCount();
            // The application's first window may take the foreground from this one.
            calls->allow_foreground(progress.application_id);
        }
        if (!running) continue;
        const char* reason = reason_to_close(since);
        if (reason != NULL) {
            calls->show_window(progress.window, SW_HIDE);
            return reason;
        }
    }
}

DWORD WINAPI progress_thread(void*)
{
    // The application may have started meanwhile, or the start failed: nothing to show then.
    if (start_stage != start_preparing) return 0;
    const char* why_not = NULL;
    progress.calls = seen_desktop(&why_not);
    if (progress.calls == NULL) {
        trace("no progress window: %s", why_not);
        return 0;
    }
    package_title(progress.title, version_text_capacity);
    copy_wide_bounded(progress.text, L"Starting ", sizeof progress.text / sizeof *progress.text);
    append_wide_bounded(progress.text, progress.title, sizeof progress.text / sizeof *progress.text);
    append_wide_bounded(progress.text, L"\u2026", sizeof progress.text / sizeof *progress.text);
    if (!create_window()) {
        trace("no progress window: it cannot be made");
        return 0;
    }
    trace("progress window shown: %llu of %llu bytes unpacked", static_cast<unsigned long long>(unpacked_bytes),
          static_cast<unsigned long long>(unpack_total_bytes));
    const char* reason = run_window();
    // Said first: hidden at once, the window may take a while to be destroyed (under Xvfb, with no
    // window manager to confirm it, Wine 8 waits 2 s), and the process may end meanwhile.
    trace("progress window closed: %s", reason);
    if (progress.calls->is_window(progress.window)) progress.calls->destroy_window(progress.window);
    return 0;
}

// The hook of unpacking once the window is due: its thread, which shows it at once. Unpacking
// goes on; a thread or an event that cannot be had shows nothing.
void show_progress_window()
{
    progress.started = CreateEventW(NULL, TRUE, FALSE, NULL);
    if (progress.started == NULL) return;
    // user32 and the window's messages need more stack than the launcher's other threads.
    progress.thread = CreateThread(NULL, 1024 * 1024, progress_thread, NULL, STACK_SIZE_PARAM_IS_A_RESERVATION, NULL);
    if (progress.thread == NULL) {
        CloseHandle(progress.started);
        progress.started = NULL;
        return;
    }
    trace("progress window due: %llu of %llu bytes unpacked", static_cast<unsigned long long>(unpacked_bytes),
          static_cast<unsigned long long>(unpack_total_bytes));
}

}  // namespace

void arm_progress_window()
{
    if (progress.armed) return;
    progress.armed = true;
    if (no_progress_window || !windowed_package()) return;
    const unsigned long long age = process_age_tenths() / 10;
    const unsigned long long delay = age < progress_window_delay_ms ? progress_window_delay_ms - age : 0;
    LARGE_INTEGER now, rate;
    QueryPerformanceCounter(&now);
    QueryPerformanceFrequency(&rate);
    progress_due_hook = show_progress_window;
    progress_due_at = now.QuadPart + static_cast<long long>(delay * static_cast<unsigned long long>(rate.QuadPart) / 1000);
    // Never 0, which means none.
    if (progress_due_at == 0) progress_due_at = 1;
    trace("progress window armed: due in %llu ms, if unpacking still runs then", delay);
}

void claim_application_start()
{
    if (InterlockedCompareExchange(&start_stage, start_application_started, start_preparing) == start_cancelled)
        exit_start_cancelled();
}

void watch_application(HANDLE process)
{
    if (progress.started == NULL) return;
    progress.application_id = process != NULL ? GetProcessId(process) : GetCurrentProcessId();
    if (process != NULL)
        DuplicateHandle(GetCurrentProcess(), process, GetCurrentProcess(), &progress.application, SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION,
                        FALSE, 0);
    SetEvent(progress.started);
}
