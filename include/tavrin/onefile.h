/* Tavrin Onefile for application authors: the entry point that the application's DLL exports and
 * the environment variables that it finds set. Usable from C and C++. */
#ifndef TAVRIN_ONEFILE_H
#define TAVRIN_ONEFILE_H

#include <wchar.h>

/* The application is a 64-bit DLL, packed as the first file of the executable. The launcher
 * unpacks every file of the application into a private directory, starts its own executable a
 * second time, and that second process (the child) loads the DLL from the directory and calls
 *
 *     int run_code(int argc, wchar_t** argv, const wchar_t* first_file_path);
 *
 * on its main thread:
 *   argc, argv       the arguments the executable was started with, as the system splits its
 *                    command line (CommandLineToArgvW); argv[0] is the full path of the
 *                    executable. The C runtime's __argc, __wargv and __argv agree with them;
 *                    GetCommandLineW does not give the user's line (see below);
 *   first_file_path  the full path of the DLL itself: the unpack directory, a backslash and its
 *                    name. The other files of the application lie beside it, in the same tree as
 *                    in the packed directory.
 * What run_code returns is the exit code of the whole run. The DLL is never unloaded; the unpack
 * directory is removed once the child has ended, so nothing may be kept there. A package in
 * cached mode (tavrin-pack --cached) keeps the directory and reuses it in later runs after checking
 * it against the archive: nothing may be written there either.
 *
 * In cached mode there is no second process: the first instance loads the DLL from the kept
 * directory and calls run_code itself, on its main thread, with the same arguments and variables
 * a child would get. The application then shares its process with the launcher: the launcher's
 * own modules (shell32 and what it loads) are loaded, TAVRIN_ONEFILE_PARENT is the process's own
 * id, the kept directory and every directory in it are open in the process without delete sharing
 * (none of them can be renamed while it runs), and the console's control events (Ctrl-C, close)
 * reach the application's handlers and the system's default one only, as in a plain program.
 * (A run that cannot use the kept directory and runs from a copy of its own, deleted at its end,
 * still starts a child.) Every C runtime loaded in the process (msvcrt.dll, ucrtbase.dll) is given
 * the variables and the arguments before run_code; GetCommandLineW still returns the line the
 * process was started with, argument 0 as the user typed it. A child's GetCommandLineW holds the
 * arguments quoted again, argument 0 the executable's full path.
 *
 * DLLs that the application, or anything it loads, loads by name are looked for in the unpack
 * directory first, then in system32, and nowhere else: not in the executable's own folder, not in
 * the current directory, not along PATH (a DLL that the application needs from there is loaded by
 * its full path).
 *
 * Define the entry point with TAVRIN_RUN_CODE, choosing the parameter names:
 *
 *     #include <tavrin/onefile.h>
 *     TAVRIN_RUN_CODE(argc, argv, first_file_path)
 *     {
 *         return 0;
 *     }
 */

#ifdef __cplusplus
#define TAVRIN_EXTERN_C extern "C"
#else
#define TAVRIN_EXTERN_C
#endif

#ifdef _WIN32
#define TAVRIN_DLL_EXPORT __declspec(dllexport)
#else
#define TAVRIN_DLL_EXPORT __attribute__((visibility("default")))
#endif

/* The name the launcher looks the entry point up by (undecorated on x86-64). */
#define TAVRIN_RUN_CODE_NAME "run_code"

/* The entry point's type, for code that looks it up itself. */
typedef int (*tavrin_run_code_function)(int argc, wchar_t** argv, const wchar_t* first_file_path);

/* The declarator of the exported entry point; follow it with the function body. */
#define TAVRIN_RUN_CODE(argc, argv, first_file_path) \
    TAVRIN_EXTERN_C TAVRIN_DLL_EXPORT int run_code(int argc, wchar_t** argv, const wchar_t* first_file_path)

/* Environment variables that the application receives, as narrow names (getenv) and wide ones
 * (_wgetenv, GetEnvironmentVariableW). All values are text; an empty variable counts as unset. */

/* The process id, in decimal, of the first instance of the executable: the one the user started,
 * which unpacked the files and waits for the child (in cached mode, the application's own process).
 * A process that the application starts from the same executable while that instance still runs
 * inherits it, takes the child role at once and runs the application from the same directory
 * without unpacking anything. */
#define TAVRIN_ENV_ONEFILE_PARENT "TAVRIN_ONEFILE_PARENT"
#define TAVRIN_ENV_ONEFILE_PARENT_W L"TAVRIN_ONEFILE_PARENT"

