// Temporary mode's left-behind unpack directories: the marker written beside each when it is made,
// and the sweep by which a later run deletes those whose owner has ended.
#include "launcher/leftovers.h"

#include <windows.h>
#include <wchar.h>

#include "launcher/cache.h"
#include "launcher/cleanup.h"
#include "base/process_state.h"
#include "paths/bounded.h"
#include "paths/directory_spec_values.h"
#include "paths/security.h"

const wchar_t leftover_marker_suffix[] = L".tavrin";

namespace {

enum { pid_digits_max = 10, time_digits_max = 20 };

const wchar_t name_prefix[] = L"onefile_";

// This run's marker, when `marked` is 1; whoever sets `marked` to 0 deletes it.
wchar_t marker_path[wide_path_capacity];
volatile LONG marked;

// The sweep's paths: the candidate directory and its marker.
wchar_t candidate[wide_path_capacity];
wchar_t candidate_marker[wide_path_capacity];

bool is_digit(wchar_t unit) { return unit >= L'0' && unit <= L'9'; }

// A character of encode_random_token's alphabet.
bool is_token_unit(wchar_t unit)
{
    return is_digit(unit) || (unit >= L'A' && unit <= L'Z') || (unit >= L'a' && unit <= L'z') || unit == L'-' ||
           unit == L'_';
}

// The temporary directory with its trailing backslash, as {TEMP} takes it; its length, 0 when the
// system gives none that fits.
size_t temp_directory(wchar_t* out)
{
    DWORD length = GetTempPathW(wide_path_capacity, out);
    if (length == 0 || length >= wide_path_capacity || out[length - 1] != L'\\') return 0;
    return length;
}

// Attributes of a plain directory (`directory`) or a plain file: no link either way.
bool plain_entry(DWORD attributes, bool directory)
{
    const DWORD kind = attributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT);
    return attributes != INVALID_FILE_ATTRIBUTES && kind == (directory ? FILE_ATTRIBUTE_DIRECTORY : 0);
}

// `temp` (`temp_length` units) and the first `name_length` units of `name` into `candidate`, and
// the same with the marker's suffix into `candidate_marker`; false when they do not fit.
bool make_candidate_paths(const wchar_t* temp, size_t temp_length, const wchar_t* name, size_t name_length)
{
    const size_t suffix = wcslen(leftover_marker_suffix);
    if (temp_length + name_length + suffix + 1 > wide_path_capacity) return false;
    for (size_t i = 0; i < temp_length; ++i) candidate[i] = temp[i];
    for (size_t i = 0; i < name_length; ++i) candidate[temp_length + i] = name[i];
    candidate[temp_length + name_length] = 0;
    copy_wide_bounded(candidate_marker, candidate, wide_path_capacity);
    append_wide_bounded(candidate_marker, leftover_marker_suffix, wide_path_capacity);
    return true;
}

// Deletes the candidate directory when it is ours to delete: a directory, no link, owned by this
// user; opened without following a link, and deleted only as that very directory. Then its marker.
void remove_candidate()
{
    const DWORD share_all = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
    HANDLE directory = CreateFileW(candidate, READ_CONTROL | FILE_READ_ATTRIBUTES, share_all, NULL, OPEN_EXISTING,
                                   FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, NULL);
    if (directory == INVALID_HANDLE_VALUE) return;
    BY_HANDLE_FILE_INFORMATION info;
    bool ours = GetFileInformationByHandle(directory, &info) &&
                choose_cleanup_action(info.dwFileAttributes, info.nNumberOfLinks) == cleanup_descend &&
                handle_has_own_owner(directory);
    CloseHandle(directory);
    if (!ours) return;
    const directory_identity identity = identity_of(&info);
    if (delete_directory_tree(candidate, &identity)) DeleteFileW(candidate_marker);
}

