// A cached tree walked through directory handles by a few threads at once, its listed directories
// (and for an elevated parent every listed file) held open; the archive's list in the marker; the
// content comparison through the held files.
#include "launcher/held_tree.h"

#include <winternl.h>
#include <stdlib.h>
#include <string.h>
#include <wchar.h>

#include <inttypes.h>
#include <stdio.h>

#include "base/errors.h"
#include "format/entry_names.h"
#include "format/format.h"
#include "format/settings_record.h"
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
walk_mode walk_kind;
LONGLONG marker_id;
walker walkers[walkers_max];

// The archive's list: every file's path below the tree and size, and the directories above them
// (size 0), in an open-addressed table of entry indexes + 1 (0: empty) by the hash of the path,
// at most half full. Written by load_tree_marker, or by a recording walk under walk_lock; only read
// by a walk of the listed names. The marker's text read last, its file id, and the text written.
struct listed_entry {
    uint64_t hash, size;
    size_t name, units;
    bool directory;
};
listed_entry* listed;
size_t listed_count, listed_room;
wchar_t* listed_names;
size_t listed_used, listed_names_room;
size_t* listed_slots;
size_t slot_count;
char* marker_text;
size_t marker_room;
LONGLONG loaded_marker_id = -1;
char* written_marker;
size_t written_room;

void* grow(void* block, size_t* room, size_t needed, size_t unit);

uint64_t path_hash(const wchar_t* path, size_t units)
{
    uint64_t hash = 0xcbf29ce484222325ull;  // FNV-1a over the code units
    for (size_t i = 0; i < units; ++i) hash = (hash ^ static_cast<uint16_t>(path[i])) * 0x100000001b3ull;
    return hash;
}

// The listed entry of `path` (`units` code units), or NULL.
const listed_entry* find_listed(const wchar_t* path, size_t units)
{
    if (slot_count == 0) return NULL;
    const uint64_t hash = path_hash(path, units);
    for (size_t slot = static_cast<size_t>(hash) & (slot_count - 1);; slot = (slot + 1) & (slot_count - 1)) {
        if (listed_slots[slot] == 0) return NULL;
        const listed_entry* entry = &listed[listed_slots[slot] - 1];
        if (entry->hash == hash && entry->units == units && wmemcmp(listed_names + entry->name, path, units) == 0) return entry;
    }
}

void place_in_slots(size_t index)
{
    size_t slot = static_cast<size_t>(listed[index].hash) & (slot_count - 1);
    while (listed_slots[slot] != 0) slot = (slot + 1) & (slot_count - 1);
    listed_slots[slot] = index + 1;
}

void clear_list()
{
    listed_count = 0;
    listed_used = 0;
    if (slot_count != 0) memset(listed_slots, 0, slot_count * sizeof *listed_slots);
}

// Adds one entry, its path terminated in listed_names; the table doubles when it would be more than
// half full.
void add_listed_entry(const wchar_t* path, size_t units, uint64_t size, bool directory)
{
    if ((listed_count + 1) * 2 > slot_count) {
        size_t bigger = slot_count == 0 ? 1024 : slot_count * 2;
        size_t* slots = static_cast<size_t*>(calloc(bigger, sizeof *slots));
        if (slots == NULL) exit_out_of_memory();
        free(listed_slots);
        listed_slots = slots;
        slot_count = bigger;
        for (size_t i = 0; i < listed_count; ++i) place_in_slots(i);
    }
    listed = static_cast<listed_entry*>(grow(listed, &listed_room, listed_count + 1, sizeof *listed));
    listed_names = static_cast<wchar_t*>(grow(listed_names, &listed_names_room, listed_used + units + 1, sizeof(wchar_t)));
    wmemcpy(listed_names + listed_used, path, units);
    listed_names[listed_used + units] = 0;
    listed_entry* entry = &listed[listed_count];
    entry->hash = path_hash(path, units);
    entry->size = size;
    entry->name = listed_used;
    entry->units = units;
    entry->directory = directory;
    listed_used += units + 1;
    place_in_slots(listed_count++);
}

