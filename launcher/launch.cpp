// The launch sequence: role detection, the environment protocol between the two instances, the
// DLL load (in the child, or in the parent itself from a kept cached tree; for a program entry, the
// program started in its place), and the parent's create / wait / clean-up / exit-code path.
#include "launcher/launch.h"

#include <windows.h>
#include <shellapi.h>
#include <stdio.h>
#include <stdlib.h>
#include <wchar.h>

#include "launcher/cache.h"
#include "launcher/child_job.h"
#include "launcher/cleanup.h"
#include "launcher/command_line.h"
#include "include/tavrin/onefile.h"
#include "base/errors.h"
#include "base/trace.h"
#include "launcher/failure_box.h"
#include "launcher/instance_role.h"
#include "launcher/progress_window.h"
#include "launcher/leftovers.h"
#include "launcher/runtimes.h"
#include "paths/bounded.h"
#include "paths/environment.h"
#include "paths/security.h"
#include "paths/directory_spec.h"
#include "paths/system_paths.h"
#include "payload/attached.h"
#include "format/entry_names.h"
#include "payload/reader.h"
#include "payload/settings.h"
#include "payload/unpack.h"

namespace {

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

// The directory of the plain own path, as {EXE_DIR} gives it: cut before its last backslash; a path
// without one stays whole.
void set_launcher_directory()
{
    static wchar_t directory[wide_path_capacity];
    expand_spec(directory, L"{EXE_DIR}", wide_path_capacity);
    set_env_var(TAVRIN_ENV_ONEFILE_DIRECTORY, directory);
}

// Every component of the expanded unpack directory below its root must be a name Windows keeps as
// it is: a value from argument 0 or the environment may hold a drive ("C:\Apps\tool" after {TEMP}),
// "..", or a trailing dot that the qualification below would fold away or drop, sending the two
// instances, or the clean-up, somewhere else. Checked before anything is made.
void check_unpack_directory_names(const wchar_t* spec)
{
    const size_t root = spec_root_length(spec, unpack_directory);
    if (unpack_directory[root] == 0) return;
    const wchar_t* below = unpack_directory + root + (unpack_directory[root] == L'\\' ? 1 : 0);
    const name_fault fault = entry_name_fault(below, wcslen(below));
    if (fault != name_ok) exit_unusable_unpack_directory(unpack_directory, fault);
}

// Creations of the child before the parent gives up. Wine 8 now and then fails one with
// ERROR_INTERNAL_ERROR when the new process dies in its start-up, before any code of the image runs
// (seen once in 1,000 runs two at a time on a loaded machine); asked again, it starts.
enum { child_creation_tries = 3, child_creation_pause_ms = 100 };

// Tries at a directory of our own before the parent gives up: a try meets an existing directory only
// when someone prepared one under the very name that the system's random token chose.
enum { unpack_directory_tries = 4 };

// Expands the image's unpack spec (the built-in one unless the packer stored another) into the
// unpack directory, the one writer of that item, makes it fully qualified, and makes it the
// directory in use.
void expand_unpack_directory()
{
    const wchar_t* spec = unpack_spec;
    bool expanded = expand_spec(unpack_directory, spec, wide_path_capacity);
    if (expanded) check_unpack_directory_names(spec);
    qualify_directory(unpack_directory);
    if (!expanded) abort_spec_expansion(spec);
    // A new build never meets the tree of an old one.
    if (cached_mode) append_archive_identity(unpack_directory);
    use_directory(unpack_directory);
    trace("unpack directory %ls", unpack_directory);
}

// Makes the unpack directory, private: true when this call made it. An elevated parent's is sealed
// and held open without delete sharing from the moment it exists until the clean-up (no lesser
// process can rename it and put a directory of its own, with a DLL of its own, in its place).
bool make_unpack_directory(uint32_t* error)
{
    if (!own_token_elevated()) return create_private_directory(unpack_directory, error);
    void* held = NULL;
    if (!create_held_private_directory(unpack_directory, error, &held, false)) return false;
    hold_directory_in_use(held);
    return true;
}

// The parent makes the unpack directory itself, private, and never takes over one that exists: a
// directory that another process prepared under our name could hand the child files it never
// wrote. An existing name gets a new token and a new expansion; after the last try the failure is
// reported like any directory that cannot be made.
void create_unpack_directory()
{
    for (int attempt = 1;; ++attempt) {
        uint32_t error = 0;
        if (make_unpack_directory(&error)) return;
        if (error == ERROR_PATH_NOT_FOUND) {
            // The temporary directory itself is missing: its levels are made as for any entry.
            if (!create_containing_directories(unpack_directory)) error = GetLastError();
            else if (make_unpack_directory(&error)) return;
        }
        if (error != ERROR_ALREADY_EXISTS) {
            // Beside the executable, the folder is named with the system's reason. Elsewhere any
            // other reason (no rights, say) shows up as the first file's own failure, with its path.
            refuse_unwritable_executable_folder(unpack_spec, error);
            return;
        }
        if (attempt == unpack_directory_tries) {
            SetLastError(error);
            exit_cannot_open_output(unpack_directory);
        }
        trace("unpack directory %ls exists already: a new token", unpack_directory);
        unset_env_var(TAVRIN_ENV_ONEFILE_RANDOM);
        expand_unpack_directory();
    }
}

// The parent's clean-up before a fatal exit: the file being written is closed, so that it can go
// with the rest of the unpack directory.
void abandon_unpacking()
{
    close_unpack_output();
    cleanup_child_and_directory();
}

void require_application()
{
    // The parent unpacked nothing, so there is no application to load or start.
    if (first_file_path[0] == 0) exit_with_message(message_no_application);
}

// The start-up information of the process this one starts: its own standard handles and, for a
// program entry (`placement`), the window placement it was given (a shortcut's "Run: Minimized",
// a position, a size), which the program's first window takes as it would started directly.
void fill_startup(STARTUPINFOW* startup, bool placement)
{
    ZeroMemory(startup, sizeof *startup);
    startup->cb = sizeof *startup;
    if (placement) {
        STARTUPINFOW own;
        GetStartupInfoW(&own);
        startup->dwFlags = own.dwFlags & (STARTF_USESHOWWINDOW | STARTF_USEPOSITION | STARTF_USESIZE);
        startup->wShowWindow = own.wShowWindow;
        startup->dwX = own.dwX;
        startup->dwY = own.dwY;
        startup->dwXSize = own.dwXSize;
        startup->dwYSize = own.dwYSize;
    }
    startup->dwFlags |= STARTF_USESTDHANDLES;
    startup->hStdInput = GetStdHandle(STD_INPUT_HANDLE);
    startup->hStdOutput = GetStdHandle(STD_OUTPUT_HANDLE);
    startup->hStdError = GetStdHandle(STD_ERROR_HANDLE);
}

// Creates the process of `application` with `command_line`, suspended, the standard handles
// inherited, this process's environment and current directory; `tries` creations at most (see
// child_creation_tries). False with the system's reason in `*error` when none succeeded.
bool create_suspended(const wchar_t* application, wchar_t* command_line, STARTUPINFOW* startup, int tries,
                      PROCESS_INFORMATION* created, DWORD* error)
{
    ZeroMemory(created, sizeof *created);
    for (int attempt = 1;; ++attempt) {
        if (CreateProcessW(application, command_line, NULL, NULL, TRUE, NORMAL_PRIORITY_CLASS | CREATE_SUSPENDED, NULL,
                           NULL, startup, created))
            return true;
        *error = GetLastError();
        if (*error != ERROR_INTERNAL_ERROR || attempt == tries) return false;
        Sleep(child_creation_pause_ms);
    }
}

// Ends the process for a child that could not be started: "couldn't start the application" for a
// `program` entry, "couldn't launch child" for the launcher's own second instance.
[[noreturn]] void exit_start_failed(DWORD error, bool program)
{
    if (program) exit_application_start_failed(error);
    exit_launch_failed(error);
}

// Resumes `created` (suspended, in the child job) and closes its thread handle; a failure ends the
// created process and then this one, with the system's reason.
void resume_created(PROCESS_INFORMATION* created, bool program)
{
    if (ResumeThread(created->hThread) == static_cast<DWORD>(-1)) {
        DWORD error = GetLastError();
        TerminateProcess(created->hProcess, 1);
        exit_start_failed(error, program);
    }
    CloseHandle(created->hThread);
}

// Creates the process of `application` with `command_line` (create_suspended), puts it in the child
// job (child_job.h), resumes it and returns its process handle (the thread's is closed). A failure ends the process
// with the system's reason (exit_start_failed).
HANDLE create_process(const wchar_t* application, wchar_t* command_line, STARTUPINFOW* startup, bool program)
{
    PROCESS_INFORMATION created;
    DWORD error = 0;
    // Suspended until it is in the job: it never runs a moment in which this process could end
    // without taking it along.
    if (!create_suspended(application, command_line, startup, child_creation_tries, &created, &error)) {
        trace("creating the process of %ls failed: error %lu", application, error);
        exit_start_failed(error, program);
    }
    put_in_child_job(created.hProcess);
    resume_created(&created, program);
    if (program) trace("program %ls started: process %lu", application, created.dwProcessId);
    else trace("child instance created and started: process %lu", created.dwProcessId);
    return created.hProcess;
}

// The child role with a program entry: an instance that the program started from the package again.
// It starts the program from the same directory, with its own arguments (argument 0 this
// executable's path, as the parent gives it), and passes the program's exit code on.
int run_program_again()
{
    require_application();
    release_failure_handover();
    if (!SetConsoleCtrlHandler(waiting_ctrl_handler, TRUE)) exit_with_message(message_signal_handler_failed);
    STARTUPINFOW startup;
    fill_startup(&startup, true);
    wchar_t* command_line = const_cast<wchar_t*>(build_program_command_line(own_executable_path(false)));
    HANDLE program = create_process(first_file_path, command_line, &startup, true);
    WaitForSingleObject(program, INFINITE);
    DWORD exit_code = 1;
    if (!GetExitCodeProcess(program, &exit_code)) exit_code = 1;
    trace("program ended: exit code %lu", exit_code);
    // The process ends here; the handle goes with it.
    return static_cast<int>(exit_code);
}

// Loads the entry DLL at first_file_path and returns its run_code. From here on every DLL that is
// loaded by name, by the application or by anything it loads, is looked for in the directory in use
// first, then in system32, and nowhere else: not in the executable's own folder (which Windows
// would search first, and where a download lies among whatever else was downloaded), not in the
// current directory, not along PATH. A DLL that cannot be loaded or lacks run_code ends the process.
tavrin_run_code_function load_entry_dll()
{
    AddDllDirectory(directory_in_use);
    SetDefaultDllDirectories(LOAD_LIBRARY_SEARCH_USER_DIRS | LOAD_LIBRARY_SEARCH_SYSTEM32);
    // Also through the older call, which the search above counts among its user directories.
    SetDllDirectoryW(directory_in_use);
    trace("loading %ls", first_file_path);
    HMODULE module = LoadLibraryExW(first_file_path, NULL,
                                    LOAD_LIBRARY_SEARCH_DLL_LOAD_DIR | LOAD_LIBRARY_SEARCH_USER_DIRS |
                                        LOAD_LIBRARY_SEARCH_SYSTEM32);
    if (module == NULL) {
        const DWORD error = GetLastError();
        trace("loading %ls failed: error %lu", first_file_path, error);
        exit_with_system_error(message_dll_load_failed, error);
    }
    FARPROC entry = GetProcAddress(module, TAVRIN_RUN_CODE_NAME);
    tavrin_run_code_function run_code = reinterpret_cast<tavrin_run_code_function>(reinterpret_cast<void*>(entry));
    if (run_code == NULL) {
        trace("%ls exports no " TAVRIN_RUN_CODE_NAME, first_file_path);
        exit_with_message(message_entry_point_missing);
    }
    return run_code;
}

// Calls run_code and returns its result, traced.
int call_run_code(tavrin_run_code_function run_code, int argc, wchar_t** argv)
{
    trace(TAVRIN_RUN_CODE_NAME " called");
    const int result = run_code(argc, argv, first_file_path);
    trace(TAVRIN_RUN_CODE_NAME " returned %d", result);
    return result;
}

int run_child(int argc, wchar_t** argv)
{
    require_application();
    tavrin_run_code_function run_code = load_entry_dll();
    // From here on no failure of the launcher's is left to hand over; the application never gets it.
    release_failure_handover();
    // Nothing is freed or closed after it: the process ends with the application's result.
    return call_run_code(run_code, argc, argv);
}

// The variables that the launcher sets or removes for the application.
const char* const application_variables[] = {TAVRIN_ENV_ONEFILE_PARENT, TAVRIN_ENV_ONEFILE_START,
                                             TAVRIN_ENV_ONEFILE_TIME_US, TAVRIN_ENV_ONEFILE_RANDOM,
                                             TAVRIN_ENV_ONEFILE_DIRECTORY, TAVRIN_ENV_ORIGINAL_ARGV0};


// Cached mode with a DLL entry and a kept tree (checked, or just unpacked and moved into place):
// nothing is deleted at the end, so this process runs the application itself instead of starting
// a child for it, with what a child would get (its arguments, the variables, TAVRIN_ONEFILE_PARENT
// naming this process) and returns run_code's result. Before the call, what unpacking used is
// released, and the console and every fatal exit are left to the application: the handler and the
// hook that deleted unpacked work have nothing to do any more. An instance that the application
// starts from the package recognises this process by its marker and image, takes the child role
// and runs from the same tree, which this process holds until it ends.
int run_in_this_process(const unsigned char* block, uint64_t block_length, const wchar_t* own_path)
{
    // The tree may have been unpacked under a sibling's name, or by another run.
    locate_first_entry(block, block_length);
    require_application();
    release_attached_data_pages(block, block_length);
    set_fatal_exit_hook(NULL);
    SetConsoleCtrlHandler(console_ctrl_handler, FALSE);
    // The C runtimes copied the environment at their start, before the variables above were set and
    // removed: each is given them as the system holds them now, as a child's runtime would have
    // read them at its start. Before the load, so that the application's own start-up sees them.
    give_variables_to_runtimes(application_variables, sizeof application_variables / sizeof *application_variables);
    // The arguments as a child would get them, without a second command line and its bound: the
    // system's split of this process's own line, argument 0 the package's own path.
    int count = 0;
    wchar_t** arguments = own_arguments(own_path, &count);
    // Loading the DLL runs its code: from here on the start cannot be cancelled.
    claim_application_start();
    tavrin_run_code_function run_code = load_entry_dll();
    watch_application(NULL);
    // After the load: a runtime that the application brought parsed the command line as typed.
    give_arguments_to_runtimes(count, arguments);
    // Older versions' trees go beside the application, never before it; an application that
    // returns waits for the removal to finish (one that ends the process itself ends it too).
    HANDLE removal = start_removing_lower_versions();
    const int result = call_run_code(run_code, count, arguments);
    if (removal != NULL) WaitForSingleObject(removal, INFINITE);
    return result;
}

// The variables the application finds beside TAVRIN_ONEFILE_PARENT, set before the process that
// runs it is created (it gets this environment as it is then).
void set_application_variables(int argc, wchar_t** argv)
{
    set_launcher_directory();
    set_env_var(TAVRIN_ENV_ORIGINAL_ARGV0, argc > 0 ? argv[0] : L"");
}

// A temporary parent with a DLL entry creates its second instance while it unpacks, on a thread of
// its own, suspended and in the child job, so that the system's work of making a process (some
// 15 ms under Wine 8, most of it waiting for the new process) overlaps the unpacking; it is resumed
// only once every file is written and the frame confirmed, and ended, never resumed, when
// unpacking fails (the clean-up waits for the creation and ends a child that never ran at once).
// Everything the child gets is known before it starts: its command line, the environment with the
// directory's final name.
//
// The creation's inputs and results, written before the thread starts and by the thread, read by
// the main thread after it has waited for the thread.
struct early_creation {
    STARTUPINFOW startup;
    wchar_t* command_line;   // the child command line's one buffer (command_line.h)
    const wchar_t* application;
    PROCESS_INFORMATION created;
    HANDLE waited;           // hand_over_child's handle for the main thread; NULL after a failure
    bool done;               // created, in the job and in the clean-up's slot
};
early_creation early;

DWORD WINAPI create_child_in_background(void*)
{
    DWORD failure = 0;
    if (!create_suspended(early.application, early.command_line, &early.startup, 1, &early.created, &failure)) return 0;
    put_in_child_job(early.created.hProcess);
    early.waited = hand_over_child(early.created.hProcess);
    early.done = true;
    return 0;
}

// Starts the early creation; false, with nothing started, whenever the usual order must decide
// instead: a program entry (its image is not written yet), cached mode, TAVRIN_ONEFILE_SERIAL=child,
// an instance that does not recognise itself, no thread to be had. A creation that fails is tried
// again after unpacking, and fails there as it always did.
bool start_child_creation(int argc, wchar_t** argv)
{
    if (program_entry || cached_mode || (serial_steps & serial_child) != 0) return false;
    uint32_t error = 0;
    if (recognise_own_executable(GetCurrentProcessId(), &error) != recognised) return false;
    set_application_variables(argc, argv);
    early.application = own_executable_path(false);
    fill_startup(&early.startup, false);
    early.command_line = const_cast<wchar_t*>(build_child_command_line(early.application));
    offer_failure_handover();
    HANDLE thread = CreateThread(NULL, 64 * 1024, create_child_in_background, NULL,
                                 CREATE_SUSPENDED | STACK_SIZE_PARAM_IS_A_RESERVATION, NULL);
    if (thread == NULL) return false;
    // Known to the clean-up before it runs: an interrupt at any moment waits for the creation.
    // Held until the process ends: the clean-up waits on it from either thread.
    register_child_creation(thread);
    if (ResumeThread(thread) == static_cast<DWORD>(-1)) {
        TerminateThread(thread, 0);  // it never ran
        return false;
    }
    trace("creating the child instance while unpacking, suspended");
    return true;
}

// Creates the process that runs the application after unpacking, in the usual order: the
// launcher's second instance, or the program entry itself, and returns the handle the main thread
// waits on (hand_over_child).
HANDLE start_application_process(const wchar_t* own_path, const unsigned char* block, uint64_t block_length)
{
    const wchar_t* application_path = own_path;
    if (program_entry) {
        // In cached mode the tree in use was unpacked under another name, or by another run: the
        // entry's path is taken from it as it is now.
        if (cached_mode) locate_first_entry(block, block_length);
        require_application();
        application_path = first_file_path;
    } else {
        // A child that would not recognise this instance would take the parent role and start
        // another instance, which would do the same: refuse to start one unless this instance
        // recognises itself. A program entry starts no instance of ours.
        require_self_recognition();
    }

    STARTUPINFOW startup;
    fill_startup(&startup, program_entry);
    // A program gets the line as typed, argument 0 replaced, for its own runtime to split; the
    // launcher's second instance gets the arguments as the system splits them, quoted again.
    wchar_t* command_line =
        const_cast<wchar_t*>(program_entry ? build_program_command_line(own_path) : build_child_command_line(own_path));
    if (!program_entry) offer_failure_handover();
    claim_application_start();
    mark_child_starting();
    HANDLE process = create_process(application_path, command_line, &startup, program_entry);
    withdraw_failure_handover();
    HANDLE waited = hand_over_child(process);
    if (waited != NULL) watch_application(waited);
    return waited;
}

// The trace's first lines: the role and what decided it, then the launch settings.
void trace_launch(instance_role role, int argc)
{
    wchar_t* parent = get_env_var(TAVRIN_ENV_ONEFILE_PARENT);
    if (role == role_child) trace("role: child of the parent instance %ls", parent);
    else if (parent != NULL) trace("role: parent (" TAVRIN_ENV_ONEFILE_PARENT "=%ls names no running instance of this executable)", parent);
    else trace("role: parent");
    free(parent);
    trace("executable %ls, %d arguments", own_executable_path(false), argc);
}

void trace_settings()
{
    trace("settings: %s mode, %s, spec %ls%s, %s", cached_mode ? "cached" : "temporary",
          program_entry ? "program entry" : "DLL entry", unpack_spec, unpack_spec == builtin_unpack_spec ? " (built in)" : "",
          no_progress_window ? "no progress window (--no-progress)" : "progress window when a windowed start takes long");
    if (serial_steps != 0) trace("settings: " TAVRIN_ENV_ONEFILE_SERIAL " makes steps serial (mask %u)", serial_steps);
}

}  // namespace

