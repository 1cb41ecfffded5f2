// The probe application for end-to-end tests: a DLL that reports what it sees and does what its
// arguments ask. Packed as the first file of a package and run through the real launcher.
//
// Report: when TAVRIN_PROBE_REPORT names a file, one line per fact is appended to it, "key=value"
// with the value as hexadecimal UTF-16 code units, so that every argument arrives exactly; "ready"
// comes last, before the commands run. Each variable is reported as the system gives it ("env." or
// "unset.") and as the C runtime's _wgetenv does ("crt.", "<unset>" when it has none); the runtime's
// own arguments (__wargv) as "crt_argv".
// Commands, taken in order from argv[1]:
//   --exit N         return N (decimal, 32-bit unsigned) when the commands are done
//   --sleep MS       sleep
//   --stdout TEXT    write TEXT and a newline to standard output
//   --stderr TEXT    write TEXT and a newline to standard error
//   --stdin          copy standard input to standard output
//   --spawn-self     start the same executable again (same environment, probe arguments after
//                    "--then"), wait, and make its exit code ours
//   --hold NAME      open NAME in the unpack directory without delete sharing and keep it open
//   --crash          raise an access violation
//   --variable NAME  report the variable NAME as the system gives it ("env." or "unset.")
//   --window MS      show a top-level window of class "tavrin_probe_window" for MS milliseconds
//                    (its messages dispatched meanwhile), then destroy it; reports "window"
//   --load NAME      load the DLL NAME by name alone and report what its plugin_value() returns
//                    ("loaded") or the system error ("load_error")
//   --then           the rest of the arguments belong to --spawn-self
#include <windows.h>

#include <stdio.h>
#include <stdlib.h>
#include <string>

namespace {

std::wstring hex(const wchar_t* text)
{
    std::wstring out;
    wchar_t unit[8];
    for (const wchar_t* p = text; *p; ++p) {
        swprintf(unit, 8, L"%04x", static_cast<unsigned>(*p));
        out += unit;
    }
    return out;
}

void report(const wchar_t* key, const wchar_t* value)
{
    wchar_t path[4096];
    if (GetEnvironmentVariableW(L"TAVRIN_PROBE_REPORT", path, 4096) == 0) return;
    FILE* out = _wfopen(path, L"ab");
    if (out == NULL) return;
    std::wstring line = std::wstring(key) + L"=" + hex(value) + L"\n";
    for (wchar_t c : line) fputc(static_cast<char>(c), out);  // keys and hex digits are ASCII
    fclose(out);
}

// A window of the application's own, for what watches for one (the launcher's progress window).
// user32 is loaded only here, so that the probe's other runs import what they always did.
void show_window_for(DWORD milliseconds)
{
    HMODULE user = LoadLibraryW(L"user32.dll");
    auto find = [&](const char* name) { return reinterpret_cast<void*>(GetProcAddress(user, name)); };
    auto register_class = reinterpret_cast<decltype(&RegisterClassW)>(find("RegisterClassW"));
    auto create_window = reinterpret_cast<decltype(&CreateWindowExW)>(find("CreateWindowExW"));
    auto default_procedure = reinterpret_cast<WNDPROC>(find("DefWindowProcW"));
    auto show_window = reinterpret_cast<decltype(&ShowWindow)>(find("ShowWindow"));
    auto wait = reinterpret_cast<decltype(&MsgWaitForMultipleObjects)>(find("MsgWaitForMultipleObjects"));
    auto peek = reinterpret_cast<decltype(&PeekMessageW)>(find("PeekMessageW"));
    auto dispatch = reinterpret_cast<decltype(&DispatchMessageW)>(find("DispatchMessageW"));
    auto destroy = reinterpret_cast<decltype(&DestroyWindow)>(find("DestroyWindow"));
    WNDCLASSW kind = {};
    kind.lpfnWndProc = default_procedure;
    kind.hInstance = GetModuleHandleW(NULL);
    kind.lpszClassName = L"tavrin_probe_window";
    register_class(&kind);
    HWND window = create_window(0, L"tavrin_probe_window", L"probe", WS_OVERLAPPEDWINDOW, CW_USEDEFAULT, CW_USEDEFAULT, 320,
                                200, NULL, NULL, kind.hInstance, NULL);
    if (window == NULL) {
        report(L"window", L"none");
        return;
    }
    show_window(window, SW_SHOW);
    report(L"window", L"shown");
    const DWORD start = GetTickCount();
    while (GetTickCount() - start < milliseconds) {
        wait(0, NULL, FALSE, 50, QS_ALLINPUT);
        MSG message;
        while (peek(&message, NULL, 0, 0, PM_REMOVE)) dispatch(&message);
    }
    destroy(window);
}

void report_variable(const wchar_t* name)
{
    wchar_t value[32768];
    DWORD length = GetEnvironmentVariableW(name, value, 32768);
    if (length == 0 && GetLastError() == ERROR_ENVVAR_NOT_FOUND) {
        std::wstring key = std::wstring(L"unset.") + name;
        report(key.c_str(), L"");
        return;
    }
    std::wstring key = std::wstring(L"env.") + name;
    report(key.c_str(), value);
}

// What the C runtime's getenv gives, which reads the runtime's own copy of the environment.
void report_runtime_variable(const wchar_t* name)
{
    const wchar_t* value = _wgetenv(name);
    report((std::wstring(L"crt.") + name).c_str(), value != NULL ? value : L"<unset>");
}

// Committed private memory of this process, in MiB, summed over its regions as the system lists them.
unsigned long private_mib()
{
    unsigned long long bytes = 0;
    MEMORY_BASIC_INFORMATION region;
    for (const char* at = nullptr; VirtualQuery(at, &region, sizeof region) == sizeof region; at += region.RegionSize) {
        if (region.State == MEM_COMMIT && region.Type == MEM_PRIVATE) bytes += region.RegionSize;
        if (reinterpret_cast<const char*>(region.BaseAddress) + region.RegionSize < at) break;
    }
    return static_cast<unsigned long>(bytes >> 20);
}

void report_files(const wchar_t* first_file_path)
{
    std::wstring directory = first_file_path;
    directory.resize(directory.rfind(L'\\'));
    WIN32_FIND_DATAW found;
    HANDLE search = FindFirstFileW((directory + L"\\*").c_str(), &found);
    if (search == INVALID_HANDLE_VALUE) return;
    do {
        if (wcscmp(found.cFileName, L".") != 0 && wcscmp(found.cFileName, L"..") != 0)
            report(L"file", found.cFileName);
    } while (FindNextFileW(search, &found));
    FindClose(search);
}

int spawn_self(int argc, wchar_t** argv, int from)
{
    wchar_t self[4096];
    GetModuleFileNameW(NULL, self, 4096);
    std::wstring line = L"\"" + std::wstring(self) + L"\"";
    for (int i = from; i < argc; ++i) line += std::wstring(L" ") + argv[i];  // probe words need no quoting
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION info = {};
    if (!CreateProcessW(self, &line[0], NULL, NULL, TRUE, 0, NULL, NULL, &startup, &info)) return 90;
    CloseHandle(info.hThread);
    WaitForSingleObject(info.hProcess, INFINITE);
    DWORD code = 91;
    GetExitCodeProcess(info.hProcess, &code);
    CloseHandle(info.hProcess);
    return static_cast<int>(code);
}

}  // namespace

