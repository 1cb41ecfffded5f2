/* A program entry for end-to-end tests: a plain Windows program (console, or windowed as
 * exe_app_windowed) that a package starts in place of the launcher's second instance. It imports
 * plugin_helper.dll, which must lie beside it, and reads data\greeting.txt beside its own image.
 *
 * Standard output: each argument after argument 0 on a line (UTF-8), then "greeting: <the file>"
 * and "helper: <helper_value()>". Report, as the probe's (TAVRIN_PROBE_REPORT, "key=value" with
 * the value as hexadecimal UTF-16): argv, first_file_path (its own image), pid, parent,
 * parent_image, grandparent, show (the start-up information's wShowWindow, or "none"), the
 * protocol's variables, then "ready"; a run that starts the package again says no "ready", so that
 * the one seen is the innermost run's. Commands, from argv[1]:
 *   --exit N          return N (decimal, 32-bit unsigned)
 *   --stdin           copy standard input to standard error
 *   --again ARGS...   start argument 0 again with ARGS (interrupts ignored meanwhile), wait and
 *                     return its exit code
 *   --interrupt N     wait up to 60 s for an interrupt, and return N when one comes
 *   --window          open a window, report "visible", close it and end through the message loop
 *   --count FILE      read the number in FILE beside its own image (0 when there is none), print
 *                     "runs so far: N" and write N+1 there: settings a program keeps beside itself
 *   --hold-detached   start this program again as a detached process (no console, no handles
 *                     inherited) with "--holder", and go on once it holds its file
 *   --holder ID       (only as argv[1]) create held.txt beside its own image, keep it open without
 *                     delete sharing, report "holder" (its pid), tell process ID that it holds it
 *                     and live for 10 minutes or until ended; nothing else is reported */
#include <windows.h>
#include <tlhelp32.h>

#include <stdio.h>
#include <stdlib.h>
#include <wchar.h>

__declspec(dllimport) int helper_value(void);

static void report(const wchar_t* key, const wchar_t* value)
{
    wchar_t path[4096];
    if (GetEnvironmentVariableW(L"TAVRIN_PROBE_REPORT", path, 4096) == 0) return;
    FILE* out = _wfopen(path, L"ab");
    if (out == NULL) return;
    fprintf(out, "%ls=", key);
    for (const wchar_t* at = value; *at != 0; ++at) fprintf(out, "%04x", (unsigned)*at);
    fputc('\n', out);
    fclose(out);
}

static void report_number(const wchar_t* key, unsigned long number)
{
    wchar_t text[16];
    swprintf(text, 16, L"%lu", number);
    report(key, text);
}

static void put(HANDLE stream, const wchar_t* text)
{
    char bytes[8192];
    int length = WideCharToMultiByte(CP_UTF8, 0, text, -1, bytes, sizeof bytes - 1, NULL, NULL);
    DWORD written = 0;
    if (length > 0) WriteFile(stream, bytes, (DWORD)(length - 1), &written, NULL);
}

/* The id of the parent of process `pid`, 0 when unknown. */
static DWORD parent_of(DWORD pid)
{
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    PROCESSENTRY32W entry;
    DWORD parent = 0;
    entry.dwSize = sizeof entry;
    for (BOOL more = Process32FirstW(snapshot, &entry); more; more = Process32NextW(snapshot, &entry))
        if (entry.th32ProcessID == pid) parent = entry.th32ParentProcessID;
    CloseHandle(snapshot);
    return parent;
}

static void report_facts(int argc, wchar_t** argv, BOOL ready)
{
    static const wchar_t* variables[] = {L"TAVRIN_ONEFILE_PARENT", L"TAVRIN_ONEFILE_DIRECTORY", L"TAVRIN_ORIGINAL_ARGV0",
                                         L"TAVRIN_ONEFILE_TIME_US", L"TAVRIN_ONEFILE_RANDOM"};
    static wchar_t text[32768];
    DWORD parent = parent_of(GetCurrentProcessId()), size = MAX_PATH;
    HANDLE process = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, parent);
    STARTUPINFOW startup;
    for (int i = 0; i < argc; ++i) report(L"argv", argv[i]);
    GetModuleFileNameW(NULL, text, 32768);
    report(L"first_file_path", text);
    report_number(L"pid", GetCurrentProcessId());
    report_number(L"parent", parent);
    if (process == NULL || !QueryFullProcessImageNameW(process, 0, text, &size)) text[0] = 0;
    if (process != NULL) CloseHandle(process);
    report(L"parent_image", text);
    report_number(L"grandparent", parent_of(parent));
    GetStartupInfoW(&startup);
    if (startup.dwFlags & STARTF_USESHOWWINDOW) report_number(L"show", startup.wShowWindow);
    else report(L"show", L"none");
    for (int i = 0; i < 5; ++i) {
        wchar_t key[64];
        swprintf(key, 64, L"env.%ls", variables[i]);
        if (GetEnvironmentVariableW(variables[i], text, 32768) == 0) text[0] = 0;
        report(key, text);
    }
    if (ready) report(L"ready", L"");
}

