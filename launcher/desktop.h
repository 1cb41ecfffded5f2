// What the person at the desktop sees of the launcher, shared by its two windows (the failure box,
// the progress window): whether this package is windowed, whether its windows would be seen, its
// title and icon, and user32, comctl32 and gdi32, loaded from the system directory only once a
// window is due (the image imports none of them, and a start that shows nothing never loads them).
#ifndef TAVRIN_LAUNCHER_DESKTOP_H
#define TAVRIN_LAUNCHER_DESKTOP_H

#include <windows.h>
#include <commctrl.h>
#include <stddef.h>

// The calls of the three libraries that the windows use; types from the system's headers, the
// functions looked up by name. Filled whole or not at all, except `create_font` (gdi32: without
// it the windows keep the system's font) and `init_common_controls` (comctl32: without it the
// progress window has no bar).
struct desktop_calls {
    decltype(&MessageBoxW) message_box;
    decltype(&GetProcessWindowStation) window_station;
    decltype(&GetUserObjectInformationW) object_information;
    decltype(&RegisterClassExW) register_class;
    decltype(&CreateWindowExW) create_window;
    decltype(&DefWindowProcW) default_window_procedure;
    decltype(&DestroyWindow) destroy_window;
    decltype(&ShowWindow) show_window;
    decltype(&IsWindow) is_window;
    decltype(&IsWindowVisible) is_window_visible;
    decltype(&PeekMessageW) peek_message;
    decltype(&TranslateMessage) translate_message;
    decltype(&DispatchMessageW) dispatch_message;
    decltype(&MsgWaitForMultipleObjects) wait_for_messages;
    decltype(&SendMessageW) send_message;
    decltype(&PostMessageW) post_message;
    decltype(&LoadImageW) load_image;
    decltype(&EnumWindows) enum_windows;
    decltype(&GetWindowThreadProcessId) window_process;
    decltype(&WaitForInputIdle) wait_for_input_idle;
    decltype(&AllowSetForegroundWindow) allow_foreground;
    decltype(&SetForegroundWindow) set_foreground;
    decltype(&SetWindowPos) set_window_position;
    decltype(&SystemParametersInfoW) system_parameters;
    decltype(&GetSystemMetrics) system_metrics;
    decltype(&AdjustWindowRectEx) adjust_window_rect;
    decltype(&CreateFontIndirectW) create_font;
    decltype(&InitCommonControlsEx) init_common_controls;
};

// Loads the libraries from the system directory, once per process (either thread may ask first),
// and returns their calls; NULL when user32 cannot be loaded or lacks one of its calls.
const desktop_calls* load_desktop_calls();

// Whether this image is a windowed program: subsystem 2 in its own optional header. A package
// packed as a console program (subsystem 3) has a console for its words and shows no progress.
bool windowed_package();

// The calls (load_desktop_calls) when a window of this process would be seen by a person, else
// NULL with why not in `*why_not`: no display, user32 not to be had, or a window station that is
// not the visible one (WSF_VISIBLE: a service's). "No display" is Wine's alone, asked before
// anything is loaded: none in the environment (DISPLAY, WAYLAND_DISPLAY, which Wine copies from the
// Unix one). Wine 8 reads the window station as visible there, yet makes no window, and one try
// starts the prefix's desktop process without a display, after which no program in that prefix
// shows a window again.
const desktop_calls* seen_desktop(const char** why_not);

// The package's title for its windows, into `out` (`capacity` code units, at least
// version_text_capacity): the ProductName of its version block, else its own file name.
void package_title(wchar_t* out, size_t capacity);

// The name of the package's first icon group (an integer resource or a string that lives as long as
// the process), or NULL when it has none.
const wchar_t* package_icon_name();

#endif
