// Which role an instance takes. The environment is untrusted input: another process of the same
// user may have written it, so every value is checked for its form before it decides anything.
#include "launcher/instance_role.h"

#include <windows.h>
#include <tlhelp32.h>
#include <stdlib.h>
#include <wchar.h>

#include "include/tavrin/onefile.h"
#include "base/errors.h"
#include "paths/bounded.h"
#include "paths/environment.h"
#include "paths/security.h"
#include "paths/system_paths.h"

namespace {

// Image path of a candidate parent process, normalised like our own resolved path.
wchar_t candidate_path[own_path_capacity];

enum { marker_digits_max = 10, start_digits_max = 20, time_us_digits = 6, token_length = 11 };
enum { ancestors_max = 64 };

bool is_digit(wchar_t unit) { return unit >= L'0' && unit <= L'9'; }

bool is_token_unit(wchar_t unit)
{
    return (unit >= L'A' && unit <= L'Z') || (unit >= L'a' && unit <= L'z') || is_digit(unit) || unit == L'-' ||
           unit == L'_';
}

// Whether `text` is `min` to `max` units, each accepted by `accept`.
bool has_form(const wchar_t* text, size_t min, size_t max, bool (*accept)(wchar_t))
{
    size_t length = 0;
    for (; text[length] != 0; ++length)
        if (length == max || !accept(text[length])) return false;
    return length >= min;
}

// A cached value that is absent passes; one that is set must have its form.
bool cached_value_well_formed(const char* name, size_t min, size_t max, bool (*accept)(wchar_t))
{
    wchar_t* value = get_env_var(name);
    bool good = value == NULL || has_form(value, min, max, accept);
    free(value);
    return good;
}

// The marker's process id, or false when it is not 1 to 10 digits within 32 bits.
bool read_marker(uint32_t* id)
{
    wchar_t* marker = get_env_var(TAVRIN_ENV_ONEFILE_PARENT);
    bool good = marker != NULL && has_form(marker, 1, marker_digits_max, is_digit);
    uint64_t value = 0;
    for (const wchar_t* at = marker; good && *at != 0; ++at) value = value * 10 + static_cast<uint64_t>(*at - L'0');
    free(marker);
    if (!good || value > 0xFFFFFFFFu) return false;
    *id = static_cast<uint32_t>(value);
    return true;
}

// The parent process id of `process_id` in `snapshot`, 0 when it is not listed.
DWORD parent_in_snapshot(HANDLE snapshot, DWORD process_id)
{
    PROCESSENTRY32W entry;
    entry.dwSize = sizeof entry;
    for (BOOL more = Process32FirstW(snapshot, &entry); more; more = Process32NextW(snapshot, &entry))
        if (entry.th32ProcessID == process_id) return entry.th32ParentProcessID;
    return 0;
}

// This process's parent's id as the system recorded it at creation, from ntdll's process query
// (looked up by name: the image imports only kernel32 and shell32); 0 when it cannot be read.
DWORD recorded_parent_id()
{
    typedef LONG(WINAPI * query_function)(HANDLE, int, void*, ULONG, ULONG*);
    struct basic_information {  // PROCESS_BASIC_INFORMATION, class 0
        LONG exit_status;
        void* environment_block;
        ULONG_PTR affinity_mask;
        LONG base_priority;
        ULONG_PTR unique_process_id;
        ULONG_PTR inherited_from_unique_process_id;
    };
    HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
    query_function query =
        ntdll != NULL ? reinterpret_cast<query_function>(reinterpret_cast<void*>(GetProcAddress(ntdll, "NtQueryInformationProcess")))
                      : NULL;
    basic_information information;
    ULONG length = 0;
    if (query == NULL || query(GetCurrentProcess(), 0, &information, sizeof information, &length) < 0) return 0;
    return static_cast<DWORD>(information.inherited_from_unique_process_id);
}

}  // namespace