static HANDLE interrupted;

static BOOL WINAPI on_interrupt(DWORD event)
{
    if (event == CTRL_C_EVENT && interrupted != NULL) SetEvent(interrupted);
    return TRUE;
}

static int run_again(int argc, wchar_t** argv, int from)
{
    wchar_t line[32768];
    STARTUPINFOW startup;
    PROCESS_INFORMATION created;
    DWORD code = 91;
    swprintf(line, 32768, L"\"%ls\"", argv[0]);
    for (int i = from; i < argc; ++i) wcscat(line, L" "), wcscat(line, argv[i]);  /* test words need no quotes */
    ZeroMemory(&startup, sizeof startup);
    startup.cb = sizeof startup;
    if (!CreateProcessW(argv[0], line, NULL, NULL, TRUE, 0, NULL, NULL, &startup, &created)) return 90;
    CloseHandle(created.hThread);
    WaitForSingleObject(created.hProcess, INFINITE);
    GetExitCodeProcess(created.hProcess, &code);
    return (int)code;
}

static LRESULT CALLBACK window_procedure(HWND window, UINT message, WPARAM w, LPARAM l)
{
    if (message == WM_DESTROY) PostQuitMessage((int)GetWindowLongPtrW(window, GWLP_USERDATA));
    return DefWindowProcW(window, message, w, l);
}

static int run_window(unsigned long exit_code)
{
    WNDCLASSW kind;
    MSG message;
    HWND window;
    ZeroMemory(&kind, sizeof kind);
    kind.lpfnWndProc = window_procedure;
    kind.hInstance = GetModuleHandleW(NULL);
    kind.lpszClassName = L"exe_app_window";
    if (!RegisterClassW(&kind)) return 92;
    window = CreateWindowExW(0, L"exe_app_window", L"exe_app", WS_OVERLAPPEDWINDOW, CW_USEDEFAULT, CW_USEDEFAULT, 320, 200,
                             NULL, NULL, kind.hInstance, NULL);
    if (window == NULL) return 93;
    SetWindowLongPtrW(window, GWLP_USERDATA, (LONG_PTR)exit_code);
    ShowWindow(window, SW_SHOWDEFAULT);
    report(L"visible", IsWindowVisible(window) ? L"1" : L"0");
    PostMessageW(window, WM_CLOSE, 0, 0);
    while (GetMessageW(&message, NULL, 0, 0) > 0) DispatchMessageW(&message);
    return (int)message.wParam;
}

/* The event by which the holder started by process `id` says that it holds its file. */
static void holder_event_name(wchar_t* name, unsigned long id)
{
    swprintf(name, 64, L"Local\\tavrin_exe_app_holder_%lu", id);
}

/* Started from a package, argument 0 is the package; the image is the unpacked program. */
static int run_holder(unsigned long starter)
{
    wchar_t path[4096], name[64];
    HANDLE held, told;
    GetModuleFileNameW(NULL, path, 4096);
    wcscpy(wcsrchr(path, L'\\') + 1, L"held.txt");
    held = CreateFileW(path, GENERIC_WRITE, FILE_SHARE_READ, NULL, CREATE_ALWAYS, 0, NULL);
    if (held == INVALID_HANDLE_VALUE) return 94;
    report_number(L"holder", GetCurrentProcessId());
    holder_event_name(name, starter);
    told = OpenEventW(EVENT_MODIFY_STATE, FALSE, name);
    if (told != NULL) SetEvent(told);
    Sleep(600000);
    return 0;
}

