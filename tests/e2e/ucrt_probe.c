/* A DLL entry built against the Universal C runtime (ucrtbase.dll, as MSVC and mingw-w64's UCRT
 * flavour link) instead of msvcrt.dll, without mingw-w64's start-up code: it reports what that
 * runtime gives it, in the probe's report format (TAVRIN_PROBE_REPORT, "key=value" with the value as
 * hexadecimal UTF-16): argv (run_code's), crt_argv (the runtime's __wargv), env.NAME (the system's;
 * unset.NAME when it has none) and crt.NAME (the runtime's getenv, "<unset>" when it has none) for the protocol's variables,
 * then "ready". It returns 0. */
#include <windows.h>
#include <stdlib.h>

static void report(const wchar_t* key, const wchar_t* value)
{
    static const char digits[] = "0123456789abcdef";
    static wchar_t path[4096];
    static char line[4 * 32768 + 128];
    DWORD length = 0, written = 0;
    HANDLE out;
    if (GetEnvironmentVariableW(L"TAVRIN_PROBE_REPORT", path, 4096) == 0) return;
    for (const wchar_t* at = key; *at != 0; ++at) line[length++] = (char)*at;
    line[length++] = '=';
    for (const wchar_t* at = value; *at != 0 && length < sizeof line - 8; ++at)
        for (int shift = 12; shift >= 0; shift -= 4) line[length++] = digits[(*at >> shift) & 0xf];
    line[length++] = '\n';
    out = CreateFileW(path, FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, NULL, OPEN_ALWAYS, 0, NULL);
    if (out == INVALID_HANDLE_VALUE) return;
    WriteFile(out, line, length, &written, NULL);
    CloseHandle(out);
}

__declspec(dllexport) int run_code(int argc, wchar_t** argv, const wchar_t* first_file_path)
{
    static const wchar_t* names[] = {L"TAVRIN_ONEFILE_PARENT", L"TAVRIN_ONEFILE_DIRECTORY", L"TAVRIN_ORIGINAL_ARGV0",
                                     L"TAVRIN_ONEFILE_TIME_US", L"TAVRIN_ONEFILE_RANDOM"};
    static wchar_t value[32768];
    wchar_t key[64];
    (void)first_file_path;
    for (int i = 0; i < argc; ++i) report(L"argv", argv[i]);
    for (int i = 0; i < __argc && __wargv != NULL; ++i) report(L"crt_argv", __wargv[i]);
    for (int i = 0; i < 5; ++i) {
        /* The narrow getenv: the runtime makes its narrow copy of the environment when it starts,
         * the wide one only when first asked for. */
        char narrow_name[64];
        const char* narrow_value;
        static wchar_t runtime_value[4096];
        const wchar_t* runtime = NULL;
        WideCharToMultiByte(CP_ACP, 0, names[i], -1, narrow_name, sizeof narrow_name, NULL, NULL);
        narrow_value = getenv(narrow_name);
        if (narrow_value != NULL && MultiByteToWideChar(CP_ACP, 0, narrow_value, -1, runtime_value, 4096) > 0)
            runtime = runtime_value;
        BOOL set = GetEnvironmentVariableW(names[i], value, 32768) != 0 || GetLastError() != ERROR_ENVVAR_NOT_FOUND;
        lstrcpyW(key, set ? L"env." : L"unset.");
        lstrcatW(key, names[i]);
        report(key, set ? value : L"");
        lstrcpyW(key, L"crt.");
        lstrcatW(key, names[i]);
        report(key, runtime != NULL ? runtime : L"<unset>");
    }
    report(L"ready", L"");
    return 0;
}

BOOL WINAPI ucrt_probe_entry(HINSTANCE instance, DWORD reason, void* reserved)
{
    (void)instance, (void)reason, (void)reserved;
    return TRUE;
}
