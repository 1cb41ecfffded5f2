// Cached mode: the kept tree checked through its marker and one walk (an elevated run's also sealed
// and held), a fresh tree unpacked into a private sibling and moved into place, damaged trees and
// leftovers of ended runs deleted.
#include "launcher/cache.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <wchar.h>

#include "include/tavrin/onefile.h"
#include "launcher/cleanup.h"
#include "base/errors.h"
#include "base/trace.h"
#include "launcher/held_tree.h"
#include "launcher/progress_window.h"
#include "launcher/leftovers.h"
#include "base/process_state.h"
#include "paths/bounded.h"
#include "paths/directory_spec.h"
#include "paths/directory_spec_values.h"
#include "paths/environment.h"
#include "paths/security.h"
#include "format/settings_record.h"
#include "payload/reader.h"
#include "payload/settings.h"
#include "payload/unpack.h"

namespace {

enum {
    tree_tries = 4,            // checks of the tree before the parent gives up (each may unpack)
    long_capacity = 32768,     // a long ("\\?\") path and its terminator
    busy_pauses = 5,           // waits for a tree that another run holds with delete access
    busy_pause_ms = 20
};

const wchar_t leftover_infix[] = L"" TAVRIN_CACHE_SIBLING_INFIX;

// This file's own state (the kept tree's place is the unpack directory, base/process_state.h, fixed
// once expanded), written by the parent in cached mode within prepare_cached_tree, except the first:
// archive_identity  the archive's identity, read once by append_archive_identity (either role);
// sibling           the private directory a run unpacks into, or a damaged tree is renamed to;
// held_tree         the tree in use, open until the process ends (never closed);
// checked           the identity of the tree open_tree opened last;
// sealed            whether that tree was sealed (read back by an elevated run's open_tree only);
// elevated          whether this process's token is elevated, read once;
// verify            whether TAVRIN_ONEFILE_VERIFY=1 asks for the content to be compared, read once;
// written           the summary of the marker this run wrote last;
// the block         the attached data, for unpacking and for TAVRIN_ONEFILE_VERIFY.
const char* archive_identity;
wchar_t sibling[wide_path_capacity];
HANDLE held_tree;
directory_identity checked;
bool sealed;
bool elevated;
bool verify;
tree_summary written;
// Carrying what the application added from a damaged tree: the entry's path in that tree and in
// the new one (long "\\?\" forms: what the application made may reach beyond the archive's path
// limit), the new tree's root, the entry under the cache directory's name (as the user knew it);
// the length of carry_from's root; whether entries are moved (or only named as removed).
wchar_t carry_from[long_capacity];
wchar_t carry_into[long_capacity];
wchar_t carry_into_root[long_capacity];
wchar_t carry_shown[long_capacity];
size_t carry_root;
bool carry_moves;
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

// `tree` + "\" + the marker's name into `path` (wide_path_capacity units).
void marker_path(wchar_t* path, const wchar_t* tree)
{
    copy_wide_bounded(path, tree, wide_path_capacity);
    append_wide_bounded(path, L"\\" TAVRIN_CACHE_MARKER_NAME, wide_path_capacity);
}

// Writes the marker of the freshly unpacked `tree`, last of all: the archive's list as the tree
// holds it, recorded by one walk, and its summary (kept in `written`); `made` is the tree's handle
// when this run holds it (an elevated run), NULL otherwise. A failure ends the process.
void write_marker(const wchar_t* tree, HANDLE made)
{
    tree_summary summary;
    // Listed through the handle where there is one: by path, Wine 8 opens the directory without
    // delete sharing, which fails while the handle (with DELETE access) is open.
    HANDLE directory = made != NULL ? made : open_directory(tree);
    bool walked = directory != INVALID_HANDLE_VALUE && walk_held_tree(directory, false, walk_record, &summary);
    DWORD error = GetLastError();
    // Nothing below the sibling may stay open while it is renamed into place.
    release_held_tree();
    if (made == NULL && directory != INVALID_HANDLE_VALUE) CloseHandle(directory);
    if (!walked) {
        SetLastError(error);
        exit_unpack_failed();
    }
    size_t length = 0;
    const char* text = format_tree_marker(archive_identity, &summary, &length);
    if (text == NULL) {
        // Some half a million files and more: a marker that no run would read back.
        SetLastError(ERROR_FILE_TOO_LARGE);
        exit_unpack_failed();
    }
    written = summary;
    wchar_t path[wide_path_capacity];
    marker_path(path, tree);
    HANDLE file = CreateFileW(path, GENERIC_WRITE, FILE_SHARE_READ, NULL, CREATE_NEW, 0, NULL);
    if (file == INVALID_HANDLE_VALUE) exit_cannot_open_output(path);
    DWORD size = static_cast<DWORD>(length), wrote = 0;
    // Flushed, so that a tree moved into place has its marker on disk.
    BOOL done = WriteFile(file, text, size, &wrote, NULL) && wrote == size && FlushFileBuffers(file);
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

bool same_summary(const tree_summary* a, const tree_summary* b)
{
    return a->files == b->files && a->bytes == b->bytes && a->fingerprint == b->fingerprint;
}

// Whether the tree below the open `tree` holds this archive's files as its marker lists them
// (load_tree_marker, then one walk of the listed names, their files opened with `open_files`);
// what the application added is not looked at. The marker's summary into `*stated`. Nothing is
// held when it does not.
bool listed_files_present(HANDLE tree, bool open_files, tree_summary* stated)
{
    tree_summary found;
    if (!load_tree_marker(tree, archive_identity, stated)) {
        trace("kept tree %ls: damaged: its marker is missing, malformed or not this archive's", unpack_directory);
        return false;
    }
    if (!walk_held_tree(tree, open_files, walk_listed, &found)) {
        trace("kept tree %ls: damaged: a link, or a listed entry missing, replaced or of the other kind", unpack_directory);
        return false;
    }
    if (same_summary(&found, stated)) return true;
    trace("kept tree %ls: damaged: %llu files, %llu bytes where its marker lists %llu files, %llu bytes", unpack_directory,
          static_cast<unsigned long long>(found.files), static_cast<unsigned long long>(found.bytes),
          static_cast<unsigned long long>(stated->files), static_cast<unsigned long long>(stated->bytes));
    release_held_tree();
    return false;
}

// Whether the tree below the open `tree` is complete for this archive by its marker and, with
// `compare`, its content (see cache.h); its marker's summary into `*stated`. Walked, and its marker
// read, through the handle that was checked: whatever is renamed above it meanwhile, the walk never
// leaves it. Its directories stay held while it is in use (closing them would cost a round trip to
// the server each under Wine 8; the process's end closes them at once), and an elevated run's
// files too, so that their content is compared through those handles; a tree that is not complete
// is let go, so that it can be renamed away.
bool tree_complete(HANDLE tree, bool compare, tree_summary* stated)
{
    if (!listed_files_present(tree, elevated, stated)) return false;
    bool complete = true;
    if (compare) {
        uint64_t entries = 0;
        open_attached_data(archive_block, archive_length);
        complete = elevated ? held_files_match_attached_data()
                            : attached_data_matches_files(&entries) && entries == stated->files;
    }
    if (!complete) {
        trace("kept tree %ls: damaged: a file's content differs from the archive (" TAVRIN_ENV_ONEFILE_VERIFY "=1)",
              unpack_directory);
        release_held_tree();
    }
    return complete;
}

// Whether the tree at the unpack directory, as open_tree found and opened it, may be used as it is.
// Elevated, only a tree that no lesser process can have written (sealed), held from the check on.
bool found_tree_usable(HANDLE tree)
{
    tree_summary stated;
    if (elevated && !sealed) {
        trace("kept tree %ls: not sealed, so not used by an elevated run", unpack_directory);
        return false;
    }
    return tree_complete(tree, verify, &stated);
}

// Reports the entry at carry_shown's path as lost: not kept, or removed by the elevated rule.
void report_not_carried()
{
    if (carry_moves) report_cache_entry_not_kept(carry_shown);
    else report_cache_entry_removed(carry_shown);
}

// Sets `path` (long_capacity units) to `root` + "\" + carry_from's path below its root (`units`
// code units); false when it does not fit.
bool join_carried(wchar_t* path, const wchar_t* root, size_t units)
{
    size_t length = wcslen(root);
    if (length + 1 + units + 1 > long_capacity) return false;
    wmemcpy(path, root, length);
    path[length] = L'\\';
    wmemcpy(path + length + 1, carry_from + carry_root + 1, units);
    path[length + 1 + units] = 0;
    return true;
}

// Moves into the new tree (at carry_into_root) the entries of the directory at carry_from (`units`
// code units below its root, 0 for the root) that are not in the archive's list, at the same
// path below the root, never replacing anything and never entering or keeping a link; the listed
// directories are entered, the listed files left (the damaged tree goes with them). What cannot be
// moved is reported (report_not_carried); an elevated run's repair of a tree that was not sealed
// moves nothing and reports each added entry as removed.
void carry_directory(size_t units, int level)
{
    const size_t end = carry_root + (units != 0 ? units + 1 : 0);
    // Only listed directories are entered: their paths are the archive's, far below the limits.
    if (level > static_cast<int>(entry_name_capacity) || end + 3 > long_capacity) return;
    wmemcpy(carry_from + end, L"\\*", 3);
    WIN32_FIND_DATAW found;
    HANDLE search = FindFirstFileExW(carry_from, FindExInfoBasic, &found, FindExSearchNameMatch, NULL, 0);
    carry_from[end] = 0;
    if (search == INVALID_HANDLE_VALUE) return;
    do {
        const wchar_t* name = found.cFileName;
        const size_t length = wcslen(name);
        if (wcscmp(name, L".") == 0 || wcscmp(name, L"..") == 0) continue;
        if (level == 0 && wcscmp(name, L"" TAVRIN_CACHE_MARKER_NAME) == 0) continue;
        const size_t below = units != 0 ? units + 1 + length : length;
        if (end + 1 + length + 1 > long_capacity) continue;  // beyond any path the system makes
        carry_from[end] = L'\\';
        wmemcpy(carry_from + end + 1, name, length + 1);
        const bool link = (found.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
        const bool directory = (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
        if (is_listed_path(carry_from + carry_root + 1, below)) {
            // The archive's own name: a listed directory is entered (never through a link), the
            // rest goes with the damaged tree.
            if (directory && !link && is_listed_directory(carry_from + carry_root + 1, below)) carry_directory(below, level + 1);
        } else if (join_carried(carry_shown, unpack_directory, below)) {
            const bool moved = carry_moves && !link && join_carried(carry_into, carry_into_root, below) && MoveFileExW(carry_from, carry_into, 0);
            if (!moved) report_not_carried();
        }
        carry_from[end] = 0;
    } while (FindNextFileW(search, &found));
    FindClose(search);
}

// Carries what the application added to the tree at `from` into the tree at `into` (both fully
// qualified), moving it when `moves` (see carry_directory).
void carry_added_entries(const wchar_t* from, const wchar_t* into, bool moves)
{
    carry_root = long_path_form(from, carry_from, long_capacity);
    if (carry_root == 0 || long_path_form(into, carry_into_root, long_capacity) == 0) return;
    carry_moves = moves;
    carry_directory(0, 0);
}

// Every existing level of the cache directory's path below the spec's root must be acceptable.
void check_levels()
{
    wchar_t level[wide_path_capacity];
    copy_wide_bounded(level, unpack_directory, wide_path_capacity);
    for (size_t at = spec_root_length(unpack_spec, unpack_directory) + 1; at <= wcslen(unpack_directory); ++at) {
        if (unpack_directory[at] != L'\\' && unpack_directory[at] != 0) continue;
        level[at] = 0;
        DWORD attributes = GetFileAttributesW(level);
        if (attributes == INVALID_FILE_ATTRIBUTES) return;  // neither it nor the levels below exist
        if (!cache_level_acceptable(attributes)) exit_cache_refused(level, message_cache_link_on_path);
        level[at] = unpack_directory[at];
    }
}

// `base` + ".tmp-<our id>-<token>" into `path` (both wide_path_capacity units).
void make_sibling_name_of(wchar_t* path, const wchar_t* base)
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
    copy_wide_bounded(path, base, wide_path_capacity);
    append_wide_bounded(path, leftover_infix, wide_path_capacity);
    append_ascii_widened(path, id, wide_path_capacity);
    append_wide_bounded(path, token, wide_path_capacity);
}

// `unpack_directory` + ".tmp-<our id>-<token>" into `path`.
void make_sibling_name(wchar_t* path) { make_sibling_name_of(path, unpack_directory); }

// The process id in a sibling's name after the tree's own name, or 0 when the name does not
// follow the pattern "<identity>.tmp-<digits>-<11 token characters>".
uint32_t leftover_process(const wchar_t* name, const wchar_t* tree_name)
{
    size_t prefix = wcslen(tree_name), infix = wcslen(leftover_infix);
    if (wcsncmp(name, tree_name, prefix) != 0 || wcsncmp(name + prefix, leftover_infix, infix) != 0) return 0;
    const wchar_t* at = name + prefix + infix;
    const uint32_t process = read_process_id(&at, at + wcslen(at));
    return process != 0 && *at == L'-' && wcslen(at + 1) == random_token_length ? process : 0;
}

// Deletes the siblings of the cache directory that runs now ended left behind.
void remove_stale_leftovers()
{
    wchar_t pattern[wide_path_capacity];
    copy_wide_bounded(pattern, unpack_directory, wide_path_capacity);
    append_wide_bounded(pattern, L"" TAVRIN_CACHE_SIBLING_INFIX L"*", wide_path_capacity);
    wchar_t* last = wcsrchr(unpack_directory, L'\\');
    if (last == NULL) return;
    const size_t parent_length = static_cast<size_t>(last - unpack_directory) + 1;
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
        copy_wide_bounded(path, unpack_directory, wide_path_capacity);
        path[parent_length] = 0;
        append_wide_bounded(path, found.cFileName, wide_path_capacity);
        delete_directory_tree(path, NULL);
    } while (FindNextFileW(search, &found));
    FindClose(search);
}

enum {
    version_parts_max = 4,     // a.b.c.d
    version_digits_max = 5,    // each part at most 65535 in a version block, 99999 here
    identity_digits = launch_settings_identity_digits  // a tree's folder name
};

// Whether the spec ends in "\{PRODUCT}\{VERSION}" (any letter case): the default shapes, in which
// every version of one product has its own folder beside the others and nothing else.
bool spec_keeps_versions_apart()
{
    const wchar_t tail[] = L"" TAVRIN_CACHE_VERSIONS_TAIL;
    const size_t length = wcslen(unpack_spec), tail_length = wcslen(tail);
    return length > tail_length && _wcsicmp(unpack_spec + length - tail_length, tail) == 0;
}

// The numbers of a version text "a[.b[.c[.d]]]" (each part 1 to version_digits_max decimal
// digits, missing parts 0) into `numbers`; false for any other text.
bool parse_version_text(const wchar_t* text, uint32_t* numbers)
{
    for (int part = 0; part < version_parts_max; ++part) numbers[part] = 0;
    int part = 0;
    int digits = 0;
    for (const wchar_t* at = text;; ++at) {
        if (*at >= L'0' && *at <= L'9') {
            if (++digits > version_digits_max) return false;
            numbers[part] = numbers[part] * 10 + static_cast<uint32_t>(*at - L'0');
        } else if ((*at == L'.' || *at == 0) && digits != 0) {
            if (*at == 0) return true;
            if (++part == version_parts_max) return false;
            digits = 0;
        } else {
            return false;
        }
    }
}

// Whether `name` is an archive identity as append_archive_identity writes it (32 lower-case hex
// digits) for its first identity_digits units, and the whole of it when `whole`.
bool identity_named(const wchar_t* name, bool whole)
{
    for (int i = 0; i < identity_digits; ++i)
        if (!archive_identity_unit(name[i])) return false;
    return !whole || name[identity_digits] == 0;
}

// open_directory, kept only when what it opened is a plain directory (cache_level_acceptable), its
// information then in `*info`; INVALID_HANDLE_VALUE otherwise.
HANDLE open_plain_directory(const wchar_t* path, BY_HANDLE_FILE_INFORMATION* info)
{
    HANDLE directory = open_directory(path);
    if (directory == INVALID_HANDLE_VALUE) return directory;
    if (GetFileInformationByHandle(directory, info) && cache_level_acceptable(info->dwFileAttributes)) return directory;
    CloseHandle(directory);
    return INVALID_HANDLE_VALUE;
}

// The directory at `path` opened without following a link and without delete sharing (nobody renames
// it while it is open), when it is a plain directory whose owner is one this run may clean up after:
// made at this run's level (handle_has_own_owner), and for an elevated run sealed as well (a lesser
// user's tree is never touched, nor an elevated run's by a lesser one). Its identity into `*identity`;
// INVALID_HANDLE_VALUE otherwise.
HANDLE open_removable(const wchar_t* path, directory_identity* identity)
{
    BY_HANDLE_FILE_INFORMATION info;
    HANDLE directory = open_plain_directory(path, &info);
    if (directory == INVALID_HANDLE_VALUE) return directory;
    if (handle_has_own_owner(directory) && (!elevated || handle_is_sealed(directory))) {
        *identity = identity_of(&info);
        return directory;
    }
    CloseHandle(directory);
    return INVALID_HANDLE_VALUE;
}

// Whether the tree at `tree`, whose folder name is `name` (an identity), holds a marker that this
// launcher wrote for it: a plain file (never a link) starting with the marker's version line and
// that identity. Only the head is read; whether the list is sound does not matter to a removal.
bool holds_own_marker(const wchar_t* tree, const wchar_t* name)
{
    char expected[64 + identity_digits];
    int length = snprintf(expected, sizeof expected, "%s", TAVRIN_CACHE_MARKER_VERSION_LINE TAVRIN_CACHE_MARKER_IDENTITY_KEY);
    if (length < 0 || length + identity_digits + 2 > static_cast<int>(sizeof expected)) abort_bound();
    for (int i = 0; i < identity_digits; ++i) expected[length++] = static_cast<char>(name[i]);
    expected[length++] = '\n';
    wchar_t path[wide_path_capacity];
    marker_path(path, tree);
    HANDLE file = CreateFileW(path, GENERIC_READ, FILE_SHARE_READ, NULL, OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, NULL);
    if (file == INVALID_HANDLE_VALUE) return false;
    BY_HANDLE_FILE_INFORMATION info;
    char head[sizeof expected];
    DWORD got = 0;
    bool own = GetFileInformationByHandle(file, &info) &&
               (info.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) == 0 &&
               ReadFile(file, head, static_cast<DWORD>(length), &got, NULL) && got == static_cast<DWORD>(length) &&
               memcmp(head, expected, static_cast<size_t>(length)) == 0;
    CloseHandle(file);
    return own;
}

// Removes from the version folder at `folder` (held open by the caller) the trees that this
// launcher made and that no run holds, and the leftovers of its ended runs; true when it removed
// anything. A tree goes through retire_tree: its rename to a private name fails while a running
// launcher holds it (without delete sharing), and it is deleted only while it is the directory
// that was checked here.
bool remove_version_trees(const wchar_t* folder)
{
    wchar_t pattern[wide_path_capacity];
    copy_wide_bounded(pattern, folder, wide_path_capacity);
    append_wide_bounded(pattern, L"\\*", wide_path_capacity);
    WIN32_FIND_DATAW found;
    HANDLE search = FindFirstFileExW(pattern, FindExInfoBasic, &found, FindExSearchNameMatch, NULL, 0);
    if (search == INVALID_HANDLE_VALUE) return false;
    bool removed = false;
    do {
        const wchar_t* name = found.cFileName;
        if (!cache_level_acceptable(found.dwFileAttributes) || !identity_named(name, false)) continue;
        const bool tree = name[identity_digits] == 0;
        wchar_t identity_text[identity_digits + 1];
        wmemcpy(identity_text, name, identity_digits);
        identity_text[identity_digits] = 0;
        if (!tree) {
            // "<identity>.tmp-<pid>-<token>": a sibling, or a tree retired by a removal that did not
            // finish; only one of a run that has ended goes.
            uint32_t process = leftover_process(name, identity_text);
            if (process == 0 || !leftover_is_stale(process, found.ftCreationTime)) continue;
        }
        wchar_t path[wide_path_capacity];
        copy_wide_bounded(path, folder, wide_path_capacity);
        append_wide_bounded(path, L"\\", wide_path_capacity);
        append_wide_bounded(path, name, wide_path_capacity);
        directory_identity identity;
        HANDLE directory = open_removable(path, &identity);
        if (directory == INVALID_HANDLE_VALUE) continue;
        const bool marked = holds_own_marker(path, identity_text);
        CloseHandle(directory);
        if (tree && !marked) continue;
        if (tree) {
            wchar_t away[wide_path_capacity];
            make_sibling_name_of(away, path);
            const bool retired = retire_tree(path, away, &identity, NULL, false);
            if (retired) trace("older version's tree %ls removed", path);
            removed = retired || removed;
        } else {
            // Partly deleted, its marker may be gone already: its name and owner decide.
            removed = delete_directory_tree(path, &identity) || removed;
        }
    } while (FindNextFileW(search, &found));
    FindClose(search);
    return removed;
}

DWORD WINAPI remove_lower_versions_thread(void*)
{
    remove_lower_versions();
    return 0;
}

// Unpacks the archive into a new private sibling and writes its marker. The sibling is the directory
// in use meanwhile, and the clean-up may delete it, so that a fatal exit or an interrupt deletes it;
// afterwards the directory in use is the unpack directory again. An elevated run's sibling is
// sealed and held from the moment it is made (nobody can put another directory in its place while
// files are written into it by path): its handle is returned, NULL for any other run.
HANDLE unpack_into_sibling()
{
    make_sibling_name(sibling);
    uint32_t error = 0;
    void* made = NULL;
    if (!create_containing_directories(sibling)) error = GetLastError();
    if (error != 0 ||
        !(elevated ? create_held_private_directory(sibling, &error, &made, true) : create_private_directory(sibling, &error))) {
        refuse_unwritable_executable_folder(unpack_spec, error);
        SetLastError(error);
        exit_cannot_open_output(sibling);
    }
    use_directory(sibling);
    record_directory_in_use_identity();
    if (made != NULL) hold_directory_in_use(made);
    allow_cleanup_delete(true);
    open_attached_data(archive_block, archive_length);
    unpack_attached_data(role_parent);
    write_marker(sibling, made);
    // From here on nothing is deleted by the clean-up: the sibling is complete.
    allow_cleanup_delete(false);
    if (made != NULL && take_directory_in_use_hold() == NULL) {
        // An interrupt's clean-up took the handle and deletes the sibling; the process is ending.
        SetLastError(ERROR_OPERATION_ABORTED);
        exit_unpack_failed();
    }
    use_directory(unpack_directory);
    return made;
}

// Renames the directory open as `directory` (with DELETE access) to the unpack directory, never
// replacing.
bool rename_into_place(HANDLE directory)
{
    static union {
        FILE_RENAME_INFO info;
        unsigned char bytes[sizeof(FILE_RENAME_INFO) + long_capacity * sizeof(wchar_t)];
    } rename;
    ZeroMemory(&rename.info, sizeof rename.info);
    rename.info.ReplaceIfExists = FALSE;
    rename.info.RootDirectory = NULL;
    size_t units = long_path_form(unpack_directory, rename.info.FileName, long_capacity);
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
    HANDLE tree = open_directory(unpack_directory);
    if (tree == INVALID_HANDLE_VALUE) return false;
    // Something else put in its place in between is not used (a later check repairs it). The tree
    // itself renamed away and back is: nobody below the administrators can have changed it.
    bool same = known && GetFileInformationByHandle(tree, &tree_info) && cache_level_acceptable(tree_info.dwFileAttributes) &&
                made_info.dwVolumeSerialNumber == tree_info.dwVolumeSerialNumber &&
                made_info.nFileIndexHigh == tree_info.nFileIndexHigh && made_info.nFileIndexLow == tree_info.nFileIndexLow;
    tree_summary stated;
    if (same && tree_complete(tree, false, &stated)) {
        if (same_summary(&stated, &written)) {
            held_tree = tree;
            return true;
        }
        release_held_tree();
    }
    CloseHandle(tree);
    return false;
}

// This run's complete sibling as the directory in use for this run only: held as it was made (an
// elevated run's), deleted by the clean-up at the end, on an interrupt or a fatal exit (its identity
// was recorded when it was made), and named to the child through the sibling's token in
// TAVRIN_ONEFILE_RANDOM, which cached mode's spec never uses (use_parent_copy).
void run_from_own_copy(HANDLE made)
{
    use_directory(sibling);
    if (made != NULL) hold_directory_in_use(made);
    allow_cleanup_delete(true);
    set_env_var(TAVRIN_ENV_ONEFILE_RANDOM, sibling + wcslen(sibling) - random_token_length);
}

// Opens the tree at the unpack directory for checking and records its identity in `checked`; NULL
// when there is none, or only one that another run holds with delete access. Refuses one that is a
// link or no directory, and, for a run that is not elevated, one whose owner it does not trust (an
// elevated run records in `sealed` whether it is sealed, and repairs instead whatever is not).
HANDLE open_tree()
{
    HANDLE tree = INVALID_HANDLE_VALUE;
    for (int pause = 0;; ++pause) {
        tree = open_directory(unpack_directory);
        if (tree != INVALID_HANDLE_VALUE || GetLastError() != ERROR_SHARING_VIOLATION || pause == busy_pauses) break;
        Sleep(busy_pause_ms);
    }
    if (tree == INVALID_HANDLE_VALUE) {
        DWORD error = GetLastError();
        // A tree that another run holds with delete access (an elevated run renaming its own into
        // place, for a moment) is none that this run could use or replace.
        if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND || error == ERROR_SHARING_VIOLATION) return NULL;
        exit_with_system_error(message_cache_open_failed, error);
    }
    BY_HANDLE_FILE_INFORMATION info;
    if (!GetFileInformationByHandle(tree, &info) || !cache_level_acceptable(info.dwFileAttributes))
        exit_cache_refused(unpack_directory, message_cache_not_directory);
    checked = identity_of(&info);
    if (!elevated && !handle_has_trusted_owner(tree)) exit_cache_refused(unpack_directory, message_cache_foreign_owner);
    if (elevated) sealed = handle_is_sealed(tree);
    return tree;
}

}  // namespace

