// Cached mode: the kept tree checked through its marker and one walk (an elevated run's also sealed
// and held), a fresh tree unpacked into a private sibling and moved into place, damaged trees and
// leftovers of ended runs deleted.
#include "launcher/cache.h"

#include <inttypes.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <wchar.h>

#include "include/tavrin/onefile.h"
#include "launcher/cleanup.h"
#include "launcher/errors.h"
#include "launcher/held_tree.h"
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
    marker_capacity = 256,     // the marker's text and its terminator
    long_capacity = 32768,     // a long ("\\?\") path and its terminator
    pid_digits_max = 10,
    busy_pauses = 5,           // waits for a tree that another run holds with delete access
    busy_pause_ms = 20
};

const wchar_t leftover_infix[] = L".tmp-";
const char marker_format[] = "tavrin-onefile cache 1\nidentity %s\nfiles %" PRIu64 " bytes %" PRIu64 " fingerprint %016" PRIx64 "\n";

// Process-wide state of the parent in cached mode, written by prepare_cached_tree only:
// cache_tree   the cache directory (the spec's expansion and the identity), fixed once set;
// sibling      the private directory a run unpacks into, or a damaged tree is renamed to;
// held_tree    the tree in use, open until the process ends (never closed);
// checked      the identity of the tree open_tree opened last;
// elevated     whether this process's token is elevated, read once;
// the block    the attached data, for unpacking and for TAVRIN_ONEFILE_VERIFY.
wchar_t cache_tree[wide_path_capacity];
wchar_t sibling[wide_path_capacity];
char marker_text[marker_capacity];
char expected_text[marker_capacity];
char written_text[marker_capacity];
HANDLE held_tree;
directory_identity checked;
bool elevated;
const unsigned char* archive_block;
uint64_t archive_length;

