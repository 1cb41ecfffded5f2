// Test support (Windows): a test executable doubles as its own child process. A scenario is a
// function registered by name; run_scenario starts this executable again with "--scenario NAME ...",
// captures its standard streams in files and returns its full exit code and output bytes.
#ifndef TAVRIN_TESTS_SELF_PROCESS_H
#define TAVRIN_TESTS_SELF_PROCESS_H

#include <windows.h>

#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace testing_support {

using scenario_function = int (*)(int argc, wchar_t** argv);  // argv[0] is the scenario's name

// Registers `function` under `name`; used through TAVRIN_SCENARIO.
bool register_scenario(const wchar_t* name, scenario_function function);

#define TAVRIN_SCENARIO(name)                                                                  \
    static int scenario_##name(int argc, wchar_t** argv);                                      \
    static const bool scenario_registered_##name =                                             \
        ::testing_support::register_scenario(L## #name, &scenario_##name);                     \
    static int scenario_##name([[maybe_unused]] int argc, [[maybe_unused]] wchar_t** argv)

// Called first by main: runs the scenario when argv asks for one and returns true with its code.
bool run_requested_scenario(int argc, wchar_t** argv, int* exit_code);

struct process_result {
    std::uint32_t exit_code = 0;
    std::string out;  // bytes written to standard output
    std::string err;  // bytes written to standard error
    bool timed_out = false;
};

struct run_options {
    std::string input;                                          // standard input content
    std::map<std::wstring, std::optional<std::wstring>> env;    // set (value) or remove (nullopt)
    std::optional<std::wstring> current_directory;
    std::uint32_t timeout_ms = 60000;                           // then terminated, timed_out set
    std::uint32_t creation_flags = 0;                           // added to CreateProcessW's flags
    bool without_stdout = false, without_stderr = false;       // that stream's handle is NULL
    std::function<void(HANDLE process)> before_start;           // runs while the process is suspended
    bool limited = false;                                       // the limited token (limited_token.h)
    std::optional<WORD> show_window;                            // STARTF_USESHOWWINDOW with this value
    // As a desktop shell starts a program: no standard handles at all, none inherited (the
    // stream fields of the result stay empty).
    bool desktop_start = false;
    // Runs on the calling thread once the process runs, before the wait for its end (which the
    // timeout still bounds from the start): to watch its windows and answer them.
    std::function<void(HANDLE process, DWORD process_id)> while_running;
};

// Starts `application` with the full command line `command_line` (argument 0 included), standard
// streams on files, and waits for it.
process_result run_process(const std::wstring& application, const std::wstring& command_line,
                           const run_options& options = {});

// Runs this executable's scenario `name` with `arguments` (each quoted for the system's split).
process_result run_scenario(const std::wstring& name, const std::vector<std::wstring>& arguments = {},
                            const run_options& options = {});

// This test executable's full path.
std::wstring self_path();

// Quotes one argument for CommandLineToArgvW and the C runtime's split.
std::wstring quote_argument(const std::wstring& argument);

// The arguments of the command line `line` as the system splits them (CommandLineToArgvW).
std::vector<std::wstring> system_split(const std::wstring& line);

// A fresh directory under the temporary directory, removed with its content on destruction.
class temp_directory {
public:
    temp_directory();
    ~temp_directory();
    temp_directory(const temp_directory&) = delete;
    temp_directory& operator=(const temp_directory&) = delete;
    const std::filesystem::path& path() const { return path_; }
    std::wstring wstr() const { return path_.wstring(); }

private:
    std::filesystem::path path_;
};

std::string read_file(const std::filesystem::path& path);
void write_file(const std::filesystem::path& path, const std::string& bytes);

// UTF-16 <-> UTF-8 for messages and expectations.
std::string narrow(const std::wstring& text);
std::wstring widen(const std::string& text);

}  // namespace testing_support

#endif
