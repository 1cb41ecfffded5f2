// The trace that TAVRIN_ONEFILE_TRACE asks for: one line per decision and step of the launcher, each
// with the milliseconds since this process started, on standard error or appended to a file.
#ifndef TAVRIN_BASE_TRACE_H
#define TAVRIN_BASE_TRACE_H

#include <windows.h>
#include <stddef.h>

#include "format/launcher_messages.h"

// Reads TAVRIN_ONEFILE_TRACE once, as soon as the role is known, and names the role (`child`: the
// second instance) in every line: unset, empty or "0", no trace (and nothing of the run changes);
// "1", standard error; anything else, the path of a file that every line is appended to, created
// when missing and never truncated. A path that names a device ("NUL", "COM1", "\\.\..."), a
// link, a directory or anything but a regular file on a disk, or that cannot be opened for
// appending, is refused: no trace is written, and the parent says why on standard error
// (report_trace_refused; the child, which reads the same variable, does not say it again). The
// environment is untrusted: nothing else is read from it.
void open_trace(bool child);

// Whether the trace is on; every trace() call is skipped when it is not. Set once by open_trace.
extern bool trace_on;

// One line: "tavrin-onefile[<pid>] <parent|child> <ms> ms: " and `format` filled with its values, then CR
// LF, in one write (lines of the two instances appended to one file never interleave). The format
// takes %s, %ls (UTF-16, written as UTF-8), %c, %d, %u, %x with the sizes l, ll and z, and %%;
// nothing else (no width, no precision). A line of any length is written whole: one longer than
// the stack's buffer is formatted again on the heap (and dropped when none can be had).
void trace_line(const char* format, ...) __attribute__((format(gnu_printf, 1, 2)));

// trace_line when the trace is on; otherwise the values are not even looked at.
#define trace(...)                         \
    do {                                   \
        if (trace_on) trace_line(__VA_ARGS__); \
    } while (0)

// Why a trace file of these attributes (INVALID_FILE_ATTRIBUTES where none are known: a file that
// does not exist yet) and of this type (GetFileType of its handle; FILE_TYPE_DISK before it is
// opened) must not be written, or trace_file_usable. open_trace asks before it opens the path (its
// attributes by path) and again through the handle it opened.
trace_refusal trace_file_refusal(DWORD attributes, DWORD file_type);

// This process's age now, from its creation time, in tenths of a millisecond; 0 where the system
// does not tell. The lines' clock starts from it; the progress window's delay counts from it too.
unsigned long long process_age_tenths();

// Milliseconds since this process started, in tenths (123.4 ms is 1234): the clock of the lines,
// for a step's duration in a line of its own. 0 before open_trace.
unsigned long long trace_clock_tenths();

// Formats like trace_line into `out` (`capacity` bytes, at least 1), always terminated, and returns
// the length the whole text needs without its terminator: a larger value than capacity - 1 means
// the text did not fit and `out` holds its start. For the tests: the formatting of the lines.
size_t format_trace_text(char* out, size_t capacity, const char* format, ...) __attribute__((format(gnu_printf, 3, 4)));

#endif
