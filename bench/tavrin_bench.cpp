// tavrin-bench: the Windows side of the benchmarks. Each mode measures one thing a number of times
// and prints one line per run, "KIND key=value ...", on standard output; bench/measure.py keeps
// these lines, bench/report.py takes the medians and writes bench/RESULTS.md. Exit code 0 when
// every run did what it should, 1 when one did not (the lines printed so far say which), 2 for a
// wrong command line.
//
//   start [--runs N] GROUP [--next GROUP]...
//       GROUP: [--label L] [--expect CODE] [--report FILE] [--limited] [--set NAME=VALUE | --unset NAME]... -- PROGRAM [ARG]...
//       Starts PROGRAM N times and waits for it: wall time from CreateProcessW to the end of the wait,
//       exit code, memory counters when the system still gives them for an ended process. With
//       --report, the file that the benchmark application appends to is read after each run. With
//       --limited, PROGRAM runs with the limited token linked to this process's (Wine starts every
//       process elevated; a user's normal start is not). Several groups run in turn, one start of
//       each per run, each line carrying its group's label.
//   child-start [--runs N] [--report-runs M] PACKAGE
//       Runs PACKAGE's parent instance with the benchmark application holding (so the parent stays
//       alive with its unpack directory in place), then starts PACKAGE N + M times in the child role,
//       with the environment a parent gives its child: TAVRIN_ONEFILE_PARENT, _TIME_US, _RANDOM. The
//       last M runs also take the application's report: the time to run_code's entry and the
//       child's own memory. Then lets the parent finish.
//   decode [--runs N] [--copy-pieces] PACKAGE
//       Decodes the frame of PACKAGE's attached-data section alone, with the launcher's decoder
//       build, through a 128 KiB output buffer whose content is dropped. --copy-pieces also copies
//       every window out in 32 KiB pieces, as the reader hands content to the unpacking.
//   write-tree [--runs N] [--whole-file] [--listed-delete | --recorded] CONTENT_STREAM
//       Writes the entries of an uncompressed content stream, held in memory, as files under a fresh
//       directory in %TEMP% with the unpacking's calls (CreateDirectoryW once per directory, outermost
//       first; CreateFileW, WriteFile in 32 KiB pieces, CloseHandle per file), then deletes the tree
//       with the launcher's own clean-up, cleanup_child_and_directory() (launcher/cleanup.cpp, linked
//       in), and checks with GetFileAttributesW that the directory is gone. Prints the time to write,
//       the time to delete, the WriteFile calls made and whether the directory is gone (gone=1); a
//       run that leaves it fails. --whole-file writes each file with one WriteFile; --listed-delete
//       deletes the paths it wrote, known beforehand, with DeleteFileW and RemoveDirectoryW and no
//       walk, and also prints the entries it could not delete (delete_result); --recorded records
//       the names written as unpacking does (payload/written_names.h), so that the clean-up deletes
//       by them.
//   walk [--runs N] TREE
//       Walks the directory TREE (names and sizes, as cached mode's check does) in several ways, one
//       of each per run: "launcher", the launcher's own check of a later run (load_tree_marker and
//       walk_held_tree in launcher/held_tree.cpp, linked in: the marker's list read, the tree's last
//       component taken as the identity, then the listed names walked; sound=0 for a tree without a
//       current marker) through a handle opened as the launcher opens the tree; "launcher_all", the
//       same walk counting every file (as the fresh tree's walk does); "find", a FindFirstFileExW
//       recursion over "\\?\" paths; "nt", NtQueryDirectoryFile with each information class and
//       buffer size of the list below, each subdirectory opened relative to its parent's handle.
//       Prints each way's time, the files and bytes it found.
#define ZSTD_STATIC_LINKING_ONLY  // frame header and decoder memory estimate
#include <windows.h>
#include <psapi.h>
#include <winternl.h>

#include <zstd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "launcher/cleanup.h"
#include "launcher/held_tree.h"
#include "base/process_state.h"
#include "format/format.h"
#include "payload/written_names.h"
#include "tests/support/limited_token.h"

namespace {

enum { exit_ok = 0, exit_failed = 1, exit_usage = 2 };

// ---- time, text ----

double milliseconds_between(LARGE_INTEGER from, LARGE_INTEGER to)
{
    static LARGE_INTEGER frequency = [] {
        LARGE_INTEGER f;
        QueryPerformanceFrequency(&f);
        return f;
    }();
    return 1000.0 * static_cast<double>(to.QuadPart - from.QuadPart) / static_cast<double>(frequency.QuadPart);
}

LARGE_INTEGER now()
{
    LARGE_INTEGER t;
    QueryPerformanceCounter(&t);
    return t;
}

std::string narrow(const std::wstring& text)
{
    if (text.empty()) return {};
    int size = WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0, nullptr, nullptr);
    std::string out(static_cast<size_t>(size), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), out.data(), size, nullptr, nullptr);
    return out;
}

std::wstring widen(const std::string& text)
{
    std::wstring out;
    for (char c : text) out.push_back(static_cast<unsigned char>(c));
    return out;
}

// Set while a holding application waits for it: a failure lets it go, so that its parent instance
// ends and cleans up instead of waiting out its time.
HANDLE release_on_failure;

[[noreturn]] void fail(const std::string& message)
{
    if (release_on_failure != nullptr) SetEvent(release_on_failure);
    std::fprintf(stdout, "error message=\"%s\"\n", message.c_str());
    std::fflush(stdout);
    std::exit(exit_failed);
}

std::string read_whole_file(const std::wstring& path)
{
    HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) fail("cannot open " + narrow(path));
    LARGE_INTEGER size;
    GetFileSizeEx(file, &size);
    std::string bytes(static_cast<size_t>(size.QuadPart), '\0');
    size_t done = 0;
    while (done < bytes.size()) {
        DWORD piece = static_cast<DWORD>(std::min<size_t>(bytes.size() - done, 1u << 24)), got = 0;
        if (!ReadFile(file, &bytes[done], piece, &got, nullptr) || got == 0) fail("cannot read " + narrow(path));
        done += got;
    }
    CloseHandle(file);
    return bytes;
}

