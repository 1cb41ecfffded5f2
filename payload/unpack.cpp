// Unpacking: each entry of the attached data becomes a file under the directory in use; the
// directories its name calls for are created on the way and remembered in a small list.
#include "payload/unpack.h"

#include <windows.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>
#include <wchar.h>

#include "base/errors.h"
#include "base/trace.h"
#include "paths/bounded.h"
#include "paths/directory_spec.h"
#include "format/entry_names.h"
#include "format/format.h"
#include "payload/reader.h"
#include "payload/written_names.h"

namespace {

enum { copy_buffer_size = 32768, known_directories_capacity = 1024 };

wchar_t entry_name[entry_name_capacity];
wchar_t output_path[wide_path_capacity];
unsigned char copy_buffer[copy_buffer_size];
unsigned char compare_buffer[copy_buffer_size];
// The entry being written, INVALID_HANDLE_VALUE between entries.
HANDLE output_file = INVALID_HANDLE_VALUE;

// Directories known to exist: slot 0 is the home directory, then directories created or found on
// the way, in the order they were first met. Never shrinks; the copies live until the process ends.
wchar_t* known_directories[known_directories_capacity];
int32_t known_directory_count;

void remember_directory(const wchar_t* path)
{
    size_t units = wcslen(path) + 1;
    wchar_t* copy = static_cast<wchar_t*>(malloc(units * sizeof(wchar_t)));
    // A few bytes that cannot be had: the process could not go on for long either, and a list
    // without its home slot would send the home directory to CreateDirectoryW.
    if (copy == NULL) exit_out_of_memory();
    copy_wide_bounded(copy, path, units);
    known_directories[known_directory_count++] = copy;
}

// Index of the last backslash in `path`, not counting its first code unit; 0 when there is none.
size_t last_separator(const wchar_t* path)
{
    size_t found = 0;
    for (size_t i = 1; path[i] != 0; ++i)
        if (path[i] == L'\\') found = i;
    return found;
}

// Reads the next name into entry_name. False at the end marker (an empty name).
bool read_entry_name()
{
    // Two bytes per read; the stream is little-endian like the machine.
    read_attached_data(&entry_name[0], 2);
    if (entry_name[0] == 0) return false;
    size_t at = 0;
    while (entry_name[at] != 0) {
        ++at;
        // A name longer than 1023 code units cannot be held whole; like every other fixed buffer of
        // the launcher, this one ends the process rather than cut the name.
        if (at == entry_name_capacity) abort_bound();
        read_attached_data(&entry_name[at], 2);
    }
    return true;
}

uint64_t read_entry_size()
{
    unsigned char bytes[entry_size_bytes];
    read_attached_data(bytes, entry_size_bytes);
    return load_little_endian(bytes, entry_size_bytes);
}

// Between pieces: a start that the person at the desktop cancelled (the progress window closed)
// ends here, before anything more is written, and the clean-up deletes what was; and a windowed
// start that has taken long enough gets its progress window (once).
void between_pieces()
{
    if (start_stage == start_cancelled) exit_start_cancelled();
    if (progress_due_at == 0) return;
    LARGE_INTEGER now;
    QueryPerformanceCounter(&now);
    if (now.QuadPart < progress_due_at) return;
    progress_due_at = 0;
    if (progress_due_hook != NULL) progress_due_hook();
}

void write_entry_content(HANDLE file, uint64_t remaining)
{
    while (remaining > 0) {
        between_pieces();
        DWORD piece = remaining < copy_buffer_size ? static_cast<DWORD>(remaining) : DWORD(copy_buffer_size);
        read_attached_data(copy_buffer, piece);
        // A successful call counts as a full write: synchronous writes to a file complete whole.
        DWORD written = 0;
        if (!WriteFile(file, copy_buffer, piece, &written, NULL)) {
            const DWORD error = GetLastError();
            trace("writing %ls failed: error %lu", output_path, error);
            SetLastError(error);
            exit_unpack_failed();
        }
        remaining -= piece;
        unpacked_bytes = unpacked_bytes + piece;
    }
}

// Builds output_path from the directory in use and the entry name just read; damage ends the process.
void join_entry_path()
{
    // The packer never writes a name that entry_name_fault refuses: one met here comes from
    // damage that the frame's checksum, checked only at its end, has not caught yet. It must not
    // reach the file system, where it could leave the unpack directory, open a device (COM1,
    // NUL) or land under another name ("a." as "a").
    if (entry_name_fault(entry_name, wcslen(entry_name)) != name_ok) {
        trace("decoding failed: the entry name '%ls' is not one the packer writes", entry_name);
        exit_decode_failed();
    }
    copy_wide_bounded(output_path, directory_in_use, wide_path_capacity);
    append_wide_bounded(output_path, L"\\", wide_path_capacity);
    append_wide_bounded(output_path, entry_name, wide_path_capacity);
}

// Whether the open file `file` holds exactly the next `size` bytes of the content stream.
bool entry_content_matches(HANDLE file, uint64_t size)
{
    LARGE_INTEGER length;
    if (!GetFileSizeEx(file, &length) || static_cast<uint64_t>(length.QuadPart) != size) return false;
    for (uint64_t remaining = size; remaining > 0;) {
        DWORD piece = remaining < copy_buffer_size ? static_cast<DWORD>(remaining) : DWORD(copy_buffer_size);
        read_attached_data(copy_buffer, piece);
        DWORD got = 0;
        if (!ReadFile(file, compare_buffer, piece, &got, NULL) || got != piece ||
            memcmp(copy_buffer, compare_buffer, piece) != 0)
            return false;
        remaining -= piece;
    }
    return true;
}

}  // namespace

