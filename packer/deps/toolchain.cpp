// Asking the mingw-w64 compiler on PATH where its runtime DLLs lie: the program run without a
// shell, its standard output read through a pipe.
#include "packer/deps/toolchain.h"

#include <algorithm>
#include <cstdlib>
#include <system_error>

#ifdef _WIN32
#include <windows.h>
#else
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>

extern char** environ;
#endif

namespace tavrin {
namespace fs = std::filesystem;

const char* const mingw_runtime_dlls[3] = {"libstdc++-6.dll", "libgcc_s_seh-1.dll", "libwinpthread-1.dll"};

namespace {

constexpr std::size_t output_max = 64 * 1024;

#ifdef _WIN32
std::wstring widen(const std::string& text)
{
    std::wstring wide;
    for (char c : text) wide.push_back(static_cast<wchar_t>(static_cast<unsigned char>(c)));
    return wide;
}

// The program `program` (".exe" added) found on PATH, or an empty path.
fs::path find_on_path(const std::string& program)
{
    std::wstring found(MAX_PATH, L'\0');
    for (;;) {
        DWORD length = SearchPathW(nullptr, widen(program).c_str(), L".exe", static_cast<DWORD>(found.size()), found.data(), nullptr);
        if (length == 0) return {};
        if (length < found.size()) return fs::path(found.substr(0, length));
        found.resize(length);
    }
}

// The standard output of `program` (a full path) run with the one argument `argument`, or nothing
// when it cannot be started or does not exit with 0.
std::optional<std::string> program_output(const fs::path& program, const std::string& argument)
{
    SECURITY_ATTRIBUTES inheritable{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
    HANDLE read_end = nullptr, write_end = nullptr;
    if (!CreatePipe(&read_end, &write_end, &inheritable, 0)) return std::nullopt;
    SetHandleInformation(read_end, HANDLE_FLAG_INHERIT, 0);
    // Only the pipe is handed over: the list keeps every other inheritable handle of the tool out.
    SIZE_T list_size = 0;
    InitializeProcThreadAttributeList(nullptr, 1, 0, &list_size);
    std::string list_memory(list_size, '\0');
    auto* list = reinterpret_cast<LPPROC_THREAD_ATTRIBUTE_LIST>(list_memory.data());
    STARTUPINFOEXW startup{};
    startup.StartupInfo.cb = sizeof startup;
    startup.StartupInfo.dwFlags = STARTF_USESTDHANDLES;
    startup.StartupInfo.hStdOutput = write_end;
    bool started = false;
    PROCESS_INFORMATION process{};
    if (InitializeProcThreadAttributeList(list, 1, 0, &list_size)) {
        if (UpdateProcThreadAttribute(list, 0, PROC_THREAD_ATTRIBUTE_HANDLE_LIST, &write_end, sizeof write_end, nullptr, nullptr)) {
            startup.lpAttributeList = list;
            std::wstring command = L"\"" + program.wstring() + L"\" " + widen(argument);
            started = CreateProcessW(program.c_str(), command.data(), nullptr, nullptr, TRUE,
                                     EXTENDED_STARTUPINFO_PRESENT | CREATE_NO_WINDOW, nullptr, nullptr, &startup.StartupInfo,
                                     &process) != 0;
        }
        DeleteProcThreadAttributeList(list);
    }
    CloseHandle(write_end);
    std::string output;
    char piece[4096];
    DWORD got = 0;
    while (started && ReadFile(read_end, piece, sizeof piece, &got, nullptr) && got != 0)
        if (output.size() < output_max) output.append(piece, std::min<std::size_t>(got, output_max - output.size()));
    CloseHandle(read_end);
    if (!started) return std::nullopt;
    WaitForSingleObject(process.hProcess, INFINITE);
    DWORD code = 1;
    GetExitCodeProcess(process.hProcess, &code);
    CloseHandle(process.hProcess);
    CloseHandle(process.hThread);
    if (code != 0) return std::nullopt;
    return output;
}
#else
// The standard output of `program` (searched on PATH) run with the one argument `argument`, or
// nothing when it cannot be started or does not exit with 0.
std::optional<std::string> program_output(const std::string& program, const std::string& argument)
{
    int ends[2];
    if (pipe(ends) != 0) return std::nullopt;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, ends[1], STDOUT_FILENO);
    posix_spawn_file_actions_addclose(&actions, ends[0]);
    posix_spawn_file_actions_addclose(&actions, ends[1]);
    std::string program_text = program, argument_text = argument;
    char* arguments[] = {program_text.data(), argument_text.data(), nullptr};
    pid_t child = 0;
    const int failed = posix_spawnp(&child, program.c_str(), &actions, nullptr, arguments, environ);
    posix_spawn_file_actions_destroy(&actions);
    close(ends[1]);
    std::string output;
    char piece[4096];
    for (ssize_t got; !failed && (got = read(ends[0], piece, sizeof piece)) != 0;) {
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) break;
        if (output.size() < output_max) output.append(piece, std::min<std::size_t>(static_cast<std::size_t>(got), output_max - output.size()));
    }
    close(ends[0]);
    if (failed) return std::nullopt;
    int status = 0;
    while (waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) return std::nullopt;
    return output;
}
#endif

// The file that `answer` (a compiler's output for -print-file-name) names, when it names an
// existing one: a compiler that does not know the file prints its bare name.
std::optional<fs::path> answered_file(std::string answer)
{
    while (!answer.empty() && (answer.back() == '\n' || answer.back() == '\r')) answer.pop_back();
    const fs::path file = fs::u8path(answer);
    std::error_code error;
    if (answer.empty() || !file.is_absolute() || !fs::is_regular_file(file, error)) return std::nullopt;
    return file.lexically_normal();
}

}  // namespace

std::vector<std::string> toolchain_compilers()
{
#ifdef _WIN32
    return {"g++"};
#else
    return {"x86_64-w64-mingw32-g++-posix", "x86_64-w64-mingw32-g++-win32", "x86_64-w64-mingw32-g++"};
#endif
}

std::optional<toolchain_runtime> find_toolchain_runtime()
{
    for (const std::string& compiler : toolchain_compilers()) {
#ifdef _WIN32
        const fs::path program = find_on_path(compiler);
        if (program.empty()) continue;
#else
        const std::string& program = compiler;
#endif
        toolchain_runtime runtime{compiler, {}};
        auto add = [&](const fs::path& directory) {
            if (std::find(runtime.directories.begin(), runtime.directories.end(), directory) == runtime.directories.end())
                runtime.directories.push_back(directory);
        };
        for (const char* dll : mingw_runtime_dlls) {
            const std::optional<std::string> answer = program_output(program, std::string("-print-file-name=") + dll);
            if (!answer) break;  // not there, or it fails: the next compiler
            if (auto file = answered_file(*answer)) add(file->parent_path());
        }
#ifdef _WIN32
        add(program.parent_path().lexically_normal());
#endif
        if (!runtime.directories.empty()) return runtime;
    }
    return std::nullopt;
}

}  // namespace tavrin
