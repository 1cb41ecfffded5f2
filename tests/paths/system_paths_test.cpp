// Path services against the real file system under Wine: final paths, short directory parts, the
// own executable path caches, a directory qualified and shell folders.
#include <gtest/gtest.h>

#include <windows.h>
#include <fcntl.h>
#include <io.h>
#include <shlobj.h>

#include <cstdio>
#include <sstream>
#include <string>
#include <vector>

#include "base/process_state.h"
#include "paths/bounded.h"
#include "paths/system_paths.h"
#include "tests/support/self_process.h"

using testing_support::narrow;
using testing_support::run_scenario;
using testing_support::temp_directory;

namespace {

constexpr std::uint32_t fail_fast_status = 0xC0000409;

void print_line(const std::wstring& text)
{
    std::string line = narrow(text) + "\n";
    fwrite(line.data(), 1, line.size(), stdout);
}

std::vector<std::string> lines_of(const std::string& text)
{
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

std::wstring short_path(const std::wstring& path)
{
    wchar_t buffer[4096];
    DWORD length = GetShortPathNameW(path.c_str(), buffer, 4096);
    return std::wstring(buffer, length);
}

std::wstring resolved(const std::wstring& path, bool resolve, uint32_t capacity = 4096)
{
    std::vector<wchar_t> buffer(capacity);
    resolve_final_path(buffer.data(), path.c_str(), capacity, resolve);
    return buffer.data();
}

// A directory and a file, both with long names, that the tests can look at in their 8.3 forms.
struct long_named_file {
    temp_directory root;
    std::wstring directory = root.wstr() + L"\\a long directory name";
    std::wstring file = directory + L"\\long file name.txt";
    long_named_file()
    {
        CreateDirectoryW(directory.c_str(), nullptr);
        testing_support::write_file(file, "x");
    }
};

}  // namespace

// argv: path, capacity. resolve_final_path with resolve true, the result on standard output.
TAVRIN_SCENARIO(resolve)
{
    _setmode(_fileno(stdout), _O_BINARY);
    print_line(resolved(argv[1], true, wcstoul(argv[2], nullptr, 10)));
    return 0;
}

// Prints both variants (resolved first), checks that repeated calls return the very same cache, and
// that a changed cache is returned as it is, without asking the system again.
TAVRIN_SCENARIO(own_path)
{
    _setmode(_fileno(stdout), _O_BINARY);
    const wchar_t* resolved_path = own_executable_path(true);
    const wchar_t* plain_path = own_executable_path(false);
    print_line(resolved_path);
    print_line(plain_path);
    std::wstring resolved_before = resolved_path;
    if (own_executable_path(true) != resolved_path || own_executable_path(false) != plain_path) return 4;
    if (resolved_before != own_executable_path(true)) return 5;
    copy_wide_bounded(const_cast<wchar_t*>(plain_path), L"C:\\changed.exe", own_path_capacity);
    print_line(own_executable_path(false));
    print_line(own_executable_path(true));
    return 0;
}

// argv: the directory before; prints it after qualify_directory.
TAVRIN_SCENARIO(qualify)
{
    _setmode(_fileno(stdout), _O_BINARY);
    static wchar_t directory[wide_path_capacity];
    copy_wide_bounded(directory, argv[1], wide_path_capacity);
    qualify_directory(directory);
    print_line(directory);
    return 0;
}

// argv: capacity; appends the profile folder to "x".
TAVRIN_SCENARIO(known_folder)
{
    wchar_t out[1024] = L"x";
    append_known_folder(out, CSIDL_PROFILE, wcstoul(argv[1], nullptr, 10));
    return 0;
}

TEST(FinalPath, PrefixRules)
{
    struct {
        const wchar_t* final_path;
        const wchar_t* source;  // nullptr: the same buffer as the final path
        const wchar_t* expected;
    } cases[] = {
        {L"\\\\?\\C:\\Apps\\Tool.exe", nullptr, L"C:\\Apps\\Tool.exe"},
        {L"\\\\?\\UNC\\server\\share\\dir", nullptr, L"\\\\server\\share\\dir"},
        {L"\\\\?\\Volume{0b1c2d3e-0000-0000-0000-100000000000}\\dir", nullptr,
         L"\\\\?\\Volume{0b1c2d3e-0000-0000-0000-100000000000}\\dir"},
        {L"\\\\?\\GLOBALROOT\\x", L"GLOBALROOT\\x", L"GLOBALROOT\\x"},
        {L"\\\\?\\GLOBALROOT\\x", L"GLOBALROOT\\y", L"\\\\?\\GLOBALROOT\\x"},
        {L"\\\\?\\", nullptr, L"\\\\?\\"},
        {L"C:\\plain", nullptr, L"C:\\plain"},
    };
    for (const auto& c : cases) {
        wchar_t buffer[128];
        copy_wide_bounded(buffer, c.final_path, 128);
        strip_final_path_prefix(buffer, c.source != nullptr ? c.source : buffer, 128);
        EXPECT_STREQ(buffer, c.expected) << narrow(c.final_path);
    }
}

TEST(FinalPath, ResolvesExistingFilesOnly)
{
    long_named_file made;
    std::wstring short_file = short_path(made.file);
    ASSERT_NE(short_file, made.file);

    // The 8.3 path of an existing file comes back as its long final path, without \\?\.
    EXPECT_EQ(resolved(short_file, true), made.file);
    std::vector<wchar_t> same(4096);
    copy_wide_bounded(same.data(), short_file.c_str(), 4096);
    resolve_final_path(same.data(), same.data(), 4096, true);
    EXPECT_EQ(std::wstring(same.data()), made.file);

    // Resolve flag false: the input as it is.
    EXPECT_EQ(resolved(short_file, false), short_file);
    // Missing file, and a directory (not opened without backup semantics): unchanged, a \\?\ kept.
    std::wstring missing = made.directory + L"\\missing.txt";
    EXPECT_EQ(resolved(missing, true), missing);
    EXPECT_EQ(resolved(L"\\\\?\\" + missing, true), L"\\\\?\\" + missing);
    EXPECT_EQ(resolved(short_path(made.directory), true), short_path(made.directory));
}

TEST(FinalPath, FinalPathThatDoesNotFitAborts)
{
    long_named_file made;
    std::wstring short_file = short_path(made.file);
    // The system writes the final path with its \\?\ prefix before the prefix is removed.
    auto needed = static_cast<unsigned>(4 + made.file.size() + 1);
    auto fits = run_scenario(L"resolve", {short_file, std::to_wstring(needed)});
    EXPECT_EQ(fits.exit_code, 0u);
    EXPECT_EQ(fits.out, narrow(made.file) + "\n");
    auto overflows = run_scenario(L"resolve", {short_file, std::to_wstring(needed - 1)});
    EXPECT_EQ(overflows.exit_code, fail_fast_status);
    EXPECT_EQ(overflows.out + overflows.err, "");
}

TEST(ShortDirectoryPart, ShortensAllButTheLastComponent)
{
    long_named_file made;
    std::wstring short_directory = short_path(made.directory);
    ASSERT_NE(short_directory.find(L'~'), std::wstring::npos);

    wchar_t path[4096];
    copy_wide_bounded(path, made.file.c_str(), 4096);
    shorten_directory_part(path, 4096);
    EXPECT_EQ(std::wstring(path), short_directory + L"\\long file name.txt");

    copy_wide_bounded(path, (made.directory + L"\\").c_str(), 4096);
    shorten_directory_part(path, 4096);
    EXPECT_EQ(std::wstring(path), short_directory + L"\\");

    std::wstring missing = made.directory + L"\\no such directory\\long file name.txt";
    copy_wide_bounded(path, missing.c_str(), 4096);
    shorten_directory_part(path, 4096);
    EXPECT_EQ(std::wstring(path), missing);
}

TEST(OwnExecutablePath, CachedPerVariant)
{
    // A copy of this executable under a long directory name, so the two variants differ.
    long_named_file made;
    std::wstring copy = made.directory + L"\\paths_tests.exe";
    ASSERT_TRUE(CopyFileW(testing_support::self_path().c_str(), copy.c_str(), FALSE));
    auto result = testing_support::run_process(copy, testing_support::quote_argument(copy) + L" --scenario own_path");
    ASSERT_EQ(result.exit_code, 0u) << result.err;
    auto lines = lines_of(result.out);
    ASSERT_EQ(lines.size(), 4u);
    EXPECT_EQ(lines[0], narrow(short_path(made.directory) + L"\\paths_tests.exe"));
    EXPECT_EQ(lines[1], narrow(copy));
    EXPECT_EQ(lines[2], "C:\\changed.exe");
    EXPECT_EQ(lines[3], lines[0]);
}

TEST(UnpackDirectory, QualifiedAgainstTheCurrentDirectory)
{
    temp_directory current;
    testing_support::run_options in_current;
    in_current.current_directory = current.wstr();
    auto relative = run_scenario(L"qualify", {L"sub\\..\\onefile_1/x"}, in_current);
    EXPECT_EQ(relative.exit_code, 0u);
    EXPECT_EQ(relative.out, narrow(current.wstr()) + "\\onefile_1\\x\n");

    // The full path with its terminator must fit 4096 units: 4095 characters do, 4096 abort.
    size_t room = 4095 - current.wstr().size() - 1;
    auto longest = run_scenario(L"qualify", {std::wstring(room, L'd')}, in_current);
    EXPECT_EQ(longest.exit_code, 0u);
    EXPECT_EQ(longest.out.size(), 4095u + 1);
    auto overlong = run_scenario(L"qualify", {std::wstring(room + 1, L'd')}, in_current);
    EXPECT_EQ(overlong.exit_code, fail_fast_status);
    EXPECT_EQ(overlong.out + overlong.err, "");
}

TEST(KnownFolder, AppendsSuppliedFoldersOnly)
{
    wchar_t out[1024] = L"x";
    ASSERT_TRUE(append_known_folder(out, CSIDL_PROFILE, 1024));
    wchar_t profile[1024];
    GetEnvironmentVariableW(L"USERPROFILE", profile, 1024);
    EXPECT_EQ(std::wstring(out), std::wstring(L"x") + profile);

    // A folder that does not exist in the prefix (Wine 8: burn area) and an id that names none.
    copy_wide_bounded(out, L"y", 1024);
    EXPECT_FALSE(append_known_folder(out, CSIDL_CDBURN_AREA, 1024));
    EXPECT_FALSE(append_known_folder(out, 0xFF, 1024));
    EXPECT_STREQ(out, L"y");

    // "x" and C:\users\<user>: exactly fitting, then one unit short.
    auto fitting = static_cast<unsigned>(1 + wcslen(profile) + 1);
    EXPECT_EQ(run_scenario(L"known_folder", {std::to_wstring(fitting)}).exit_code, 0u);
    auto overflows = run_scenario(L"known_folder", {std::to_wstring(fitting - 1)});
    EXPECT_EQ(overflows.exit_code, fail_fast_status);
    EXPECT_EQ(overflows.out + overflows.err, "");
}
