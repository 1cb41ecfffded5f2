// The child's command line: the process's own arguments with argument 0 replaced by the launcher's
// path, each quoted so that the system's split and the C runtime's give the same arguments back.
#include "launcher/command_line.h"

#include <windows.h>
#include <shellapi.h>

#include "launcher/errors.h"
#include "launcher/process_state.h"
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

// Writes `count` copies of `unit` at line[*length] with a terminator behind them; aborts at the
// first one that does not fit with its terminator.
void put_units(wchar_t* line, size_t* length, size_t capacity, wchar_t unit, size_t count)
{
    for (size_t i = 0; i < count; ++i) {
        if (*length + 2 > capacity) abort_bound();
        line[(*length)++] = unit;
        line[*length] = 0;
    }
}

}  // namespace

void append_quoted_argument(wchar_t* line, size_t* length, const wchar_t* argument, size_t capacity)
{
    if (!needs_quotes(argument)) {
        // Backslashes mean nothing to the split outside quotes and before no double quote.
        for (const wchar_t* at = argument; *at != 0; ++at) put_units(line, length, capacity, *at, 1);
        return;
    }
    put_units(line, length, capacity, L'"', 1);
    const wchar_t* at = argument;
    for (;;) {
        size_t backslashes = 0;
        while (*at == L'\\') {
            ++backslashes;
            ++at;
        }
        if (*at == 0) {
            // Doubled, so that the closing quote is not taken as an escaped one.
            put_units(line, length, capacity, L'\\', 2 * backslashes);
            break;
        }
        if (*at == L'"') {
            put_units(line, length, capacity, L'\\', 2 * backslashes + 1);
        } else {
            put_units(line, length, capacity, L'\\', backslashes);
        }
        put_units(line, length, capacity, *at, 1);
        ++at;
    }
    put_units(line, length, capacity, L'"', 1);
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
        if (i > 0) put_units(child_command_line, &length, command_line_capacity, L' ', 1);
        append_quoted_argument(child_command_line, &length, arguments[i], command_line_capacity);
    }
    // The array is kept, like the launcher's other allocations, until the process ends.
    return child_command_line;
}
