// Environment variables by ASCII name: names widened through the bounded helpers, values read into
// one full-size scratch buffer and handed out as heap copies.
#include "paths/environment.h"

#include <windows.h>
#include <stdlib.h>

#include "base/errors.h"
#include "base/process_state.h"
#include "paths/bounded.h"

namespace {

// The largest value the system stores is 32767 code units; one more for the terminator.
enum { env_value_capacity = 32768 };

// Widens `name` into `wide` (env_name_capacity units); a name of 40 or more characters aborts.
void widen_env_name(wchar_t* wide, const char* name)
{
    wide[0] = 0;
    append_ascii_widened(wide, name, env_name_capacity);
}

}  // namespace

wchar_t* get_env_var_w(const wchar_t* name)
{
    // 64 KiB on the main thread's stack (reserve 9.4 MiB): no fixed buffer kept for a value that is
    // copied out at once.
    wchar_t value[env_value_capacity];
    DWORD length = GetEnvironmentVariableW(name, value, env_value_capacity);
    // 0: absent, empty or failed. A value that does not fit reports the size it needs instead of its
    // length; a stored value never needs more than the buffer, so that is treated as absent too.
    if (length == 0 || length >= env_value_capacity) return NULL;
    wchar_t* copy = static_cast<wchar_t*>(malloc((length + 1) * sizeof(wchar_t)));
    // Reporting "absent" here would make the spec expansion compute fresh values that the other
    // instance never sees; ending the process is the only safe answer.
    if (copy == NULL) abort_bound();
    copy_wide_bounded(copy, value, length + 1);
    return copy;
}

wchar_t* get_env_var(const char* name)
{
    wchar_t wide[env_name_capacity];
    widen_env_name(wide, name);
    return get_env_var_w(wide);
}

bool env_var_set(const char* name)
{
    wchar_t wide[env_name_capacity];
    widen_env_name(wide, name);
    // An empty value copies nothing and returns 0, as an absent one does; any other returns its
    // length, or the room it needs.
    wchar_t first[2];
    return GetEnvironmentVariableW(wide, first, 2) > 0;
}

int set_env_var(const char* name, const wchar_t* value)
{
    wchar_t wide[env_name_capacity];
    widen_env_name(wide, name);
    return SetEnvironmentVariableW(wide, value);
}

void unset_env_var(const char* name)
{
    wchar_t wide[env_name_capacity];
    widen_env_name(wide, name);
    SetEnvironmentVariableW(wide, NULL);
}