/* The directory that holds the executable the user started (not the unpack directory), without a
 * trailing backslash: a drive alone ("D:") when the executable lies at a drive's root. The place
 * for files that should live beside the executable. */
#define TAVRIN_ENV_ONEFILE_DIRECTORY "TAVRIN_ONEFILE_DIRECTORY"
#define TAVRIN_ENV_ONEFILE_DIRECTORY_W L"TAVRIN_ONEFILE_DIRECTORY"

/* Argument 0 exactly as the user's command line gave it to the first instance (the child's own
 * argv[0] is the executable's full path instead): the name the program was invoked by. The
 * launcher's child instance expands {PROGRAM}, {PROGRAM_BASE} and {PROGRAM_DIR} from it. */
#define TAVRIN_ENV_ORIGINAL_ARGV0 "TAVRIN_ORIGINAL_ARGV0"
#define TAVRIN_ENV_ORIGINAL_ARGV0_W L"TAVRIN_ORIGINAL_ARGV0"

/* The three values behind the unpack directory's name, kept so that the child arrives at the same
 * directory. The launcher's own business; applications should only read them, if at all.
 *   START:   the start time, 100-nanosecond intervals since 1601 in decimal (set only when a
 *            directory name uses the full time; usually unset);
 *   TIME_US: the microsecond within the second of the start, six decimal digits;
 *   RANDOM:  the random token in the directory name, 11 characters. */
#define TAVRIN_ENV_ONEFILE_START "TAVRIN_ONEFILE_START"
#define TAVRIN_ENV_ONEFILE_START_W L"TAVRIN_ONEFILE_START"
#define TAVRIN_ENV_ONEFILE_TIME_US "TAVRIN_ONEFILE_TIME_US"
#define TAVRIN_ENV_ONEFILE_TIME_US_W L"TAVRIN_ONEFILE_TIME_US"
#define TAVRIN_ENV_ONEFILE_RANDOM "TAVRIN_ONEFILE_RANDOM"
#define TAVRIN_ENV_ONEFILE_RANDOM_W L"TAVRIN_ONEFILE_RANDOM"

/* Read, not set, by the launcher: "1" makes a package in cached mode compare every kept file's
 * content with its archive before it uses the kept files (otherwise their names and sizes are
 * checked); a file that differs makes it unpack afresh. */
#define TAVRIN_ENV_ONEFILE_VERIFY "TAVRIN_ONEFILE_VERIFY"
#define TAVRIN_ENV_ONEFILE_VERIFY_W L"TAVRIN_ONEFILE_VERIFY"

/* Read, not set, by the launcher: steps of a temporary run to do one after the other instead of
 * side by side, for measuring what each overlap buys or for ruling one out when a system behaves
 * oddly. A comma-separated list of "decode" (the archive decoded on the main thread, between the
 * writes), "child" (the second instance created only after unpacking), "cleanup" (the tree found by
 * walking it rather than deleted by the names written), or "all". Unknown words are ignored; the
 * outcome of a run is the same either way. */
#define TAVRIN_ENV_ONEFILE_SERIAL "TAVRIN_ONEFILE_SERIAL"
#define TAVRIN_ENV_ONEFILE_SERIAL_W L"TAVRIN_ONEFILE_SERIAL"

/* Read, not set, by the launcher: "1" makes both instances write a line per decision and step to
 * standard error (the role, the launch settings, the unpack directory, the kept tree's verdict,
 * each step's start and end with the milliseconds since that process started, every failure's
 * cause before its message); any other value but "0" is the path of a file to append the lines
 * to instead (for a windowed package, which has no standard error), created when missing, never
 * truncated; a link, a device or anything but a regular file is refused. UTF-8, CR LF. */
#define TAVRIN_ENV_ONEFILE_TRACE "TAVRIN_ONEFILE_TRACE"
#define TAVRIN_ENV_ONEFILE_TRACE_W L"TAVRIN_ONEFILE_TRACE"

/* Read, not set, by the launcher: set to any value, a launcher failure that no standard stream can
 * take (a windowed package started from Explorer or a shortcut) shows no message box; the run ends
 * with exit code 2 as it would with the box closed. For automation that starts windowed packages
 * without standard handles (a test harness, an IDE), which a box would keep waiting. */
#define TAVRIN_ENV_ONEFILE_NO_DIALOG "TAVRIN_ONEFILE_NO_DIALOG"
#define TAVRIN_ENV_ONEFILE_NO_DIALOG_W L"TAVRIN_ONEFILE_NO_DIALOG"

#endif