const wchar_t* read_compared_entry(uint64_t* size)
{
    if (!read_entry_name()) return NULL;
    if (entry_name_fault(entry_name, wcslen(entry_name)) != name_ok) exit_decode_failed();
    *size = read_entry_size();
    return entry_name;
}

bool compared_entry_matches(void* file, uint64_t size) { return entry_content_matches(file, size); }

bool end_comparison(bool same)
{
    if (same) confirm_attached_data_complete();
    close_attached_data();
    return same;
}

bool attached_data_matches_files(uint64_t* entries)
{
    uint64_t count = 0, size = 0;
    bool same = true;
    while (same && read_compared_entry(&size) != NULL) {
        join_entry_path();
        HANDLE file = CreateFileW(output_path, GENERIC_READ, FILE_SHARE_READ, NULL, OPEN_EXISTING, 0, NULL);
        same = file != INVALID_HANDLE_VALUE && entry_content_matches(file, size);
        if (file != INVALID_HANDLE_VALUE) CloseHandle(file);
        ++count;
    }
    *entries = count;
    return end_comparison(same);
}

void unpack_attached_data(instance_role role)
{
    // The parent writes every file: the decoder fills the next windows while the files are written.
    // The child reads one name and stops.
    if (role == role_parent && (serial_steps & serial_decode) == 0) decode_attached_data_ahead();
    // A temporary parent records the names it writes, for its clean-up to delete them by name;
    // cached mode's sibling is never sealed, and its clean-up walks.
    bool recorded = role == role_parent && !cached_mode;
    if (recorded) begin_written_names(written_names_default_limit);
    const unsigned long long started = trace_clock_tenths();
    uint64_t files = 0;
    if (role == role_parent) {
        unpacked_bytes = 0;
        unpack_total_bytes = attached_content_size();
        trace("unpacking into %ls: %llu bytes of content", directory_in_use,
              static_cast<unsigned long long>(unpack_total_bytes));
    }
    while (read_entry_name()) {
        join_entry_path();

        if (first_file_path[0] == 0) {
            copy_wide_bounded(first_file_path, output_path, wide_path_capacity);
            // The child loads the DLL that the parent wrote; it reads nothing further, and the
            // decoder's window and context (as large as the frame's window) go before the
            // application runs.
            if (role == role_child) {
                close_attached_data();
                return;
            }
        }

        uint64_t size = read_entry_size();
        between_pieces();
        // A directory that could not be made shows up as the file's own failure just below.
        create_containing_directories(output_path);
        // Read sharing only: nobody else may write the file between our write and the child's load.
        output_file = CreateFileW(output_path, GENERIC_WRITE, FILE_SHARE_READ, NULL, CREATE_ALWAYS, 0, NULL);
        if (output_file == INVALID_HANDLE_VALUE) {
            const DWORD error = GetLastError();
            trace("creating %ls failed: error %lu", output_path, error);
            SetLastError(error);
            exit_cannot_open_output(output_path);
        }
        write_entry_content(output_file, size);
        close_unpack_output();
        if (recorded) record_written_name(entry_name);
        ++files;
        // The name (with its terminator) and the size, beside the content counted per piece.
        unpacked_bytes = unpacked_bytes + 2 * (wcslen(entry_name) + 1) + entry_size_bytes;
    }
    // The end marker may come out of the decoder before the frame's end, where its checksum is. A
    // damaged archive must fail here, before the child is started on what was written.
    if (role == role_parent) {
        unpacked_bytes = unpacked_bytes + 2;  // the end marker: the whole content is read
        confirm_attached_data_complete();
    }
    close_attached_data();
    if (recorded) seal_written_names();
    if (role == role_parent) {
        const unsigned long long took = trace_clock_tenths() - started;
        trace("unpacked %llu files, %llu bytes in %llu.%llu ms", static_cast<unsigned long long>(files),
              static_cast<unsigned long long>(unpacked_bytes), took / 10, took % 10);
    }
}