// "key=value" words of one line.
std::map<std::string, std::string> parse_words(const std::string& line)
{
    std::map<std::string, std::string> words;
    size_t at = 0;
    while (at < line.size()) {
        size_t end = line.find_first_of(" \r\n", at);
        if (end == std::string::npos) end = line.size();
        std::string word = line.substr(at, end - at);
        size_t eq = word.find('=');
        if (eq != std::string::npos) words[word.substr(0, eq)] = word.substr(eq + 1);
        at = end + 1;
    }
    return words;
}

// The last non-empty line of a file, or "" when it has none.
std::string last_line(const std::wstring& path)
{
    DWORD attributes = GetFileAttributesW(path.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) return {};
    std::string text = read_whole_file(path);
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
    size_t start = text.rfind('\n');
    return start == std::string::npos ? text : text.substr(start + 1);
}

// ---- processes ----

std::wstring quote_argument(const std::wstring& argument)
{
    if (!argument.empty() && argument.find_first_of(L" \t\n\v\"") == std::wstring::npos) return argument;
    std::wstring quoted = L"\"";
    size_t backslashes = 0;
    for (wchar_t c : argument) {
        if (c == L'\\') {
            ++backslashes;
            continue;
        }
        quoted.append(c == L'"' ? backslashes * 2 + 1 : backslashes, L'\\');
        backslashes = 0;
        quoted.push_back(c);
    }
    quoted.append(backslashes * 2, L'\\');
    quoted.push_back(L'"');
    return quoted;
}

using environment_changes = std::map<std::wstring, std::optional<std::wstring>>;

// The current environment with `changes` applied, as a block for CreateProcessW.
std::wstring environment_block(const environment_changes& changes)
{
    auto upper = [](std::wstring s) {
        for (auto& c : s) c = static_cast<wchar_t>(towupper(c));
        return s;
    };
    std::map<std::wstring, std::wstring> by_key;  // upper-case name -> "Name=value"
    wchar_t* block = GetEnvironmentStringsW();
    for (wchar_t* p = block; *p; p += wcslen(p) + 1) {
        std::wstring entry = p;
        size_t eq = entry.find(L'=', 1);
        if (eq == std::wstring::npos) continue;
        by_key[upper(entry.substr(0, eq))] = entry;
    }
    FreeEnvironmentStringsW(block);
    for (const auto& [name, value] : changes) {
        if (value) by_key[upper(name)] = name + L"=" + *value;
        else by_key.erase(upper(name));
    }
    std::wstring result;
    for (const auto& [key, entry] : by_key) {
        result += entry;
        result.push_back(L'\0');
    }
    result.push_back(L'\0');
    return result;
}

// The standard handles the measured processes get: files of this run's own in the temporary
// directory (an empty one to read, one to write into), never a device; deleted when the last
// process that holds them ends.
HANDLE stream_file(const wchar_t* role, bool write)
{
    wchar_t folder[MAX_PATH + 1];
    DWORD length = GetTempPathW(MAX_PATH + 1, folder);
    if (length == 0 || length > MAX_PATH) fail("no temporary directory");
    std::wstring path = std::wstring(folder) + L"tavrin_bench_" + role + L"_" + std::to_wstring(GetCurrentProcessId()) + L".txt";
    SECURITY_ATTRIBUTES inherit = {sizeof inherit, nullptr, TRUE};
    HANDLE handle = CreateFileW(path.c_str(), write ? GENERIC_WRITE : GENERIC_READ,
                                FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, &inherit, CREATE_ALWAYS,
                                FILE_FLAG_DELETE_ON_CLOSE, nullptr);
    if (handle == INVALID_HANDLE_VALUE) fail("cannot create " + narrow(path));
    return handle;
}

struct started_process {
    HANDLE process = nullptr;
    DWORD id = 0;
    LARGE_INTEGER created_at = {};
    DWORD job_processes_before = 0;  // the job's process count before this start
};

// Every started process and its descendants run in one job, which ends them all when this program
// ends. A launcher that failed to recognise its parent would take the parent role again and again,
// each instance unpacking and starting the next; the wait below stops such a chain when the job has
// seen more processes than a run can have. (Wine does not enforce a job's active-process limit.)
enum { processes_per_run_limit = 8 };

HANDLE process_job()
{
    static HANDLE job = [] {
        HANDLE created = CreateJobObjectW(nullptr, nullptr);
        if (created == nullptr) fail("CreateJobObjectW failed with error " + std::to_string(GetLastError()));
        JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits = {};
        limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE;
        if (!SetInformationJobObject(created, JobObjectExtendedLimitInformation, &limits, sizeof limits))
            fail("SetInformationJobObject failed with error " + std::to_string(GetLastError()));
        return created;
    }();
    return job;
}

DWORD processes_started_in_job()
{
    JOBOBJECT_BASIC_ACCOUNTING_INFORMATION accounting = {};
    if (!QueryInformationJobObject(process_job(), JobObjectBasicAccountingInformation, &accounting, sizeof accounting,
                                   nullptr))
        return 0;
    return accounting.TotalProcesses;
}

// The limited token linked to this process's elevated one, opened once.
HANDLE limited_token()
{
    static HANDLE limited = open_limited_token();
    if (limited == nullptr) fail("no limited token: error " + std::to_string(GetLastError()));
    return limited;
}

