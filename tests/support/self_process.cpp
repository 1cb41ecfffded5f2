// Test support (Windows): scenarios run in a child copy of the test executable, temp directories.
#include "tests/support/self_process.h"

#include <shellapi.h>

#include <atomic>
#include <cstdio>
#include <fstream>
#include <mutex>
#include <sstream>
#include <stdexcept>

#include "tests/support/limited_token.h"

namespace testing_support {
namespace {

std::map<std::wstring, scenario_function>& scenarios()
{
    static std::map<std::wstring, scenario_function> table;
    return table;
}

HANDLE open_for_child(const std::wstring& path, bool write)
{
    SECURITY_ATTRIBUTES inherit = {sizeof inherit, nullptr, TRUE};
    HANDLE handle = CreateFileW(path.c_str(), write ? GENERIC_WRITE : GENERIC_READ,
                                FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, &inherit,
                                write ? CREATE_ALWAYS : OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle == INVALID_HANDLE_VALUE) throw std::runtime_error("cannot open " + narrow(path));
    return handle;
}

HANDLE limited_token()
{
    static HANDLE limited = open_limited_token();  // kept for the process's life
    if (limited == nullptr) throw std::runtime_error("no limited token: " + std::to_string(GetLastError()));
    return limited;
}

// An environment block: the current one with the requested changes.
std::wstring environment_block(const std::map<std::wstring, std::optional<std::wstring>>& changes)
{
    std::map<std::wstring, std::wstring> variables;
    // Keys compared without case, as Windows does; kept in first-seen spelling.
    auto upper = [](std::wstring s) {
        for (auto& c : s) c = static_cast<wchar_t>(towupper(c));
        return s;
    };
    std::map<std::wstring, std::pair<std::wstring, std::wstring>> by_key;
    wchar_t* block = GetEnvironmentStringsW();
    for (wchar_t* p = block; *p; p += wcslen(p) + 1) {
        std::wstring entry = p;
        std::size_t eq = entry.find(L'=', 1);
        if (eq == std::wstring::npos) continue;
        by_key[upper(entry.substr(0, eq))] = {entry.substr(0, eq), entry.substr(eq + 1)};
    }
    FreeEnvironmentStringsW(block);
    for (const auto& [name, value] : changes) {
        if (value) by_key[upper(name)] = {name, *value};
        else by_key.erase(upper(name));
    }
    std::wstring result;
    for (const auto& [key, entry] : by_key) {
        result += entry.first + L"=" + entry.second;
        result.push_back(L'\0');
    }
    result.push_back(L'\0');
    return result;
}

}  // namespace

bool register_scenario(const wchar_t* name, scenario_function function)
{
    scenarios()[name] = function;
    return true;
}

bool run_requested_scenario(int argc, wchar_t** argv, int* exit_code)
{
    if (argc < 3 || std::wstring(argv[1]) != L"--scenario") return false;
    auto found = scenarios().find(argv[2]);
    if (found == scenarios().end()) {
        fwprintf(stderr, L"unknown scenario %ls\n", argv[2]);
        *exit_code = 99;
        return true;
    }
    *exit_code = found->second(argc - 2, argv + 2);
    return true;
}

std::wstring self_path()
{
    wchar_t buffer[4096];
    DWORD length = GetModuleFileNameW(nullptr, buffer, 4096);
    return std::wstring(buffer, length);
}

std::vector<std::wstring> system_split(const std::wstring& line)
{
    int count = 0;
    wchar_t** arguments = CommandLineToArgvW(line.c_str(), &count);
    std::vector<std::wstring> result(arguments, arguments + count);
    LocalFree(arguments);
    return result;
}

std::wstring quote_argument(const std::wstring& argument)
{
    if (!argument.empty() && argument.find_first_of(L" \t\n\v\"") == std::wstring::npos) return argument;
    std::wstring quoted = L"\"";
    std::size_t backslashes = 0;
    for (wchar_t c : argument) {
        if (c == L'\\') {
            ++backslashes;
            continue;
        }
        if (c == L'"') quoted.append(backslashes * 2 + 1, L'\\');
        else quoted.append(backslashes, L'\\');
        backslashes = 0;
        quoted.push_back(c);
    }
    quoted.append(backslashes * 2, L'\\');
    quoted.push_back(L'"');
    return quoted;
}

process_result run_process(const std::wstring& application, const std::wstring& command_line,
                           const run_options& options)
{
    temp_directory streams;
    std::wstring in_path = streams.wstr() + L"\\in", out_path = streams.wstr() + L"\\out",
                 err_path = streams.wstr() + L"\\err";
    write_file(in_path, options.input);
    // From opening the inheritable stream handles to closing them again, one thread at a time: a
    // process created on another thread in between would inherit them and keep the files open.
    static std::mutex inheritable_handles;
    std::unique_lock<std::mutex> creating(inheritable_handles);
    HANDLE in = open_for_child(in_path, false);
    HANDLE out = open_for_child(out_path, true);
    HANDLE err = open_for_child(err_path, true);

    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    // A desktop shell has no standard handles to give: all three are none (left unset, Wine 8 would
    // copy this console program's into the new process).
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = options.desktop_start ? nullptr : in;
    startup.hStdOutput = options.without_stdout || options.desktop_start ? nullptr : out;
    startup.hStdError = options.without_stderr || options.desktop_start ? nullptr : err;
    if (options.show_window) {
        startup.dwFlags |= STARTF_USESHOWWINDOW;
        startup.wShowWindow = *options.show_window;
    }
    PROCESS_INFORMATION info = {};
    std::wstring line = command_line;
    std::wstring env;
    DWORD flags = options.creation_flags | (options.before_start ? CREATE_SUSPENDED : 0);
    if (!options.env.empty()) {
        env = environment_block(options.env);
        flags |= CREATE_UNICODE_ENVIRONMENT;
    }
    BOOL created = FALSE;
    DWORD create_error = 0;
    // Under load Wine 8 now and then fails a creation with ERROR_INTERNAL_ERROR before anything of
    // the process exists; that is no result of the program under test, so it is asked again.
    for (int attempt = 0; attempt < 3; ++attempt) {
        if (attempt > 0) Sleep(200);
        void* environment = env.empty() ? nullptr : env.data();
        const wchar_t* directory = options.current_directory ? options.current_directory->c_str() : nullptr;
        const BOOL inherit = options.desktop_start ? FALSE : TRUE;
        created = options.limited ? CreateProcessAsUserW(limited_token(), application.c_str(), line.data(), nullptr, nullptr,
                                                         inherit, flags, environment, directory, &startup, &info)
                                  : CreateProcessW(application.c_str(), line.data(), nullptr, nullptr, inherit, flags,
                                                   environment, directory, &startup, &info);
        create_error = GetLastError();
        if (created || create_error != ERROR_INTERNAL_ERROR) break;
    }
    CloseHandle(in);
    CloseHandle(out);
    CloseHandle(err);
    creating.unlock();
    if (!created)
        throw std::runtime_error("CreateProcessW failed for " + narrow(application) + ": " +
                                 std::to_string(create_error));
    if (options.before_start) {
        options.before_start(info.hProcess);
        ResumeThread(info.hThread);
    }
    CloseHandle(info.hThread);
    const DWORD started = GetTickCount();
    if (options.while_running) options.while_running(info.hProcess, info.dwProcessId);
    const DWORD spent = GetTickCount() - started;
    process_result result;
    if (WaitForSingleObject(info.hProcess, spent < options.timeout_ms ? options.timeout_ms - spent : 0) != WAIT_OBJECT_0) {
        result.timed_out = true;
        TerminateProcess(info.hProcess, 0xDEAD);
        WaitForSingleObject(info.hProcess, INFINITE);
    }
    DWORD code = 0;
    GetExitCodeProcess(info.hProcess, &code);
    CloseHandle(info.hProcess);
    result.exit_code = code;
    result.out = read_file(out_path);
    result.err = read_file(err_path);
    return result;
}

process_result run_scenario(const std::wstring& name, const std::vector<std::wstring>& arguments,
                            const run_options& options)
{
    std::wstring self = self_path();
    std::wstring line = quote_argument(self) + L" --scenario " + quote_argument(name);
    for (const auto& argument : arguments) line += L" " + quote_argument(argument);
    return run_process(self, line, options);
}

temp_directory::temp_directory()
{
    static std::atomic<unsigned> counter{0};
    wchar_t base[MAX_PATH + 1];
    GetTempPathW(MAX_PATH + 1, base);
    for (;;) {
        std::wstring candidate = std::wstring(base) + L"tavrin_test_" + std::to_wstring(GetCurrentProcessId()) +
                                 L"_" + std::to_wstring(counter++);
        if (CreateDirectoryW(candidate.c_str(), nullptr)) {
            path_ = candidate;
            return;
        }
        if (GetLastError() != ERROR_ALREADY_EXISTS)
            throw std::runtime_error("cannot create a temporary directory");
    }
}

temp_directory::~temp_directory()
{
    // A process that a test started may still be closing its handles to files in here (under load,
    // Wine 8 ends a process a little after its exit code can be read): retry for up to 5 s, then
    // name what is left, so that a leftover is seen rather than silently kept.
    std::error_code failure;
    for (int attempt = 0; attempt < 50; ++attempt) {
        failure.clear();
        std::filesystem::remove_all(path_, failure);
        if (!failure && !std::filesystem::exists(path_, failure)) return;
        Sleep(100);
    }
    std::fprintf(stderr, "note: the test directory %s was left behind (%s)\n", narrow(path_.wstring()).c_str(),
                 failure.message().c_str());
}

std::string read_file(const std::filesystem::path& path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream content;
    content << in.rdbuf();
    return content.str();
}

void write_file(const std::filesystem::path& path, const std::string& bytes)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    if (!out) throw std::runtime_error("cannot write " + path.string());
}

std::string narrow(const std::wstring& text)
{
    if (text.empty()) return {};
    int size = WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0, nullptr, nullptr);
    std::string result(static_cast<std::size_t>(size), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), result.data(), size, nullptr, nullptr);
    return result;
}

std::wstring widen(const std::string& text)
{
    if (text.empty()) return {};
    int size = MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
    std::wstring result(static_cast<std::size_t>(size), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), result.data(), size);
    return result;
}

}  // namespace testing_support