void locate_first_entry(const unsigned char* block, uint64_t length)
{
    open_attached_data(block, length);
    first_file_path[0] = 0;
    if (read_entry_name()) {
        join_entry_path();
        copy_wide_bounded(first_file_path, output_path, wide_path_capacity);
    }
    close_attached_data();
}

void close_unpack_output()
{
    HANDLE file = output_file;
    output_file = INVALID_HANDLE_VALUE;
    if (file != INVALID_HANDLE_VALUE) CloseHandle(file);
}

bool create_containing_directories(const wchar_t* path)
{
    // The nearest parent is tried first; only when it cannot be made does the walk go up, and the
    // levels are then made on the way back down, outermost first. Each level is `walk` cut at a
    // backslash; going down puts the backslash back. One buffer for every level keeps the stack
    // small however deep the name is.
    wchar_t walk[wide_path_capacity];
    copy_wide_bounded(walk, path, wide_path_capacity);

    size_t failed = 0;  // levels, from the nearest parent up, that could not be made at first
    bool stopped_on_existing = false;
    for (;;) {
        size_t cut = last_separator(walk);
        if (cut == 0) break;
        walk[cut] = 0;
        if (ensure_directory(walk)) {
            stopped_on_existing = true;
            break;
        }
        ++failed;
    }
    if (failed == 0) return true;

    // `walk` is the highest level that failed, or the existing one right above it.
    if (stopped_on_existing) walk[wcslen(walk)] = L'\\';
    // The first level that still cannot be made ends the walk, its reason left in GetLastError:
    // no level below it can be made either.
    bool exists = ensure_directory(walk);
    while (exists && --failed > 0) {
        walk[wcslen(walk)] = L'\\';
        exists = ensure_directory(walk);
    }
    return exists;
}

bool ensure_directory(const wchar_t* path)
{
    if (known_directory_count == 0) {
        // Seeded on first use, so that the walk up from the unpack directory stops at the home
        // directory without asking the system to create it.
        wchar_t home[wide_path_capacity];
        if (!expand_spec(home, L"{HOME}", wide_path_capacity)) abort_spec_expansion(L"{HOME}");
        remember_directory(home);
    }
    for (int32_t i = 0; i < known_directory_count; ++i)
        if (wcscmp(known_directories[i], path) == 0) return true;

    // A bare drive such as "C:" is never created.
    if (path[0] != 0 && path[1] == L':' && path[2] == 0) return true;

    if (!CreateDirectoryW(path, NULL) && GetLastError() != ERROR_ALREADY_EXISTS) return false;
    // Past the list's end, directories are still made but no longer remembered: a later file there
    // costs one CreateDirectoryW call that reports ERROR_ALREADY_EXISTS.
    if (known_directory_count < known_directories_capacity) remember_directory(path);
    return true;
}