static int hold_detached(void)
{
    wchar_t self[4096], line[4200], name[64];
    STARTUPINFOW startup;
    PROCESS_INFORMATION created;
    HANDLE held;
    GetModuleFileNameW(NULL, self, 4096);
    holder_event_name(name, GetCurrentProcessId());
    held = CreateEventW(NULL, TRUE, FALSE, name);
    swprintf(line, 4200, L"\"%ls\" --holder %lu", self, GetCurrentProcessId());
    ZeroMemory(&startup, sizeof startup);
    startup.cb = sizeof startup;
    if (held == NULL ||
        !CreateProcessW(self, line, NULL, NULL, FALSE, DETACHED_PROCESS | CREATE_NEW_PROCESS_GROUP, NULL, NULL, &startup,
                        &created))
        return 95;
    CloseHandle(created.hThread);
    CloseHandle(created.hProcess);
    return WaitForSingleObject(held, 60000) == WAIT_OBJECT_0 ? 0 : 96;
}

int wmain(int argc, wchar_t** argv)
{
    HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
    wchar_t directory[4096], text[512];
    unsigned long exit_code = 0;
    char greeting[256];
    DWORD got = 0;
    FILE* file;
    int again = 0;

    if (argc > 2 && wcscmp(argv[1], L"--holder") == 0) return run_holder(wcstoul(argv[2], NULL, 10));
    for (int i = 1; i < argc; ++i) {
        if (wcscmp(argv[i], L"--again") == 0 && again == 0) again = i;
        /* Ready for an interrupt before "ready" says so. */
        if (wcscmp(argv[i], L"--interrupt") == 0 && interrupted == NULL) interrupted = CreateEventW(NULL, TRUE, FALSE, NULL);
    }
    if (again != 0 || interrupted != NULL) SetConsoleCtrlHandler(on_interrupt, TRUE);
    report_facts(argc, argv, again == 0);

    for (int i = 1; i < argc; ++i) put(out, argv[i]), put(out, L"\n");
    GetModuleFileNameW(NULL, directory, 4096);
    *wcsrchr(directory, L'\\') = 0;
    swprintf(text, 512, L"%ls\\data\\greeting.txt", directory);
    file = _wfopen(text, L"rb");
    greeting[0] = 0;
    if (file != NULL) greeting[fread(greeting, 1, sizeof greeting - 1, file)] = 0, fclose(file);
    swprintf(text, 512, L"greeting: %hs\nhelper: %d\n", greeting, helper_value());
    put(out, text);

    for (int i = 1; i < argc; ++i) {
        const wchar_t* value = i + 1 < argc ? argv[i + 1] : L"0";
        if (wcscmp(argv[i], L"--exit") == 0) {
            exit_code = wcstoul(value, NULL, 10);
        } else if (wcscmp(argv[i], L"--stdin") == 0) {
            char buffer[4096];
            DWORD written = 0;
            while (ReadFile(GetStdHandle(STD_INPUT_HANDLE), buffer, sizeof buffer, &got, NULL) && got > 0)
                WriteFile(GetStdHandle(STD_ERROR_HANDLE), buffer, got, &written, NULL);
        } else if (i == again) {
            return run_again(argc, argv, i + 1);
        } else if (wcscmp(argv[i], L"--interrupt") == 0) {
            if (WaitForSingleObject(interrupted, 60000) == WAIT_OBJECT_0) return (int)wcstoul(value, NULL, 10);
        } else if (wcscmp(argv[i], L"--count") == 0) {
            unsigned long runs = 0;
            swprintf(text, 512, L"%ls\\%ls", directory, value);
            file = _wfopen(text, L"rb");
            if (file != NULL) {
                if (fscanf(file, "%lu", &runs) != 1) runs = 0;
                fclose(file);
            }
            swprintf(text, 512, L"runs so far: %lu\n", runs);
            put(out, text);
            swprintf(text, 512, L"%ls\\%ls", directory, value);
            file = _wfopen(text, L"wb");
            if (file == NULL) return 94;
            fprintf(file, "%lu\n", runs + 1);
            fclose(file);
        } else if (wcscmp(argv[i], L"--window") == 0) {
            return run_window(exit_code);
        } else if (wcscmp(argv[i], L"--hold-detached") == 0) {
            int failed = hold_detached();
            if (failed != 0) return failed;
        }
    }
    return (int)exit_code;
}
