// Shutdown and clean-up: the child is given 5 s and then ended, the directory in use is deleted with
// bounded retries; the console control handler runs the same on interrupt, close, logoff, shutdown.
#include "launcher/cleanup.h"

#include <wchar.h>

#include "base/errors.h"
#include "base/trace.h"
#include "launcher/leftovers.h"
#include "base/process_state.h"
#include "paths/bounded.h"
#include "payload/written_names.h"

namespace {

// The child's process handle, NULL when there is none; see cleanup.h for who owns it.
void* volatile child_process_handle;
// The handle that holds the directory in use, NULL when there is none; see cleanup.h.
void* volatile directory_in_use_hold;
// The thread creating the child while the main thread unpacks, NULL when there is none; written
// once by register_child_creation on the main thread, before the handler may need it.
HANDLE volatile child_creation;
// 1 from just before the child first runs: interrupts are then the application's to answer.
volatile LONG child_starting;
// 1 while the clean-up may delete the directory in use (cleanup.h); written by allow_cleanup_delete
// only, on the main thread. Volatile: the console handler's thread reads it, so the compiler may
// neither keep it in a register nor drop or move a store to it.
volatile unsigned char cleanup_may_delete;

enum {
    child_grace_ms = 5000,
    delete_retries = 20,  // after the first attempt: 21 attempts, at most 20 pauses
    delete_pause_ms = 100
};

// Longest path the system's wide file calls take with the "\\?\" prefix, terminator included.
enum { long_path_capacity = 32768 };
// How deep the walk goes below the directory in use. Each level holds one listing buffer and one
// handle; the launcher writes at most some 2000 levels (4095 code units), deeper trees are the
// application's.
enum { deepest_level = 4096 };

// Appends `name` and a terminator at path[length]; false when it does not fit.
bool extend_path(wchar_t* path, size_t length, const wchar_t* name)
{
    size_t units = wcslen(name);
    if (length + units + 1 > long_path_capacity) return false;
    for (size_t i = 0; i <= units; ++i) path[length + i] = name[i];
    return true;
}

// The directory in use's identity, as record_directory_in_use_identity found it. The fields are
// written before `identity_recorded` is set, and read only after it was seen set.
volatile LONG identity_recorded;
directory_identity recorded;

// Opens the entry at `path` itself, a link rather than what it points to, and reads its
// attributes, volume and file id, and link count. Without delete sharing: while the handle is
// open, nobody can rename the entry or put something else under its name. DELETE access lets the
// entry be deleted through this handle; `list` adds what listing a directory needs.
HANDLE open_entry(const wchar_t* path, bool list, BY_HANDLE_FILE_INFORMATION* info)
{
    DWORD access = DELETE | FILE_READ_ATTRIBUTES | FILE_WRITE_ATTRIBUTES | SYNCHRONIZE;
    if (list) access |= FILE_LIST_DIRECTORY;
    HANDLE entry = CreateFileW(path, access, FILE_SHARE_READ | FILE_SHARE_WRITE, NULL, OPEN_EXISTING,
                               FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, NULL);
    if (entry == INVALID_HANDLE_VALUE) return NULL;
    if (!GetFileInformationByHandle(entry, info)) {
        CloseHandle(entry);
        return NULL;
    }
    return entry;
}

// Marks the open entry for deletion when its handle closes. With `keep_read_only`, only as the
// system's newer delete that ignores the read-only attribute (Windows 10 1809 and later; Wine 8
// rejects it with ERROR_INVALID_PARAMETER), which leaves the attributes as they are.
bool mark_for_deletion(HANDLE entry, bool keep_read_only)
{
    if (keep_read_only) {
        // The headers declare these only for newer targets; the values are the system's.
        const FILE_INFO_BY_HANDLE_CLASS disposition_ex = static_cast<FILE_INFO_BY_HANDLE_CLASS>(21);
        const DWORD flag_delete = 0x1, flag_ignore_read_only = 0x10;
        FILE_DISPOSITION_INFO_EX disposition;
        disposition.Flags = flag_delete | flag_ignore_read_only;
        return SetFileInformationByHandle(entry, disposition_ex, &disposition, sizeof disposition) != 0;
    }
    FILE_DISPOSITION_INFO disposition;
    disposition.DeleteFile = TRUE;
    return SetFileInformationByHandle(entry, FileDispositionInfo, &disposition, sizeof disposition) != 0;
}

// Clears the read-only attribute through the handle; the other attributes that can be set stay.
void clear_read_only(HANDLE entry, DWORD attributes)
{
    FILE_BASIC_INFO basic;
    ZeroMemory(&basic, sizeof basic);  // zero times: left as they are
    basic.FileAttributes = attributes & (FILE_ATTRIBUTE_ARCHIVE | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM |
                                         FILE_ATTRIBUTE_NOT_CONTENT_INDEXED | FILE_ATTRIBUTE_TEMPORARY);
    if (basic.FileAttributes == 0) basic.FileAttributes = FILE_ATTRIBUTE_NORMAL;
    SetFileInformationByHandle(entry, FileBasicInfo, &basic, sizeof basic);
}

bool delete_entry(wchar_t* path, size_t length, bool listable, int level, const directory_identity* top,
                  DWORD* failure);

// Keeps in `*failure` why an entry could not be deleted: the first reason seen, except that a
// directory still holding something ("not empty", which only follows from another failure, or
// from an entry that is gone once its last handle closes) gives way to any other.
void note_failure(DWORD* failure, DWORD error)
{
    if (error == ERROR_SUCCESS || error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND) return;
    if (*failure == ERROR_SUCCESS || (*failure == ERROR_DIR_NOT_EMPTY && error != ERROR_DIR_NOT_EMPTY)) *failure = error;
}

// Room for one directory entry with the longest name a file system gives (255 code units), so
// that every listing call returns at least one. Each level of the walk holds one such buffer, about
// as much as the WIN32_FIND_DATAW that a path search would hold.
enum { listing_buffer_bytes = 640 };

// Deletes every entry of the open directory `directory`, whose path is `path` (`length` code
// units). It is listed through its handle, not its path: what is listed is the directory that was
// checked. (FindFirstFileW would not do either: under Wine 8 it opens the directory without delete
// sharing, which fails while the walk holds it with DELETE access.)
void delete_entries(HANDLE directory, wchar_t* path, size_t length, int level, DWORD* failure)
{
    if (level >= deepest_level) return;
    union {
        FILE_ID_BOTH_DIR_INFO aligned;  // the entries' alignment
        unsigned char bytes[listing_buffer_bytes];
    } listing;
    while (GetFileInformationByHandleEx(directory, FileIdBothDirectoryInfo, &listing, sizeof listing)) {
        const unsigned char* at = listing.bytes;
        for (;;) {
            const FILE_ID_BOTH_DIR_INFO* entry = reinterpret_cast<const FILE_ID_BOTH_DIR_INFO*>(at);
            size_t units = entry->FileNameLength / sizeof(wchar_t);
            const wchar_t* name = entry->FileName;
            bool dots = (units == 1 && name[0] == L'.') || (units == 2 && name[0] == L'.' && name[1] == L'.');
            // The name is not terminated in the listing; it is copied with its room checked.
            if (!dots && length + 1 + units + 1 <= long_path_capacity) {
                path[length] = L'\\';
                for (size_t i = 0; i < units; ++i) path[length + 1 + i] = name[i];
                path[length + 1 + units] = 0;
                DWORD attributes = entry->FileAttributes;
                const DWORD special = FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_READONLY;
                // A plain file costs one call: DeleteFileW removes a link as a link, never its
                // target, and the directories above are held open, so the path leads here.
                if ((attributes & special) == 0) {
                    if (!DeleteFileW(path)) note_failure(failure, GetLastError());
                } else {
                    delete_entry(path, length + 1 + units,
                                 (attributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) ==
                                     FILE_ATTRIBUTE_DIRECTORY,
                                 level + 1, NULL, failure);
                }
            }
            if (entry->NextEntryOffset == 0) break;
            at += entry->NextEntryOffset;
        }
    }
    path[length] = 0;
}

// Deletes the entry at `path` through a handle of its own: a directory with everything below it,
// a link as a link, a read-only file only as choose_cleanup_action allows. The top (`top` not NULL)
// must still be the directory of that identity; otherwise nothing at all is deleted. Whatever cannot
// be deleted (a file held open) stays, and so do the directories above it; the caller tries again.
// Why something stayed goes into `*failure` (note_failure). False only when the top was found to be
// something else: trying again would not change that.
bool delete_entry(wchar_t* path, size_t length, bool listable, int level, const directory_identity* top,
                  DWORD* failure)
{
    BY_HANDLE_FILE_INFORMATION info;
    HANDLE entry = open_entry(path, listable || top != NULL, &info);
    if (entry == NULL) {
        note_failure(failure, GetLastError());
        return true;
    }
    cleanup_action action = choose_cleanup_action(info.dwFileAttributes, info.nNumberOfLinks);
    if (top != NULL && (action != cleanup_descend || info.dwVolumeSerialNumber != top->serial ||
                        info.nFileIndexHigh != top->index_high || info.nFileIndexLow != top->index_low)) {
        CloseHandle(entry);
        return false;
    }
    // Windows does not delete a read-only directory (Wine 8 ignores the attribute on directories).
    bool read_only = (info.dwFileAttributes & FILE_ATTRIBUTE_READONLY) != 0;
    if (action == cleanup_clear_then_delete || (action == cleanup_descend && read_only))
        clear_read_only(entry, info.dwFileAttributes);
    if (action == cleanup_descend) delete_entries(entry, path, length, level, failure);
    bool marked = mark_for_deletion(entry, action == cleanup_delete_as_is);
    DWORD error = GetLastError();
    CloseHandle(entry);
    if (!marked) note_failure(failure, error);
    // Where the file system has no delete through a handle, by path: RemoveDirectoryW and
    // DeleteFileW also remove a link itself. Not for a read-only file that must keep its attribute,
    // and not for a directory that still holds something.
    if (marked || action == cleanup_delete_as_is || error == ERROR_DIR_NOT_EMPTY) return true;
    bool removed = (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) ? RemoveDirectoryW(path) : DeleteFileW(path);
    if (!removed) note_failure(failure, GetLastError());
    return true;
}

// How many directory levels, the top included, deleting by the record holds at most: each level
// of a recorded name takes at least one code unit and a backslash.
enum { deepest_recorded_level = entry_name_capacity / 2 + 1 };

// A directory level held while deleting by the record: its handle, NULL for a level skipped (no
// plain directory, or it could not be opened: the walk of the level above deals with it), and the
// length of its path.
struct held_level {
    HANDLE directory;
    size_t end;
};

// Deletes the held directory `directory`, whose path is `path` (`length` code units), and closes
// it: marked for deletion through its handle; when it still holds something (the application added
// it, or a later name of the record lies there), its entries are walked and it is marked again.
// Under Wine 8.0 the mark on a directory that is not empty fails at once with ERROR_DIR_NOT_EMPTY,
// as on Windows; not at the close. (A file created in it after the mark keeps it, silently, past
// the close: the retries find it there.) Why something stayed goes into `*failure`.
void delete_held_directory(HANDLE directory, wchar_t* path, size_t length, int level, DWORD* failure)
{
    path[length] = 0;
    bool marked = mark_for_deletion(directory, false);
    DWORD error = GetLastError();
    if (!marked && error == ERROR_DIR_NOT_EMPTY) {
        delete_entries(directory, path, length, level, failure);
        marked = mark_for_deletion(directory, false);
        error = GetLastError();
    }
    CloseHandle(directory);
    if (!marked) note_failure(failure, error);
    // As delete_entry: by path where the file system has no delete through a handle.
    if (marked || error == ERROR_DIR_NOT_EMPTY) return;
    if (!RemoveDirectoryW(path)) note_failure(failure, GetLastError());
}

// Opens the directory level at `path` for deleting by the record, as the walk opens one it
// descends into; NULL when it cannot be opened or is no plain directory (a file, a link).
HANDLE open_recorded_level(const wchar_t* path)
{
    BY_HANDLE_FILE_INFORMATION info;
    HANDLE level = open_entry(path, true, &info);
    if (level == NULL) return NULL;
    if (choose_cleanup_action(info.dwFileAttributes, info.nNumberOfLinks) != cleanup_descend) {
        CloseHandle(level);
        return NULL;
    }
    if (info.dwFileAttributes & FILE_ATTRIBUTE_READONLY) clear_read_only(level, info.dwFileAttributes);
    return level;
}

// Deletes the directory at `path` (`length` code units, long form) by the sealed record `names`
// (`units` code units): the walk's outcome without listing what unpacking wrote. The top must be
// the directory of identity `top`, or nothing at all is deleted (false, as delete_entry). Each
// file goes by its path with DeleteFileW while every directory above it is held open (a stack of
// levels; those shared with the previous name stay open); what cannot be deleted that way (a
// file read-only, held or replaced, a level that is no plain directory) is left to the walk of its
// directory when that directory is deleted. Why something stayed goes into `*failure`.
bool delete_by_record(wchar_t* path, size_t length, const directory_identity* top, const wchar_t* names,
                      size_t units, DWORD* failure)
{
    BY_HANDLE_FILE_INFORMATION info;
    HANDLE top_directory = open_entry(path, true, &info);
    if (top_directory == NULL) {
        note_failure(failure, GetLastError());
        return true;
    }
    if (choose_cleanup_action(info.dwFileAttributes, info.nNumberOfLinks) != cleanup_descend ||
        info.dwVolumeSerialNumber != top->serial || info.nFileIndexHigh != top->index_high ||
        info.nFileIndexLow != top->index_low) {
        CloseHandle(top_directory);
        return false;
    }
    if (info.dwFileAttributes & FILE_ATTRIBUTE_READONLY) clear_read_only(top_directory, info.dwFileAttributes);

    held_level held[deepest_recorded_level];
    held[0].directory = top_directory;
    held[0].end = length;
    int depth = 1;  // levels held, the top included
    for (size_t at = 0; at < units;) {
        const wchar_t* name = names + at;
        size_t name_length = wcslen(name);
        at += name_length + 1;

        // The levels this name shares with the ones held: component by component, exactly.
        int shared = 1;
        size_t offset = 0;  // where the name's next component starts
        while (shared < depth) {
            size_t from = held[shared - 1].end + 1, count = held[shared].end - from;
            if (offset + count >= name_length || name[offset + count] != L'\\' ||
                wmemcmp(name + offset, path + from, count) != 0)
                break;
            offset += count + 1;
            ++shared;
        }
        while (depth > shared) {
            --depth;
            if (held[depth].directory != NULL)
                delete_held_directory(held[depth].directory, path, held[depth].end, depth, failure);
        }

        // The name's further directories are opened in turn, below a level that is held.
        bool reachable = held[depth - 1].directory != NULL;
        for (;;) {
            const wchar_t* separator = wcschr(name + offset, L'\\');
            size_t base = held[depth - 1].end;
            size_t count = separator != NULL ? static_cast<size_t>(separator - (name + offset)) : name_length - offset;
            if (base + 1 + count + 1 > long_path_capacity) {
                reachable = false;  // the walk's too: it skips what does not fit
                break;
            }
            path[base] = L'\\';
            wmemcpy(path + base + 1, name + offset, count);
            path[base + 1 + count] = 0;
            if (separator == NULL) break;
            if (depth == deepest_recorded_level) {
                reachable = false;
                break;
            }
            HANDLE level = reachable ? open_recorded_level(path) : NULL;
            held[depth].directory = level;
            held[depth].end = base + 1 + count;
            ++depth;
            reachable = level != NULL;
            offset += count + 1;
        }
        // A plain file costs one call, as in the walk; whatever it cannot delete stays for the walk.
        if (reachable) DeleteFileW(path);
    }
    while (depth > 1) {
        --depth;
        if (held[depth].directory != NULL)
            delete_held_directory(held[depth].directory, path, held[depth].end, depth, failure);
    }
    delete_held_directory(top_directory, path, length, 0, failure);
    return true;
}

// One delete attempt on the directory in use and everything in it. SHFileOperationW is not used:
// it works only within MAX_PATH, and under Wine 8, past MAX_PATH, it walks on with an empty path and
// deletes the files of the current directory instead. Each call has its own path buffer: both
// threads may be deleting at once (the first to open the top holds it; the other's open fails
// for sharing and it tries again after its pause). The `first` attempt deletes by the record of
// what unpacking wrote, when it is sealed and complete and TAVRIN_ONEFILE_SERIAL does not name the
// clean-up; the others, and the first without such a record, walk the tree. False when the top is
// not the recorded directory (or none was recorded): nothing was deleted, and nothing will be. Why
// something stayed goes into `*failure`.
bool request_delete(bool first, DWORD* failure)
{
    if (identity_recorded == 0) return false;
    wchar_t path[long_path_capacity];
    size_t length = long_path_form(directory_in_use, path, long_path_capacity);
    directory_identity top = recorded;
    if (length == 0) return false;
    size_t units = 0;
    const wchar_t* names = first && (serial_steps & serial_cleanup) == 0 ? sealed_written_names(&units) : NULL;
    if (first) {
        if (names != NULL) trace("clean-up: deleting %ls by the names written", directory_in_use);
        else trace("clean-up: deleting %ls by a walk", directory_in_use);
    }
    if (names != NULL) return delete_by_record(path, length, &top, names, units, failure);
    return delete_entry(path, length, true, 0, &top, failure);
}

// 1 once a left directory was reported: both threads may finish a clean-up.
volatile LONG left_reported;

// After the last attempt: a directory that is gone takes its marker with it; one that is left is
// reported (once) on standard error, with the reason the walk met (ERROR_DIR_NOT_EMPTY when it met
// none: something turned up while it ran), and whether a later run deletes it.
void settle_left_directory(bool gone, DWORD failure)
{
    if (gone) {
        remove_unpack_marker();
        return;
    }
    if (InterlockedExchange(&left_reported, 1) != 0) return;
    report_left_behind(directory_in_use, failure != ERROR_SUCCESS ? failure : ERROR_DIR_NOT_EMPTY,
                       unpack_directory_marked());
}

// The identity of the directory at `path` (long form), opened without following a link; false
// when it cannot be opened, or is a link or no directory.
bool read_directory_identity(const wchar_t* path, directory_identity* identity)
{
    const DWORD share_all = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
    HANDLE directory = CreateFileW(path, FILE_READ_ATTRIBUTES, share_all, NULL, OPEN_EXISTING,
                                   FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, NULL);
    if (directory == INVALID_HANDLE_VALUE) return false;
    BY_HANDLE_FILE_INFORMATION info;
    bool found = GetFileInformationByHandle(directory, &info) &&
                 choose_cleanup_action(info.dwFileAttributes, info.nNumberOfLinks) == cleanup_descend;
    CloseHandle(directory);
    if (found) *identity = identity_of(&info);
    return found;
}

bool directory_still_there()
{
    DWORD attributes = GetFileAttributesW(directory_in_use);
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

}  // namespace

cleanup_action choose_cleanup_action(DWORD attributes, DWORD links)
{
    // A reparse point (junction, symbolic link, mount point) is never entered, whatever it shows.
    // A directory has no other names (Wine counts its subdirectories' ".." as links).
    if ((attributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) == FILE_ATTRIBUTE_DIRECTORY)
        return cleanup_descend;
    if ((attributes & FILE_ATTRIBUTE_READONLY) == 0) return cleanup_delete;
    // The attribute belongs to the file, not to one of its names: cleared through a name in the
    // tree, it would be cleared for a name outside it too.
    return links > 1 ? cleanup_delete_as_is : cleanup_clear_then_delete;
}

size_t long_path_form(const wchar_t* path, wchar_t* out, size_t capacity)
{
    // `path` is fully qualified: a drive path or a \\server\share path.
    const wchar_t* prefix = L"\\\\?\\";
    const wchar_t* rest = path;
    if (path[0] == L'\\' && path[1] == L'\\') {
        if (path[2] == L'?' || path[2] == L'.') {
            prefix = L"";  // already in the long form
        } else {
            prefix = L"\\\\?\\UNC\\";
            rest = path + 2;
        }
    }
    size_t prefix_length = wcslen(prefix), rest_length = wcslen(rest);
    if (capacity > long_path_capacity || prefix_length + rest_length + 1 > capacity) return 0;
    out[0] = 0;
    extend_path(out, 0, prefix);
    extend_path(out, prefix_length, rest);
    size_t length = prefix_length + rest_length;
    while (length > 0 && out[length - 1] == L'\\') out[--length] = 0;
    return length;
}

void use_directory(const wchar_t* path) { copy_wide_bounded(directory_in_use, path, wide_path_capacity); }

void allow_cleanup_delete(bool allowed)
{
    // The directory in use, its identity and its hold are stored before the flag: the handler that
    // sees 1 reads them as they were set.
    MemoryBarrier();
    cleanup_may_delete = allowed ? 1 : 0;
}

void record_directory_in_use_identity()
{
    InterlockedExchange(&identity_recorded, 0);
    wchar_t path[long_path_capacity];
    if (long_path_form(directory_in_use, path, long_path_capacity) == 0) return;
    // A link, or not a directory at all, is not recorded: then nothing is ever deleted.
    if (read_directory_identity(path, &recorded)) InterlockedExchange(&identity_recorded, 1);
}

directory_identity identity_of(const BY_HANDLE_FILE_INFORMATION* info)
{
    return directory_identity{info->dwVolumeSerialNumber, info->nFileIndexHigh, info->nFileIndexLow};
}

bool delete_directory_tree(const wchar_t* path, const directory_identity* expected)
{
    wchar_t long_path[long_path_capacity];
    size_t length = long_path_form(path, long_path, long_path_capacity);
    directory_identity top;
    if (length == 0) return false;
    // delete_entry opens the top itself and deletes nothing unless it has this identity.
    if (expected != NULL) top = *expected;
    else if (!read_directory_identity(long_path, &top)) return false;
    DWORD failure = ERROR_SUCCESS;
    delete_entry(long_path, length, true, 0, &top, &failure);
    return GetFileAttributesW(long_path) == INVALID_FILE_ATTRIBUTES;
}

void hold_directory_in_use(HANDLE directory) { directory_in_use_hold = directory; }

HANDLE take_directory_in_use_hold() { return InterlockedExchangePointer(&directory_in_use_hold, NULL); }

void register_child_creation(HANDLE thread) { child_creation = thread; }

void await_child_creation()
{
    HANDLE pending = child_creation;
    if (pending != NULL) WaitForSingleObject(pending, INFINITE);
}

void mark_child_starting() { InterlockedExchange(&child_starting, 1); }

HANDLE hand_over_child(HANDLE child)
{
    // The console handler may take the slot's handle at any moment, wait for the child, end it and
    // close the handle. The main thread therefore waits on a handle of its own, so that neither
    // thread ever uses a handle the other has closed.
    HANDLE own = NULL;
    DuplicateHandle(GetCurrentProcess(), child, GetCurrentProcess(), &own, 0, FALSE, DUPLICATE_SAME_ACCESS);
    child_process_handle = child;
    if (own != NULL) return own;
    // Without a handle of its own the main thread takes the slot's back (or finds it taken).
    return InterlockedExchangePointer(&child_process_handle, NULL);
}

void release_child()
{
    HANDLE left = InterlockedExchangePointer(&child_process_handle, NULL);
    if (left != NULL) CloseHandle(left);
}

void cleanup_child_and_directory()
{
    // The main thread and the handler thread may both get here. Whoever takes the handle out of the
    // slot owns it; the other finds NULL and never touches it, so it is closed exactly once. The
    // main thread waits on a handle of its own, never on the slot's. A child still being created
    // is waited for, so that it is found in the slot.
    await_child_creation();
    HANDLE child = InterlockedExchangePointer(&child_process_handle, NULL);
    if (child != NULL) {
        // Also a failed wait ends the child: it must not keep files in the directory open.
        // Ended from outside, it must not look like a success: exit code 1. A child still
        // suspended (created while unpacking, which failed or was interrupted) never ran: it has
        // nothing to finish and is ended at once.
        DWORD grace = child_starting != 0 ? DWORD(child_grace_ms) : 0;
        if (WaitForSingleObject(child, grace) != WAIT_OBJECT_0) {
            TerminateProcess(child, 1);
            if (grace == 0) trace("clean-up: the child never ran; ended");
            else trace("clean-up: the child still ran after %lu ms; ended", static_cast<unsigned long>(grace));
        }
        CloseHandle(child);
    }

    if (cleanup_may_delete == 0) return;
    HANDLE hold = take_directory_in_use_hold();
    if (hold != NULL) CloseHandle(hold);

    const unsigned long long started = trace_clock_tenths();
    DWORD failure = ERROR_SUCCESS;
    if (!request_delete(true, &failure)) {
        trace("clean-up: %ls is no longer the directory this run made (or none was recorded): nothing deleted",
              directory_in_use);
        return;
    }
    // Files still held open (by a child that is only now going away, a virus scanner, an indexer,
    // a process that the application started) keep the directory for a moment; it is asked for
    // again while it is still there. The reason kept is the last attempt's.
    bool gone = !directory_still_there();
    int attempts = 1;
    for (int retry = 0; retry < delete_retries && !gone; ++retry) {
        trace("clean-up: %ls still there (error %lu); attempt %d in %d ms", directory_in_use, failure, attempts + 1,
              int(delete_pause_ms));
        Sleep(delete_pause_ms);
        failure = ERROR_SUCCESS;
        ++attempts;
        if (!request_delete(false, &failure)) return;
        gone = !directory_still_there();
    }
    const unsigned long long took = trace_clock_tenths() - started;
    if (gone)
        trace("clean-up: %ls deleted (%d attempt%s, %llu.%llu ms)", directory_in_use, attempts, attempts == 1 ? "" : "s",
              took / 10, took % 10);
    else trace("clean-up: %ls left behind after %d attempts (error %lu)", directory_in_use, attempts, failure);
    settle_left_directory(gone, failure);
}

BOOL WINAPI console_ctrl_handler(DWORD event)
{
    switch (event) {
    case CTRL_C_EVENT:
    case CTRL_BREAK_EVENT:
        // The child shares the console and gets the same event: it decides what an interrupt means
        // (an interactive interpreter survives it, a script may take its time to shut down). The
        // parent keeps waiting; the normal clean-up runs when the child ends.
        if (child_starting != 0) return TRUE;
        cleanup_child_and_directory();
        break;
    case CTRL_CLOSE_EVENT:
    case CTRL_LOGOFF_EVENT:
    case CTRL_SHUTDOWN_EVENT:
        // The system ends the process after these whatever the handler answers.
        cleanup_child_and_directory();
        break;
    default:
        break;
    }
    // Not handled here: the next handler, by default the system's, ends the process.
    return FALSE;
}

BOOL WINAPI waiting_ctrl_handler(DWORD event) { return event == CTRL_C_EVENT || event == CTRL_BREAK_EVENT; }