// Lists the file `path` (`units` code units) of `size` bytes and the directories above it. False
// when the path, or a directory above it, is listed already as the other kind or, for the file,
// at all.
bool list_file(const wchar_t* path, size_t units, uint64_t size)
{
    for (size_t cut = 0; cut < units; ++cut) {
        if (path[cut] != L'\\') continue;
        const listed_entry* above = find_listed(path, cut);
        if (above == NULL) add_listed_entry(path, cut, 0, true);
        else if (!above->directory) return false;
    }
    if (find_listed(path, units) != NULL) return false;
    add_listed_entry(path, units, size, false);
    return true;
}

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
// with `*id` (-1: any id, the one found written there): relative to that handle, so that it is the entry of the directory this walk holds,
// whatever is renamed above; a directory without delete sharing, a file (with `file`) for reading
// with read sharing only; a link as the link. Its size into `*size`. NULL when it cannot be opened
// or is not that entry: another file id, another kind, a link. (GetFileInformationByHandle would
// do, but under Wine 8 it costs about 1 ms a file, most of it for the volume's serial number.)
HANDLE open_listed(HANDLE directory, const wchar_t* name, size_t units, bool file, LONGLONG* id, uint64_t* size)
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
    if (query_file(entry, &status, &index, sizeof index, file_internal_information) < 0 || (*id != -1 && index.QuadPart != *id) ||
        !GetFileInformationByHandleEx(entry, FileAttributeTagInfo, &tag, sizeof tag) ||
        (tag.FileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0 || (file && !GetFileSizeEx(entry, &length))) {
        CloseHandle(entry);
        return NULL;
    }
    *size = static_cast<uint64_t>(length.QuadPart);
    *id = index.QuadPart;
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
                // Only the archive's names count; anything else is the application's own. A listed
                // name of the other kind is an archived entry replaced.
                const listed_entry* known = walk_kind == walk_listed ? find_listed(relative, start + units) : NULL;
                const bool counted = walk_kind == walk_record || known != NULL;
                if (known != NULL && known->directory == file) return false;
                uint64_t size = static_cast<uint64_t>(entry->EndOfFile.QuadPart);
                if (counted && (!file || walk_opens_files)) {
                    LONGLONG id = entry->FileId.QuadPart;
                    HANDLE opened = open_listed(directory, name, units, file, &id, &size);
                    if (opened == NULL) return false;
                    AcquireSRWLockExclusive(&walk_lock);
                    hold(opened, file ? relative : NULL);
                    if (!file) {
                        push_pending(opened, relative, start + units, level + 1);
                        WakeConditionVariable(&walk_changed);
                    }
                    ReleaseSRWLockExclusive(&walk_lock);
                }
                if (counted && file) {
                    if (known != NULL && known->size != size) return false;
                    add_to_summary(&self->found, relative, size);
                    if (walk_kind == walk_record) {
                        AcquireSRWLockExclusive(&walk_lock);
                        bool recorded = list_file(relative, start + units, size);
                        ReleaseSRWLockExclusive(&walk_lock);
                        if (!recorded) return false;
                    }
                }
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

bool walk_held_tree(HANDLE root, bool open_files, walk_mode mode, tree_summary* summary)
{
    summary->files = summary->bytes = summary->fingerprint = 0;
    walk_opens_files = open_files;
    walk_kind = mode;
    marker_id = -1;
    if (mode == walk_record) clear_list();
    bool sound = walk_with_walkers(root, summary);
    // The marker read is the one at the top now (not replaced meanwhile).
    if (sound && mode == walk_listed && (marker_id == -1 || marker_id != loaded_marker_id)) sound = false;
    if (!sound) release_held_tree();
    return sound;
}

namespace {

// Reads an unsigned decimal number at `*at` (before `end`) into `*value`; false on no digit or
// overflow.
bool parse_decimal(const char** at, const char* end, uint64_t* value)
{
    uint64_t number = 0;
    const char* digit = *at;
    for (; digit < end && *digit >= '0' && *digit <= '9'; ++digit) {
        const uint64_t next = static_cast<uint64_t>(*digit - '0');
        if (number > (UINT64_MAX - next) / 10) return false;
        number = number * 10 + next;
    }
    if (digit == *at) return false;
    *at = digit;
    *value = number;
    return true;
}

int hex_value(char digit)
{
    if (digit >= '0' && digit <= '9') return digit - '0';
    if (digit >= 'a' && digit <= 'f') return digit - 'a' + 10;
    return -1;
}

// Reads exactly `digits` lower-case hexadecimal digits at `*at` into `*value`.
bool parse_hex(const char** at, const char* end, int digits, uint64_t* value)
{
    if (end - *at < digits) return false;
    uint64_t number = 0;
    for (int i = 0; i < digits; ++i) {
        int unit = hex_value((*at)[i]);
        if (unit < 0) return false;
        number = number << 4 | static_cast<uint64_t>(unit);
    }
    *at += digits;
    *value = number;
    return true;
}

// Whether the text at `*at` starts with `literal`; steps over it when it does.
bool parse_literal(const char** at, const char* end, const char* literal)
{
    size_t length = strlen(literal);
    if (static_cast<size_t>(end - *at) < length || memcmp(*at, literal, length) != 0) return false;
    *at += length;
    return true;
}

// Parses the marker's `text` (`length` bytes) into the list and `*stated`; see load_tree_marker.
bool parse_marker(const char* text, size_t length, const char* identity, tree_summary* stated)
{
    const char* at = text;
    const char* end = text + length;
    if (!parse_literal(&at, end, TAVRIN_CACHE_MARKER_VERSION_LINE) ||
        !parse_literal(&at, end, TAVRIN_CACHE_MARKER_IDENTITY_KEY) ||
        !parse_literal(&at, end, identity) || !parse_literal(&at, end, "\nfiles ") ||
        !parse_decimal(&at, end, &stated->files) || !parse_literal(&at, end, " bytes ") ||
        !parse_decimal(&at, end, &stated->bytes) || !parse_literal(&at, end, " fingerprint ") ||
        !parse_hex(&at, end, 16, &stated->fingerprint) || !parse_literal(&at, end, "\n"))
        return false;
    static wchar_t name[entry_name_capacity];
    tree_summary found = {0, 0, 0};
    while (at < end) {
        uint64_t size = 0;
        if (!parse_decimal(&at, end, &size) || !parse_literal(&at, end, " ")) return false;
        size_t units = 0;
        for (;;) {
            if (at == end) return false;
            const char byte = *at;
            if (byte == '\n') break;
            uint64_t unit = static_cast<unsigned char>(byte);
            if (byte == '%') {
                ++at;
                if (!parse_hex(&at, end, 4, &unit)) return false;
            } else if (byte < 0x20 || byte > 0x7e) {
                return false;
            } else {
                ++at;
            }
            if (units + 1 >= entry_name_capacity) return false;
            name[units++] = static_cast<wchar_t>(unit);
        }
        ++at;
        name[units] = 0;
        if (entry_name_fault(name, units) != name_ok || !list_file(name, units, size)) return false;
        add_to_summary(&found, name, size);
    }
    return found.files == stated->files && found.bytes == stated->bytes && found.fingerprint == stated->fingerprint;
}

// The units of `name` as the marker writes them: printable ASCII but '%' as it is, the rest %XXXX.
size_t escaped_length(const wchar_t* name, size_t units)
{
    size_t length = 0;
    for (size_t i = 0; i < units; ++i) length += name[i] >= 0x20 && name[i] <= 0x7e && name[i] != L'%' ? 1 : 5;
    return length;
}

char* write_escaped(char* out, const wchar_t* name, size_t units)
{
    static const char digits[] = "0123456789abcdef";
    for (size_t i = 0; i < units; ++i) {
        const unsigned unit = name[i];
        if (unit >= 0x20 && unit <= 0x7e && unit != '%') {
            *out++ = static_cast<char>(unit);
        } else {
            *out++ = '%';
            for (int shift = 12; shift >= 0; shift -= 4) *out++ = digits[(unit >> shift) & 0xf];
        }
    }
    return out;
}

}  // namespace

bool load_tree_marker(HANDLE root, const char* identity, tree_summary* stated)
{
    clear_list();
    loaded_marker_id = -1;
    const wchar_t name[] = L"" TAVRIN_CACHE_MARKER_NAME;
    uint64_t size = 0;
    LONGLONG id = -1;
    HANDLE file = open_listed(root, name, wcslen(name), true, &id, &size);
    if (file == NULL) return false;
    hold(file, NULL);
    bool sound = size <= marker_bytes_max;
    if (sound) {
        marker_text = static_cast<char*>(grow(marker_text, &marker_room, static_cast<size_t>(size) + 1, 1));
        size_t got = 0;
        for (DWORD piece = 0; sound && got < size; got += piece)
            sound = ReadFile(file, marker_text + got, static_cast<DWORD>(size - got), &piece, NULL) && piece > 0;
        sound = sound && parse_marker(marker_text, static_cast<size_t>(size), identity, stated);
    }
    if (!sound) {
        clear_list();
        release_held_tree();
        return false;
    }
    loaded_marker_id = id;
    return true;
}

const char* format_tree_marker(const char* identity, const tree_summary* summary, size_t* length)
{
    char head[256];
    int written = snprintf(head, sizeof head, TAVRIN_CACHE_MARKER_VERSION_LINE TAVRIN_CACHE_MARKER_IDENTITY_KEY "%s\nfiles %" PRIu64
                           " bytes %" PRIu64 " fingerprint %016" PRIx64 "\n",
                           identity, summary->files, summary->bytes, summary->fingerprint);
    if (written < 0 || written >= static_cast<int>(sizeof head)) abort_bound();
    size_t total = static_cast<size_t>(written);
    for (size_t i = 0; i < listed_count && total <= marker_bytes_max; ++i)
        if (!listed[i].directory) total += 22 + escaped_length(listed_names + listed[i].name, listed[i].units);
    if (total > marker_bytes_max) return NULL;
    written_marker = static_cast<char*>(grow(written_marker, &written_room, total + 1, 1));
    char* out = written_marker;
    memcpy(out, head, static_cast<size_t>(written));
    out += written;
    for (size_t i = 0; i < listed_count; ++i) {
        if (listed[i].directory) continue;
        out += snprintf(out, 22, "%" PRIu64 " ", listed[i].size);
        out = write_escaped(out, listed_names + listed[i].name, listed[i].units);
        *out++ = '\n';
    }
    *length = static_cast<size_t>(out - written_marker);
    return written_marker;
}

bool is_listed_path(const wchar_t* relative, size_t units) { return find_listed(relative, units) != NULL; }

bool is_listed_directory(const wchar_t* relative, size_t units)
{
    const listed_entry* entry = find_listed(relative, units);
    return entry != NULL && entry->directory;
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
