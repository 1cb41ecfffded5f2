// The trace: TAVRIN_ONEFILE_TRACE read once, the destination checked, and each line formatted
// (UTF-8, one small printf of its own) and written in one call.
#include "base/trace.h"

#include <windows.h>
#include <stdarg.h>
#include <stdint.h>

#include "base/errors.h"
#include "format/entry_names.h"
#include "include/tavrin/onefile.h"

bool trace_on;

namespace {

// The trace's own state: where the lines go and their clock; written once by open_trace, on the
// main thread before any other thread of the launcher exists, read by every thread that traces.
// `destination` is standard error's handle or the file's (never closed, never inherited); `role`
// "parent" or "child"; `quiet` whether refusals go unsaid (the child's); `started_tenths` the
// process's age when `counter_at_open` was read, in tenths of a millisecond; `counter_rate` the
// performance counter's ticks per second.
struct trace_state {
    HANDLE destination;
    const char* role;
    bool quiet;
    unsigned long long started_tenths;
    long long counter_at_open;
    long long counter_rate;
};
trace_state traced = {NULL, "parent", false, 0, 0, 0};

// The text being built: `out` holds `capacity` bytes, `length` counts every byte asked for, also
// those past the room (so that the caller learns the size the whole text needs).
struct text_sink {
    char* out;
    size_t capacity;
    size_t length;
};

void put(text_sink* sink, char c)
{
    if (sink->length + 1 < sink->capacity) sink->out[sink->length] = c;
    ++sink->length;
}

void put_text(text_sink* sink, const char* text)
{
    if (text == NULL) text = "(null)";
    while (*text != 0) put(sink, *text++);
}

void put_code_point(text_sink* sink, uint32_t point)
{
    if (point < 0x80) {
        put(sink, static_cast<char>(point));
    } else if (point < 0x800) {
        put(sink, static_cast<char>(0xC0 | (point >> 6)));
        put(sink, static_cast<char>(0x80 | (point & 0x3F)));
    } else if (point < 0x10000) {
        put(sink, static_cast<char>(0xE0 | (point >> 12)));
        put(sink, static_cast<char>(0x80 | ((point >> 6) & 0x3F)));
        put(sink, static_cast<char>(0x80 | (point & 0x3F)));
    } else {
        put(sink, static_cast<char>(0xF0 | (point >> 18)));
        put(sink, static_cast<char>(0x80 | ((point >> 12) & 0x3F)));
        put(sink, static_cast<char>(0x80 | ((point >> 6) & 0x3F)));
        put(sink, static_cast<char>(0x80 | (point & 0x3F)));
    }
}

// UTF-16 as UTF-8; a lone surrogate (a name the file system allows) as U+FFFD.
void put_wide(text_sink* sink, const wchar_t* text)
{
    if (text == NULL) {
        put_text(sink, "(null)");
        return;
    }
    for (size_t i = 0; text[i] != 0; ++i) {
        uint32_t unit = static_cast<uint16_t>(text[i]);
        if (unit >= 0xD800 && unit <= 0xDBFF && text[i + 1] >= 0xDC00 && text[i + 1] <= 0xDFFF) {
            put_code_point(sink, 0x10000 + ((unit - 0xD800) << 10) + (static_cast<uint16_t>(text[i + 1]) - 0xDC00));
            ++i;
        } else if (unit >= 0xD800 && unit <= 0xDFFF) {
            put_code_point(sink, 0xFFFD);
        } else {
            put_code_point(sink, unit);
        }
    }
}

void put_number(text_sink* sink, unsigned long long value, unsigned base, bool negative)
{
    char digits[24];
    int count = 0;
    do {
        digits[count++] = "0123456789abcdef"[value % base];
        value /= base;
    } while (value != 0);
    if (negative) put(sink, '-');
    while (count > 0) put(sink, digits[--count]);
}

// The conversions of trace_line's format (trace.h); an unknown one is written as it stands.
void put_formatted(text_sink* sink, const char* format, va_list values)
{
    for (const char* at = format; *at != 0; ++at) {
        if (*at != '%') {
            put(sink, *at);
            continue;
        }
        const char* start = at++;
        int longs = 0;
        bool size = false;
        while (*at == 'l') ++longs, ++at;
        if (*at == 'z') size = true, ++at;
        switch (*at) {
        case '%':
            put(sink, '%');
            break;
        case 'c':
            put(sink, static_cast<char>(va_arg(values, int)));
            break;
        case 's':
            if (longs == 1) put_wide(sink, va_arg(values, const wchar_t*));
            else put_text(sink, va_arg(values, const char*));
            break;
        case 'd': {
            long long value = size ? static_cast<long long>(va_arg(values, ptrdiff_t))
                              : longs == 2 ? va_arg(values, long long)
                              : longs == 1 ? va_arg(values, long)
                                           : va_arg(values, int);
            put_number(sink, value < 0 ? 0ULL - static_cast<unsigned long long>(value) : static_cast<unsigned long long>(value),
                       10, value < 0);
            break;
        }
        case 'u':
        case 'x': {
            unsigned long long value = size ? va_arg(values, size_t)
                                       : longs == 2 ? va_arg(values, unsigned long long)
                                       : longs == 1 ? va_arg(values, unsigned long)
                                                    : va_arg(values, unsigned);
            put_number(sink, value, *at == 'x' ? 16 : 10, false);
            break;
        }
        default:
            // Not ours: written as it stands, so that a mistake shows in the line.
            while (start <= at && *start != 0) put(sink, *start++);
            if (*at == 0) return;
            break;
        }
    }
}

void terminate(text_sink* sink)
{
    sink->out[sink->length < sink->capacity ? sink->length : sink->capacity - 1] = 0;
}

// The line's head, "tavrin-onefile[<pid>] <role> <ms> ms: ", its text and CR LF into `sink`.
void build_line(text_sink* sink, const char* format, va_list values)
{
    const unsigned long long tenths = trace_clock_tenths();
    put_text(sink, "tavrin-onefile[");
    put_number(sink, GetCurrentProcessId(), 10, false);
    put_text(sink, "] ");
    put_text(sink, traced.role);
    put(sink, ' ');
    put_number(sink, tenths / 10, 10, false);
    put(sink, '.');
    put_number(sink, tenths % 10, 10, false);
    put_text(sink, " ms: ");
    put_formatted(sink, format, values);
    put_text(sink, "\r\n");
}

// Whether `path` names a device rather than a file: the device namespace ("\\.\"), a "\\?\" path
// that is neither a drive's nor a share's, or a component that Windows takes for a device (NUL,
// COM1, con.txt).
bool names_device(const wchar_t* path)
{
    if (path[0] == L'\\' && path[1] == L'\\' && (path[2] == L'.' || path[2] == L'?') && path[3] == L'\\') {
        if (path[2] == L'.') return true;
        const wchar_t* rest = path + 4;
        bool drive = ((rest[0] | 0x20) >= L'a' && (rest[0] | 0x20) <= L'z') && rest[1] == L':';
        bool share = (rest[0] | 0x20) == L'u' && (rest[1] | 0x20) == L'n' && (rest[2] | 0x20) == L'c' && rest[3] == L'\\';
        if (!drive && !share) return true;
    }
    for (size_t start = 0, i = 0;; ++i) {
        if (path[i] == L'\\' || path[i] == L'/' || path[i] == 0) {
            if (i > start && name_is_reserved_device(path + start, i - start)) return true;
            if (path[i] == 0) return false;
            start = i + 1;
        }
    }
}

// The refusal's note, from the parent only.
void refuse(const wchar_t* path, trace_refusal refusal)
{
    if (!traced.quiet) report_trace_refused(path, refusal);
}

// Opens the trace file at `path` for appending only, creating it when missing, never following a
// link; NULL, with the refusal reported, when it must not be written.
HANDLE open_trace_file(const wchar_t* path)
{
    if (names_device(path)) {
        refuse(path, trace_refused_device);
        return NULL;
    }
    // A link or a directory shows in its attributes by path (under Wine 8 a link to a directory only
    // there: a handle on it shows plain 0x10; a link to a file shows nowhere).
    trace_refusal refusal = trace_file_refusal(GetFileAttributesW(path), FILE_TYPE_DISK);
    if (refusal != trace_file_usable) {
        refuse(path, refusal);
        return NULL;
    }
    // Shared for everything: the two instances append to one file, and a developer may read or
    // delete it meanwhile.
    HANDLE file = CreateFileW(path, FILE_APPEND_DATA | FILE_READ_ATTRIBUTES | SYNCHRONIZE,
                              FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, NULL, OPEN_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, NULL);
    if (file == INVALID_HANDLE_VALUE) {
        const DWORD error = GetLastError();
        if (!traced.quiet) report_trace_unopened(path, error);
        return NULL;
    }
    // What was opened, whatever took the name in between: its attributes and type through the handle.
    BY_HANDLE_FILE_INFORMATION info;
    const bool known = GetFileInformationByHandle(file, &info) != 0;
    refusal = trace_file_refusal(known ? info.dwFileAttributes : INVALID_FILE_ATTRIBUTES,
                                 known ? GetFileType(file) : FILE_TYPE_UNKNOWN);
    if (refusal != trace_file_usable) {
        CloseHandle(file);
        refuse(path, refusal);
        return NULL;
    }
    return file;
}

}  // namespace