// Starts `program` with `arguments` and the environment changed by `changes`; the standard streams
// are the null device, inherited as the launcher passes its own on. With `as_child_of`, the process
// is started as that process's child instead (and then with no standard handles, which would have to
// be that process's own): an elevated launcher trusts a parent marker only from its ancestors. With
// `limited`, it runs with limited_token(). The process joins the job before it runs; the clock
// starts at CreateProcessW all the same.
started_process start_process(const std::wstring& program, const std::vector<std::wstring>& arguments,
                              const environment_changes& changes, HANDLE as_child_of = nullptr, bool limited = false)
{
    std::wstring line = quote_argument(program);
    for (const auto& argument : arguments) line += L" " + quote_argument(argument);
    std::wstring environment = environment_block(changes);
    static HANDLE in = stream_file(L"input", false), out = stream_file(L"output", true), err = out;
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = in;
    startup.hStdOutput = out;
    startup.hStdError = err;
    STARTUPINFOEXW extended = {};
    extended.StartupInfo = startup;
    extended.StartupInfo.cb = sizeof extended;
    DWORD flags = NORMAL_PRIORITY_CLASS | CREATE_UNICODE_ENVIRONMENT | CREATE_SUSPENDED;
    std::vector<unsigned char> attributes;
    if (as_child_of != nullptr) {
        SIZE_T size = 0;
        InitializeProcThreadAttributeList(nullptr, 1, 0, &size);
        attributes.resize(size);
        extended.lpAttributeList = reinterpret_cast<LPPROC_THREAD_ATTRIBUTE_LIST>(attributes.data());
        if (!InitializeProcThreadAttributeList(extended.lpAttributeList, 1, 0, &size) ||
            !UpdateProcThreadAttribute(extended.lpAttributeList, 0, PROC_THREAD_ATTRIBUTE_PARENT_PROCESS, &as_child_of,
                                       sizeof as_child_of, nullptr, nullptr))
            fail("the parent process attribute cannot be set: error " + std::to_string(GetLastError()));
        extended.StartupInfo.dwFlags = 0;
        flags |= EXTENDED_STARTUPINFO_PRESENT;
    }
    PROCESS_INFORMATION info = {};
    started_process started;
    HANDLE job = process_job();
    started.job_processes_before = processes_started_in_job();
    BOOL created = FALSE;
    // Wine 8 now and then fails a creation with ERROR_INTERNAL_ERROR before the process runs any
    // code (the launcher tries again too): the run is timed from the creation that succeeds.
    for (int attempt = 1; !created && attempt <= 3; ++attempt) {
        started.created_at = now();
        created = limited ? CreateProcessAsUserW(limited_token(), program.c_str(), line.data(), nullptr, nullptr, TRUE, flags,
                                                 environment.data(), nullptr, &extended.StartupInfo, &info)
                          : CreateProcessW(program.c_str(), line.data(), nullptr, nullptr, as_child_of == nullptr, flags,
                                           environment.data(), nullptr, &extended.StartupInfo, &info);
        if (!created && GetLastError() != ERROR_INTERNAL_ERROR) break;
    }
    if (!created)
        fail("CreateProcessW failed for " + narrow(program) + " with error " + std::to_string(GetLastError()));
    if (!AssignProcessToJobObject(job, info.hProcess)) {
        TerminateProcess(info.hProcess, 0xDEAD);
        fail("AssignProcessToJobObject failed with error " + std::to_string(GetLastError()));
    }
    ResumeThread(info.hThread);
    CloseHandle(info.hThread);
    started.process = info.hProcess;
    started.id = info.dwProcessId;
    return started;
}

struct finished_process {
    double milliseconds = 0;
    DWORD exit_code = 0;
    long long peak_working_set = -1, peak_pagefile = -1, private_bytes = -1;
};

finished_process wait_process(const started_process& started, DWORD timeout_ms = 300000)
{
    finished_process finished;
    // The wait wakes up every 50 ms to count the job's processes; an end is seen at once all the same.
    for (DWORD waited = 0;; waited += 50) {
        if (WaitForSingleObject(started.process, 50) == WAIT_OBJECT_0) break;
        DWORD started_since = processes_started_in_job() - started.job_processes_before;
        if (started_since > processes_per_run_limit) {
            TerminateJobObject(process_job(), 0xDEAD);
            fail("a run started " + std::to_string(started_since) + " processes: the launcher keeps starting itself");
        }
        if (waited >= timeout_ms) {
            TerminateJobObject(process_job(), 0xDEAD);
            fail("a started process did not end in time");
        }
    }
    finished.milliseconds = milliseconds_between(started.created_at, now());
    GetExitCodeProcess(started.process, &finished.exit_code);
    // Read before the handle is closed. Wine gives no counters for a process that has ended; the
    // benchmark application then reports its own.
    PROCESS_MEMORY_COUNTERS_EX counters = {};
    counters.cb = sizeof counters;
    if (K32GetProcessMemoryInfo(started.process, reinterpret_cast<PROCESS_MEMORY_COUNTERS*>(&counters), sizeof counters)) {
        finished.peak_working_set = static_cast<long long>(counters.PeakWorkingSetSize);
        finished.peak_pagefile = static_cast<long long>(counters.PeakPagefileUsage);
        finished.private_bytes = static_cast<long long>(counters.PrivateUsage);
    }
    CloseHandle(started.process);
    return finished;
}

// What the benchmark application reported for the process `pid`, started at `created_at`: its
// words, plus entry_ms, the time from the CreateProcessW call to run_code's entry.
std::map<std::string, std::string> take_report(const std::wstring& report, std::optional<DWORD> pid,
                                               LARGE_INTEGER created_at)
{
    std::map<std::string, std::string> words = parse_words(last_line(report));
    DeleteFileW(report.c_str());
    if (words.empty()) fail("the application wrote no report to " + narrow(report));
    if (pid && words["pid"] != std::to_string(*pid))
        fail("run_code ran in process " + words["pid"] + ", not in the started process " + std::to_string(*pid));
    LARGE_INTEGER entry;
    entry.QuadPart = std::strtoll(words["entry_qpc"].c_str(), nullptr, 10);
    char text[64];
    std::snprintf(text, sizeof text, "%.3f", milliseconds_between(created_at, entry));
    words["entry_ms"] = text;
    return words;
}