extern "C" __declspec(dllexport) int run_code(int argc, wchar_t** argv, const wchar_t* first_file_path)
{
    wchar_t number[32];
    swprintf(number, 32, L"%d", argc);
    report(L"argc", number);
    for (int i = 0; i < argc; ++i) report(L"argv", argv[i]);
    // The C runtime's own arguments, which an application may read instead of run_code's.
    for (int i = 0; i < __argc && __wargv != NULL; ++i) report(L"crt_argv", __wargv[i]);
    report(L"first_file_path", first_file_path);
    swprintf(number, 32, L"%lu", GetCurrentProcessId());
    report(L"pid", number);
    static const wchar_t* variables[] = {L"TAVRIN_ONEFILE_PARENT", L"TAVRIN_ONEFILE_DIRECTORY",
                                         L"TAVRIN_ORIGINAL_ARGV0", L"TAVRIN_ONEFILE_START",
                                         L"TAVRIN_ONEFILE_TIME_US", L"TAVRIN_ONEFILE_RANDOM"};
    for (const wchar_t* name : variables) {
        report_variable(name);
        report_runtime_variable(name);
    }
    swprintf(number, 32, L"%lu", private_mib());
    report(L"private_mib", number);
    report_files(first_file_path);
    // The last fact before the commands run: a reader that sees it has the whole report.
    report(L"ready", L"");

    unsigned long result = 0;
    for (int i = 1; i < argc; ++i) {
        std::wstring command = argv[i];
        const wchar_t* value = i + 1 < argc ? argv[i + 1] : L"";
        if (command == L"--exit") {
            result = wcstoul(value, NULL, 10);
            ++i;
        } else if (command == L"--sleep") {
            Sleep(wcstoul(value, NULL, 10));
            ++i;
        } else if (command == L"--stdout") {
            fwprintf(stdout, L"%ls\n", value);
            fflush(stdout);
            ++i;
        } else if (command == L"--stderr") {
            fwprintf(stderr, L"%ls\n", value);
            fflush(stderr);
            ++i;
        } else if (command == L"--stdin") {
            char buffer[4096];
            DWORD got = 0;
            HANDLE in = GetStdHandle(STD_INPUT_HANDLE), out = GetStdHandle(STD_OUTPUT_HANDLE);
            while (ReadFile(in, buffer, sizeof buffer, &got, NULL) && got > 0) {
                DWORD put = 0;
                WriteFile(out, buffer, got, &put, NULL);
            }
        } else if (command == L"--spawn-self") {
            int from = i + 1;
            while (from < argc && wcscmp(argv[from], L"--then") != 0) ++from;
            return spawn_self(argc, argv, from + 1);
        } else if (command == L"--hold") {
            std::wstring path = first_file_path;
            path.resize(path.rfind(L'\\') + 1);
            path += value;
            HANDLE held = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, NULL, OPEN_EXISTING, 0, NULL);
            report(L"held", held == INVALID_HANDLE_VALUE ? L"no" : L"yes");
            ++i;  // never closed: the process ends with it open
        } else if (command == L"--load") {
            HMODULE module = LoadLibraryW(value);
            FARPROC entry = module != NULL ? GetProcAddress(module, "plugin_value") : NULL;
            swprintf(number, 32, L"%lu", entry != NULL ? static_cast<unsigned long>(reinterpret_cast<int (*)()>(entry)())
                                                       : GetLastError());
            report(entry != NULL ? L"loaded" : L"load_error", number);
            ++i;
        } else if (command == L"--variable") {
            report_variable(value);
            ++i;
        } else if (command == L"--window") {
            show_window_for(wcstoul(value, NULL, 10));
            ++i;
        } else if (command == L"--crash") {
            RaiseException(EXCEPTION_ACCESS_VIOLATION, EXCEPTION_NONCONTINUABLE, 0, NULL);
        }
    }
    return static_cast<int>(result);
}