trace_refusal trace_file_refusal(DWORD attributes, DWORD file_type)
{
    if (attributes != INVALID_FILE_ATTRIBUTES) {
        if (attributes & FILE_ATTRIBUTE_REPARSE_POINT) return trace_refused_link;
        if (attributes & FILE_ATTRIBUTE_DIRECTORY) return trace_refused_directory;
        if (attributes & FILE_ATTRIBUTE_DEVICE) return trace_refused_device;
    }
    if (file_type != FILE_TYPE_DISK) return trace_refused_not_regular;
    return trace_file_usable;
}

void open_trace(bool child)
{
    traced.role = child ? "child" : "parent";
    traced.quiet = child;
    static wchar_t value[32768];
    DWORD length = GetEnvironmentVariableW(TAVRIN_ENV_ONEFILE_TRACE_W, value, sizeof value / sizeof *value);
    // Unset, empty, or longer than any variable can be: no trace.
    if (length == 0 || length >= sizeof value / sizeof *value) return;
    if (value[0] == L'0' && value[1] == 0) return;
    HANDLE destination = NULL;
    if (value[0] == L'1' && value[1] == 0) {
        destination = GetStdHandle(STD_ERROR_HANDLE);
        if (destination == INVALID_HANDLE_VALUE) destination = NULL;
    } else {
        destination = open_trace_file(value);
    }
    if (destination == NULL) return;

    // The clock: the process's age now, then the performance counter.
    LARGE_INTEGER counter, rate;
    traced.started_tenths = process_age_tenths();
    QueryPerformanceCounter(&counter);
    QueryPerformanceFrequency(&rate);
    traced.counter_at_open = counter.QuadPart;
    traced.counter_rate = rate.QuadPart > 0 ? rate.QuadPart : 1;
    traced.destination = destination;
    trace_on = true;
}