void print_run(const char* kind, const std::string& label, int index, const finished_process& finished,
               const std::map<std::string, std::string>& report)
{
    std::printf("%s label=%s run=%d ms=%.3f exit=%lu peak_ws=%lld peak_pagefile=%lld private=%lld", kind,
                label.c_str(), index, finished.milliseconds, finished.exit_code, finished.peak_working_set,
                finished.peak_pagefile, finished.private_bytes);
    for (const auto& [key, value] : report)
        if (key != "pid") std::printf(" app_%s=%s", key.c_str(), value.c_str());
    std::printf("\n");
    std::fflush(stdout);
}

// ---- the attached-data section of a package ----

struct attached_frame {
    std::string file;            // the whole package
    const unsigned char* block;  // the attached data: magic, frame, reserved, trailer
    size_t block_size;
};

attached_frame find_frame(const std::wstring& package)
{
    attached_frame found;
    found.file = read_whole_file(package);
    const auto* base = reinterpret_cast<const unsigned char*>(found.file.data());
    const std::string& f = found.file;
    if (f.size() < 0x40) fail("not an image: " + narrow(package));
    const auto* dos = reinterpret_cast<const IMAGE_DOS_HEADER*>(base);
    if (dos->e_magic != IMAGE_DOS_SIGNATURE || static_cast<size_t>(dos->e_lfanew) + sizeof(IMAGE_NT_HEADERS64) > f.size())
        fail("not an image: " + narrow(package));
    const auto* nt = reinterpret_cast<const IMAGE_NT_HEADERS64*>(base + dos->e_lfanew);
    const IMAGE_SECTION_HEADER* section = IMAGE_FIRST_SECTION(nt);
    static const char name[] = TAVRIN_ATTACHED_SECTION_NAME;
    for (WORD i = 0; i < nt->FileHeader.NumberOfSections; ++i, ++section) {
        if (std::memcmp(section->Name, name, sizeof name) != 0) continue;
        size_t size = std::min<size_t>(section->Misc.VirtualSize, section->SizeOfRawData);
        if (section->PointerToRawData + size > f.size()) fail("the attached-data section lies past the file's end");
        found.block = base + section->PointerToRawData;
        found.block_size = size;
        if (size < attached_overhead || std::memcmp(found.block, attached_magic, attached_magic_size) != 0)
            fail("the attached-data section has no magic");
        return found;
    }
    fail("no attached-data section in " + narrow(package));
}

// ---- modes ----

// One program that `start` runs, with its own options.
struct start_group {
    std::optional<DWORD> expect;
    std::wstring report;
    std::string label = "start";
    environment_changes changes;
    bool limited = false;
    std::wstring program;
    std::vector<std::wstring> arguments;
};

int mode_start(int argc, wchar_t** argv)
{
    int runs = 5;
    std::vector<start_group> groups;
    for (int i = 0; i < argc;) {
        start_group group;
        for (; i < argc; ++i) {
            std::wstring a = argv[i];
            if (a == L"--") {
                ++i;
                break;
            }
            if (a == L"--limited") {
                group.limited = true;
                continue;
            }
            if (i + 1 >= argc) return exit_usage;
            if (a == L"--runs") runs = _wtoi(argv[++i]);
            else if (a == L"--expect") group.expect = static_cast<DWORD>(wcstoul(argv[++i], nullptr, 10));
            else if (a == L"--report") group.report = argv[++i];
            else if (a == L"--label") group.label = narrow(argv[++i]);
            else if (a == L"--set") {
                std::wstring pair = argv[++i];
                size_t eq = pair.find(L'=');
                if (eq == std::wstring::npos) return exit_usage;
                group.changes[pair.substr(0, eq)] = pair.substr(eq + 1);
            } else if (a == L"--unset") group.changes[argv[++i]] = std::nullopt;
            else return exit_usage;
        }
        if (i >= argc) return exit_usage;
        group.program = argv[i++];
        for (; i < argc && std::wstring(argv[i]) != L"--next"; ++i) group.arguments.push_back(argv[i]);
        if (i < argc) ++i;  // past --next
        group.changes[L"TAVRIN_BENCH_REPORT"] = group.report.empty() ? std::nullopt : std::optional<std::wstring>(group.report);
        groups.push_back(group);
    }
    if (groups.empty() || runs < 1) return exit_usage;
    for (const start_group& group : groups)
        if (!group.report.empty()) DeleteFileW(group.report.c_str());

    // Run by run, the programs one after another: a slow moment of the machine weighs on each alike.
    int status = exit_ok;
    for (int run = 1; run <= runs; ++run) {
        for (const start_group& group : groups) {
            started_process started = start_process(group.program, group.arguments, group.changes, nullptr, group.limited);
            finished_process finished = wait_process(started);
            std::map<std::string, std::string> words;
            // run_code runs in a grandchild when PROGRAM is a package's parent instance.
            if (!group.report.empty()) words = take_report(group.report, std::nullopt, started.created_at);
            print_run("run", group.label, run, finished, words);
            if (group.expect && finished.exit_code != *group.expect) status = exit_failed;
        }
    }
    return status;
}