// One entry of the temporary directory's listing whose name starts with "onefile_".
void consider_entry(const wchar_t* temp, size_t temp_length, const WIN32_FIND_DATAW* found)
{
    const wchar_t* name = found->cFileName;
    const size_t length = wcslen(name), suffix = wcslen(leftover_marker_suffix);
    const bool is_marker = length > suffix && wcscmp(name + length - suffix, leftover_marker_suffix) == 0;
    const size_t base = is_marker ? length - suffix : length;
    const uint32_t process = unpack_name_process(name, base);
    if (process == 0 || !plain_entry(found->dwFileAttributes, !is_marker)) return;
    if (!make_candidate_paths(temp, temp_length, name, base)) return;
    if (is_marker) {
        // A run ended between deleting its directory and its marker: only the marker is left.
        if (GetFileAttributesW(candidate) == INVALID_FILE_ATTRIBUTES && GetLastError() == ERROR_FILE_NOT_FOUND &&
            leftover_is_stale(process, found->ftCreationTime))
            DeleteFileW(candidate_marker);
        return;
    }
    // The cheap checks first: most entries are live runs' directories.
    if (!plain_entry(GetFileAttributesW(candidate_marker), false)) return;
    if (!leftover_is_stale(process, found->ftCreationTime)) return;
    remove_candidate();
}

}  // namespace

uint32_t read_process_id(const wchar_t** at, const wchar_t* end)
{
    size_t digits = 0;
    uint64_t process = 0;
    for (; *at < end && is_digit(**at) && digits <= pid_digits_max; ++*at, ++digits)
        process = process * 10 + static_cast<uint64_t>(**at - L'0');
    if (digits == 0 || digits > pid_digits_max || process > 0xFFFFFFFFu) return 0;
    return static_cast<uint32_t>(process);
}

uint32_t unpack_name_process(const wchar_t* name, size_t length)
{
    const size_t prefix = wcslen(name_prefix);
    if (length < prefix || wcsncmp(name, name_prefix, prefix) != 0) return 0;
    const wchar_t* digit = name + prefix;
    const uint32_t process = read_process_id(&digit, name + length);
    size_t at = static_cast<size_t>(digit - name), digits = 0;
    if (process == 0 || at >= length || name[at] != L'_') return 0;
    for (++at; at < length && is_digit(name[at]) && digits <= time_digits_max; ++at) ++digits;
    if (digits == 0 || digits > time_digits_max || at >= length || name[at] != L'_') return 0;
    ++at;
    if (length - at != random_token_length) return 0;
    for (; at < length; ++at)
        if (!is_token_unit(name[at])) return 0;
    return process;
}

void mark_unpack_directory()
{
    wchar_t temp[wide_path_capacity];
    const size_t temp_length = temp_directory(temp);
    const wchar_t* last = wcsrchr(unpack_directory, L'\\');
    if (temp_length == 0 || last == NULL) return;
    const size_t parent_length = static_cast<size_t>(last + 1 - unpack_directory);
    // Only where the sweep looks, under a name it accepts: any other spec's directory is never marked.
    if (parent_length != temp_length ||
        CompareStringOrdinal(unpack_directory, static_cast<int>(parent_length), temp, static_cast<int>(temp_length), TRUE) !=
            CSTR_EQUAL ||
        unpack_name_process(last + 1, wcslen(last + 1)) == 0)
        return;
    if (!make_candidate_paths(temp, temp_length, last + 1, wcslen(last + 1))) return;
    copy_wide_bounded(marker_path, candidate_marker, wide_path_capacity);
    // CREATE_NEW never opens what exists under the name, a link included: whatever someone put
    // there stays as it is, and this directory goes unmarked.
    HANDLE marker = CreateFileW(marker_path, GENERIC_WRITE, 0, NULL, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, NULL);
    if (marker == INVALID_HANDLE_VALUE) return;
    CloseHandle(marker);
    InterlockedExchange(&marked, 1);
}

bool unpack_directory_marked() { return marked != 0; }

void remove_unpack_marker()
{
    if (InterlockedExchange(&marked, 0) == 1) DeleteFileW(marker_path);
}

void remove_left_unpack_directories()
{
    static wchar_t temp[wide_path_capacity];
    static wchar_t pattern[wide_path_capacity];
    const size_t temp_length = temp_directory(temp);
    if (temp_length == 0 || temp_length + wcslen(name_prefix) + 2 > wide_path_capacity) return;
    copy_wide_bounded(pattern, temp, wide_path_capacity);
    append_wide_bounded(pattern, name_prefix, wide_path_capacity);
    append_wide_bounded(pattern, L"*", wide_path_capacity);
    WIN32_FIND_DATAW found;
    HANDLE search = FindFirstFileExW(pattern, FindExInfoBasic, &found, FindExSearchNameMatch, NULL, FIND_FIRST_EX_LARGE_FETCH);
    if (search == INVALID_HANDLE_VALUE) return;
    do consider_entry(temp, temp_length, &found);
    while (FindNextFileW(search, &found));
    FindClose(search);
}
