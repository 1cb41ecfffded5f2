// The child's command line: the process's own arguments, argument 0 replaced by the launcher's path,
// each quoted so that the system's split gives the same arguments back.
#ifndef TAVRIN_LAUNCHER_COMMAND_LINE_H
#define TAVRIN_LAUNCHER_COMMAND_LINE_H

#include <stddef.h>

// Appends `argument` to the text in `line` (capacity `capacity` code units, terminator included),
// quoted where it holds a space, tab, line feed, vertical tab or double quote, or is empty. Aborts
// at the append that does not fit.
void append_quoted_argument(wchar_t* line, const wchar_t* argument, size_t capacity);

// Fills child_application_path with the launcher's own path (GetModuleFileNameW) when it is still
// empty. A failed or cut-off query aborts.
void fill_child_application_path();

// Builds the child command line from GetCommandLineW into a process-wide buffer of 32768 code units
// and returns it (valid for the life of the process; not re-entrant). Fills child_application_path
// when it is empty. Aborts when the line would pass 32767 code units.
const wchar_t* build_child_command_line();

#endif