int mode_child_start(int argc, wchar_t** argv)
{
    int runs = 5, report_runs = 3;
    int i = 0;
    for (; i + 1 < argc; i += 2) {
        std::wstring a = argv[i];
        if (a == L"--runs") runs = _wtoi(argv[i + 1]);
        else if (a == L"--report-runs") report_runs = _wtoi(argv[i + 1]);
        else break;
    }
    if (i + 1 != argc || runs < 1 || report_runs < 0) return exit_usage;
    std::wstring package = argv[i];

    wchar_t temp[MAX_PATH + 1];
    GetTempPathW(MAX_PATH + 1, temp);
    std::wstring tag = L"tavrin_bench_" + std::to_wstring(GetCurrentProcessId());
    std::wstring holder_report = std::wstring(temp) + tag + L"_holder.txt";
    std::wstring child_report = std::wstring(temp) + tag + L"_child.txt";
    DeleteFileW(holder_report.c_str());
    DeleteFileW(child_report.c_str());
    HANDLE ready = CreateEventW(nullptr, TRUE, FALSE, (tag + L".ready").c_str());
    HANDLE go = CreateEventW(nullptr, TRUE, FALSE, (tag + L".go").c_str());
    if (ready == nullptr || go == nullptr) fail("cannot create the events");
    release_on_failure = go;

    // The parent instance: it unpacks, starts its child, whose application reports and then holds.
    environment_changes holder_environment = {{L"TAVRIN_BENCH_REPORT", holder_report},
                                              {L"TAVRIN_ONEFILE_PARENT", std::nullopt}};
    started_process parent = start_process(package, {L"--hold", tag}, holder_environment);
    HANDLE waits[2] = {ready, parent.process};
    for (DWORD waited = 0;; waited += 50) {
        DWORD woken = WaitForMultipleObjects(2, waits, FALSE, 50);
        if (woken == WAIT_OBJECT_0) break;
        if (woken == WAIT_OBJECT_0 + 1) fail("the parent instance ended before its application was ready");
        if (processes_started_in_job() - parent.job_processes_before > processes_per_run_limit) {
            TerminateJobObject(process_job(), 0xDEAD);
            fail("the parent instance keeps starting itself: its child does not recognise it");
        }
        if (waited >= 300000) fail("the parent instance's application was not ready in time");
    }
    std::map<std::string, std::string> holder = parse_words(last_line(holder_report));
    if (holder["parent"] != std::to_string(parent.id)) fail("the holding application names another parent");
    std::printf("holder parent=%lu time_us=%s random=%s parent_peak_ws=%s parent_peak_pagefile=%s parent_private=%s\n",
                parent.id, holder["time_us"].c_str(), holder["random"].c_str(), holder["parent_peak_ws"].c_str(),
                holder["parent_peak_pagefile"].c_str(), holder["parent_private"].c_str());
    std::fflush(stdout);

    // What a parent instance leaves in its child's environment, and nothing of the benchmark.
    environment_changes child_environment = {{L"TAVRIN_ONEFILE_PARENT", widen(holder["parent"])},
                                             {L"TAVRIN_ONEFILE_TIME_US", widen(holder["time_us"])},
                                             {L"TAVRIN_ONEFILE_RANDOM", widen(holder["random"])},
                                             {L"TAVRIN_ONEFILE_START", std::nullopt},
                                             {L"TAVRIN_BENCH_REPORT", std::nullopt}};
    int status = exit_ok;
    for (int run = 1; run <= runs + report_runs; ++run) {
        bool with_report = run > runs;
        environment_changes environment = child_environment;
        if (with_report) environment[L"TAVRIN_BENCH_REPORT"] = child_report;
        started_process child = start_process(package, {}, environment, parent.process);
        finished_process finished = wait_process(child);
        std::map<std::string, std::string> words;
        if (with_report) {
            words = take_report(child_report, child.id, child.created_at);
            // A process that took the parent role would have started a child of its own, whose
            // pid take_report has refused; the marker seen must also be the holder's.
            if (words["parent"] != holder["parent"]) fail("the started process saw another parent marker");
        }
        print_run("child", with_report ? "child_report" : "child", run, finished, words);
        if (finished.exit_code != 0) status = exit_failed;
    }

    SetEvent(go);
    parent.job_processes_before = processes_started_in_job();  // the child runs above are not its own
    finished_process parent_end = wait_process(parent);
    std::printf("holder_end exit=%lu ms=%.3f\n", parent_end.exit_code, parent_end.milliseconds);
    if (parent_end.exit_code != 0) status = exit_failed;
    DeleteFileW(holder_report.c_str());
    return status;
}

