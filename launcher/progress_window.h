// The progress window of a windowed package's long first start: its title and icon, a bar of the
// archive's content unpacked so far; closing it (its close box, Alt+F4, Esc) cancels the start.
#ifndef TAVRIN_LAUNCHER_PROGRESS_WINDOW_H
#define TAVRIN_LAUNCHER_PROGRESS_WINDOW_H

#include <windows.h>

enum {
    progress_linger_ms = 3000,  // after the application's start, at the latest
    progress_tick_ms = 100      // the bar's refresh, and how often the application is looked at
};

// The window's class, by which a test (or a person with a window spy) finds it.
#define TAVRIN_PROGRESS_WINDOW_CLASS L"TavrinOnefileProgress"

// In the parent, as unpacking starts (temporary mode; cached mode's first run or repair): arms the
// window when the package is windowed (desktop.h) and its settings do not turn it off
// (tavrin-pack --no-progress): the moment progress_window_delay_ms (format/settings_record.h)
// after the process started goes into progress_due_at (base/process_state.h), which unpacking
// looks at between its pieces. Once it is due, a thread of its own shows the window, on an
// interactive desktop only, loading user32, comctl32 and gdi32 only then; unpacking never waits for
// it. A start that needs no window makes no thread for it. Once per process: later calls do
// nothing. Without a thread or an event to be had, nothing is shown.
void arm_progress_window();

// Just before the application's code can first run (the child resumed or created, a program
// started, the entry DLL loaded into this process): the start is taken from the window, which can
// no longer cancel it; a start that the window cancelled first ends here (exit_start_cancelled,
// the clean-up, exit code 1223).
void claim_application_start();

// Once the application runs in `process` (the child or the program; NULL: this process itself):
// the window, where it is shown, closes as soon as that process shows a visible window of its own,
// is ready for input (WaitForInputIdle), or ends; at the latest progress_linger_ms later. The
// caller keeps `process` (the window's thread uses a duplicate).
void watch_application(HANDLE process);

#endif
