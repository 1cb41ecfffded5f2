// Hardening tests (Windows): packages run with a temporary directory of their own, so that the unpack
// directories a run leaves or removes are seen without interference from other tests, and packages
// watched while they run.
#ifndef TAVRIN_TESTS_HARDENING_SUPPORT_H
#define TAVRIN_TESTS_HARDENING_SUPPORT_H

#include <windows.h>

#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "packer/archive/block_writer.h"
#include "tests/support/package_support.h"
#include "tests/support/self_process.h"

namespace hardening {

namespace fs = std::filesystem;

// Generous bound for one run of a package: a hang guard, never a measure.
constexpr std::uint32_t run_timeout_ms = 120000;

// Options that make the launched package take `temp` as its temporary directory (TMP and TEMP).
testing_support::run_options with_temp(const std::wstring& temp, testing_support::run_options options = {});

// Names of everything directly inside `directory`, sorted.
std::vector<std::wstring> names_in(const fs::path& directory);

// "\\?\" in front of a full path, so that the test's own file calls take paths of any length.
std::wstring long_form(const std::wstring& path);

// Removes `path` and everything below it, whatever the length of the paths in it. True when it is gone.
bool remove_tree(const std::wstring& path);

// A directory to run packages in, with a file and a subdirectory in it that a run must leave alone.
class guarded_directory {
public:
    guarded_directory();
    const fs::path& path() const { return directory_.path(); }
    std::wstring wstr() const { return directory_.wstr(); }
    // Whether the files put there are all still present and unchanged.
    bool untouched() const;

private:
    testing_support::temp_directory directory_;
};

// A package started on a thread of its own; the probe's report can be read while it runs.
class running_package {
public:
    running_package(const fs::path& exe, const std::vector<std::wstring>& arguments,
                    testing_support::run_options options = {});
    ~running_package();
    running_package(const running_package&) = delete;
    running_package& operator=(const running_package&) = delete;

    // Waits until the report holds `key` (complete lines only) and returns what it holds then. An
    // empty report when the run ended or the hang guard ran out first.
    package_support::report wait_for(const std::string& key);

    // Waits for the run to end; the process result and the whole report.
    package_support::run finish();

private:
    testing_support::temp_directory reports_;
    fs::path report_path_;
    testing_support::process_result result_;
    std::thread runner_;
    volatile LONG ended_ = 0;
};

}  // namespace hardening

#endif
