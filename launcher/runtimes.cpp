// The C runtimes loaded in this process found by their exports, and given the environment and the
// arguments of an application that runs in the launcher's own process.
#include "launcher/runtimes.h"

#include <windows.h>
#include <psapi.h>
#include <stdlib.h>

#include "base/errors.h"
#include "base/process_state.h"
#include "paths/bounded.h"
#include "paths/environment.h"

namespace {

// Modules looked at, in load order: a process has some dozens, and the C runtimes load among the
// first; past this many the rest are not looked at.
enum { modules_max = 1024 };

typedef int(__cdecl* putenv_function)(const wchar_t*);
typedef int*(__cdecl* argc_function)();
typedef wchar_t***(__cdecl* wargv_function)();
typedef char***(__cdecl* argv_function)();

// The loaded modules into `modules`; their count.
DWORD loaded_modules(HMODULE* modules)
{
    DWORD bytes = 0;
    if (!K32EnumProcessModules(GetCurrentProcess(), modules, modules_max * sizeof *modules, &bytes)) return 0;
    DWORD count = bytes / sizeof *modules;
    return count > DWORD(modules_max) ? DWORD(modules_max) : count;
}

}  // namespace

void give_variables_to_runtimes(const char* const* names, int count)
{
    static HMODULE modules[modules_max];
    const DWORD loaded = loaded_modules(modules);
    // "NAME=value": a name shorter than env_name_capacity, its '=', a value of at most 32767 code
    // units and the terminator.
    enum { assignment_capacity = env_name_capacity + 32768 };
    static wchar_t assignment[assignment_capacity];
    for (int i = 0; i < count; ++i) {
        assignment[0] = 0;
        append_ascii_widened(assignment, names[i], assignment_capacity);
        append_wide_bounded(assignment, L"=", assignment_capacity);
        wchar_t* value = get_env_var(names[i]);
        if (value != NULL) append_wide_bounded(assignment, value, assignment_capacity);
        free(value);
        for (DWORD m = 0; m < loaded; ++m) {
            putenv_function put = reinterpret_cast<putenv_function>(reinterpret_cast<void*>(GetProcAddress(modules[m], "_wputenv")));
            if (put != NULL) put(assignment);
        }
    }
}

void give_arguments_to_runtimes(int count, wchar_t** vector)
{
    char** narrow = static_cast<char**>(malloc((static_cast<size_t>(count) + 1) * sizeof *narrow));
    if (narrow == NULL) exit_out_of_memory();
    for (int i = 0; i < count; ++i) {
        int bytes = WideCharToMultiByte(CP_ACP, 0, vector[i], -1, NULL, 0, NULL, NULL);
        narrow[i] = static_cast<char*>(malloc(bytes > 0 ? static_cast<size_t>(bytes) : 1));
        if (narrow[i] == NULL) exit_out_of_memory();
        narrow[i][0] = 0;
        if (bytes > 0) WideCharToMultiByte(CP_ACP, 0, vector[i], -1, narrow[i], bytes, NULL, NULL);
    }
    narrow[count] = NULL;
    static HMODULE modules[modules_max];
    const DWORD loaded = loaded_modules(modules);
    for (DWORD m = 0; m < loaded; ++m) {
        int* argc_at = NULL;
        wchar_t*** wargv_at = NULL;
        char*** argv_at = NULL;
        argc_function argc_of = reinterpret_cast<argc_function>(reinterpret_cast<void*>(GetProcAddress(modules[m], "__p___argc")));
        wargv_function wargv_of = reinterpret_cast<wargv_function>(reinterpret_cast<void*>(GetProcAddress(modules[m], "__p___wargv")));
        argv_function argv_of = reinterpret_cast<argv_function>(reinterpret_cast<void*>(GetProcAddress(modules[m], "__p___argv")));
        if (argc_of != NULL && wargv_of != NULL && argv_of != NULL) {
            argc_at = argc_of();
            wargv_at = wargv_of();
            argv_at = argv_of();
        } else {
            // The 64-bit msvcrt.dll exports the variables themselves, not their accessors.
            argc_at = reinterpret_cast<int*>(reinterpret_cast<void*>(GetProcAddress(modules[m], "__argc")));
            wargv_at = reinterpret_cast<wchar_t***>(reinterpret_cast<void*>(GetProcAddress(modules[m], "__wargv")));
            argv_at = reinterpret_cast<char***>(reinterpret_cast<void*>(GetProcAddress(modules[m], "__argv")));
        }
        if (argc_at == NULL || wargv_at == NULL || argv_at == NULL) continue;
        *argc_at = count;
        *wargv_at = vector;
        *argv_at = narrow;
    }
}