int mode_decode(int argc, wchar_t** argv)
{
    int runs = 5;
    bool copy_pieces = false;
    int i = 0;
    for (; i < argc; ++i) {
        std::wstring a = argv[i];
        if (a == L"--runs" && i + 1 < argc) runs = _wtoi(argv[++i]);
        else if (a == L"--copy-pieces") copy_pieces = true;
        else break;
    }
    if (i + 1 != argc || runs < 1) return exit_usage;
    attached_frame frame = find_frame(argv[i]);
    const unsigned char* src = frame.block + attached_magic_size;
    size_t frame_size = frame.block_size - attached_overhead;

    ZSTD_frameHeader header = {};
    if (ZSTD_getFrameHeader(&header, src, frame_size) != 0) fail("cannot read the frame header");
    size_t estimate = ZSTD_estimateDStreamSize_fromFrame(src, frame_size);
    ZSTD_DCtx* probe = ZSTD_createDCtx();
    size_t bare_context = ZSTD_sizeof_DCtx(probe);
    ZSTD_freeDCtx(probe);
    std::printf("frame block=%zu frame=%zu window=%llu content_size=%lld checksum=%u single_segment=%d "
                "dstream_estimate=%zu dctx_bare=%zu out_size=%zu\n",
                frame.block_size, frame_size, static_cast<unsigned long long>(header.windowSize),
                header.frameContentSize == ZSTD_CONTENTSIZE_UNKNOWN ? -1LL : static_cast<long long>(header.frameContentSize),
                header.checksumFlag, header.frameType == ZSTD_frame && header.windowSize == header.frameContentSize,
                ZSTD_isError(estimate) ? 0 : estimate, bare_context, ZSTD_DStreamOutSize());
    std::fflush(stdout);

    std::vector<unsigned char> discard(131072);
    std::vector<unsigned char> piece(32768);
    unsigned long long check = 0;  // keeps the copies from being optimised away
    for (int run = 1; run <= runs; ++run) {
        LARGE_INTEGER start = now();
        ZSTD_DCtx* context = ZSTD_createDCtx();
        // The whole block as input, as the launcher gives it; the frame ends before the reserved field.
        ZSTD_inBuffer input = {src, frame.block_size - attached_magic_size, 0};
        unsigned long long produced = 0;
        size_t result = 1;
        while (result != 0) {
            ZSTD_outBuffer output = {discard.data(), discard.size(), 0};
            result = ZSTD_decompressStream(context, &output, &input);
            if (ZSTD_isError(result)) fail(std::string("decode error: ") + ZSTD_getErrorName(result));
            produced += output.pos;
            if (copy_pieces) {
                for (size_t at = 0; at < output.pos; at += piece.size()) {
                    size_t n = std::min(piece.size(), output.pos - at);
                    std::memcpy(piece.data(), discard.data() + at, n);
                    check += piece[n - 1];
                }
            }
        }
        size_t context_size = ZSTD_sizeof_DCtx(context);
        ZSTD_freeDCtx(context);
        double ms = milliseconds_between(start, now());
        std::printf("decode run=%d ms=%.3f bytes=%llu dctx_size=%zu copy_pieces=%d check=%llu\n", run, ms, produced,
                    context_size, copy_pieces ? 1 : 0, check);
        std::fflush(stdout);
    }
    return exit_ok;
}

struct tree_entry {
    std::wstring name;
    size_t offset = 0;  // of the content in the stream
    size_t size = 0;
    std::vector<std::wstring> new_directories;  // relative, outermost first, made before this file
};

std::vector<tree_entry> parse_content_stream(const std::string& stream)
{
    std::vector<tree_entry> entries;
    std::set<std::wstring> seen;
    size_t at = 0;
    auto need = [&](size_t n) {
        if (stream.size() - at < n) fail("the content stream ends inside an entry");
    };
    for (;;) {
        std::wstring name;
        for (;;) {
            need(2);
            wchar_t unit = static_cast<wchar_t>(static_cast<unsigned char>(stream[at]) |
                                                static_cast<unsigned char>(stream[at + 1]) << 8);
            at += 2;
            if (unit == 0) break;
            name.push_back(unit);
        }
        if (name.empty()) break;
        need(8);
        uint64_t size = 0;
        for (int b = 7; b >= 0; --b) size = size << 8 | static_cast<unsigned char>(stream[at + b]);
        at += 8;
        need(size);
        tree_entry entry;
        entry.name = name;
        entry.offset = at;
        entry.size = static_cast<size_t>(size);
        at += entry.size;
        for (size_t cut = name.find(L'\\'); cut != std::wstring::npos; cut = name.find(L'\\', cut + 1)) {
            std::wstring directory = name.substr(0, cut);
            if (seen.insert(directory).second) entry.new_directories.push_back(directory);
        }
        entries.push_back(std::move(entry));
    }
    return entries;
}

