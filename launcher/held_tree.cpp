// A cached tree walked through directory handles by a few threads at once, its directories (and for
// an elevated parent every entry) held open; the content comparison through the held files.
#include "launcher/held_tree.h"

#include <winternl.h>
#include <stdlib.h>
#include <string.h>
#include <wchar.h>

#include "launcher/errors.h"
#include "payload/format.h"
#include "payload/launch_settings.h"
#include "payload/unpack.h"

namespace {

enum {
    relative_capacity = 32768,  // a path below the tree and its terminator: as long as a path gets
    // Each walker lists a directory into its own buffer, one call for some 150 entries of 100-unit
    // names, refilled until the listing ends.
    listing_bytes = 65536,
    // Walkers at most, the calling thread one of them. Under Wine 8 each directory costs some four
    // round trips to the server (its open, its descriptor, two listing calls), 80-100 us each on a
    // 2-core machine, and the listing itself is serialised inside ntdll: a second walker opens
    // the next directories while the first lists, a third gains nothing more there.
    walkers_max = 4,
    walker_stack_bytes = 262144,  // reserved, committed as used
    // An entry name (at most entry_name_capacity - 1 units) has at most this many levels; a deeper
    // tree is none that this archive made.
    deepest_level = entry_name_capacity / 2
};

// A listing buffer, aligned as the entries in it are.
union listing_buffer {
    FILE_ID_BOTH_DIR_INFO aligned;
    unsigned char bytes[listing_bytes];
};

const size_t no_name = static_cast<size_t>(-1);

// One held handle: a directory or the marker (name no_name), or a file and the offset of its path
// below the tree in held_names; `compared` once the content comparison has met it.
struct held_entry {
    HANDLE handle;
    size_t name;
    bool compared;
};

// A directory opened and waiting to be listed: its held handle, its path below the tree (`length`
// units at offset `name` of pending_names) and its level (the top is 0).
struct pending_directory {
    HANDLE handle;
    size_t name, length;
    int level;
};

// One walker's own state: the directory it lists, its path below the tree, and what it found.
struct walker {
    listing_buffer listing;
    wchar_t relative[relative_capacity];
    tree_summary found;
};

// Process-wide, written by the walkers under walk_lock only (the summaries, and the marker's id
// found at the top, are read once every walker has ended): the held handles and the names of the
// held files; the directories waiting (a stack) and their names; how many walkers are listing a
// directory now; the first failure and its system error. The lists grow on the heap by doubling;
// the names of waiting directories are kept until the walk ends.
SRWLOCK walk_lock = SRWLOCK_INIT;
CONDITION_VARIABLE walk_changed = CONDITION_VARIABLE_INIT;
held_entry* held;
size_t held_count, held_room;
wchar_t* held_names;
size_t names_used, names_room;
pending_directory* pending;
size_t pending_count, pending_room;
wchar_t* pending_names;
size_t pending_used, pending_room_units;
int walkers_busy;
bool walk_failed;
DWORD walk_error;
bool walk_opens_files;
LONGLONG marker_id;
walker walkers[walkers_max];

typedef NTSTATUS(NTAPI* open_file_function)(HANDLE*, ACCESS_MASK, OBJECT_ATTRIBUTES*, IO_STATUS_BLOCK*, ULONG, ULONG);
typedef NTSTATUS(NTAPI* query_file_function)(HANDLE, IO_STATUS_BLOCK*, void*, ULONG, int);
enum { file_internal_information = 6, file_open_reparse_point = 0x00200000 };

// ntdll's function `name`, looked up once per name by the caller; NULL when it is missing.
FARPROC ntdll_function(const char* name)
{
    HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
    return ntdll != NULL ? GetProcAddress(ntdll, name) : NULL;
}

// `block` with room for at least `needed` items of `unit` bytes, `*room` updated.
void* grow(void* block, size_t* room, size_t needed, size_t unit)
{
    if (needed <= *room) return block;
    size_t wanted = *room < 256 ? 256 : *room;
    while (wanted < needed) wanted *= 2;
    void* bigger = realloc(block, wanted * unit);
    if (bigger == NULL) exit_out_of_memory();
    *room = wanted;
    return bigger;
}

// Keeps `handle` open until release_held_tree; `name_below` names a file below the tree, NULL
// anything else. Called with walk_lock held, or by one thread alone.
void hold(HANDLE handle, const wchar_t* name_below)
{
    held = static_cast<held_entry*>(grow(held, &held_room, held_count + 1, sizeof *held));
    size_t name = no_name;
    if (name_below != NULL) {
        size_t units = wcslen(name_below) + 1;
        held_names = static_cast<wchar_t*>(grow(held_names, &names_room, names_used + units, sizeof(wchar_t)));
        wmemcpy(held_names + names_used, name_below, units);
        name = names_used;
        names_used += units;
    }
    held[held_count].handle = handle;
    held[held_count].name = name;
    held[held_count].compared = false;
    ++held_count;
}

// Puts the open directory `handle`, `relative` (`length` units) below the tree at `level`, on the
// stack of directories to list. Called with walk_lock held.
void push_pending(HANDLE handle, const wchar_t* relative, size_t length, int level)
{
    pending = static_cast<pending_directory*>(grow(pending, &pending_room, pending_count + 1, sizeof *pending));
    pending_names = static_cast<wchar_t*>(grow(pending_names, &pending_room_units, pending_used + length + 1, sizeof(wchar_t)));
    wmemcpy(pending_names + pending_used, relative, length);
    pending_names[pending_used + length] = 0;
    pending[pending_count].handle = handle;
    pending[pending_count].name = pending_used;
    pending[pending_count].length = length;
    pending[pending_count].level = level;
    pending_used += length + 1;
    ++pending_count;
}

// Opens the entry `name` (`units` code units) of the open directory `directory`, which listed it
// with `id`: relative to that handle, so that it is the entry of the directory this walk holds,
// whatever is renamed above; a directory without delete sharing, a file (with `file`) for reading
// with read sharing only; a link as the link. Its size into `*size`. NULL when it cannot be opened
// or is not that entry: another file id, another kind, a link. (GetFileInformationByHandle would
// do, but under Wine 8 it costs about 1 ms a file, most of it for the volume's serial number.)
HANDLE open_listed(HANDLE directory, const wchar_t* name, size_t units, bool file, LONGLONG id, uint64_t* size)
{
    static open_file_function open_file = reinterpret_cast<open_file_function>(reinterpret_cast<void*>(ntdll_function("NtOpenFile")));
    static query_file_function query_file =
        reinterpret_cast<query_file_function>(reinterpret_cast<void*>(ntdll_function("NtQueryInformationFile")));
    if (open_file == NULL || query_file == NULL) return NULL;
    UNICODE_STRING path;
    path.Buffer = const_cast<wchar_t*>(name);
    path.Length = path.MaximumLength = static_cast<USHORT>(units * sizeof(wchar_t));
    OBJECT_ATTRIBUTES object;
    InitializeObjectAttributes(&object, &path, OBJ_CASE_INSENSITIVE, directory, NULL);
    IO_STATUS_BLOCK status;
    HANDLE entry = NULL;
    const ACCESS_MASK access = file ? FILE_GENERIC_READ : FILE_LIST_DIRECTORY | FILE_TRAVERSE | FILE_READ_ATTRIBUTES | SYNCHRONIZE;
    const ULONG share = file ? FILE_SHARE_READ : FILE_SHARE_READ | FILE_SHARE_WRITE;
    const ULONG options = FILE_SYNCHRONOUS_IO_NONALERT | file_open_reparse_point | (file ? FILE_NON_DIRECTORY_FILE : FILE_DIRECTORY_FILE);
    if (open_file(&entry, access, &object, &status, share, options) < 0) return NULL;
    LARGE_INTEGER index, length;
    FILE_ATTRIBUTE_TAG_INFO tag;
    length.QuadPart = 0;
    if (query_file(entry, &status, &index, sizeof index, file_internal_information) < 0 || index.QuadPart != id ||
        !GetFileInformationByHandleEx(entry, FileAttributeTagInfo, &tag, sizeof tag) ||
        (tag.FileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0 || (file && !GetFileSizeEx(entry, &length))) {
        CloseHandle(entry);
        return NULL;
    }
    *size = static_cast<uint64_t>(length.QuadPart);
    return entry;
}

bool is_marker_name(const wchar_t* name, size_t units)
{
    const wchar_t marker[] = L"" TAVRIN_CACHE_MARKER_NAME;
    return units == wcslen(marker) && wmemcmp(name, marker, units) == 0;
}

// Records the walk's first failure (its system error, from GetLastError) and wakes the walkers
// that wait, so that they end. Called with walk_lock held.
void fail_walk(DWORD error)
{
    if (!walk_failed) walk_error = error;
    walk_failed = true;
    WakeAllConditionVariable(&walk_changed);
}

// Lists the open directory `directory` at `level`, whose path below the tree is `self->relative`
// (`length` units, 0 at the top): counts its files into `self->found`, opens and holds each
// subdirectory (and each file when the walk opens files) and puts the subdirectories on the stack.
// The marker at the top is left out, its id kept in marker_id. False on anything that makes the
// tree unusable; GetLastError then says why when the system said so.
bool list_directory(walker* self, HANDLE directory, size_t length, int level)
{
    if (level >= deepest_level) return false;
    wchar_t* relative = self->relative;
    FILE_INFO_BY_HANDLE_CLASS kind = FileIdBothDirectoryRestartInfo;
    while (GetFileInformationByHandleEx(directory, kind, self->listing.bytes, sizeof self->listing)) {
        kind = FileIdBothDirectoryInfo;
        for (const unsigned char* at = self->listing.bytes;; at += reinterpret_cast<const FILE_ID_BOTH_DIR_INFO*>(at)->NextEntryOffset) {
            const FILE_ID_BOTH_DIR_INFO* entry = reinterpret_cast<const FILE_ID_BOTH_DIR_INFO*>(at);
            size_t units = entry->FileNameLength / sizeof(wchar_t);
            const wchar_t* name = entry->FileName;
            bool dots = (units == 1 && name[0] == L'.') || (units == 2 && name[0] == L'.' && name[1] == L'.');
            bool file = (entry->FileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
            if (dots) {
                // nothing to count
            } else if (level == 0 && file && is_marker_name(name, units)) {
                marker_id = entry->FileId.QuadPart;
            } else {
                // The name is not terminated in the listing; it is copied with its room checked.
                size_t start = length == 0 ? 0 : length + 1;
                if ((entry->FileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0 || start + units + 1 > relative_capacity)
                    return false;
                if (length != 0) relative[length] = L'\\';
                wmemcpy(relative + start, name, units);
                relative[start + units] = 0;
                uint64_t size = static_cast<uint64_t>(entry->EndOfFile.QuadPart);
                if (!file || walk_opens_files) {
                    HANDLE opened = open_listed(directory, name, units, file, entry->FileId.QuadPart, &size);
                    if (opened == NULL) return false;
                    AcquireSRWLockExclusive(&walk_lock);
                    hold(opened, file ? relative : NULL);
                    if (!file) {
                        push_pending(opened, relative, start + units, level + 1);
                        WakeConditionVariable(&walk_changed);
                    }
                    ReleaseSRWLockExclusive(&walk_lock);
                }
                if (file) add_to_summary(&self->found, relative, size);
                relative[length] = 0;
            }
            if (entry->NextEntryOffset == 0) break;
        }
    }
    return GetLastError() == ERROR_NO_MORE_FILES;
}

// A walker: lists directories from the stack until none is left and no other walker can add one,
// or the walk has failed.
DWORD WINAPI run_walker(void* parameter)
{
    walker* self = static_cast<walker*>(parameter);
    AcquireSRWLockExclusive(&walk_lock);
    for (;;) {
        while (pending_count == 0 && walkers_busy > 0 && !walk_failed)
            SleepConditionVariableSRW(&walk_changed, &walk_lock, INFINITE, 0);
        if (pending_count == 0 || walk_failed) break;
        pending_directory next = pending[--pending_count];
        // A path below the tree always fits: it was built in a buffer of this size.
        wmemcpy(self->relative, pending_names + next.name, next.length + 1);
        ++walkers_busy;
        ReleaseSRWLockExclusive(&walk_lock);
        SetLastError(ERROR_SUCCESS);
        bool sound = list_directory(self, next.handle, next.length, next.level);
        DWORD error = GetLastError();
        AcquireSRWLockExclusive(&walk_lock);
        --walkers_busy;
        if (!sound) fail_walk(error);
        // The last walker to go idle on an empty stack lets the waiting ones end.
        if (pending_count == 0 && walkers_busy == 0) WakeAllConditionVariable(&walk_changed);
    }
    ReleaseSRWLockExclusive(&walk_lock);
    return 0;
}

// The walkers for this machine: one per processor, at most walkers_max.
int walker_count()
{
    DWORD processors = GetActiveProcessorCount(ALL_PROCESSOR_GROUPS);
    if (processors < 1) return 1;
    return processors > walkers_max ? walkers_max : static_cast<int>(processors);
}

// Walks the tree below `root` with the walkers: the top on this thread, and once it has
// subdirectories, the rest on this thread and the others started for it. Whatever was opened is
// held; the summaries are added into `*summary`. False when any walker failed (its system error
// left in GetLastError).
bool walk_with_walkers(HANDLE root, tree_summary* summary)
{
    pending_count = 0;
    pending_used = 0;
    walkers_busy = 0;
    walk_failed = false;
    walk_error = ERROR_SUCCESS;
    for (walker& each : walkers) each.found.files = each.found.bytes = each.found.fingerprint = 0;
    walkers[0].relative[0] = 0;
    SetLastError(ERROR_SUCCESS);
    if (!list_directory(&walkers[0], root, 0, 0)) return false;

    // A thread that cannot be started leaves its share to the others.
    HANDLE started[walkers_max];
    int helpers = 0;
    const int walkers_here = walker_count();
    for (int i = 1; pending_count > 0 && i < walkers_here; ++i) {
        started[helpers] = CreateThread(NULL, walker_stack_bytes, run_walker, &walkers[i], STACK_SIZE_PARAM_IS_A_RESERVATION, NULL);
        if (started[helpers] != NULL) ++helpers;
    }
    run_walker(&walkers[0]);
    if (helpers > 0) WaitForMultipleObjects(static_cast<DWORD>(helpers), started, TRUE, INFINITE);
    for (int i = 0; i < helpers; ++i) CloseHandle(started[i]);
    for (const walker& each : walkers) {
        summary->files += each.found.files;
        summary->bytes += each.found.bytes;
        summary->fingerprint += each.found.fingerprint;
    }
    SetLastError(walk_error);
    return !walk_failed;
}

// Opens the marker through the open `root`, checks it against its listed `id`, holds it and reads
// it into `marker` (`capacity` bytes); false when it cannot be opened or read, or fills the buffer.
bool read_listed_marker(HANDLE root, LONGLONG id, char* marker, size_t capacity)
{
    const wchar_t name[] = L"" TAVRIN_CACHE_MARKER_NAME;
    uint64_t size = 0;
    HANDLE file = open_listed(root, name, wcslen(name), true, id, &size);
    if (file == NULL) return false;
    hold(file, NULL);
    DWORD got = 0;
    if (!ReadFile(file, marker, static_cast<DWORD>(capacity - 1), &got, NULL) || got >= capacity - 1) return false;
    marker[got] = 0;
    return true;
}

int compare_held(const void* left, const void* right)
{
    const held_entry* a = static_cast<const held_entry*>(left);
    const held_entry* b = static_cast<const held_entry*>(right);
    // The files by name, then everything else.
    if (a->name == no_name || b->name == no_name) return (a->name == no_name) - (b->name == no_name);
    return wcscmp(held_names + a->name, held_names + b->name);
}

int compare_name(const void* key, const void* item)
{
    return wcscmp(static_cast<const wchar_t*>(key), held_names + static_cast<const held_entry*>(item)->name);
}

}  // namespace

void add_to_summary(tree_summary* summary, const wchar_t* relative, uint64_t size)
{
    uint64_t hash = 0xcbf29ce484222325ull;  // FNV-1a over the code units, then the size
    for (const wchar_t* unit = relative; *unit != 0; ++unit) hash = (hash ^ static_cast<uint16_t>(*unit)) * 0x100000001b3ull;
    hash = (hash ^ size) * 0x100000001b3ull;
    // Mixed, so that the sum over the files does not let hashes cancel out easily.
    hash ^= hash >> 30;
    hash *= 0xbf58476d1ce4e5b9ull;
    hash ^= hash >> 27;
    hash *= 0x94d049bb133111ebull;
    summary->files += 1;
    summary->bytes += size;
    summary->fingerprint += hash ^ (hash >> 31);
}

bool walk_held_tree(HANDLE root, bool open_files, tree_summary* summary, char* marker, size_t capacity)
{
    summary->files = summary->bytes = summary->fingerprint = 0;
    if (marker != NULL) marker[0] = 0;
    walk_opens_files = open_files;
    marker_id = -1;
    bool sound = walk_with_walkers(root, summary);
    if (sound && marker != NULL && marker_id != -1 && !read_listed_marker(root, marker_id, marker, capacity)) marker[0] = 0;
    if (!sound) release_held_tree();
    return sound;
}

bool held_files_match_attached_data()
{
    qsort(held, held_count, sizeof *held, compare_held);
    size_t files = 0, compared = 0;
    while (files < held_count && held[files].name != no_name) ++files;
    bool same = true;
    uint64_t size = 0;
    for (const wchar_t* name; same && (name = read_compared_entry(&size)) != NULL;) {
        held_entry* found = static_cast<held_entry*>(bsearch(name, held, files, sizeof *held, compare_name));
        LARGE_INTEGER start;
        start.QuadPart = 0;
        same = found != NULL && !found->compared && SetFilePointerEx(found->handle, start, NULL, FILE_BEGIN) &&
               compared_entry_matches(found->handle, size);
        if (same) {
            found->compared = true;
            ++compared;
        }
    }
    return end_comparison(same && compared == files);
}

void release_held_tree()
{
    for (size_t i = 0; i < held_count; ++i) CloseHandle(held[i].handle);
    held_count = 0;
    names_used = 0;
}
