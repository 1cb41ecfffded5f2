// Cached mode: the kept tree checked through its marker and one walk, a fresh tree unpacked into a
// private sibling and moved into place, damaged trees and leftovers of ended runs deleted.
#include "launcher/cache.h"

#include <inttypes.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <wchar.h>

#include "include/tavrin/onefile.h"
#include "launcher/cleanup.h"
#include "launcher/errors.h"
#include "launcher/process_state.h"
#include "paths/bounded.h"
#include "paths/directory_spec.h"
#include "paths/directory_spec_values.h"
#include "paths/environment.h"
#include "paths/security.h"
#include "payload/launch_settings.h"
#include "payload/reader.h"
#include "payload/settings.h"
#include "payload/unpack.h"

namespace {

enum {
    tree_tries = 4,            // checks of the tree before the parent gives up (each may unpack)
    deepest_level = 4096,      // levels the walk enters below the tree
    marker_capacity = 256,     // the marker's text and its terminator
    long_capacity = 32768,     // a long ("\\?\") path and its terminator
    pid_digits_max = 10
};

const wchar_t leftover_infix[] = L".tmp-";
const char marker_format[] = "tavrin-onefile cache 1\nidentity %s\nfiles %" PRIu64 " bytes %" PRIu64 " fingerprint %016" PRIx64 "\n";

// Process-wide state of the parent in cached mode, written by prepare_cached_tree only:
// cache_tree   the cache directory (the spec's expansion and the identity), fixed once set;
// sibling      the private directory a run unpacks into, or a damaged tree is renamed to;
// walk_path    the walk's path, in the long form;
// held_tree    the tree in use, open until the process ends (never closed);
// the block    the attached data, for unpacking and for TAVRIN_ONEFILE_VERIFY.
wchar_t cache_tree[wide_path_capacity];
wchar_t sibling[wide_path_capacity];
wchar_t walk_path[long_capacity];
char marker_text[marker_capacity];
char expected_text[marker_capacity];
HANDLE held_tree;
const unsigned char* archive_block;
uint64_t archive_length;

// What a walk found: the files, their bytes, and the sum of a hash of each file's path below the
// tree and its size (so the order of the listing does not matter).
struct tree_summary {
    uint64_t files, bytes, fingerprint;
};

uint64_t mix_bits(uint64_t value)
{
    value ^= value >> 30;
    value *= 0xbf58476d1ce4e5b9ull;
    value ^= value >> 27;
    value *= 0x94d049bb133111ebull;
    return value ^ (value >> 31);
}

void add_file(tree_summary* summary, const wchar_t* relative, uint64_t size)
{
    uint64_t hash = 0xcbf29ce484222325ull;  // FNV-1a over the code units, then the size
    for (const wchar_t* unit = relative; *unit != 0; ++unit) hash = (hash ^ static_cast<uint16_t>(*unit)) * 0x100000001b3ull;
    hash = (hash ^ size) * 0x100000001b3ull;
    summary->files += 1;
    summary->bytes += size;
    summary->fingerprint += mix_bits(hash);
}

bool is_dots(const wchar_t* name) { return name[0] == L'.' && (name[1] == 0 || (name[1] == L'.' && name[2] == 0)); }

// Walks the directory in walk_path (`length` units); `root` is the tree's own length there. False
// on a link anywhere, a path beyond the buffer, a level too deep or a listing that fails.
bool walk_level(size_t length, size_t root, int level, tree_summary* summary)
{
    if (level >= deepest_level || length + 3 > long_capacity) return false;
    walk_path[length] = L'\\';
    walk_path[length + 1] = L'*';
    walk_path[length + 2] = 0;
    WIN32_FIND_DATAW found;
    HANDLE search = FindFirstFileExW(walk_path, FindExInfoBasic, &found, FindExSearchNameMatch, NULL, FIND_FIRST_EX_LARGE_FETCH);
    walk_path[length] = 0;
    if (search == INVALID_HANDLE_VALUE) return false;
    bool sound = true;
    do {
        const wchar_t* name = found.cFileName;
        if (is_dots(name) || (level == 0 && wcscmp(name, L"" TAVRIN_CACHE_MARKER_NAME) == 0)) continue;
        size_t units = wcslen(name);
        if ((found.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0 || length + 1 + units + 1 > long_capacity) {
            sound = false;
            break;
        }
        walk_path[length] = L'\\';
        wmemcpy(walk_path + length + 1, name, units + 1);
        if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)
            sound = walk_level(length + 1 + units, root, level + 1, summary);
        else
            add_file(summary, walk_path + root + 1,
                     (static_cast<uint64_t>(found.nFileSizeHigh) << 32) | found.nFileSizeLow);
        walk_path[length] = 0;
    } while (sound && FindNextFileW(search, &found));
    FindClose(search);
    return sound;
}

bool summarize_tree(const wchar_t* tree, tree_summary* summary)
{
    summary->files = summary->bytes = summary->fingerprint = 0;
    size_t length = long_path_form(tree, walk_path, long_capacity);
    return length > 0 && walk_level(length, length, 0, summary);
}

// The marker's text for `summary` into `text`.
void format_marker(char* text, const tree_summary* summary)
{
    int written = snprintf(text, marker_capacity, marker_format, launch_archive_identity(), summary->files, summary->bytes,
                           summary->fingerprint);
    if (written < 0 || written >= marker_capacity) abort_bound();
}

// `tree` + "\" + the marker's name into `path` (wide_path_capacity units).
void marker_path(wchar_t* path, const wchar_t* tree)
{
    copy_wide_bounded(path, tree, wide_path_capacity);
    append_wide_bounded(path, L"\\" TAVRIN_CACHE_MARKER_NAME, wide_path_capacity);
}

// Reads the marker of `tree` into marker_text; false when it is missing or too long to be ours.
bool read_marker(const wchar_t* tree)
{
    wchar_t path[wide_path_capacity];
    marker_path(path, tree);
    HANDLE file = CreateFileW(path, GENERIC_READ, FILE_SHARE_READ, NULL, OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, NULL);
    if (file == INVALID_HANDLE_VALUE) return false;
    DWORD got = 0;
    BOOL read = ReadFile(file, marker_text, marker_capacity - 1, &got, NULL);
    CloseHandle(file);
    if (!read || got == marker_capacity - 1) return false;
    marker_text[got] = 0;
    return true;
}

// Writes the marker of the freshly unpacked `tree`, last of all; a failure ends the process.
void write_marker(const wchar_t* tree)
{
    tree_summary summary;
    if (!summarize_tree(tree, &summary)) exit_unpack_failed();
    format_marker(expected_text, &summary);
    wchar_t path[wide_path_capacity];
    marker_path(path, tree);
    HANDLE file = CreateFileW(path, GENERIC_WRITE, FILE_SHARE_READ, NULL, CREATE_NEW, 0, NULL);
    if (file == INVALID_HANDLE_VALUE) exit_cannot_open_output(path);
    DWORD size = static_cast<DWORD>(strlen(expected_text)), written = 0;
    // Flushed, so that a tree moved into place has its marker on disk.
    BOOL done = WriteFile(file, expected_text, size, &written, NULL) && written == size && FlushFileBuffers(file);
    DWORD error = GetLastError();
    CloseHandle(file);
    if (!done) {
        SetLastError(error);
        exit_unpack_failed();
    }
}

bool verify_requested()
{
    wchar_t* value = get_env_var(TAVRIN_ENV_ONEFILE_VERIFY);
    bool requested = value != NULL && wcscmp(value, L"1") == 0;
    free(value);
    return requested;
}

// Whether the tree at cache_tree is complete for this archive (see cache.h).
bool tree_complete()
{
    tree_summary summary;
    if (!read_marker(cache_tree) || !summarize_tree(cache_tree, &summary)) return false;
    format_marker(expected_text, &summary);
    if (strcmp(marker_text, expected_text) != 0) return false;
    if (!verify_requested()) return true;
    uint64_t entries = 0;
    open_attached_data(archive_block, archive_length);
    return attached_data_matches_files(&entries) && entries == summary.files;
}

// Every existing level of the cache directory's path below the spec's root must be acceptable.
void check_levels()
{
    wchar_t level[wide_path_capacity];
    copy_wide_bounded(level, cache_tree, wide_path_capacity);
    for (size_t at = spec_root_length(launch_unpack_spec(), cache_tree) + 1; at <= wcslen(cache_tree); ++at) {
        if (cache_tree[at] != L'\\' && cache_tree[at] != 0) continue;
        level[at] = 0;
        DWORD attributes = GetFileAttributesW(level);
        if (attributes == INVALID_FILE_ATTRIBUTES) return;  // neither it nor the levels below exist
        if (!cache_level_acceptable(attributes)) exit_cache_refused(level, "a link or a file on its path");
        level[at] = cache_tree[at];
    }
}

// `cache_tree` + ".tmp-<our id>-<token>" into `path`.
void make_sibling_name(wchar_t* path)
{
    unsigned char bytes[8];
    if (!fill_system_random(bytes, sizeof bytes)) {
        LARGE_INTEGER counter;
        QueryPerformanceCounter(&counter);
        for (int i = 0; i < 8; ++i) bytes[i] = static_cast<unsigned char>(counter.QuadPart >> (8 * i));
    }
    wchar_t token[random_token_capacity];
    encode_random_token(bytes, token);
    char id[16];
    snprintf(id, sizeof id, "%lu-", static_cast<unsigned long>(GetCurrentProcessId()));
    copy_wide_bounded(path, cache_tree, wide_path_capacity);
    append_wide_bounded(path, leftover_infix, wide_path_capacity);
    append_ascii_widened(path, id, wide_path_capacity);
    append_wide_bounded(path, token, wide_path_capacity);
}

// The process id in a sibling's name after the tree's own name, or 0 when the name does not
// follow the pattern "<identity>.tmp-<digits>-<11 token characters>".
uint32_t leftover_process(const wchar_t* name, const wchar_t* tree_name)
{
    size_t prefix = wcslen(tree_name), infix = wcslen(leftover_infix);
    if (wcsncmp(name, tree_name, prefix) != 0 || wcsncmp(name + prefix, leftover_infix, infix) != 0) return 0;
    const wchar_t* at = name + prefix + infix;
    uint64_t id = 0;
    size_t digits = 0;
    for (; *at >= L'0' && *at <= L'9' && digits <= pid_digits_max; ++at, ++digits) id = id * 10 + static_cast<uint64_t>(*at - L'0');
    if (digits == 0 || digits > pid_digits_max || id > 0xFFFFFFFFu || *at != L'-' || wcslen(at + 1) != random_token_length)
        return 0;
    return static_cast<uint32_t>(id);
}

// Deletes the siblings of the cache directory that runs now ended left behind.
void remove_stale_leftovers()
{
    wchar_t pattern[wide_path_capacity];
    copy_wide_bounded(pattern, cache_tree, wide_path_capacity);
    append_wide_bounded(pattern, L".tmp-*", wide_path_capacity);
    wchar_t* last = wcsrchr(cache_tree, L'\\');
    if (last == NULL) return;
    const size_t parent_length = static_cast<size_t>(last - cache_tree) + 1;
    WIN32_FIND_DATAW found;
    HANDLE search = FindFirstFileExW(pattern, FindExInfoBasic, &found, FindExSearchNameMatch, NULL, 0);
    if (search == INVALID_HANDLE_VALUE) return;
    do {
        uint32_t process = leftover_process(found.cFileName, last + 1);
        if (process == 0 || (found.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) !=
                                FILE_ATTRIBUTE_DIRECTORY)
            continue;
        if (!leftover_is_stale(process, found.ftCreationTime)) continue;
        wchar_t path[wide_path_capacity];
        copy_wide_bounded(path, cache_tree, wide_path_capacity);
        path[parent_length] = 0;
        append_wide_bounded(path, found.cFileName, wide_path_capacity);
        delete_directory_tree(path);
    } while (FindNextFileW(search, &found));
    FindClose(search);
}

// Unpacks the archive into a new private sibling and writes its marker. The sibling is the unpack
// directory meanwhile, so that a fatal exit or an interrupt deletes it.
void unpack_into_sibling()
{
    make_sibling_name(sibling);
    uint32_t error = 0;
    if (!create_containing_directories(sibling)) error = GetLastError();
    if (error != 0 || !create_private_directory(sibling, &error)) {
        refuse_unwritable_executable_folder(launch_unpack_spec(), error);
        SetLastError(error);
        exit_cannot_open_output(sibling);
    }
    copy_wide_bounded(unpack_directory, sibling, wide_path_capacity);
    record_unpack_directory_identity();
    unpack_started = 1;
    open_attached_data(archive_block, archive_length);
    unpack_attached_data(role_parent);
    write_marker(sibling);
    // From here on nothing is deleted by the clean-up: the sibling is complete.
    unpack_started = 0;
    copy_wide_bounded(unpack_directory, cache_tree, wide_path_capacity);
}

// Opens the tree at cache_tree for checking; NULL when there is none. Refuses one that is a link,
// no directory or not this user's.
HANDLE open_tree()
{
    const DWORD access = READ_CONTROL | FILE_LIST_DIRECTORY | FILE_READ_ATTRIBUTES | SYNCHRONIZE;
    HANDLE tree = CreateFileW(cache_tree, access, FILE_SHARE_READ | FILE_SHARE_WRITE, NULL, OPEN_EXISTING,
                              FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, NULL);
    if (tree == INVALID_HANDLE_VALUE) {
        DWORD error = GetLastError();
        if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND) return NULL;
        exit_with_system_error("Error, couldn't open cached unpack directory.", error);
    }
    BY_HANDLE_FILE_INFORMATION info;
    if (!GetFileInformationByHandle(tree, &info) || !cache_level_acceptable(info.dwFileAttributes))
        exit_cache_refused(cache_tree, "a link or not a directory");
    if (!handle_has_own_owner(tree)) exit_cache_refused(cache_tree, "its owner is not this user");
    return tree;
}

}  // namespace