int mode_write_tree(int argc, wchar_t** argv)
{
    int runs = 5;
    bool whole_file = false, listed_delete = false, recorded = false;
    int i = 0;
    for (; i < argc; ++i) {
        std::wstring a = argv[i];
        if (a == L"--runs" && i + 1 < argc) runs = _wtoi(argv[++i]);
        else if (a == L"--whole-file") whole_file = true;
        else if (a == L"--listed-delete") listed_delete = true;
        else if (a == L"--recorded") recorded = true;
        else break;
    }
    if (i + 1 != argc || runs < 1) return exit_usage;
    std::string stream = read_whole_file(argv[i]);
    std::vector<tree_entry> entries = parse_content_stream(stream);
    size_t directories = 0, bytes = 0;
    for (const auto& e : entries) directories += e.new_directories.size(), bytes += e.size;
    std::printf("tree files=%zu directories=%zu bytes=%zu\n", entries.size(), directories, bytes);
    std::fflush(stdout);

    wchar_t temp[MAX_PATH + 1];
    GetTempPathW(MAX_PATH + 1, temp);
    enum { piece_size = 32768 };
    for (int run = 1; run <= runs; ++run) {
        std::wstring root = std::wstring(temp) + L"tavrin_bench_tree_" + std::to_wstring(GetCurrentProcessId()) +
                            L"_" + std::to_wstring(run);
        // Every path is made before the clock starts: the floor is the system calls alone.
        std::vector<std::wstring> file_paths;
        std::vector<std::vector<std::wstring>> directory_paths;
        for (const auto& e : entries) {
            file_paths.push_back(root + L"\\" + e.name);
            directory_paths.emplace_back();
            for (const auto& d : e.new_directories) directory_paths.back().push_back(root + L"\\" + d);
        }
        if (root.size() + 1 > wide_path_capacity) fail("the temporary directory's path is too long");
        std::copy(root.c_str(), root.c_str() + root.size() + 1, directory_in_use);
        unsigned long write_calls = 0;

        LARGE_INTEGER start = now();
        if (!CreateDirectoryW(root.c_str(), nullptr)) fail("cannot create " + narrow(root));
        // As the parent does once it made the directory: the clean-up deletes only what was recorded.
        record_directory_in_use_identity();
        if (recorded) begin_written_names(written_names_default_limit);
        for (size_t k = 0; k < entries.size(); ++k) {
            for (const auto& d : directory_paths[k])
                if (!CreateDirectoryW(d.c_str(), nullptr)) fail("cannot create " + narrow(d));
            HANDLE file = CreateFileW(file_paths[k].c_str(), GENERIC_WRITE, FILE_SHARE_WRITE, nullptr, CREATE_ALWAYS, 0,
                                      nullptr);
            if (file == INVALID_HANDLE_VALUE) fail("cannot create " + narrow(file_paths[k]));
            const char* data = stream.data() + entries[k].offset;
            size_t remaining = entries[k].size;
            while (remaining > 0) {
                DWORD piece = whole_file ? static_cast<DWORD>(remaining)
                                         : static_cast<DWORD>(std::min<size_t>(remaining, piece_size));
                DWORD written = 0;
                if (!WriteFile(file, data, piece, &written, nullptr)) fail("WriteFile failed");
                ++write_calls;
                data += piece;
                remaining -= piece;
            }
            CloseHandle(file);
            if (recorded) record_written_name(entries[k].name.c_str());
        }
        if (recorded) seal_written_names();
        LARGE_INTEGER written_at = now();

        // --listed-delete: delete_result counts the entries left undeleted. Otherwise the launcher's
        // clean-up runs as at the end of a parent instance (no child handle left, the unpack
        // directory, fully qualified as the launcher makes it, started); what it did is seen from
        // outside: the time it took and whether the directory is gone afterwards.
        long undeleted = 0;
        if (listed_delete) {
            // Files first, then directories from the innermost: the order they were made, reversed.
            for (size_t k = entries.size(); k-- > 0;)
                if (!DeleteFileW(file_paths[k].c_str())) ++undeleted;
            for (size_t k = entries.size(); k-- > 0;)
                for (size_t d = directory_paths[k].size(); d-- > 0;)
                    if (!RemoveDirectoryW(directory_paths[k][d].c_str())) ++undeleted;
            if (!RemoveDirectoryW(root.c_str())) ++undeleted;
        } else {
            allow_cleanup_delete(true);
            cleanup_child_and_directory();
        }
        LARGE_INTEGER deleted_at = now();
        bool gone = GetFileAttributesW(root.c_str()) == INVALID_FILE_ATTRIBUTES;
        std::printf("write run=%d ms=%.3f delete_ms=%.3f write_calls=%lu", run,
                    milliseconds_between(start, written_at), milliseconds_between(written_at, deleted_at),
                    write_calls);
        if (listed_delete) std::printf(" delete_result=%ld", undeleted);
        std::printf(" gone=%d whole_file=%d listed_delete=%d recorded=%d\n", gone ? 1 : 0, whole_file ? 1 : 0,
                    listed_delete ? 1 : 0, recorded ? 1 : 0);
        std::fflush(stdout);
        if (!gone) fail("the tree was not deleted");
    }
    return exit_ok;
}

// ---- walking a tree ----

// What a walk found, and (the "nt" ways) the time spent opening, listing and closing directories.
struct walk_count {
    unsigned long long files = 0, bytes = 0, directories = 0;
    double open_ms = 0, list_ms = 0, close_ms = 0;
};

bool find_walk(std::wstring& path, walk_count* count)
{
    size_t length = path.size();
    path += L"\\*";
    WIN32_FIND_DATAW found;
    HANDLE search = FindFirstFileExW(path.c_str(), FindExInfoBasic, &found, FindExSearchNameMatch, nullptr,
                                     FIND_FIRST_EX_LARGE_FETCH);
    path.resize(length);
    if (search == INVALID_HANDLE_VALUE) return false;
    bool sound = true;
    do {
        std::wstring name = found.cFileName;
        if (name == L"." || name == L"..") continue;
        if (found.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) sound = false;
        else if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
            path += L"\\" + name;
            ++count->directories;
            sound = find_walk(path, count);
            path.resize(length);
        } else {
            ++count->files;
            count->bytes += (static_cast<unsigned long long>(found.nFileSizeHigh) << 32) | found.nFileSizeLow;
        }
    } while (sound && FindNextFileW(search, &found));
    FindClose(search);
    return sound;
}

typedef NTSTATUS(NTAPI* nt_open_file)(HANDLE*, ACCESS_MASK, OBJECT_ATTRIBUTES*, IO_STATUS_BLOCK*, ULONG, ULONG);
typedef NTSTATUS(NTAPI* nt_query_directory)(HANDLE, HANDLE, void*, void*, IO_STATUS_BLOCK*, void*, ULONG, int, BOOLEAN,
                                              UNICODE_STRING*, BOOLEAN);

// Where each information class keeps the attributes, the size (end of file), the name's length and
// the name; the offset to the next entry is first in each.
struct listing_class {
    const char* title;
    int number;
    size_t attributes, size, name_length, name;
};
const listing_class listing_classes[] = {
    {"directory", 1, 56, 40, 60, 64},
    {"full", 2, 56, 40, 60, 68},
    {"id_both", 37, 56, 40, 60, 104},
};