void append_archive_identity(wchar_t* directory)
{
    archive_identity = launch_archive_identity();
    bool hex = archive_identity[0] != 0;
    for (const char* digit = archive_identity; *digit != 0; ++digit)
        hex = hex && archive_identity_unit(static_cast<unsigned char>(*digit));
    if (!hex) exit_with_message(message_cache_without_identity);
    append_wide_bounded(directory, L"\\", wide_path_capacity);
    append_ascii_widened(directory, archive_identity, wide_path_capacity);
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

bool retire_tree(const wchar_t* tree, const wchar_t* away, const directory_identity* identity, const wchar_t* keep_into,
                 bool moves)
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
    if (keep_into != NULL) carry_added_entries(away, keep_into, moves);
    return delete_directory_tree(away, identity);
}

bool prepare_cached_tree(const unsigned char* block, uint64_t length)
{
    archive_block = block;
    archive_length = length;
    elevated = own_token_elevated();
    verify = verify_requested();
    check_levels();
    for (int attempt = 1;; ++attempt) {
        HANDLE tree = open_tree();
        if (tree != NULL) {
            if (found_tree_usable(tree)) {
                trace("kept tree %ls: intact, used as it is", unpack_directory);
                held_tree = tree;
                return true;
            }
            CloseHandle(tree);
        } else {
            trace("kept tree %ls: none yet", unpack_directory);
        }
        if (attempt > tree_tries) break;
        remove_stale_leftovers();
        // A first run, or a repair: what takes long, and what a windowed package shows progress for.
        arm_progress_window();
        HANDLE made = unpack_into_sibling();
        if (tree != NULL) {
            // The damaged tree goes first, under a sibling's name, then is deleted (what cannot be
            // deleted now, a later run deletes once this process has ended). It fails while
            // another run holds the tree: this run's own copy then goes, and the tree is checked
            // again.
            // What the application added to it moves into the new tree first (the archive's list is
            // the one this run has just recorded); an elevated run carries nothing from a tree that
            // was not sealed.
            wchar_t away[wide_path_capacity];
            make_sibling_name(away);
            if (retire_tree(unpack_directory, away, &checked, sibling, !elevated || sealed))
                trace("kept tree %ls: the damaged tree retired", unpack_directory);
            else
                trace("kept tree %ls: the damaged tree could not be retired (another run holds it, or it moved)",
                      unpack_directory);
        }
        // Never replacing: when another run moved its tree in first, that one is checked next.
        // An elevated run moves the sibling it holds and uses it; it is never checked as found.
        if (made != NULL ? rename_into_place(made) : MoveFileExW(sibling, unpack_directory, 0) != 0) {
            if (tree != NULL) trace("kept tree %ls: repaired, a fresh tree moved into place", unpack_directory);
            else trace("kept tree %ls: a fresh tree moved into place", unpack_directory);
            if (made != NULL && take_made_tree(made)) return true;
            continue;
        }
        // The place is taken. By a tree another run moved in first: that one is used when it passes
        // the checks. Otherwise by a tree this run can neither use nor replace (another run holds
        // it; to an elevated run under Wine 8 no tree reads back sealed): unpacking again would meet
        // it again, so this run uses the copy it has, deleted at its end as a temporary one is.
        HANDLE winner = open_tree();
        if (winner != NULL && found_tree_usable(winner)) {
            trace("kept tree %ls: another run's tree took the place first; used", unpack_directory);
            held_tree = winner;
            if (made != NULL) CloseHandle(made);
            // What this run carried from a damaged tree goes on into the winner's.
            carry_added_entries(sibling, unpack_directory, true);
            delete_directory_tree(sibling, NULL);
            return true;
        }
        if (winner != NULL) CloseHandle(winner);
        trace("kept tree %ls: cannot be used or replaced; this run runs from its own copy %ls", unpack_directory, sibling);
        run_from_own_copy(made);
        return false;
    }
    exit_with_system_error(message_cache_prepare_failed, ERROR_ALREADY_EXISTS);
}