// The directory at `path` opened for listing and reading its owner, without delete sharing (nobody
// renames it while it is open) and not through a link; INVALID_HANDLE_VALUE when it cannot be.
HANDLE open_directory(const wchar_t* path)
{
    const DWORD access = READ_CONTROL | FILE_LIST_DIRECTORY | FILE_READ_ATTRIBUTES | SYNCHRONIZE;
    return CreateFileW(path, access, FILE_SHARE_READ | FILE_SHARE_WRITE, NULL, OPEN_EXISTING,
                       FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, NULL);
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

// Writes the marker of the freshly unpacked `tree`, last of all, and keeps its text in
// written_text; `made` is the tree's handle when this run holds it (an elevated run), NULL
// otherwise. A failure ends the process.
void write_marker(const wchar_t* tree, HANDLE made)
{
    tree_summary summary;
    // Listed through the handle where there is one: by path, Wine 8 opens the directory without
    // delete sharing, which fails while the handle (with DELETE access) is open.
    HANDLE directory = made != NULL ? made : open_directory(tree);
    bool walked = directory != INVALID_HANDLE_VALUE && walk_held_tree(directory, false, &summary, NULL, 0);
    DWORD error = GetLastError();
    // Nothing below the sibling may stay open while it is renamed into place.
    release_held_tree();
    if (made == NULL && directory != INVALID_HANDLE_VALUE) CloseHandle(directory);
    if (!walked) {
        SetLastError(error);
        exit_unpack_failed();
    }
    format_marker(written_text, &summary);
    wchar_t path[wide_path_capacity];
    marker_path(path, tree);
    HANDLE file = CreateFileW(path, GENERIC_WRITE, FILE_SHARE_READ, NULL, CREATE_NEW, 0, NULL);
    if (file == INVALID_HANDLE_VALUE) exit_cannot_open_output(path);
    DWORD size = static_cast<DWORD>(strlen(written_text)), written = 0;
    // Flushed, so that a tree moved into place has its marker on disk.
    BOOL done = WriteFile(file, written_text, size, &written, NULL) && written == size && FlushFileBuffers(file);
    error = GetLastError();
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

// Whether the tree below the open `tree` is complete for this archive by its marker and, with
// `verify`, its content, all of it held (walk_held_tree); nothing is held when it is not.
bool held_tree_complete(HANDLE tree, bool verify)
{
    tree_summary summary;
    if (!walk_held_tree(tree, true, &summary, marker_text, marker_capacity)) return false;
    format_marker(expected_text, &summary);
    bool complete = strcmp(marker_text, expected_text) == 0;
    if (complete && verify) {
        open_attached_data(archive_block, archive_length);
        complete = held_files_match_attached_data();
    }
    if (!complete) release_held_tree();
    return complete;
}

// Whether the tree at cache_tree, open as `tree`, may be used as it is (see cache.h).
bool tree_complete(HANDLE tree)
{
    // Elevated, only a tree that no lesser process can have written, held from the check on.
    if (elevated) return handle_is_sealed(tree) && held_tree_complete(tree, verify_requested());
    // Walked, and its marker read, through the handle that was checked: whatever is renamed above
    // it meanwhile, the walk never leaves it. Its directories stay held while it is in use (closing
    // them would cost a round trip to the server each under Wine 8; the process's end closes them
    // at once); a damaged tree is let go, so that it can be renamed away.
    tree_summary summary;
    if (!walk_held_tree(tree, false, &summary, marker_text, marker_capacity)) return false;
    format_marker(expected_text, &summary);
    bool complete = strcmp(marker_text, expected_text) == 0;
    if (complete && verify_requested()) {
        uint64_t entries = 0;
        open_attached_data(archive_block, archive_length);
        complete = attached_data_matches_files(&entries) && entries == summary.files;
    }
    if (!complete) release_held_tree();
    return complete;
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
        delete_directory_tree(path, NULL);
    } while (FindNextFileW(search, &found));
    FindClose(search);
}

// Unpacks the archive into a new private sibling and writes its marker. The sibling is the unpack
// directory meanwhile, so that a fatal exit or an interrupt deletes it. An elevated run's sibling
// is sealed and held from the moment it is made (nobody can put another directory in its place
// while files are written into it by path): its handle is returned, NULL for any other run.
HANDLE unpack_into_sibling()
{
    make_sibling_name(sibling);
    uint32_t error = 0;
    void* made = NULL;
    if (!create_containing_directories(sibling)) error = GetLastError();
    if (error != 0 ||
        !(elevated ? create_held_private_directory(sibling, &error, &made, true) : create_private_directory(sibling, &error))) {
        refuse_unwritable_executable_folder(launch_unpack_spec(), error);
        SetLastError(error);
        exit_cannot_open_output(sibling);
    }
    copy_wide_bounded(unpack_directory, sibling, wide_path_capacity);
    record_unpack_directory_identity();
    if (made != NULL) hold_unpack_directory(made);
    unpack_started = 1;
    open_attached_data(archive_block, archive_length);
    unpack_attached_data(role_parent);
    write_marker(sibling, made);
    // From here on nothing is deleted by the clean-up: the sibling is complete.
    unpack_started = 0;
    if (made != NULL && take_unpack_directory_hold() == NULL) {
        // An interrupt's clean-up took the handle and deletes the sibling; the process is ending.
        SetLastError(ERROR_OPERATION_ABORTED);
        exit_unpack_failed();
    }
    copy_wide_bounded(unpack_directory, cache_tree, wide_path_capacity);
    return made;
}

// Renames the directory open as `directory` (with DELETE access) to cache_tree, never replacing.
bool rename_into_place(HANDLE directory)
{
    static union {
        FILE_RENAME_INFO info;
        unsigned char bytes[sizeof(FILE_RENAME_INFO) + long_capacity * sizeof(wchar_t)];
    } rename;
    ZeroMemory(&rename.info, sizeof rename.info);
    rename.info.ReplaceIfExists = FALSE;
    rename.info.RootDirectory = NULL;
    size_t units = long_path_form(cache_tree, rename.info.FileName, long_capacity);
    if (units == 0) return false;
    rename.info.FileNameLength = static_cast<DWORD>(units * sizeof(wchar_t));
    return SetFileInformationByHandle(directory, FileRenameInfo, &rename, sizeof rename) != 0;
}

// An elevated run's tree `made`, just renamed into place through that handle, taken as the tree in
// use without its descriptor being read (Wine 8 reads back none that it was given): `made` is
// closed (while a handle with DELETE access is open, no other run can open the tree without
// sharing deletion), the tree opened again without DELETE access, and it must be the same
// directory; then it is held whole and complete by the marker this run wrote.
bool take_made_tree(HANDLE made)
{
    BY_HANDLE_FILE_INFORMATION made_info, tree_info;
    bool known = GetFileInformationByHandle(made, &made_info) != 0;
    CloseHandle(made);
    HANDLE tree = open_directory(cache_tree);
    if (tree == INVALID_HANDLE_VALUE) return false;
    // Something else put in its place in between is not used (a later check repairs it). The tree
    // itself renamed away and back is: nobody below the administrators can have changed it.
    bool same = known && GetFileInformationByHandle(tree, &tree_info) && cache_level_acceptable(tree_info.dwFileAttributes) &&
                made_info.dwVolumeSerialNumber == tree_info.dwVolumeSerialNumber &&
                made_info.nFileIndexHigh == tree_info.nFileIndexHigh && made_info.nFileIndexLow == tree_info.nFileIndexLow;
    if (same && held_tree_complete(tree, false)) {
        if (strcmp(marker_text, written_text) == 0) {
            held_tree = tree;
            return true;
        }
        release_held_tree();
    }
    CloseHandle(tree);
    return false;
}

// This run's complete sibling as its unpack directory for this run only: held as it was made (an
// elevated run's), deleted by the clean-up at the end, on an interrupt or a fatal exit (its identity
// was recorded when it was made), and named to the child through the sibling's token in
// TAVRIN_ONEFILE_RANDOM, which cached mode's spec never uses (append_parent_copy).
void run_from_own_copy(HANDLE made)
{
    copy_wide_bounded(unpack_directory, sibling, wide_path_capacity);
    if (made != NULL) hold_unpack_directory(made);
    unpack_started = 1;
    set_env_var(TAVRIN_ENV_ONEFILE_RANDOM, sibling + wcslen(sibling) - random_token_length);
}

// Opens the tree at cache_tree for checking and records its identity in `checked`; NULL when there
// is none, or only one that another run holds with delete access. Refuses one that is a link or no
// directory, and, for a run that is not elevated, one whose owner it does not trust (an elevated
// run repairs instead whatever is not sealed).
HANDLE open_tree()
{
    HANDLE tree = INVALID_HANDLE_VALUE;
    for (int pause = 0;; ++pause) {
        tree = open_directory(cache_tree);
        if (tree != INVALID_HANDLE_VALUE || GetLastError() != ERROR_SHARING_VIOLATION || pause == busy_pauses) break;
        Sleep(busy_pause_ms);
    }
    if (tree == INVALID_HANDLE_VALUE) {
        DWORD error = GetLastError();
        // A tree that another run holds with delete access (an elevated run renaming its own into
        // place, for a moment) is none that this run could use or replace.
        if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND || error == ERROR_SHARING_VIOLATION) return NULL;
        exit_with_system_error("Error, couldn't open cached unpack directory.", error);
    }
    BY_HANDLE_FILE_INFORMATION info;
    if (!GetFileInformationByHandle(tree, &info) || !cache_level_acceptable(info.dwFileAttributes))
        exit_cache_refused(cache_tree, "a link or not a directory");
    checked = identity_of(&info);
    if (!elevated && !handle_has_trusted_owner(tree)) exit_cache_refused(cache_tree, "its owner is not this user");
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

bool retire_tree(const wchar_t* tree, const wchar_t* away, const directory_identity* identity)
{
    if (!MoveFileExW(tree, away, 0)) return false;
    // Another directory took the tree's place after the check: a run that has just renamed its own
    // tree in and not yet opened it again, say. It goes back while the place is free, never deleted.
    HANDLE moved = CreateFileW(away, FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, NULL,
                               OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, NULL);
    BY_HANDLE_FILE_INFORMATION info;
    bool checked_one = moved != INVALID_HANDLE_VALUE && GetFileInformationByHandle(moved, &info);
    if (moved != INVALID_HANDLE_VALUE) CloseHandle(moved);
    if (checked_one) {
        const directory_identity found = identity_of(&info);
        checked_one = found.serial == identity->serial && found.index_high == identity->index_high &&
                      found.index_low == identity->index_low;
    }
    if (!checked_one) {
        MoveFileExW(away, tree, 0);
        return false;
    }
    return delete_directory_tree(away, identity);
}

bool prepare_cached_tree(const unsigned char* block, uint64_t length)
{
    archive_block = block;
    archive_length = length;
    elevated = own_token_elevated();
    copy_wide_bounded(cache_tree, unpack_directory, wide_path_capacity);
    check_levels();
    for (int attempt = 1;; ++attempt) {
        HANDLE tree = open_tree();
        if (tree != NULL) {
            if (tree_complete(tree)) {
                held_tree = tree;
                return true;
            }
            CloseHandle(tree);
        }
        if (attempt > tree_tries) break;
        remove_stale_leftovers();
        HANDLE made = unpack_into_sibling();
        if (tree != NULL) {
            // The damaged tree goes first, under a sibling's name, then is deleted (what cannot be
            // deleted now, a later run deletes once this process has ended). It fails while
            // another run holds the tree: this run's own copy then goes, and the tree is checked
            // again.
            wchar_t away[wide_path_capacity];
            make_sibling_name(away);
            retire_tree(cache_tree, away, &checked);
        }
        // Never replacing: when another run moved its tree in first, that one is checked next.
        // An elevated run moves the sibling it holds and uses it; it is never checked as found.
        if (made != NULL ? rename_into_place(made) : MoveFileExW(sibling, cache_tree, 0) != 0) {
            if (made != NULL && take_made_tree(made)) return true;
            continue;
        }
        // The place is taken. By a tree another run moved in first: that one is used when it passes
        // the checks. Otherwise by a tree this run can neither use nor replace (another run holds
        // it; to an elevated run under Wine 8 no tree reads back sealed): unpacking again would meet
        // it again, so this run uses the copy it has, deleted at its end as a temporary one is.
        HANDLE winner = open_tree();
        if (winner != NULL && tree_complete(winner)) {
            held_tree = winner;
            if (made != NULL) CloseHandle(made);
            delete_directory_tree(sibling, NULL);
            return true;
        }
        if (winner != NULL) CloseHandle(winner);
        run_from_own_copy(made);
        return false;
    }
    exit_with_system_error("Error, couldn't prepare cached unpack directory.", ERROR_ALREADY_EXISTS);
}

void append_parent_copy()
{
    wchar_t* token = get_env_var(TAVRIN_ENV_ONEFILE_RANDOM);
    if (token == NULL) return;
    wchar_t* parent = get_env_var(TAVRIN_ENV_ONEFILE_PARENT);
    if (parent == NULL) abort_bound();  // the child role is never taken without it
    append_wide_bounded(unpack_directory, leftover_infix, wide_path_capacity);
    append_wide_bounded(unpack_directory, parent, wide_path_capacity);
    append_wide_bounded(unpack_directory, L"-", wide_path_capacity);
    append_wide_bounded(unpack_directory, token, wide_path_capacity);
    free(parent);
    free(token);
}