void append_archive_identity()
{
    const char* identity = launch_archive_identity();
    bool hex = identity[0] != 0;
    for (const char* digit = identity; *digit != 0; ++digit)
        hex = hex && ((*digit >= '0' && *digit <= '9') || (*digit >= 'a' && *digit <= 'f'));
    if (!hex) exit_with_message("Error, cached mode without archive identity.");
    append_wide_bounded(unpack_directory, L"\\", wide_path_capacity);
    append_ascii_widened(unpack_directory, identity, wide_path_capacity);
}

bool cache_level_acceptable(DWORD attributes)
{
    return (attributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) == FILE_ATTRIBUTE_DIRECTORY;
}

bool leftover_is_stale(uint32_t process_id, FILETIME made)
{
    if (process_id == GetCurrentProcessId()) return false;
    HANDLE process = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION | SYNCHRONIZE, FALSE, process_id);
    if (process == NULL) return GetLastError() == ERROR_INVALID_PARAMETER;  // no such process
    FILETIME created, exited, kernel, user;
    bool stale = WaitForSingleObject(process, 0) == WAIT_OBJECT_0 ||
                 (GetProcessTimes(process, &created, &exited, &kernel, &user) && CompareFileTime(&created, &made) > 0);
    CloseHandle(process);
    return stale;
}