bool version_text_lower(const wchar_t* candidate, const wchar_t* own)
{
    uint32_t low[version_parts_max], high[version_parts_max];
    if (!parse_version_text(candidate, low) || !parse_version_text(own, high)) return false;
    for (int part = 0; part < version_parts_max; ++part)
        if (low[part] != high[part]) return low[part] < high[part];
    return false;
}

void remove_lower_versions()
{
    if (!spec_keeps_versions_apart()) return;
    // unpack_directory is "<product folder>\<version>\<identity>", the product folder below the
    // spec's root.
    wchar_t product[wide_path_capacity];
    copy_wide_bounded(product, unpack_directory, wide_path_capacity);
    wchar_t* last = wcsrchr(product, L'\\');
    if (last == NULL) return;
    *last = 0;
    last = wcsrchr(product, L'\\');
    if (last == NULL || static_cast<size_t>(last - product) <= spec_root_length(unpack_spec, unpack_directory)) return;
    *last = 0;
    const wchar_t* own_version = last + 1;
    uint32_t numbers[version_parts_max];
    if (!parse_version_text(own_version, numbers)) return;
    // The product folder stays open without delete sharing while its versions are looked at: it
    // cannot be renamed away, or another put in its place, in between.
    BY_HANDLE_FILE_INFORMATION info;
    HANDLE product_held = open_plain_directory(product, &info);
    if (product_held == INVALID_HANDLE_VALUE) return;
    wchar_t pattern[wide_path_capacity];
    copy_wide_bounded(pattern, product, wide_path_capacity);
    append_wide_bounded(pattern, L"\\*", wide_path_capacity);
    WIN32_FIND_DATAW found;
    HANDLE search = FindFirstFileExW(pattern, FindExInfoBasic, &found, FindExSearchNameMatch, NULL, 0);
    if (search != INVALID_HANDLE_VALUE) {
        do {
            if (!cache_level_acceptable(found.dwFileAttributes) || !version_text_lower(found.cFileName, own_version)) continue;
            wchar_t folder[wide_path_capacity];
            copy_wide_bounded(folder, product, wide_path_capacity);
            append_wide_bounded(folder, L"\\", wide_path_capacity);
            append_wide_bounded(folder, found.cFileName, wide_path_capacity);
            // Held like the product folder while its trees are removed; its own owner is not
            // asked: only what is in it that this launcher made goes.
            HANDLE held = open_plain_directory(folder, &info);
            if (held == INVALID_HANDLE_VALUE) continue;
            const bool removed = remove_version_trees(folder);
            CloseHandle(held);
            // The version's folder goes once it is empty, and only when this run emptied it.
            if (removed) RemoveDirectoryW(folder);
        } while (FindNextFileW(search, &found));
        FindClose(search);
    }
    CloseHandle(product_held);
}

