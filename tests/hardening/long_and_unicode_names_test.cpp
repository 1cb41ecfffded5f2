// File names beyond ASCII and paths beyond the traditional 260 characters: packed, unpacked under
// their exact names, and the application loaded from such a path. Every run here starts in a
// directory of its own whose files must survive it (see HardeningLongPathCleanup for why).
#include <gtest/gtest.h>

#include "tests/support/hardening_support.h"

using namespace testing_support;
using namespace package_support;
using namespace hardening;

namespace {

struct packed_file {
    std::u16string name;
    std::string content;
};

std::wstring to_wide(const std::u16string& text) { return std::wstring(text.begin(), text.end()); }

fs::path make_probe_package(const fs::path& directory, const std::u16string& first_name,
                            const std::vector<packed_file>& files)
{
    auto exe = directory / L"app.exe";
    std::vector<tavrin::archive_entry> entries = {tavrin::archive_entry::from_file(first_name, fs::path(probe_dll))};
    for (const auto& file : files) entries.push_back(packer_test::memory_entry(file.name, file.content));
    make_package_of(exe, entries);
    return exe;
}

// Runs `exe` (the probe packed under `first_name`, then `files`) with `temp` as its temporary
// directory and checks, while the application runs, that every file lies at its exact path with its
// content and that the application was loaded from its exact path; then that the run ended with the
// application's code. Returns the unpack directory.
std::wstring check_unpacked_and_loaded(const fs::path& exe, const std::u16string& first_name,
                                       const std::vector<packed_file>& files, const std::wstring& temp,
                                       std::size_t minimum_path_length = 0)
{
    guarded_directory current;
    auto options = with_temp(temp);
    options.current_directory = current.wstr();
    running_package run(exe, {L"--sleep", L"3000", L"--exit", L"4"}, options);
    auto facts = run.wait_for("ready");
    EXPECT_FALSE(facts.empty()) << "the application never started";
    std::wstring first = one(facts, "first_file_path");
    std::wstring directory = first.substr(0, first.rfind(L'\\'));
    EXPECT_EQ(first, directory + L"\\" + to_wide(first_name));
    EXPECT_EQ(directory.substr(0, directory.rfind(L'\\')), temp);
    EXPECT_GE(first.size(), minimum_path_length);
    for (const auto& file : files) {
        std::wstring path = directory + L"\\" + to_wide(file.name);
        SCOPED_TRACE(narrow(path));
        EXPECT_GE(path.size(), minimum_path_length);
        EXPECT_EQ(read_file(long_form(path)), file.content);
    }

    auto result = run.finish();
    EXPECT_FALSE(result.process.timed_out);
    EXPECT_EQ(result.process.exit_code, 4u) << result.process.out << result.process.err;
    // The probe listed its directory's top level under the exact names.
    auto listed = all(result.facts, "file");
    std::sort(listed.begin(), listed.end());
    std::vector<std::wstring> expected = {to_wide(first_name)};
    for (const auto& file : files) {
        std::wstring name = to_wide(file.name);
        expected.push_back(name.substr(0, name.find(L'\\')));
    }
    std::sort(expected.begin(), expected.end());
    expected.erase(std::unique(expected.begin(), expected.end()), expected.end());
    EXPECT_EQ(listed, expected);
    EXPECT_TRUE(current.untouched()) << "the run changed files in its current directory";
    return directory;
}

// A temporary directory as long as the system lets it be: with its trailing backslash within MAX_PATH,
// so that GetTempPathW still returns it. The unpack directory below it passes 260 characters.
std::wstring make_long_temp(const std::wstring& base)
{
    std::wstring temp = base;
    const std::size_t target = 240;
    for (int level = 0; temp.size() + 6 < target; ++level) {
        std::wstring name = L"level" + std::to_wstring(level);
        name.append(std::min<std::size_t>(60, target - temp.size() - 1) - name.size(), L'x');
        temp += L"\\" + name;
        EXPECT_TRUE(CreateDirectoryW(long_form(temp).c_str(), nullptr)) << narrow(temp);
    }
    return temp;
}

// A name nine levels deep, some 850 code units long.
std::u16string deep_name()
{
    std::u16string deep = u"deep";
    for (int level = 0; level < 9; ++level)
        deep += u"\\level-" + std::u16string(1, static_cast<char16_t>(u'0' + level)) + u"-" + std::u16string(85, u'x');
    return deep + u"\\file.txt";
}

}  // namespace