recognition recognise_own_executable(uint32_t process_id, uint32_t* error)
{
    // The image's path from the system's record of the process, not K32GetModuleFileNameExW: that
    // reads the process's memory, which Wine 8's server does by attaching with ptrace, and fails
    // (error 5) for a process that is already traced (strace -f, a debugger) or where ptrace is
    // restricted. PROCESS_QUERY_LIMITED_INFORMATION is also granted across integrity levels.
    HANDLE process = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, process_id);
    if (process == NULL) {
        *error = GetLastError();
        return open_failed;
    }
    DWORD length = own_path_capacity;
    BOOL read = QueryFullProcessImageNameW(process, 0, candidate_path, &length);
    *error = read ? 0 : GetLastError();
    CloseHandle(process);
    // A path that does not fit is not cut but refused; it aborts like every other overflow.
    if (!read && *error == ERROR_INSUFFICIENT_BUFFER) abort_bound();
    if (!read) return query_failed;
    normalise_executable_path(candidate_path, own_path_capacity);
    return wcscmp(candidate_path, own_executable_path(true)) == 0 ? recognised : other_executable;
}

void require_self_recognition()
{
    uint32_t error = 0;
    switch (recognise_own_executable(GetCurrentProcessId(), &error)) {
    case recognised:
        return;
    case other_executable:
        exit_not_own_image(candidate_path, own_executable_path(true));
    case open_failed:
        exit_with_system_error(message_own_process_open_failed, error);
    case query_failed:
        exit_with_system_error(message_own_image_query_failed, error);
    }
}

bool is_ancestor_process(uint32_t process_id)
{
    // The usual case, the parent instance that created this one, from this process's own record:
    // a snapshot of every process costs 3 to 10 ms under Wine 8, on an elevated child's start.
    if (process_id != 0 && recorded_parent_id() == process_id) return true;
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    if (snapshot == INVALID_HANDLE_VALUE) return false;
    bool found = false;
    DWORD current = GetCurrentProcessId();
    for (int generation = 0; generation < ancestors_max && !found; ++generation) {
        DWORD parent = parent_in_snapshot(snapshot, current);
        // 0 ends the walk; so does an id that points back at ourselves (ids are reused).
        if (parent == 0 || parent == GetCurrentProcessId()) break;
        found = parent == process_id;
        current = parent;
    }
    CloseHandle(snapshot);
    return found;
}

instance_role detect_child_instance()
{
    uint32_t id = 0;
    if (!read_marker(&id) || id == GetCurrentProcessId()) return role_parent;
    if (!cached_value_well_formed(TAVRIN_ENV_ONEFILE_RANDOM, token_length, token_length, is_token_unit) ||
        !cached_value_well_formed(TAVRIN_ENV_ONEFILE_TIME_US, time_us_digits, time_us_digits, is_digit) ||
        !cached_value_well_formed(TAVRIN_ENV_ONEFILE_START, 1, start_digits_max, is_digit))
        return role_parent;
    uint32_t error = 0;
    const recognition found = recognise_own_executable(id, &error);
    if (found == other_executable || (found == open_failed && error == ERROR_INVALID_PARAMETER))
        return role_parent;
    if (found != recognised) {
        // The process exists but we cannot tell what it runs. Any other process may carry the
        // marker, so one that did not start us is passed by; but an ancestor is most likely the
        // parent instance, and a second parent would unpack again and start a child of its own,
        // which might fail where the reason could no longer be told.
        if (!is_ancestor_process(id)) return role_parent;
        exit_with_system_error(found == open_failed ? message_parent_open_failed : message_parent_image_query_failed,
                               error);
    }
    // An elevated process may have inherited an environment that an unelevated process of the same
    // user wrote: the marker counts only for a process that started us (directly, or through the
    // application, which may start this executable again).
    if (own_token_elevated() && !is_ancestor_process(id)) return role_parent;
    return role_child;
}
