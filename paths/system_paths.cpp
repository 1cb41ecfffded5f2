// Path services over the system: own executable path caches, final-path and short-path
// normalisation, the fully qualified unpack directory, shell folders.
#include "paths/system_paths.h"

#include <windows.h>
#include <shlobj.h>
#include <stdlib.h>
#include <wchar.h>

#include "base/errors.h"
#include "base/process_state.h"
#include "paths/bounded.h"

namespace {

// One cache per variant; empty until the first request for it.
wchar_t own_path_plain[own_path_capacity];
wchar_t own_path_resolved[own_path_capacity];

// SHGetFolderPathW writes at most MAX_PATH units; a little room beyond that costs nothing.
enum { known_folder_capacity = 264 };

typedef DWORD(WINAPI* final_path_function)(HANDLE, LPWSTR, DWORD, DWORD);

}  // namespace

void strip_final_path_prefix(wchar_t* dst, const wchar_t* src, uint32_t capacity)
{
    // \\?\C:\... or the exact source behind the prefix: drop the 4 units. Other \\?\ paths (volume
    // GUID paths) keep their prefix, as they mean nothing without it.
    if (wcsncmp(dst, L"\\\\?\\", 4) == 0 &&
        (wcscmp(dst + 4, src) == 0 || (dst[4] != 0 && dst[5] == L':'))) {
        copy_wide_bounded(dst, dst + 4, capacity);
    }
    // \\?\UNC\server\share: keep "C\server\share" from index 6 and turn its first unit into the
    // second leading backslash.
    if (wcsncmp(dst, L"\\\\?\\UNC\\", 8) == 0) {
        copy_wide_bounded(dst, dst + 6, capacity);
        dst[0] = L'\\';
    }
}

void resolve_final_path(wchar_t* dst, const wchar_t* src, uint32_t capacity, bool resolve)
{
    if (!resolve) {
        copy_wide_bounded(dst, src, capacity);
        return;
    }
    // Access 0 reads attributes only, so a running executable or a file open for writing elsewhere
    // still opens. Without FILE_FLAG_BACKUP_SEMANTICS a directory does not.
    HANDLE file = CreateFileW(src, 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, NULL,
                              OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, NULL);
    // Copied only after the open: `dst` may be `src`.
    copy_wide_bounded(dst, src, capacity);
    if (file == INVALID_HANDLE_VALUE) return;

    // Looked up at run time so that the image imports nothing newer than the systems it runs on.
    DWORD length = 0;
    HMODULE kernel = GetModuleHandleA("Kernel32.dll");
    FARPROC found = kernel != NULL ? GetProcAddress(kernel, "GetFinalPathNameByHandleW") : NULL;
    if (found != NULL) {
        final_path_function get_final_path =
            reinterpret_cast<final_path_function>(reinterpret_cast<void*>(found));
        length = get_final_path(file, dst, capacity, 0 /* FILE_NAME_NORMALIZED | VOLUME_NAME_DOS */);
    }
    CloseHandle(file);
    // A path that does not fit reports the size it needs, terminator included.
    if (length >= capacity) abort_bound();
    // 0 (failed): `dst` holds whatever the call left, normally the copy of `src`.
    strip_final_path_prefix(dst, src, capacity);
}

void shorten_directory_part(wchar_t* path, size_t capacity)
{
    wchar_t* last_component = NULL;
    wchar_t* last_backslash = wcsrchr(path, L'\\');
    if (last_backslash != NULL) {
        *last_backslash = 0;
        last_component = _wcsdup(last_backslash + 1);
        if (last_component == NULL) abort_bound();
    }

    DWORD needed = GetShortPathNameW(path, NULL, 0);
    if (needed != 0) {
        wchar_t* short_path = static_cast<wchar_t*>(malloc((needed + 1) * sizeof(wchar_t)));
        if (short_path == NULL) abort_bound();
        DWORD written = GetShortPathNameW(path, short_path, needed);
        // Larger than first said: the path changed between the two calls.
        if (written > needed) abort_bound();
        if (written != 0) copy_wide_bounded(path, short_path, capacity);
        free(short_path);
    }

    if (last_component != NULL) {
        append_wide_bounded(path, L"\\", capacity);
        append_wide_bounded(path, last_component, capacity);
        free(last_component);
    }
}

void normalise_executable_path(wchar_t* path, size_t capacity)
{
    resolve_final_path(path, path, static_cast<uint32_t>(capacity), true);
    shorten_directory_part(path, capacity);
}

const wchar_t* own_executable_path(bool resolved)
{
    if (own_path_plain[0] == 0) {
        // A result that fills the buffer may be a cut path: refused like any overflow. (A candidate
        // parent's path is read into a buffer of the same size under the same rule.)
        DWORD length = GetModuleFileNameW(NULL, own_path_plain, own_path_capacity);
        if (length == 0 || length >= own_path_capacity - 1) abort_bound();
    }
    if (!resolved) return own_path_plain;
    if (own_path_resolved[0] == 0) {
        copy_wide_bounded(own_path_resolved, own_path_plain, own_path_capacity);
        normalise_executable_path(own_path_resolved, own_path_capacity);
    }
    return own_path_resolved;
}

void qualify_directory(wchar_t* directory)
{
    wchar_t full[wide_path_capacity];
    DWORD length = GetFullPathNameW(directory, wide_path_capacity, full, NULL);
    // 4096 or more: the size it would need, terminator included, is beyond the buffer.
    if (length == 0 || length >= wide_path_capacity) abort_bound();
    copy_wide_bounded(directory, full, wide_path_capacity);
}

bool append_known_folder(wchar_t* out, int csidl, size_t capacity)
{
    wchar_t folder[known_folder_capacity];
    // S_FALSE (a folder that does not exist) counts as not supplied, like every other result.
    if (SHGetFolderPathW(NULL, csidl, NULL, 0 /* SHGFP_TYPE_CURRENT */, folder) != S_OK) return false;
    append_wide_bounded(out, folder, capacity);
    return true;
}
