// The trivial process of the benchmarks: a static GUI-subsystem program like the launcher that does
// nothing. With "--spawn" it starts itself once the way the launcher starts its child (inherited
// standard handles, same environment), waits and returns the child's exit code: the floor of two
// nested process starts. With "--load-app" it loads bench_app.dll from beside itself, calls its
// run_code and returns what that returns: the floor of any start that runs the application in one
// process. Built twice: bench-trivial imports what every static program does,
// bench-trivial-shell32 also imports shell32 like the launcher. With TAVRIN_BENCH_REPORT set it appends, like the benchmark application,
// its entry time and memory counters to that file: the baseline of a process that has done nothing.
#include <windows.h>
#include <psapi.h>
#ifdef TRIVIAL_WITH_SHELL32
#include <shellapi.h>
#endif

#include <stdio.h>
#include <string.h>
#include <wchar.h>

namespace {

void report(const wchar_t* path, LARGE_INTEGER entry)
{
    PROCESS_MEMORY_COUNTERS counters = {};
    counters.cb = sizeof counters;
    K32GetProcessMemoryInfo(GetCurrentProcess(), &counters, sizeof counters);
    char line[512];
    snprintf(line, sizeof line, "pid=%lu entry_qpc=%lld peak_ws=%llu ws=%llu peak_pagefile=%llu\n",
             GetCurrentProcessId(), entry.QuadPart, static_cast<unsigned long long>(counters.PeakWorkingSetSize),
             static_cast<unsigned long long>(counters.WorkingSetSize),
             static_cast<unsigned long long>(counters.PeakPagefileUsage));
    HANDLE file = CreateFileW(path, FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, NULL, OPEN_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, NULL);
    if (file == INVALID_HANDLE_VALUE) return;
    DWORD written = 0;
    WriteFile(file, line, static_cast<DWORD>(strlen(line)), &written, NULL);
    CloseHandle(file);
}

typedef int (*run_code_function)(int, wchar_t**, const wchar_t*);

// Loads bench_app.dll from this program's folder as the launcher loads an application (by full
// path, its own folder and the system's searched for its imports), calls its run_code with the
// DLL's path as argument 0 and first file, and returns what it returns; 6 when it cannot be
// loaded, 7 when it exports no run_code.
int run_application()
{
    static wchar_t dll[4096];
    DWORD length = GetModuleFileNameW(NULL, dll, 4096);
    wchar_t* slash = wcsrchr(dll, L'\\');
    const wchar_t name[] = L"bench_app.dll";
    if (length == 0 || length >= 4096 || slash == NULL || (slash + 1 - dll) + sizeof name / sizeof name[0] > 4096) return 6;
    wcscpy(slash + 1, name);
    HMODULE application = LoadLibraryExW(dll, NULL, LOAD_LIBRARY_SEARCH_DLL_LOAD_DIR | LOAD_LIBRARY_SEARCH_SYSTEM32);
    if (application == NULL) return 6;
    run_code_function run_code = reinterpret_cast<run_code_function>(reinterpret_cast<void*>(GetProcAddress(application, "run_code")));
    if (run_code == NULL) return 7;
    wchar_t* argv[] = {dll, NULL};
    return run_code(1, argv, dll);
}

}  // namespace

#ifdef TRIVIAL_WITH_SHELL32
// The variant with the launcher's imports: shell32 is loaded at start-up, as the launcher's is.
__declspec(dllexport) void* trivial_keeps_shell32 = reinterpret_cast<void*>(&SHFileOperationW);
#endif

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR command_line, int)
{
    LARGE_INTEGER entry;
    QueryPerformanceCounter(&entry);
    wchar_t path[4096];
    DWORD length = GetEnvironmentVariableW(L"TAVRIN_BENCH_REPORT", path, 4096);
    if (length != 0 && length < 4096) report(path, entry);

    if (command_line != NULL && wcsstr(command_line, L"--load-app") != NULL) return run_application();
    if (command_line == NULL || wcsstr(command_line, L"--spawn") == NULL) return 0;

    static wchar_t self[4096];
    static wchar_t child_line[4100];
    DWORD self_length = GetModuleFileNameW(NULL, self, 4096);
    if (self_length == 0 || self_length >= 4096) return 3;
    swprintf(child_line, 4100, L"\"%ls\"", self);

    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
    startup.hStdOutput = GetStdHandle(STD_OUTPUT_HANDLE);
    startup.hStdError = GetStdHandle(STD_ERROR_HANDLE);
    PROCESS_INFORMATION info = {};
    // Wine 8 now and then fails a creation with ERROR_INTERNAL_ERROR under load, before the new
    // process runs anything; the launcher asks again, three times at most, and so does this floor.
    for (int attempt = 1;; ++attempt) {
        if (CreateProcessW(self, child_line, NULL, NULL, TRUE, NORMAL_PRIORITY_CLASS, NULL, NULL, &startup, &info))
            break;
        if (GetLastError() != ERROR_INTERNAL_ERROR || attempt == 3) return 4;
        Sleep(100);
    }
    CloseHandle(info.hThread);
    WaitForSingleObject(info.hProcess, INFINITE);
    DWORD code = 5;
    GetExitCodeProcess(info.hProcess, &code);
    CloseHandle(info.hProcess);
    return static_cast<int>(code);
}
