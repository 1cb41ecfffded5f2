// A packaged application that ignores console interrupts, as a long-running server might: it reports
// its path and process id in the probe's report format (to the file named by TAVRIN_PROBE_REPORT),
// then sleeps for argv[1] milliseconds (10 minutes without it) and returns 33.
#include <windows.h>

#include <stdio.h>
#include <stdlib.h>
#include <string>

namespace {

void report(const wchar_t* key, const wchar_t* value)
{
    wchar_t path[4096];
    if (GetEnvironmentVariableW(L"TAVRIN_PROBE_REPORT", path, 4096) == 0) return;
    std::string line;
    for (const wchar_t* p = key; *p; ++p) line.push_back(static_cast<char>(*p));
    line.push_back('=');
    char unit[8];
    for (const wchar_t* p = value; *p; ++p) {
        snprintf(unit, sizeof unit, "%04x", static_cast<unsigned>(*p));
        line += unit;
    }
    line.push_back('\n');
    FILE* out = _wfopen(path, L"ab");
    if (out == NULL) return;
    fwrite(line.data(), 1, line.size(), out);
    fclose(out);
}

}  // namespace

extern "C" __declspec(dllexport) int run_code(int argc, wchar_t** argv, const wchar_t* first_file_path)
{
    SetConsoleCtrlHandler(NULL, TRUE);
    report(L"first_file_path", first_file_path);
    wchar_t number[32];
    swprintf(number, 32, L"%lu", GetCurrentProcessId());
    report(L"pid", number);
    report(L"ready", L"");
    Sleep(argc > 1 ? wcstoul(argv[1], NULL, 10) : 600000);
    return 33;
}
