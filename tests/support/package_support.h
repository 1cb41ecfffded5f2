// Test support (Windows): packages of the probe application made with the real launcher image,
// started like a user would, and the probe's report read back.
#ifndef TAVRIN_TESTS_PACKAGE_SUPPORT_H
#define TAVRIN_TESTS_PACKAGE_SUPPORT_H

#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "packer/archive/block_writer.h"
#include "packer/archive/launch_settings.h"
#include "tests/support/packer_fixtures.h"
#include "tests/support/self_process.h"

namespace package_support {

// Build outputs, as Windows paths (Wine's Z: drive).
extern const std::wstring launcher_image;
extern const std::wstring probe_dll;
extern const std::wstring no_entry_dll;
// The program entry (tests/e2e/exe_app.c), console and windowed.
extern const std::wstring exe_app;
extern const std::wstring exe_app_windowed;

// The temporary directory with its trailing backslash.
std::wstring temp_root();

// Names of the onefile_* directories under the temporary directory: the launcher's unpack
// directories.
std::vector<std::wstring> unpack_directories();

// Writes a package to `exe`: the probe (or `first_content` as the first file, when not empty)
// followed by `extra`.
void make_package(const std::filesystem::path& exe, std::vector<tavrin::archive_entry> extra = {},
                  const std::string& first_content = {});

// Writes a package of exactly `entries` to `exe`.
void make_package_of(const std::filesystem::path& exe, const std::vector<tavrin::archive_entry>& entries,
                     const tavrin::block_options& options = {});

// Lays out a program entry's files in `directory` as they run unpacked: `program` as exe_app.exe,
// its import plugin_helper.dll beside it, data\greeting.txt; returns them as archive entries, the
// program first.
std::vector<tavrin::archive_entry> lay_out_program(const std::filesystem::path& directory,
                                                   const std::wstring& program = exe_app);

// Fills the package's launch settings record with `settings` as tavrin-pack does (in cached mode
// with the identity of its attached data) and returns what it wrote.
tavrin::launch_settings set_launch_settings(const std::filesystem::path& exe, tavrin::launch_settings settings);

// Overwrites the text `old` of the package's version block (UTF-16LE, found exactly once in the
// file) with `replacement` (no longer), NULs after it: a block patched after packing.
void patch_version_text(const std::filesystem::path& exe, const std::u16string& old, const std::u16string& replacement);

// The Linux path of the Windows path `path` (Wine's own translation); empty where there is none.
std::wstring unix_path(const std::filesystem::path& path);

// Makes `link` a Linux symbolic link to `target` (ln -s, a Unix program that Wine 8 starts through
// CreateProcessW): Wine makes no links of its own. True when `link` then shows as a reparse point
// (Wine 8 shows one to a directory so by its path; one to a file it shows as a plain file).
bool make_unix_link(const std::filesystem::path& target, const std::filesystem::path& link);
// Removes such a link (rm): never through Windows, where Wine 8 deletes a link's target, nor
// through std::filesystem, which under Wine 8 walks into it. True once it is gone.
bool remove_unix_link(const std::filesystem::path& link);

// Flips one byte in the middle of the package's attached data: a damaged archive, which the
// launcher finds before the application starts.
void damage_attached_data(const std::filesystem::path& exe);

// Makes the directory `path` (a Windows path of Wine's) immutable for Linux, so that nothing can be
// made in it, not even by root, or mutable again (chattr, a Unix program that Wine 8 starts through
// CreateProcessW). False where that did not take.
bool set_immutable(const std::wstring& path, bool immutable);

// What the probe reported: key to values in report order.
using report = std::multimap<std::string, std::wstring>;
// The report file's text, parsed; a line must be complete (end in a newline) to count.
report parse_report(const std::string& text);
std::vector<std::wstring> all(const report& facts, const std::string& key);
std::wstring one(const report& facts, const std::string& key);  // "<none>" when absent

struct run {
    testing_support::process_result process;
    report facts;
};

// Starts the package `exe` with `arguments` (argument 0: `argv0`, else the path) and waits; the
// probe reports into a fresh file.
run start(const std::filesystem::path& exe, const std::vector<std::wstring>& arguments,
          testing_support::run_options options = {}, const std::wstring& argv0 = {});

// Starts the package `exe` with the full command line `line` (argument 0 included, as typed) and
// waits; the probe reports into a fresh file.
run start_line(const std::filesystem::path& exe, const std::wstring& line, testing_support::run_options options = {});

}  // namespace package_support

#endif
