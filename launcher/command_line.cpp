// The command lines of the processes the launcher starts: the launcher's second instance gets the
// process's own arguments quoted again, a program entry the line as typed; argument 0 replaced.
#include "launcher/command_line.h"

#include <windows.h>
#include <shellapi.h>
#include <stdlib.h>

#include "base/errors.h"
#include "base/process_state.h"
#include "paths/bounded.h"

namespace {

wchar_t child_command_line[command_line_capacity];

bool needs_quotes(const wchar_t* argument)
{
    // Unquoted, an empty argument would add only its separator and vanish in the child's split
    // ("tool.exe "" x" would reach the application as "tool.exe x"); quoted, it survives as "".
    if (argument[0] == 0) return true;
    for (const wchar_t* at = argument; *at != 0; ++at)
        if (*at == L' ' || *at == L'\t' || *at == L'\n' || *at == L'\v' || *at == L'"') return true;
    return false;
}

// Writes `count` copies of `unit` at line[*length] with a terminator behind them; false, with the
// line as it was before this call's first unit that does not fit with its terminator, when one
// does not.
bool put_units(wchar_t* line, size_t* length, size_t capacity, wchar_t unit, size_t count)
{
    for (size_t i = 0; i < count; ++i) {
        if (*length + 2 > capacity) return false;
        line[(*length)++] = unit;
        line[*length] = 0;
    }
    return true;
}

// Where argument 0 ends in `line`, by the rule that the system and the C runtime share for it: a
// quoted argument 0 runs to the next double quote (backslashes escape nothing in it) and ends
// behind it; an unquoted one ends at the first space or tab.
size_t argument_zero_end(const wchar_t* line)
{
    size_t at = 0;
    if (line[0] == L'"') {
        for (at = 1; line[at] != 0 && line[at] != L'"'; ++at) {
        }
        return line[at] == L'"' ? at + 1 : at;
    }
    while (line[at] != 0 && line[at] != L' ' && line[at] != L'\t') ++at;
    return at;
}

}  // namespace

bool append_quoted_argument(wchar_t* line, size_t* length, const wchar_t* argument, size_t capacity)
{
    if (!needs_quotes(argument)) {
        // Backslashes mean nothing to the split outside quotes and before no double quote.
        for (const wchar_t* at = argument; *at != 0; ++at)
            if (!put_units(line, length, capacity, *at, 1)) return false;
        return true;
    }
    if (!put_units(line, length, capacity, L'"', 1)) return false;
    const wchar_t* at = argument;
    for (;;) {
        size_t backslashes = 0;
        while (*at == L'\\') {
            ++backslashes;
            ++at;
        }
        if (*at == 0) {
            // Doubled, so that the closing quote is not taken as an escaped one.
            if (!put_units(line, length, capacity, L'\\', 2 * backslashes)) return false;
            break;
        }
        const size_t escapes = *at == L'"' ? 2 * backslashes + 1 : backslashes;
        if (!put_units(line, length, capacity, L'\\', escapes) || !put_units(line, length, capacity, *at, 1)) return false;
        ++at;
    }
    return put_units(line, length, capacity, L'"', 1);
}

const wchar_t* build_child_command_line(const wchar_t* application_path)
{
    int count = 0;
    wchar_t** arguments = CommandLineToArgvW(GetCommandLineW(), &count);
    // Only an allocation can fail here. Without the arguments no child can be started with them, so
    // this ends like a failed CreateProcessW, with the system's reason.
    if (arguments == NULL) exit_launch_failed(GetLastError());

    child_command_line[0] = 0;
    // The user's argument 0 stays behind (the launch sequence passes it on in the environment).
    arguments[0] = const_cast<wchar_t*>(application_path);

    size_t length = 0;
    for (int i = 0; i < count; ++i) {
        if ((i > 0 && !put_units(child_command_line, &length, command_line_capacity, L' ', 1)) ||
            !append_quoted_argument(child_command_line, &length, arguments[i], command_line_capacity))
            exit_command_line_too_long();
    }
    // The array is kept, like the launcher's other allocations, until the process ends.
    return child_command_line;
}

const wchar_t* build_program_command_line(const wchar_t* application_path)
{
    const wchar_t* typed = GetCommandLineW();
    const wchar_t* tail = typed + argument_zero_end(typed);
    child_command_line[0] = 0;
    size_t length = 0;
    // A path holds no double quote, so quoted it is argument 0 whole for every parser.
    bool fits = put_units(child_command_line, &length, command_line_capacity, L'"', 1);
    for (const wchar_t* at = application_path; fits && *at != 0; ++at)
        fits = put_units(child_command_line, &length, command_line_capacity, *at, 1);
    fits = fits && put_units(child_command_line, &length, command_line_capacity, L'"', 1);
    for (const wchar_t* at = tail; fits && *at != 0; ++at) fits = put_units(child_command_line, &length, command_line_capacity, *at, 1);
    if (!fits) exit_command_line_too_long();
    return child_command_line;
}

wchar_t** own_arguments(const wchar_t* application_path, int* count)
{
    wchar_t** parsed = CommandLineToArgvW(GetCommandLineW(), count);
    if (parsed == NULL) exit_out_of_memory();
    // Copied, so that the NULL behind the last one does not depend on the system's allocation.
    wchar_t** vector = static_cast<wchar_t**>(malloc((static_cast<size_t>(*count) + 1) * sizeof *vector));
    if (vector == NULL) exit_out_of_memory();
    for (int i = 0; i < *count; ++i) vector[i] = parsed[i];
    vector[*count] = NULL;
    vector[0] = const_cast<wchar_t*>(application_path);
    return vector;
}