bool nt_walk(HANDLE directory, const listing_class& kind, size_t buffer_bytes, walk_count* count)
{
    static nt_open_file open_file =
        reinterpret_cast<nt_open_file>(reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "NtOpenFile")));
    static nt_query_directory query = reinterpret_cast<nt_query_directory>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "NtQueryDirectoryFile")));
    std::vector<unsigned char> buffer(buffer_bytes);
    for (BOOLEAN restart = TRUE;; restart = FALSE) {
        IO_STATUS_BLOCK status;
        LARGE_INTEGER listing = now();
        NTSTATUS result = query(directory, nullptr, nullptr, nullptr, &status, buffer.data(), static_cast<ULONG>(buffer.size()),
                                kind.number, FALSE, nullptr, restart);
        count->list_ms += milliseconds_between(listing, now());
        if (result == static_cast<NTSTATUS>(0x80000006L)) return true;  // no more files
        if (result < 0) return false;
        for (size_t at = 0;;) {
            const unsigned char* entry = buffer.data() + at;
            ULONG next, name_bytes, attributes;
            LONGLONG size = 0;
            std::memcpy(&next, entry, 4);
            std::memcpy(&name_bytes, entry + kind.name_length, 4);
            const wchar_t* name = reinterpret_cast<const wchar_t*>(entry + kind.name);
            size_t units = name_bytes / 2;
            std::memcpy(&attributes, entry + kind.attributes, 4);
            std::memcpy(&size, entry + kind.size, 8);
            bool dots = (units == 1 && name[0] == L'.') || (units == 2 && name[0] == L'.' && name[1] == L'.');
            if (!dots && (attributes & FILE_ATTRIBUTE_REPARSE_POINT)) return false;
            if (!dots && (attributes & FILE_ATTRIBUTE_DIRECTORY)) {
                UNICODE_STRING path;
                path.Buffer = const_cast<wchar_t*>(name);
                path.Length = path.MaximumLength = static_cast<USHORT>(name_bytes);
                OBJECT_ATTRIBUTES object;
                InitializeObjectAttributes(&object, &path, OBJ_CASE_INSENSITIVE, directory, nullptr);
                HANDLE below = nullptr;
                LARGE_INTEGER opening = now();
                if (open_file(&below, FILE_LIST_DIRECTORY | SYNCHRONIZE, &object, &status, FILE_SHARE_READ | FILE_SHARE_WRITE,
                              FILE_SYNCHRONOUS_IO_NONALERT | FILE_DIRECTORY_FILE | 0x00200000) < 0)
                    return false;
                count->open_ms += milliseconds_between(opening, now());
                ++count->directories;
                bool sound = nt_walk(below, kind, buffer_bytes, count);
                LARGE_INTEGER closing = now();
                CloseHandle(below);
                count->close_ms += milliseconds_between(closing, now());
                if (!sound) return false;
            } else if (!dots) {
                ++count->files;
                count->bytes += static_cast<unsigned long long>(size);
            }
            if (next == 0) break;
            at += next;
        }
    }
}

HANDLE open_tree_directory(const std::wstring& tree)
{
    HANDLE root = CreateFileW(tree.c_str(), READ_CONTROL | FILE_LIST_DIRECTORY | FILE_READ_ATTRIBUTES | SYNCHRONIZE,
                              FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                              FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (root == INVALID_HANDLE_VALUE) fail("cannot open " + narrow(tree));
    return root;
}

void print_walk(const std::string& way, int run, LARGE_INTEGER start, bool sound, const walk_count& count)
{
    std::printf("walk way=%s run=%d ms=%.3f sound=%d files=%llu bytes=%llu directories=%llu open_ms=%.3f list_ms=%.3f "
                "close_ms=%.3f\n",
                way.c_str(), run, milliseconds_between(start, now()), sound ? 1 : 0, count.files, count.bytes,
                count.directories, count.open_ms, count.list_ms, count.close_ms);
    std::fflush(stdout);
}

int mode_walk(int argc, wchar_t** argv)
{
    int runs = 5;
    int i = 0;
    for (; i + 1 < argc && std::wstring(argv[i]) == L"--runs"; i += 2) runs = _wtoi(argv[i + 1]);
    if (i + 1 != argc || runs < 1) return exit_usage;
    std::wstring tree = argv[i];
    if (tree.rfind(L"\\\\?\\", 0) != 0) tree = L"\\\\?\\" + tree;
    const size_t buffer_sizes[] = {2048, 65536};
    for (int run = 1; run <= runs; ++run) {
        // The later run's check: the marker's list read (the tree's own name is the identity), then
        // one walk of the listed names; and, for comparison, a walk that counts every file.
        LARGE_INTEGER start = now();
        HANDLE root = open_tree_directory(tree);
        tree_summary summary, stated;
        bool sound = load_tree_marker(root, narrow(tree.substr(tree.rfind(L'\\') + 1)).c_str(), &stated) &&
                     walk_held_tree(root, false, walk_listed, &summary);
        release_held_tree();
        CloseHandle(root);
        walk_count launcher;
        launcher.files = summary.files;
        launcher.bytes = summary.bytes;
        print_walk("launcher", run, start, sound, launcher);

        start = now();
        root = open_tree_directory(tree);
        sound = walk_held_tree(root, false, walk_record, &summary);
        release_held_tree();
        CloseHandle(root);
        launcher.files = summary.files;
        launcher.bytes = summary.bytes;
        print_walk("launcher_all", run, start, sound, launcher);

        start = now();
        walk_count found;
        std::wstring path = tree;
        sound = find_walk(path, &found);
        print_walk("find", run, start, sound, found);

        for (const listing_class& kind : listing_classes) {
            for (size_t bytes : buffer_sizes) {
                start = now();
                root = open_tree_directory(tree);
                walk_count listed;
                sound = nt_walk(root, kind, bytes, &listed);
                CloseHandle(root);
                print_walk(std::string("nt_") + kind.title + "_" + std::to_string(bytes), run, start, sound, listed);
            }
        }
    }
    return exit_ok;
}

int usage()
{
    std::fprintf(stderr, "usage: tavrin-bench start|child-start|decode|write-tree|walk ... (see the source's head)\n");
    return exit_usage;
}

}  // namespace

int wmain(int argc, wchar_t** argv)
{
    if (argc < 2) return usage();
    std::wstring mode = argv[1];
    int status = exit_usage;
    if (mode == L"start") status = mode_start(argc - 2, argv + 2);
    else if (mode == L"child-start") status = mode_child_start(argc - 2, argv + 2);
    else if (mode == L"decode") status = mode_decode(argc - 2, argv + 2);
    else if (mode == L"write-tree") status = mode_write_tree(argc - 2, argv + 2);
    else if (mode == L"walk") status = mode_walk(argc - 2, argv + 2);
    if (status == exit_usage) return usage();
    return status;
}
