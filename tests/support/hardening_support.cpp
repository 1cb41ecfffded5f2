// Hardening tests (Windows): private temporary directories and packages watched while they run.
#include "tests/support/hardening_support.h"

#include <algorithm>

using namespace testing_support;

namespace hardening {

run_options with_temp(const std::wstring& temp, run_options options)
{
    options.env[L"TMP"] = temp;
    options.env[L"TEMP"] = temp;
    if (options.timeout_ms == run_options{}.timeout_ms) options.timeout_ms = run_timeout_ms;
    return options;
}

std::vector<std::wstring> names_in(const fs::path& directory)
{
    std::vector<std::wstring> names;
    WIN32_FIND_DATAW found;
    HANDLE search = FindFirstFileW(long_form(directory.wstring() + L"\\*").c_str(), &found);
    if (search == INVALID_HANDLE_VALUE) return names;
    do {
        if (wcscmp(found.cFileName, L".") != 0 && wcscmp(found.cFileName, L"..") != 0)
            names.push_back(found.cFileName);
    } while (FindNextFileW(search, &found));
    FindClose(search);
    std::sort(names.begin(), names.end());
    return names;
}

std::wstring long_form(const std::wstring& path)
{
    if (path.rfind(L"\\\\?\\", 0) == 0) return path;
    return L"\\\\?\\" + path;
}

bool remove_tree(const std::wstring& path)
{
    std::wstring full = long_form(path);
    DWORD attributes = GetFileAttributesW(full.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) return true;
    if ((attributes & FILE_ATTRIBUTE_DIRECTORY) == 0) return DeleteFileW(full.c_str()) != 0;
    for (const auto& name : names_in(path)) remove_tree(path + L"\\" + name);
    return RemoveDirectoryW(full.c_str()) != 0;
}

guarded_directory::guarded_directory()
{
    write_file(path() / L"keep.txt", "keep");
    fs::create_directory(path() / L"keep");
    write_file(path() / L"keep" / L"inner.txt", "inner");
}

bool guarded_directory::untouched() const
{
    return read_file(path() / L"keep.txt") == "keep" && read_file(path() / L"keep" / L"inner.txt") == "inner";
}

running_package::running_package(const fs::path& exe, const std::vector<std::wstring>& arguments,
                                 run_options options)
    : report_path_(reports_.path() / L"report")
{
    options.env[L"TAVRIN_PROBE_REPORT"] = report_path_.wstring();
    if (options.timeout_ms == run_options{}.timeout_ms) options.timeout_ms = run_timeout_ms;
    std::wstring line = quote_argument(exe.wstring());
    for (const auto& argument : arguments) line += L" " + quote_argument(argument);
    runner_ = std::thread([this, application = exe.wstring(), line, options] {
        result_ = run_process(application, line, options);
        InterlockedExchange(&ended_, 1);
    });
}

running_package::~running_package()
{
    if (!runner_.joinable()) return;
    // Left early (a test failed): the application is ended, so that the launcher cleans up and the
    // run is over at once rather than at its timeout.
    if (InterlockedCompareExchange(&ended_, 0, 0) == 0) {
        auto facts = package_support::parse_report(read_file(report_path_));
        if (facts.count("pid") != 0) {
            HANDLE application = OpenProcess(PROCESS_TERMINATE, FALSE, std::stoul(package_support::one(facts, "pid")));
            if (application != nullptr) {
                TerminateProcess(application, 1);
                CloseHandle(application);
            }
        }
    }
    runner_.join();
}

package_support::report running_package::wait_for(const std::string& key)
{
    // Polled: the probe appends one line at a time. The hang guard is the run's own timeout.
    for (;;) {
        bool ended = InterlockedCompareExchange(&ended_, 0, 0) != 0;
        auto facts = package_support::parse_report(read_file(report_path_));
        if (facts.count(key) != 0) return facts;
        if (ended) return {};
        Sleep(20);
    }
}

package_support::run running_package::finish()
{
    if (runner_.joinable()) runner_.join();
    package_support::run result;
    result.process = result_;
    result.facts = package_support::parse_report(read_file(report_path_));
    return result;
}

}  // namespace hardening
