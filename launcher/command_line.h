// The command lines of the processes the launcher starts, and the arguments of an application run
// in the launcher's own process: always the process's own, argument 0 replaced.
#ifndef TAVRIN_LAUNCHER_COMMAND_LINE_H
#define TAVRIN_LAUNCHER_COMMAND_LINE_H

#include <stddef.h>

// Appends `argument` at line[*length], the end of the text in `line` (`capacity` code units,
// terminator included), quoted where it holds a space, tab, line feed, vertical tab or double quote,
// or is empty; *length moves to the new end. False when it does not fit: the line then holds what
// fitted, terminated, and *length its end.
bool append_quoted_argument(wchar_t* line, size_t* length, const wchar_t* argument, size_t capacity);

// The launcher's second instance: the arguments of GetCommandLineW as the system splits them
// (CommandLineToArgvW), each quoted again so that the child's C runtime and the system both split
// the line into exactly these; argument 0 becomes `application_path`. Built into a process-wide
// buffer of 32768 code units and returned (valid for the life of the process; shared with
// build_program_command_line, not re-entrant). A line that would pass 32767 code units ends the
// process with exit_command_line_too_long.
const wchar_t* build_child_command_line(const wchar_t* application_path);

// A program entry: GetCommandLineW as typed, argument 0 (as the system and the C runtime delimit
// it) replaced by `application_path` in double quotes, everything after it verbatim, so that the
// program's own runtime splits it as the plain program's would. Same buffer and bound as above.
const wchar_t* build_program_command_line(const wchar_t* application_path);

// An application run in this process: the arguments of GetCommandLineW as the system splits them,
// argument 0 `application_path`; no line is built, so no bound applies. `*count` of them, a NULL
// after them; on the heap, never freed. No memory ends the process.
wchar_t** own_arguments(const wchar_t* application_path, int* count);

#endif