unsigned long long process_age_tenths()
{
    FILETIME created, exited, kernel, user, now;
    if (!GetProcessTimes(GetCurrentProcess(), &created, &exited, &kernel, &user)) return 0;
    GetSystemTimePreciseAsFileTime(&now);
    const unsigned long long from = (static_cast<unsigned long long>(created.dwHighDateTime) << 32) | created.dwLowDateTime;
    const unsigned long long to = (static_cast<unsigned long long>(now.dwHighDateTime) << 32) | now.dwLowDateTime;
    // 100-ns units; a tenth of a millisecond is 1000 of them.
    return to > from ? (to - from) / 1000 : 0;
}

unsigned long long trace_clock_tenths()
{
    if (traced.counter_rate == 0) return 0;
    LARGE_INTEGER counter;
    QueryPerformanceCounter(&counter);
    const unsigned long long ticks =
        counter.QuadPart > traced.counter_at_open ? static_cast<unsigned long long>(counter.QuadPart - traced.counter_at_open) : 0;
    const unsigned long long rate = static_cast<unsigned long long>(traced.counter_rate);
    return traced.started_tenths + ticks / rate * 10000 + ticks % rate * 10000 / rate;
}

void trace_line(const char* format, ...)
{
    if (!trace_on) return;
    char stack[1024];
    text_sink sink = {stack, sizeof stack, 0};
    va_list values;
    va_start(values, format);
    build_line(&sink, format, values);
    va_end(values);
    char* heap = NULL;
    if (sink.length >= sink.capacity) {
        // A long path or system text: formatted again, whole, on the heap.
        heap = static_cast<char*>(HeapAlloc(GetProcessHeap(), 0, sink.length + 1));
        if (heap == NULL) return;
        sink = {heap, sink.length + 1, 0};
        va_start(values, format);
        build_line(&sink, format, values);
        va_end(values);
    }
    DWORD written = 0;
    WriteFile(traced.destination, sink.out, static_cast<DWORD>(sink.length), &written, NULL);
    if (heap != NULL) HeapFree(GetProcessHeap(), 0, heap);
}

size_t format_trace_text(char* out, size_t capacity, const char* format, ...)
{
    text_sink sink = {out, capacity, 0};
    va_list values;
    va_start(values, format);
    put_formatted(&sink, format, values);
    va_end(values);
    terminate(&sink);
    return sink.length;
}