TEST(HardeningNames, NonAsciiNamesUnpackAndLoad)
{
    temp_directory dir, temp;
    // The application itself: Cyrillic, CJK, an accented letter and a character outside the Basic
    // Multilingual Plane (U+1F600, a surrogate pair in UTF-16).
    std::u16string first = u"\u043f\u0440\u0438\u043b\u043e\u0436\u0435\u043d\u0438\u0435-"
                           u"\u65e5\u672c\u8a9e-\u00e9-\U0001F600.dll";
    std::vector<packed_file> files = {
        {u"\u65e5\u672c\u8a9e\\\u30c7\u30fc\u30bf\\\u30d5\u30a1\u30a4\u30eb.txt", "cjk"},
        {u"caf\u00e9\\r\u00e9sum\u00e9 na\u00efve.txt", "accents"},
        {u"\U0001F600\\\U0001D11E clef \U0001F3B5.bin", std::string("pairs\0\1\2", 8)},
        {u"\u0395\u03bb\u03bb\u03b7\u03bd\u03b9\u03ba\u03ac.txt", "greek"},
        {u"Ca\u0301fe\u0301 decomposed.txt", "combining marks stay as they are"}};
    auto exe = make_probe_package(dir.path(), first, files);
    check_unpacked_and_loaded(exe, first, files, temp.wstr());
    EXPECT_EQ(names_in(temp.path()), std::vector<std::wstring>{}) << "the unpack directory was left behind";
}

TEST(HardeningNames, PathsLongerThan260CharactersUnpackAndLoad)
{
    // The application's own path passes 260 characters, and one file lies nine levels deeper, some
    // 1100 characters in all. (The clean-up of such a tree: HardeningLongPathCleanup.)
    temp_directory dir, base;
    std::wstring temp = make_long_temp(base.wstr());
    std::vector<packed_file> files = {{deep_name(), "deep"}, {u"top.txt", "top"}};
    auto exe = make_probe_package(dir.path(), u"probe.dll", files);
    std::wstring directory = check_unpacked_and_loaded(exe, u"probe.dll", files, temp, 261);
    remove_tree(directory);
    EXPECT_TRUE(remove_tree(base.wstr() + L"\\level0"));
}

// Deep trees and long unpack directories are removed whole, and nothing outside them is touched.
// (SHFileOperationW works only within MAX_PATH; under Wine 8, past it, it walked on with an empty
// path and deleted the files of the current directory, which is the user's: the launcher inherits
// it.) The current directory here holds files that must survive.
TEST(HardeningLongPathCleanup, ADeepTreeIsRemovedAndTheCurrentDirectoryLeftAlone)
{
    temp_directory dir, temp;
    guarded_directory current;
    // The unpack directory is short; one subdirectory's path passes MAX_PATH.
    auto exe = make_probe_package(dir.path(), u"probe.dll", {{u"d\\" + std::u16string(250, u'n') + u"\\f.txt", "f"}});
    auto options = with_temp(temp.wstr());
    options.current_directory = current.wstr();
    auto result = start(exe, {L"--exit", L"4"}, options);
    EXPECT_EQ(result.process.exit_code, 4u);
    EXPECT_TRUE(current.untouched()) << "the clean-up deleted files in the launcher's current directory";
    auto left = names_in(temp.path());
    EXPECT_EQ(left, std::vector<std::wstring>{}) << "the unpack directory was left behind";
    for (const auto& name : left) remove_tree(temp.wstr() + L"\\" + name);
}

TEST(HardeningLongPathCleanup, AnUnpackDirectoryLongerThan260CharactersIsRemoved)
{
    temp_directory dir, base;
    guarded_directory current;
    std::wstring temp = make_long_temp(base.wstr());
    auto exe = make_probe_package(dir.path(), u"probe.dll", {{u"top.txt", "top"}});
    auto options = with_temp(temp);
    options.current_directory = current.wstr();
    auto result = start(exe, {L"--exit", L"4"}, options);
    EXPECT_EQ(result.process.exit_code, 4u);
    EXPECT_GT(one(result.facts, "first_file_path").size(), 260u);
    EXPECT_TRUE(current.untouched());
    auto left = names_in(temp);
    EXPECT_EQ(left, std::vector<std::wstring>{}) << "the unpack directory was left behind";
    for (const auto& name : left) remove_tree(temp + L"\\" + name);
    EXPECT_TRUE(remove_tree(base.wstr() + L"\\level0"));
}
