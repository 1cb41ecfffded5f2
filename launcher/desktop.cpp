// The desktop's side of the launcher: the libraries of its windows loaded on demand, the package's
// subsystem, title and icon read from its own image.
#include "launcher/desktop.h"

#include <wchar.h>

#include "paths/bounded.h"
#include "paths/environment.h"
#include "paths/system_paths.h"
#include "paths/version_values.h"
#include "resources/version_strings.h"

namespace {

// This room's state: the calls, filled once under `loaded` (INIT_ONCE), and whether that worked.
struct desktop_state {
    INIT_ONCE loaded;
    bool usable;
    desktop_calls calls;
};
desktop_state desktop = {INIT_ONCE_STATIC_INIT, false, {}};

template <typename Function>
bool look_up(HMODULE module, const char* name, Function* function)
{
    *function = module != NULL ? reinterpret_cast<Function>(reinterpret_cast<void*>(GetProcAddress(module, name))) : NULL;
    return *function != NULL;
}

BOOL CALLBACK load_libraries(INIT_ONCE*, void*, void**)
{
    // From system32 only: the folder the package was downloaded to may hold anything.
    const DWORD search = LOAD_LIBRARY_SEARCH_SYSTEM32;
    HMODULE user = LoadLibraryExW(L"user32.dll", NULL, search);
    desktop_calls& c = desktop.calls;
    bool all = look_up(user, "MessageBoxW", &c.message_box) && look_up(user, "GetProcessWindowStation", &c.window_station) &&
               look_up(user, "GetUserObjectInformationW", &c.object_information) &&
               look_up(user, "RegisterClassExW", &c.register_class) && look_up(user, "CreateWindowExW", &c.create_window) &&
               look_up(user, "DefWindowProcW", &c.default_window_procedure) &&
               look_up(user, "DestroyWindow", &c.destroy_window) && look_up(user, "ShowWindow", &c.show_window) &&
               look_up(user, "IsWindow", &c.is_window) && look_up(user, "IsWindowVisible", &c.is_window_visible) &&
               look_up(user, "PeekMessageW", &c.peek_message) && look_up(user, "TranslateMessage", &c.translate_message) &&
               look_up(user, "DispatchMessageW", &c.dispatch_message) &&
               look_up(user, "MsgWaitForMultipleObjects", &c.wait_for_messages) &&
               look_up(user, "SendMessageW", &c.send_message) && look_up(user, "PostMessageW", &c.post_message) &&
               look_up(user, "LoadImageW", &c.load_image) && look_up(user, "EnumWindows", &c.enum_windows) &&
               look_up(user, "GetWindowThreadProcessId", &c.window_process) &&
               look_up(user, "WaitForInputIdle", &c.wait_for_input_idle) &&
               look_up(user, "AllowSetForegroundWindow", &c.allow_foreground) &&
               look_up(user, "SetForegroundWindow", &c.set_foreground) &&
               look_up(user, "SetWindowPos", &c.set_window_position) &&
               look_up(user, "SystemParametersInfoW", &c.system_parameters) &&
               look_up(user, "GetSystemMetrics", &c.system_metrics) &&
               look_up(user, "AdjustWindowRectEx", &c.adjust_window_rect);
    if (all) {
        // Optional: the windows work without either, plainer.
        look_up(LoadLibraryExW(L"gdi32.dll", NULL, search), "CreateFontIndirectW", &c.create_font);
        look_up(LoadLibraryExW(L"comctl32.dll", NULL, search), "InitCommonControlsEx", &c.init_common_controls);
    }
    desktop.usable = all;
    return TRUE;
}

}  // namespace

const desktop_calls* load_desktop_calls()
{
    InitOnceExecuteOnce(&desktop.loaded, load_libraries, NULL, NULL);
    return desktop.usable ? &desktop.calls : NULL;
}

bool windowed_package()
{
    // The image as the loader mapped it: its headers were checked by the loader itself.
    const unsigned char* image = reinterpret_cast<const unsigned char*>(GetModuleHandleW(NULL));
    const IMAGE_DOS_HEADER* dos = reinterpret_cast<const IMAGE_DOS_HEADER*>(image);
    const IMAGE_NT_HEADERS64* nt = reinterpret_cast<const IMAGE_NT_HEADERS64*>(image + dos->e_lfanew);
    return nt->OptionalHeader.Subsystem == IMAGE_SUBSYSTEM_WINDOWS_GUI;
}

const desktop_calls* seen_desktop(const char** why_not)
{
    const bool wine = GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "wine_get_version") != NULL;
    if (wine && !env_var_set("DISPLAY") && !env_var_set("WAYLAND_DISPLAY")) {
        *why_not = "no display";
        return NULL;
    }
    const desktop_calls* calls = load_desktop_calls();
    if (calls == NULL) {
        *why_not = "user32 cannot be loaded";
        return NULL;
    }
    HWINSTA station = calls->window_station();
    USEROBJECTFLAGS flags;
    DWORD needed = 0;
    if (station == NULL || !calls->object_information(station, UOI_FLAGS, &flags, sizeof flags, &needed) ||
        (flags.dwFlags & WSF_VISIBLE) == 0) {
        *why_not = "no interactive desktop";
        return NULL;
    }
    return calls;
}

void package_title(wchar_t* out, size_t capacity)
{
    // The version block as untrusted bytes, read as the placeholders read it.
    const unsigned char* block = NULL;
    size_t size = 0;
    wchar_t product[version_text_capacity];
    if (own_version_block(&block, &size) && find_version_text(block, size, "ProductName", product) && product[0] != 0) {
        copy_wide_bounded(out, product, capacity);
        return;
    }
    const wchar_t* path = own_executable_path(false);
    const wchar_t* name = wcsrchr(path, L'\\');
    copy_wide_bounded(out, name != NULL ? name + 1 : path, capacity);
}

const wchar_t* package_icon_name()
{
    // The first group's name: an integer resource as it is, a string copied (the system's is the
    // callback's only); a string longer than a file system's names is not ours to show.
    static const wchar_t* first;
    static wchar_t named[256];
    EnumResourceNamesW(
        NULL, RT_GROUP_ICON,
        [](HMODULE, LPCWSTR, LPWSTR name, LONG_PTR) -> BOOL {
            if (IS_INTRESOURCE(name)) {
                first = name;
            } else if (wcslen(name) < sizeof named / sizeof *named) {
                wcscpy(named, name);
                first = named;
            }
            return FALSE;
        },
        0);
    return first;
}
