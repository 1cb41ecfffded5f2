// The application of the benchmark packages: a DLL whose run_code returns at once, so that a run
// of a package measures the launcher alone.
//
// Optional duties, asked for from outside and off in a plain timing run:
//   TAVRIN_BENCH_REPORT=FILE  append one line of "key=value" words to FILE at run_code's entry: the
//                             performance counter at entry, this process's memory counters, those
//                             of the parent instance named by TAVRIN_ONEFILE_PARENT (read while it
//                             waits for us, so after its unpacking), and the values a second child
//                             needs to find the same unpack directory, and TAVRIN_ONEFILE_SERIAL as
//                             this process received it (so the benchmark sees it passed on).
//   argv[1] == "--hold", argv[2] == NAME
//                             after the report, set the event "NAME.ready" and wait for "NAME.go"
//                             (at most 10 minutes): keeps the parent instance alive and its unpack
//                             directory in place while other processes start in the child role.
#include <windows.h>
#include <psapi.h>

#include <stdio.h>
#include <string.h>
#include <wchar.h>

namespace {

struct memory {
    unsigned long long peak_working_set = 0, working_set = 0, peak_pagefile = 0, private_bytes = 0;
    bool known = false;
};

memory memory_of(HANDLE process)
{
    memory m;
    PROCESS_MEMORY_COUNTERS_EX counters = {};
    counters.cb = sizeof counters;
    if (K32GetProcessMemoryInfo(process, reinterpret_cast<PROCESS_MEMORY_COUNTERS*>(&counters), sizeof counters)) {
        m.peak_working_set = counters.PeakWorkingSetSize;
        m.working_set = counters.WorkingSetSize;
        m.peak_pagefile = counters.PeakPagefileUsage;
        m.private_bytes = counters.PrivateUsage;
        m.known = true;
    }
    return m;
}

// The variable as ASCII text ("-" when unset); every value read here is ASCII.
void variable(const wchar_t* name, char* out, size_t capacity)
{
    wchar_t value[512];
    DWORD length = GetEnvironmentVariableW(name, value, 512);
    if (length == 0 || length >= 512) {
        snprintf(out, capacity, "-");
        return;
    }
    size_t i = 0;
    for (; i + 1 < capacity && value[i] != 0; ++i) out[i] = static_cast<char>(value[i] < 128 ? value[i] : '?');
    out[i] = 0;
}

void append_line(const wchar_t* path, const char* line)
{
    HANDLE file = CreateFileW(path, FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, NULL, OPEN_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, NULL);
    if (file == INVALID_HANDLE_VALUE) return;
    DWORD written = 0;
    WriteFile(file, line, static_cast<DWORD>(strlen(line)), &written, NULL);
    CloseHandle(file);
}

void report(const wchar_t* path, LARGE_INTEGER entry, const wchar_t* first_file_path)
{
    memory own = memory_of(GetCurrentProcess());

    char parent_id[64], time_us[64], random[64], serial[64];
    variable(L"TAVRIN_ONEFILE_PARENT", parent_id, sizeof parent_id);
    variable(L"TAVRIN_ONEFILE_TIME_US", time_us, sizeof time_us);
    variable(L"TAVRIN_ONEFILE_RANDOM", random, sizeof random);
    variable(L"TAVRIN_ONEFILE_SERIAL", serial, sizeof serial);
    memory parent;
    DWORD parent_pid = strtoul(parent_id, NULL, 10);
    if (parent_pid != 0) {
        HANDLE process = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, parent_pid);
        if (process != NULL) {
            parent = memory_of(process);
            CloseHandle(process);
        }
    }
    long long parent_values[4] = {-1, -1, -1, -1};
    if (parent.known) {
        parent_values[0] = static_cast<long long>(parent.peak_working_set);
        parent_values[1] = static_cast<long long>(parent.working_set);
        parent_values[2] = static_cast<long long>(parent.peak_pagefile);
        parent_values[3] = static_cast<long long>(parent.private_bytes);
    }
    LARGE_INTEGER frequency;
    QueryPerformanceFrequency(&frequency);

    char line[2048];
    snprintf(line, sizeof line,
             "pid=%lu entry_qpc=%lld qpc_frequency=%lld peak_ws=%llu ws=%llu peak_pagefile=%llu private=%llu "
             "parent_peak_ws=%lld parent_ws=%lld parent_peak_pagefile=%lld parent_private=%lld "
             "parent=%s time_us=%s random=%s serial=%s first_file_length=%u\n",
             GetCurrentProcessId(), entry.QuadPart, frequency.QuadPart, own.peak_working_set, own.working_set,
             own.peak_pagefile, own.private_bytes, parent_values[0], parent_values[1], parent_values[2],
             parent_values[3], parent_id, time_us, random, serial, static_cast<unsigned>(wcslen(first_file_path)));
    append_line(path, line);
}

void hold(const wchar_t* name)
{
    wchar_t ready_name[256], go_name[256];
    swprintf(ready_name, 256, L"%ls.ready", name);
    swprintf(go_name, 256, L"%ls.go", name);
    HANDLE ready = OpenEventW(EVENT_MODIFY_STATE, FALSE, ready_name);
    HANDLE go = OpenEventW(SYNCHRONIZE, FALSE, go_name);
    if (ready != NULL) SetEvent(ready);
    if (go != NULL) WaitForSingleObject(go, 600000);
}

}  // namespace

extern "C" __declspec(dllexport) int run_code(int argc, wchar_t** argv, const wchar_t* first_file_path)
{
    LARGE_INTEGER entry;
    QueryPerformanceCounter(&entry);

    wchar_t path[4096];
    DWORD length = GetEnvironmentVariableW(L"TAVRIN_BENCH_REPORT", path, 4096);
    if (length != 0 && length < 4096) report(path, entry, first_file_path);
    if (argc >= 3 && wcscmp(argv[1], L"--hold") == 0) hold(argv[2]);
    return 0;
}
