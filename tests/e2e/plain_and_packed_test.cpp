// A packed program against the same files installed in a folder of their own: over one table of
// raw command lines, what the program entry prints and returns in temporary and in cached mode must
// be what the plain program prints and returns; a DLL entry gets the system's split of the line in
// both modes, agreeing with its C runtimes (msvcrt and UCRT) and their environments; a DLL of the
// same name planted beside the package or in the current directory is never loaded.
#include <gtest/gtest.h>

#include <windows.h>
#include <shellapi.h>

#include "include/tavrin/onefile.h"
#include "packer/archive/launch_settings.h"
#include "tests/support/hardening_support.h"
#include "tests/support/package_support.h"

using namespace testing_support;
using namespace package_support;
namespace fs = std::filesystem;

namespace {

// Raw command-line tails, as a user types them after the program's name.
const std::vector<std::wstring> tails = {
    L"",
    L"a b c",
    L"\"a\"\"b\" c",
    L"\"\"\"\" x",
    L"\"a\"\"\"\"b\"",
    L"\"two words\" x",
    L"a\\\"b",
    L"a\\\\\"b c\"",
    L"trailing\\",
    L"\"trailing\\\\\"",
    L"\"unterminated",
    L"\"\"",
    L"\"\" \"\" x",
    L"   leading   and trailing   ",
    L"tab\tseparated\t\"and\tquoted\"",
    L"caf\u00e9 \u65e5\u672c\u8a9e",
    L"\"emoji \U0001F600\"",
    L"a\"b\"c",
    L"\\\"quoted\\\"",
    L"\"a\\\"b\"",
    L"\"\"\"a\"\"\"",
    L"x \"\"a b\"\"",
    L"a\\\\\\\"b",
    L"--exit 3221225477",
    L"\"--exit\" 4294967294 extra",
};

// The environment that a run starts with: stale protocol values that the launcher must replace.
run_options stale_environment(run_options options)
{
    options.env[L"TAVRIN_ONEFILE_PARENT"] = L"999";
    options.env[L"TAVRIN_ONEFILE_RANDOM"] = L"stale";
    options.env[L"TAVRIN_ONEFILE_DIRECTORY"] = L"C:\\stale";
    options.env[L"TAVRIN_ORIGINAL_ARGV0"] = L"stale";
    return options;
}

class PlainAndPacked : public testing::Test {
protected:
    void SetUp() override
    {
        fs::create_directories(temp_);
        fs::create_directories(packages_);
    }

    // Temporary and cached packages of `entries` (the first is the entry), with the program flag
    // for an .exe entry; planted beside them (and in the folder runs start in), `planted` under
    // each of `planted_names`.
    void make_packages(const std::vector<tavrin::archive_entry>& entries, bool program,
                       const std::vector<std::wstring>& planted_names)
    {
        make_package_of(temporary_, entries);
        make_package_of(cached_, entries);
        tavrin::launch_settings temporary_settings, cached_settings{true, u"{TEMP}\\cache", ""};
        temporary_settings.exe_entry = cached_settings.exe_entry = program;
        set_launch_settings(temporary_, temporary_settings);
        set_launch_settings(cached_, cached_settings);
        for (const auto& name : planted_names) fs::copy_file(from_build_tree(TAVRIN_PLANTED_DLL), packages_ / name);
    }

    // Runs `exe` with `tail` after its quoted full path, from the packages' folder; at the user's
    // level for a cached package (its tree is reused, and a DLL entry runs in this process).
    run start_raw(const fs::path& exe, const std::wstring& tail, bool cached)
    {
        run_options options = stale_environment(hardening::with_temp(temp_.wstring()));
        options.current_directory = packages_.wstring();
        options.limited = cached;
        return start_line(exe, L"\"" + exe.wstring() + L"\" " + tail, options);
    }

    static std::wstring from_build_tree(const char* path) { return L"Z:" + widen(path); }

    temp_directory dir_;
    fs::path temp_ = dir_.path() / L"tmp", packages_ = dir_.path() / L"packages";
    fs::path temporary_ = packages_ / L"temporary.exe", cached_ = packages_ / L"cached.exe";
};

}  // namespace

TEST_F(PlainAndPacked, AProgramEntrySeesAndReturnsWhatThePlainProgramDoes)
{
    const fs::path plain = dir_.path() / L"plain";
    make_packages(lay_out_program(plain), true, {L"plugin_helper.dll"});
    for (const std::wstring& tail : tails) {
        SCOPED_TRACE(narrow(L"tail [" + tail + L"]"));
        auto expected = start_raw(plain / L"exe_app.exe", tail, false).process;
        ASSERT_FALSE(expected.timed_out);
        for (const fs::path& exe : {temporary_, cached_}) {
            SCOPED_TRACE(narrow(exe.filename().wstring()));
            auto packed = start_raw(exe, tail, exe == cached_);
            // Every argument but argument 0 as the plain program's runtime split them, the planted
            // helper never loaded in place of the packaged one, the same exit code.
            EXPECT_EQ(packed.process.out, expected.out);
            EXPECT_EQ(packed.process.exit_code, expected.exit_code) << packed.process.err;
            auto argv = all(packed.facts, "argv");
            ASSERT_FALSE(argv.empty());
            EXPECT_EQ(argv[0], exe.wstring());
        }
    }
    EXPECT_EQ(hardening::names_in(temp_), std::vector<std::wstring>{L"cache"}) << "only the cache stays";

    // A file the program writes beside itself: kept across runs as for the plain program in cached
    // mode; in temporary mode removed with the unpack directory at every exit (the price of one file).
    for (int round = 0; round < 3; ++round) {
        const std::string said = "runs so far: " + std::to_string(round);
        EXPECT_NE(start_raw(plain / L"exe_app.exe", L"--count settings.ini", false).process.out.find(said), std::string::npos);
        EXPECT_NE(start_raw(cached_, L"--count settings.ini", true).process.out.find(said), std::string::npos);
        EXPECT_NE(start_raw(temporary_, L"--count settings.ini", false).process.out.find("runs so far: 0"), std::string::npos);
    }
}

