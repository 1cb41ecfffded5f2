// A program as the entry: packages whose first file is a plain .exe (tests/e2e/exe_app.c), started
// by the launcher in place of its second instance, run under Wine beside the same files unpacked.
#include <gtest/gtest.h>

#include "packer/archive/launch_settings.h"
#include "tests/support/hardening_support.h"
#include "tests/support/package_support.h"

using namespace testing_support;
using namespace package_support;
namespace fs = std::filesystem;

namespace {

class ExeEntry : public testing::Test {
protected:
    void SetUp() override { before_ = unpack_directories(); }
    void TearDown() override { EXPECT_EQ(unpack_directories(), before_) << "an unpack directory was left behind"; }

    // A package of the program laid out in plain/, with `settings` and the program flag.
    fs::path package(tavrin::launch_settings settings = {}, const std::wstring& program = exe_app)
    {
        make_package_of(exe_, lay_out_program(plain_, program));
        settings.exe_entry = true;
        settings_ = set_launch_settings(exe_, settings);
        EXPECT_TRUE(settings_.exe_entry);
        return exe_;
    }

    temp_directory dir_;
    fs::path plain_ = dir_.path() / L"plain", exe_ = dir_.path() / L"packed.exe";
    tavrin::launch_settings settings_;
    std::vector<std::wstring> before_;
};

}  // namespace

TEST_F(ExeEntry, RunsAsTheUnpackedProgramDoesInOneProcessBelowTheLauncher)
{
    const fs::path exe = package();
    const std::vector<std::wstring> arguments = {L"plain", L"two words", L"quote\"in", L"", L"caf\u00e9", L"--stdin",
                                                 L"--exit", L"3221225477"};
    run_options options;
    options.input = "some input\n";
    auto packed = start(exe, arguments, options, L"my-argv0");
    auto unpacked = start(plain_ / L"exe_app.exe", arguments, options);
    EXPECT_EQ(packed.process.exit_code, 3221225477u);
    EXPECT_EQ(packed.process.exit_code, unpacked.process.exit_code);
    EXPECT_EQ(packed.process.out, unpacked.process.out);
    EXPECT_NE(packed.process.out.find("greeting: hello from data\nhelper: 41\n"), std::string::npos) << packed.process.out;
    EXPECT_EQ(packed.process.err, "some input\n");
    EXPECT_EQ(packed.process.err, unpacked.process.err);

    const auto& facts = packed.facts;
    auto argv = all(facts, "argv");
    ASSERT_EQ(argv.size(), arguments.size() + 1);
    EXPECT_EQ(argv[0], exe.wstring());
    // Unpacked into the directory the variables name; its parent is the launcher, whose parent is
    // this test.
    EXPECT_EQ(one(facts, "first_file_path"), temp_root() + L"onefile_" + one(facts, "parent") + L"_" +
                                                 one(facts, "env.TAVRIN_ONEFILE_TIME_US") + L"_" +
                                                 one(facts, "env.TAVRIN_ONEFILE_RANDOM") + L"\\exe_app.exe");
    EXPECT_EQ(one(facts, "parent"), one(facts, "env.TAVRIN_ONEFILE_PARENT"));
    EXPECT_EQ(one(facts, "parent_image"), exe.wstring());
    EXPECT_EQ(one(facts, "grandparent"), std::to_wstring(GetCurrentProcessId()));
    EXPECT_EQ(one(facts, "env.TAVRIN_ONEFILE_DIRECTORY"), dir_.wstr());
    EXPECT_EQ(one(facts, "env.TAVRIN_ORIGINAL_ARGV0"), L"my-argv0");
}

TEST_F(ExeEntry, StartedAgainFromTheProgramItRunsFromTheSameDirectory)
{
    auto result = start(package(), {L"--again", L"--exit", L"7"});
    EXPECT_EQ(result.process.exit_code, 7u) << result.process.out << result.process.err;
    // The program, then the instance it started (in the child role), then the program again.
    auto paths = all(result.facts, "first_file_path"), pids = all(result.facts, "pid");
    ASSERT_EQ(paths.size(), 2u);
    EXPECT_EQ(paths[0], paths[1]);
    EXPECT_EQ(all(result.facts, "parent_image")[1], exe_.wstring());
    EXPECT_EQ(all(result.facts, "grandparent")[1], pids[0]);
    auto markers = all(result.facts, "env.TAVRIN_ONEFILE_PARENT");
    EXPECT_EQ(markers[0], markers[1]);
}

TEST_F(ExeEntry, InCachedModeALaterRunUsesTheKeptTreeAndWhatTheProgramWroteThere)
{
    // The program keeps a counter in settings.ini beside itself: each run sees the last one's, and
    // no archived file is written again.
    const std::wstring temp = dir_.wstr() + L"\\tmp";
    package({true, u"{TEMP}\\cache", ""});
    const std::wstring tree = temp + L"\\cache\\" + widen(settings_.archive_identity);
    run_options options = hardening::with_temp(temp);
    options.limited = true;  // at the user's level, as a user starts it (an elevated run never reuses under Wine)
    std::vector<std::vector<fs::file_time_type>> written;
    for (int round = 0; round < 3; ++round) {
        auto result = start(exe_, {L"--count", L"settings.ini", L"--exit", L"5"}, options);
        EXPECT_EQ(result.process.exit_code, 5u) << result.process.out << result.process.err;
        EXPECT_NE(result.process.out.find("runs so far: " + std::to_string(round) + "\n"), std::string::npos) << result.process.out;
        EXPECT_EQ(result.process.err, "");
        EXPECT_EQ(one(result.facts, "first_file_path"), tree + L"\\exe_app.exe");
        EXPECT_EQ(one(result.facts, "grandparent"), std::to_wstring(GetCurrentProcessId()));
        written.emplace_back();
        for (const wchar_t* name : {L"exe_app.exe", L"plugin_helper.dll", L"data\\greeting.txt"})
            written.back().push_back(fs::last_write_time(tree + L"\\" + name));
    }
    EXPECT_EQ(read_file(tree + L"\\settings.ini"), "3\n");
    EXPECT_EQ(written[0], written[1]) << "the second run unpacked again";
    EXPECT_EQ(written[0], written[2]) << "the third run unpacked again";
}

TEST_F(ExeEntry, AnEntryThatCannotStartIsReportedAndItsDirectoryDeleted)
{
    const fs::path not_a_program = dir_.path() / L"text.exe";
    write_file(not_a_program, "not a program");
    auto result = start(package({}, not_a_program.wstring()), {});
    EXPECT_EQ(result.process.exit_code, 2u);
    EXPECT_EQ(result.process.err.rfind("Error, couldn't start the application. ([Error 193] ", 0), 0u) << result.process.err;

    // No entry at all: the parent says so itself.
    const fs::path empty = dir_.path() / L"empty.exe";
    make_package_of(empty, {});
    set_launch_settings(empty, {false, u"", "", true});
    auto nothing = start(empty, {});
    EXPECT_EQ(nothing.process.exit_code, 2u);
    EXPECT_EQ(nothing.process.out, "Error, attached data holds no application.\r\n");
}
