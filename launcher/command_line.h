// The child's command line: the process's own arguments, argument 0 replaced by the launcher's path,
// each quoted so that the system's split gives the same arguments back.
#ifndef TAVRIN_LAUNCHER_COMMAND_LINE_H
#define TAVRIN_LAUNCHER_COMMAND_LINE_H

#include <stddef.h>

// Appends `argument` at line[*length], the end of the text in `line` (`capacity` code units,
// terminator included), quoted where it holds a space, tab, line feed, vertical tab or double quote,
// or is empty; *length moves to the new end. Aborts at the append that does not fit.
void append_quoted_argument(wchar_t* line, size_t* length, const wchar_t* argument, size_t capacity);

// Builds the child command line from GetCommandLineW into a process-wide buffer of 32768 code units
// and returns it (valid for the life of the process; not re-entrant). Argument 0 becomes
// `application_path`, the executable the child is created from. Aborts when the line would pass
// 32767 code units.
const wchar_t* build_child_command_line(const wchar_t* application_path);

#endif