void prepare_cached_tree(const unsigned char* block, uint64_t length)
{
    archive_block = block;
    archive_length = length;
    copy_wide_bounded(cache_tree, unpack_directory, wide_path_capacity);
    check_levels();
    DWORD last_error = ERROR_ALREADY_EXISTS;
    for (int attempt = 1;; ++attempt) {
        HANDLE tree = open_tree();
        if (tree != NULL) {
            if (tree_complete()) {
                held_tree = tree;
                return;
            }
            CloseHandle(tree);
        }
        if (attempt > tree_tries) break;
        remove_stale_leftovers();
        unpack_into_sibling();
        if (tree != NULL) {
            // The damaged tree goes first, under a sibling's name, then is deleted (what cannot be
            // deleted now, a later run deletes once this process has ended). It fails while
            // another run holds the tree: this run's own copy then goes, and the tree is checked
            // again.
            wchar_t away[wide_path_capacity];
            make_sibling_name(away);
            if (MoveFileExW(cache_tree, away, 0)) delete_directory_tree(away);
        }
        // Never replacing: when another run moved its tree in first, that one is checked next.
        if (MoveFileExW(sibling, cache_tree, 0)) continue;
        last_error = GetLastError();
        delete_directory_tree(sibling);
    }
    exit_with_system_error("Error, couldn't prepare cached unpack directory.", last_error);
}