int run_launcher()
{
    int argc = __argc;
    wchar_t** argv = __wargv;

    // A failure that no stream takes goes to the person at the desktop.
    set_undelivered_failure_handler(present_failure);
    // The launcher loads nothing by name from its own folder or the current directory: shell32 and
    // what it loads later come from system32.
    SetDefaultDllDirectories(LOAD_LIBRARY_SEARCH_SYSTEM32);
    SetDllDirectoryW(L"");
    const instance_role role = detect_child_instance();
    open_trace(role == role_child);
    if (trace_on) trace_launch(role, argc);

    if (role == role_child) {
        accept_failure_handover();
        // The parent's argument 0, which its own expansion used; a heap copy, never freed. Absent or
        // empty: the parent had an empty one too.
        wchar_t* original = get_env_var(TAVRIN_ENV_ORIGINAL_ARGV0);
        set_program_argument(original != NULL ? original : L"");
    }
    if (role == role_parent) {
        unset_env_var(TAVRIN_ENV_ONEFILE_START);
        unset_env_var(TAVRIN_ENV_ONEFILE_TIME_US);
        unset_env_var(TAVRIN_ENV_ONEFILE_RANDOM);
        set_parent_marker();
    }

    // The settings once, read from their items from here on; then the unpack directory, once (a
    // temporary parent expands it again only when the name it chose is taken).
    read_launch_settings();
    if (trace_on) trace_settings();
    expand_unpack_directory();
    if (role == role_child && cached_mode) use_parent_copy();

    if (role == role_parent) {
        if (!SetConsoleCtrlHandler(console_ctrl_handler, TRUE))
            exit_with_message(message_signal_handler_failed);
        // From here on a fatal exit deletes what was unpacked before it reports.
        set_fatal_exit_hook(abandon_unpacking);
    }

    const unsigned char* block = NULL;
    uint64_t block_length = 0;
    if (!find_attached_data(&block, &block_length)) exit_header_missing();
    bool kept_tree = false;
    // Whether the second instance is being created while unpacking (start_child_creation), and
    // the handle the main thread waits on.
    bool creating_early = false;
    HANDLE waited = NULL;
    if (role == role_parent && cached_mode) {
        // A kept tree that passes its checks is used without reading the archive; the clean-up
        // never deletes it.
        kept_tree = prepare_cached_tree(block, block_length);
    } else {
        open_attached_data(block, block_length);
        // Only a directory this run made is ever deleted: it is made and its identity recorded
        // before the clean-up may delete, so an interrupt while unpacking finds it recorded, and a
        // link put in its place later is never accepted. A child deletes nothing.
        if (role == role_parent) {
            create_unpack_directory();
            record_directory_in_use_identity();
            // Temporary mode (cached mode's parent never gets here): what this run cannot delete
            // at its end, a later run can.
            mark_unpack_directory();
            allow_cleanup_delete(true);
            trace("unpack directory made%s", unpack_directory_marked() ? " and marked for later runs' sweep" : "");
            // From here on a fatal exit or an interrupt ends it with the clean-up.
            arm_progress_window();
            creating_early = start_child_creation(argc, argv);
        }
        unpack_attached_data(role);
    }

    if (role == role_child) return program_entry ? run_program_again() : run_child(argc, argv);

    if (creating_early) {
        await_child_creation();
        withdraw_failure_handover();
    }
    if (creating_early && early.done) {
        // Every file is written and the frame confirmed: the child may run.
        waited = early.waited;
        claim_application_start();
        mark_child_starting();
        resume_created(&early.created, false);
        trace("child instance resumed: process %lu", early.created.dwProcessId);
        if (waited != NULL) watch_application(waited);
    } else {
        set_application_variables(argc, argv);
        // Argument 0 of the child, whichever it is: the package's own path.
        const wchar_t* own_path = own_executable_path(false);
        // A DLL entry from the kept tree runs in this process. This run's own copy of the tree,
        // deleted once the application has ended, and a program entry get a process of their own.
        // Without a child of ours no self-recognition is needed: an instance that the application
        // starts and that did not recognise this process would take the parent role and check the
        // tree itself.
        if (kept_tree && !program_entry) return run_in_this_process(block, block_length, own_path);
        waited = start_application_process(own_path, block, block_length);
    }
    // While the application starts, directories that earlier runs left behind are deleted: the
    // start does not wait for it. Cached mode deletes its own siblings as it prepares the tree.
    if (!cached_mode) remove_left_unpack_directories();
    // Older versions' trees too, once this run's own tree is in place.
    if (kept_tree) remove_lower_versions();
    DWORD exit_code = 1;  // also when the handler took the only handle first
    if (waited != NULL) {
        WaitForSingleObject(waited, INFINITE);
        if (!GetExitCodeProcess(waited, &exit_code)) exit_code = 1;
        CloseHandle(waited);
    }
    trace("%s ended: exit code %lu", program_entry ? "program" : "child instance", exit_code);
    release_child();
    cleanup_child_and_directory();
    // The second instance's failure, which it could not tell, shown now that nothing is held.
    if (exit_code == launcher_failure_exit_code) show_handed_over_failure();
    return static_cast<int>(exit_code);
}
