// The launch sequence: role detection, the environment protocol between the two instances, the
// child's DLL load, and the parent's create / wait / clean-up / exit-code path.
#include "launcher/launch.h"

#include <windows.h>
#include <psapi.h>
#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <wchar.h>

#include "launcher/cleanup.h"
#include "launcher/command_line.h"
#include "include/tavrin/onefile.h"
#include "launcher/errors.h"
#include "paths/bounded.h"
#include "paths/environment.h"
#include "paths/directory_spec.h"
#include "paths/system_paths.h"
#include "payload/attached.h"
#include "payload/reader.h"
#include "payload/unpack.h"

namespace {

// Image path of a candidate parent process, normalised like our own resolved path.
wchar_t candidate_path[candidate_path_capacity];

// "%ld" of the own process id, widened one character at a time.
void set_parent_marker()
{
    char narrow_id[128];
    snprintf(narrow_id, sizeof narrow_id, "%ld", static_cast<long>(GetCurrentProcessId()));
    wchar_t wide_id[128];
    wide_id[0] = 0;
    append_ascii_widened(wide_id, narrow_id, 128);
    set_env_var(TAVRIN_ENV_ONEFILE_PARENT, wide_id);
}

// The directory of the plain own path: cut before its last backslash; a path without one stays whole.
void set_launcher_directory()
{
    static wchar_t directory[own_path_capacity];
    copy_wide_bounded(directory, own_executable_path(false), own_path_capacity);
    wchar_t* last = wcsrchr(directory, L'\\');
    if (last != NULL) *last = 0;
    set_env_var(TAVRIN_ENV_ONEFILE_DIRECTORY, directory);
}

// Makes the unpack directory (and the levels above it that are missing) and records its identity
// for the clean-up. Done here, in the parent, before the first entry is written and before
// unpack_started lets the console handler delete: so the identity is that of the directory this
// run made (or found, for a fixed spec), never of a link that someone put in its place later, and
// an interrupt while unpacking finds it recorded already. Recording it only after unpacking would
// leave that interrupt without it; recording it at the clean-up would accept whatever is there
// then. Unpacking finds the directory in its list and does not make it again. A directory that
// cannot be made is reported as before, by the first entry that cannot be written.
void make_unpack_directory()
{
    static wchar_t below[wide_path_capacity];
    size_t length = wcslen(unpack_directory);
    // Without room for a name below it, no entry fits either; unpacking reports that.
    if (length + 2 > wide_path_capacity) return;
    copy_wide_bounded(below, unpack_directory, wide_path_capacity);
    append_wide_bounded(below, L"\\", wide_path_capacity);
    create_containing_directories(below);
    record_unpack_directory_identity();
}

int run_child(int argc, wchar_t** argv)
{
    if (first_file_path[0] == 0) {
        // The parent unpacked nothing, so there is no application to load.
        exit_with_message("Error, attached data holds no application.");
    }
    AddDllDirectory(unpack_directory);
    HMODULE module = LoadLibraryExW(first_file_path, NULL,
                                    LOAD_LIBRARY_SEARCH_DLL_LOAD_DIR | LOAD_LIBRARY_SEARCH_USER_DIRS |
                                        LOAD_LIBRARY_SEARCH_SYSTEM32);
    if (module == NULL) exit_with_system_error("Error, load DLL.", GetLastError());
    FARPROC entry = GetProcAddress(module, TAVRIN_RUN_CODE_NAME);
    tavrin_run_code_function run_code = reinterpret_cast<tavrin_run_code_function>(reinterpret_cast<void*>(entry));
    if (run_code == NULL) exit_with_message("Error, DLL entry point not found.");
    // The child frees nothing and closes nothing: the process ends with the application's result.
    return run_code(argc, argv, first_file_path);
}

}  // namespace

instance_role detect_child_instance()
{
    wchar_t* marker = get_env_var(TAVRIN_ENV_ONEFILE_PARENT);
    if (marker == NULL) return role_parent;
    errno = 0;
    wchar_t* end = NULL;
    long id = wcstol(marker, &end, 10);
    if (errno == ERANGE || end == marker || *end != 0) return role_parent;

    HANDLE process = OpenProcess(PROCESS_QUERY_INFORMATION | PROCESS_VM_READ, FALSE, static_cast<DWORD>(id));
    if (process == NULL) return role_parent;
    instance_role role = role_parent;
    if (K32GetModuleFileNameExW(process, NULL, candidate_path, candidate_path_capacity) != 0) {
        normalise_executable_path(candidate_path, candidate_path_capacity);
        if (wcscmp(candidate_path, own_executable_path(true)) == 0) role = role_child;
    }
    CloseHandle(process);
    return role;
}

int run_launcher()
{
    int argc = __argc;
    wchar_t** argv = __wargv;

    SetDllDirectoryW(L"");
    const instance_role role = detect_child_instance();

    if (role == role_parent) {
        unset_env_var(TAVRIN_ENV_ONEFILE_START);
        unset_env_var(TAVRIN_ENV_ONEFILE_TIME_US);
        unset_env_var(TAVRIN_ENV_ONEFILE_RANDOM);
        set_parent_marker();
    }

    bool expanded = expand_spec(unpack_directory, builtin_unpack_spec, wide_path_capacity);
    qualify_unpack_directory();
    if (!expanded) abort_spec_expansion(builtin_unpack_spec);

    if (role == role_parent && !SetConsoleCtrlHandler(console_ctrl_handler, TRUE))
        exit_with_message("Error, failed to register signal handler.");

    const unsigned char* block = NULL;
    uint64_t block_length = 0;
    if (!find_attached_data(&block, &block_length)) exit_header_missing();
    open_attached_data(block, block_length);
    if (role == role_parent) make_unpack_directory();
    unpack_started = 1;
    unpack_attached_data(role);

    if (role == role_child) return run_child(argc, argv);

    set_launcher_directory();
    set_env_var(TAVRIN_ENV_ORIGINAL_ARGV0, argc > 0 ? argv[0] : L"");
    const wchar_t* application_path = own_executable_path(false);

    STARTUPINFOW startup;
    ZeroMemory(&startup, sizeof startup);
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
    startup.hStdOutput = GetStdHandle(STD_OUTPUT_HANDLE);
    startup.hStdError = GetStdHandle(STD_ERROR_HANDLE);

    wchar_t* command_line = const_cast<wchar_t*>(build_child_command_line(application_path));
    PROCESS_INFORMATION child;
    ZeroMemory(&child, sizeof child);
    if (!CreateProcessW(application_path, command_line, NULL, NULL, TRUE, NORMAL_PRIORITY_CLASS, NULL,
                        NULL, &startup, &child))
        exit_launch_failed(GetLastError());
    CloseHandle(child.hThread);

    HANDLE waited = hand_over_child(child.hProcess);
    DWORD exit_code = 1;  // also when the handler took the only handle first
    if (waited != NULL) {
        WaitForSingleObject(waited, INFINITE);
        if (!GetExitCodeProcess(waited, &exit_code)) exit_code = 1;
        CloseHandle(waited);
    }
    release_child();
    cleanup_child_and_directory();
    return static_cast<int>(exit_code);
}