HANDLE start_removing_lower_versions()
{
    HANDLE thread = CreateThread(NULL, 0, remove_lower_versions_thread, NULL, CREATE_SUSPENDED, NULL);
    if (thread == NULL) return NULL;  // the next run tries again
    SetThreadPriority(thread, THREAD_PRIORITY_LOWEST);
    ResumeThread(thread);
    return thread;
}

void release_kept_tree()
{
    HANDLE tree = held_tree;
    held_tree = NULL;
    release_held_tree();
    if (tree != NULL) CloseHandle(tree);
}

void use_parent_copy()
{
    wchar_t* token = get_env_var(TAVRIN_ENV_ONEFILE_RANDOM);
    if (token == NULL) return;
    wchar_t* parent = get_env_var(TAVRIN_ENV_ONEFILE_PARENT);
    if (parent == NULL) abort_bound();  // the child role is never taken without it
    wchar_t copy[wide_path_capacity];
    copy_wide_bounded(copy, unpack_directory, wide_path_capacity);
    append_wide_bounded(copy, leftover_infix, wide_path_capacity);
    append_wide_bounded(copy, parent, wide_path_capacity);
    append_wide_bounded(copy, L"-", wide_path_capacity);
    append_wide_bounded(copy, token, wide_path_capacity);
    use_directory(copy);
    free(parent);
    free(token);
}