TEST_F(PlainAndPacked, ADllEntryGetsTheSystemsSplitAndItsRuntimesAgree)
{
    // The probe (msvcrt) loads the packaged plugin by name; the UCRT probe reports its runtime's view.
    for (const std::wstring& entry : {probe_dll, from_build_tree(TAVRIN_UCRT_PROBE_DLL)}) {
        SCOPED_TRACE(narrow(entry));
        fs::remove_all(packages_);
        fs::create_directories(packages_);
        make_packages({tavrin::archive_entry::from_file(u"app.dll", fs::path(entry)),
                       tavrin::archive_entry::from_file(u"plugin.dll", from_build_tree(TAVRIN_PLUGIN_DLL)),
                       tavrin::archive_entry::from_file(u"plugin_helper.dll", from_build_tree(TAVRIN_PLUGIN_HELPER_DLL))},
                      false, {L"plugin.dll", L"plugin_helper.dll"});
        for (const std::wstring& tail : tails) {
            for (const fs::path& exe : {temporary_, cached_}) {
                SCOPED_TRACE(narrow(exe.filename().wstring() + L" [" + tail + L"]"));
                auto packed = start_raw(exe, L"--load plugin.dll " + tail, exe == cached_);
                ASSERT_EQ(one(packed.facts, "ready"), L"") << packed.process.out << packed.process.err;
                auto expected = system_split(L"\"" + exe.wstring() + L"\" --load plugin.dll " + tail);
                EXPECT_EQ(all(packed.facts, "argv"), expected);
                EXPECT_EQ(all(packed.facts, "crt_argv"), expected);
                if (entry == probe_dll) {
                    EXPECT_EQ(one(packed.facts, "loaded"), L"42");
                }
                for (const wchar_t* name : {L"TAVRIN_ONEFILE_PARENT", L"TAVRIN_ONEFILE_RANDOM", L"TAVRIN_ONEFILE_DIRECTORY",
                                            L"TAVRIN_ORIGINAL_ARGV0", L"TAVRIN_ONEFILE_TIME_US"}) {
                    const std::string variable = narrow(name);
                    std::wstring system = one(packed.facts, "env." + variable);
                    if (system == L"<none>") system = L"<unset>";
                    EXPECT_EQ(one(packed.facts, "crt." + variable), system) << variable;
                }
                EXPECT_NE(one(packed.facts, "env.TAVRIN_ONEFILE_PARENT"), L"999");
                EXPECT_NE(one(packed.facts, "crt.TAVRIN_ONEFILE_RANDOM"), L"stale");
                EXPECT_EQ(one(packed.facts, "env.TAVRIN_ORIGINAL_ARGV0"), exe.wstring());
            }
        }
    }
}

TEST_F(PlainAndPacked, ALineAtTheSystemsLimitArrivesOrStopsWithAMessage)
{
    // The plain program and the program entry's package have paths of the same length, so that
    // the same tail makes both lines 32,766 units long, the most CreateProcessW takes.
    const fs::path plain = packages_ / L"plain" / L"exe_app.exe";
    const fs::path program = packages_ / L"plain-exe_app.exe";
    make_package_of(program, lay_out_program(plain.parent_path()));
    tavrin::launch_settings settings;
    settings.exe_entry = true;
    set_launch_settings(program, settings);
    make_packages({tavrin::archive_entry::from_file(u"app.dll", fs::path(probe_dll))}, false, {});
    auto tail_for = [](const fs::path& exe, const std::wstring& word) {
        std::wstring tail;
        const std::size_t room = 32766 - (exe.wstring().size() + 3);
        while (tail.size() + word.size() + 1 <= room) tail += (tail.empty() ? L"" : L" ") + word;
        return tail + std::wstring(room - tail.size(), L'z');
    };
    ASSERT_EQ(plain.wstring().size(), program.wstring().size());
    const std::wstring words = tail_for(program, std::wstring(98, L'w'));
    auto expected = start_raw(plain, words, false).process;
    auto packed = start_raw(program, words, false).process;
    EXPECT_EQ(packed.exit_code, 0u) << packed.err;
    EXPECT_EQ(packed.out, expected.out);

    // A DLL entry's second instance gets the arguments quoted again: plain words fit as they were
    // typed, in both modes; arguments that quoting lengthens fit only where no second line is built.
    for (const fs::path& exe : {temporary_, cached_}) {
        auto fits = start_raw(exe, tail_for(exe, std::wstring(98, L'w')), exe == cached_);
        EXPECT_EQ(fits.process.exit_code, 0u) << fits.process.out;
        EXPECT_EQ(all(fits.facts, "argv").size(), 331u);
        auto quoted = start_raw(exe, tail_for(exe, L"a\\\"b"), exe == cached_);
        if (exe == cached_) {
            EXPECT_EQ(quoted.process.exit_code, 0u) << quoted.process.out;
        } else {
            EXPECT_EQ(quoted.process.exit_code, 2u);
            EXPECT_EQ(quoted.process.out, "Error, command line too long: the application's would pass 32767 characters.\r\n");
        }
    }
    auto left = hardening::names_in(temp_);
    EXPECT_EQ(left, std::vector<std::wstring>{L"cache"}) << "a temporary directory was left behind";
}
