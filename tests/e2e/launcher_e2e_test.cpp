// The launcher end to end: a probe application packed with the real launcher image and run under
// Wine. Exit codes, arguments, standard streams, the environment protocol, the two roles, clean-up,
// and the launcher's own failures.
#include <gtest/gtest.h>

#include <aclapi.h>
#include <shlobj.h>

#include <fstream>
#include <functional>
#include <map>
#include <random>
#include <thread>

#include "include/tavrin/onefile.h"
#include "packer/archive/block_writer.h"
#include "packer/archive/launch_settings.h"
#include "packer/image/pe_image.h"
#include "packer/pack.h"
#include "format/settings_record.h"
#include "tests/support/hardening_support.h"
#include "tests/support/package_support.h"

using namespace testing_support;
using namespace package_support;
namespace fs = std::filesystem;

namespace {

class Launcher : public testing::Test {
protected:
    void SetUp() override
    {
        before_ = unpack_directories();
        exe_ = dir_.path() / L"probe-app.exe";
        make_package(exe_, {packer_test::memory_entry(u"data\\readme.txt", "hello"),
                            packer_test::memory_entry(u"top.txt", "top")});
    }
    void TearDown() override { EXPECT_EQ(unpack_directories(), before_) << "an unpack directory was left behind"; }

    temp_directory dir_;
    std::filesystem::path exe_;
    std::vector<std::wstring> before_;
};

// Ends the application (the probe, sleeping) that reported `facts`, with exit code 0.
void end_application(const report& facts)
{
    HANDLE application = OpenProcess(PROCESS_TERMINATE, FALSE, std::stoul(one(facts, "pid")));
    ASSERT_NE(application, nullptr);
    TerminateProcess(application, 0);
    CloseHandle(application);
}

// Gives `process` an empty DACL: nobody may open it any more (Wine 8 checks it, as Windows does).
void seal(HANDLE process)
{
    ACL empty;
    InitializeAcl(&empty, sizeof empty, ACL_REVISION);
    SetSecurityInfo(process, SE_KERNEL_OBJECT, DACL_SECURITY_INFORMATION | PROTECTED_DACL_SECURITY_INFORMATION,
                    nullptr, nullptr, &empty, nullptr);
}

}  // namespace

TEST_F(Launcher, ExitCodesPassThroughUnchanged)
{
    for (std::uint32_t code : {0u, 1u, 2u, 255u, 3221225477u, 0x7FFFFFFEu, 0xFFFFFFFEu}) {
        auto result = start(exe_, {L"--exit", std::to_wstring(code)});
        EXPECT_EQ(result.process.exit_code, code);
        EXPECT_FALSE(result.process.timed_out);
    }
}

TEST_F(Launcher, ArgumentsArriveExactly)
{
    std::vector<std::wstring> arguments = {L"plain", L"two words", L"quote\"inside", L"back\\slash\\",
                                           L"", L"trailing\\\\", L"\\\"", L"tab\there", L"",
                                           L"\u65e5\u672c\u8a9e \U0001F600", L"caf\u00e9"};
    auto result = start(exe_, arguments);
    EXPECT_EQ(result.process.exit_code, 0u);
    auto argv = all(result.facts, "argv");
    ASSERT_EQ(argv.size(), arguments.size() + 1);
    // Argument 0 of the application is the launcher's own full path.
    EXPECT_EQ(argv[0], exe_.wstring());
    for (std::size_t i = 0; i < arguments.size(); ++i) EXPECT_EQ(argv[i + 1], arguments[i]) << "argument " << i + 1;
}

TEST_F(Launcher, StandardStreamsReachTheCaller)
{
    run_options options;
    options.input = "line one\nline two\n";
    auto result = start(exe_, {L"--stdout", L"to out", L"--stderr", L"to err", L"--stdin"}, options);
    EXPECT_EQ(result.process.exit_code, 0u);
    EXPECT_EQ(result.process.out, "to out\r\nline one\nline two\n");
    EXPECT_EQ(result.process.err, "to err\r\n");
}

TEST_F(Launcher, EnvironmentProtocol)
{
    auto result = start(exe_, {}, {}, L"my-argv0");
    ASSERT_EQ(result.process.exit_code, 0u) << result.process.out << result.process.err;
    const auto& facts = result.facts;
    std::wstring first = one(facts, "first_file_path");
    std::wstring directory = first.substr(0, first.rfind(L'\\'));
    std::wstring name = directory.substr(directory.rfind(L'\\') + 1);

    // The unpack directory follows the built-in spec: {TEMP}\onefile_{PID}_{TIME_US}_{RANDOM}.
    std::wstring parent = one(facts, "env.TAVRIN_ONEFILE_PARENT");
    std::wstring time_us = one(facts, "env.TAVRIN_ONEFILE_TIME_US");
    std::wstring random = one(facts, "env.TAVRIN_ONEFILE_RANDOM");
    EXPECT_EQ(first, directory + L"\\probe.dll");
    EXPECT_EQ(name, L"onefile_" + parent + L"_" + time_us + L"_" + random);
    EXPECT_EQ(time_us.size(), 6u);
    EXPECT_EQ(random.size(), 11u);
    EXPECT_NE(std::stoul(parent), std::stoul(one(facts, "pid")));  // the parent's id, not the child's
    EXPECT_EQ(all(facts, "unset.TAVRIN_ONEFILE_START").size(), 1u);

    EXPECT_EQ(one(facts, "env.TAVRIN_ONEFILE_DIRECTORY"), dir_.wstr());
    EXPECT_EQ(one(facts, "env.TAVRIN_ORIGINAL_ARGV0"), L"my-argv0");
    auto files = all(facts, "file");
    std::sort(files.begin(), files.end());
    EXPECT_EQ(files, (std::vector<std::wstring>{L"data", L"probe.dll", L"top.txt"}));
}

TEST_F(Launcher, AStaleParentMarkerGivesTheParentRole)
{
    // Our own process id names a running process of another executable.
    const std::vector<std::wstring> markers = {L"999999", std::to_wstring(GetCurrentProcessId()), L"12a", L"abc", L"-"};
    for (const auto& marker : markers) {
        run_options options;
        options.env[L"TAVRIN_ONEFILE_PARENT"] = marker;
        auto result = start(exe_, {L"--exit", L"5"}, options);
        EXPECT_EQ(result.process.exit_code, 5u) << narrow(marker);
        EXPECT_NE(one(result.facts, "env.TAVRIN_ONEFILE_PARENT"), marker);
        EXPECT_EQ(all(result.facts, "argc").size(), 1u);
    }
}

TEST_F(Launcher, AnEnvironmentWrittenByAnotherProcessGivesTheParentRole)
{
    // A running instance of the same executable, named by a start it did not make: values of the
    // wrong form give the parent role, and so do well-formed ones, since an elevated process (Wine 8
    // runs every process elevated) trusts the marker only from one of its ancestors.
    hardening::running_package holder(exe_, {L"--sleep", L"600000"});
    auto held = holder.wait_for("ready");
    ASSERT_FALSE(held.empty()) << "the holding instance never started";
    const std::wstring marker = one(held, "env.TAVRIN_ONEFILE_PARENT");
    const std::wstring time_us = one(held, "env.TAVRIN_ONEFILE_TIME_US");
    const std::wstring random = one(held, "env.TAVRIN_ONEFILE_RANDOM");
    struct injected {
        std::wstring marker, time_us, random;
    };
    for (const auto& value : {injected{marker, time_us, L"x\\..\\..\\..\\..\\..\\evil"},
                              injected{marker, L"12", random}, injected{L" " + marker, time_us, random},
                              injected{L"+" + marker, time_us, random}, injected{marker, time_us, random}}) {
        SCOPED_TRACE(narrow(value.marker + L" " + value.time_us + L" " + value.random));
        run_options options;
        options.env[L"TAVRIN_ONEFILE_PARENT"] = value.marker;
        options.env[L"TAVRIN_ONEFILE_TIME_US"] = value.time_us;
        options.env[L"TAVRIN_ONEFILE_RANDOM"] = value.random;
        auto result = start(exe_, {L"--exit", L"5"}, options);
        EXPECT_EQ(result.process.exit_code, 5u);
        EXPECT_NE(one(result.facts, "env.TAVRIN_ONEFILE_PARENT"), marker);
        EXPECT_NE(one(result.facts, "first_file_path"), one(held, "first_file_path"));
    }
    end_application(held);
    holder.finish();
}

// Arguments: PACKAGE. Seals this process, names it in the parent marker and runs PACKAGE, passing its
// standard error and exit code on.
TAVRIN_SCENARIO(run_below_sealed_marker)
{
    seal(GetCurrentProcess());
    SetEnvironmentVariableW(L"TAVRIN_ONEFILE_PARENT", std::to_wstring(GetCurrentProcessId()).c_str());
    auto result = start(argv[1], {L"--exit", L"5"});
    DWORD written = 0;  // byte for byte, past the C runtime's text mode
    WriteFile(GetStdHandle(STD_ERROR_HANDLE), result.process.err.data(), static_cast<DWORD>(result.process.err.size()), &written, nullptr);
    return static_cast<int>(result.process.exit_code);
}

TEST_F(Launcher, AnImagePathThatCannotBeReadIsReportedWithTheFailedCall)
{
    // The parent cannot open itself as its child would open it.
    run_options sealed;
    sealed.before_start = seal;
    auto parent = start(exe_, {L"--exit", L"5"}, sealed);
    EXPECT_EQ(parent.process.exit_code, 2u);
    EXPECT_EQ(parent.process.err, "Error, couldn't launch child: OpenProcess on this process failed ([Error 5] Access denied.)\r\n");
    EXPECT_TRUE(parent.facts.empty());

    // The marker names an ancestor whose image cannot be read: no second parent, but the reason.
    auto child = run_scenario(L"run_below_sealed_marker", {exe_.wstring()});
    EXPECT_EQ(child.exit_code, 2u);
    EXPECT_EQ(child.err, "Error, couldn't read the parent instance's image path: OpenProcess failed ([Error 5] Access denied.)\r\n");
}

TEST_F(Launcher, AnElevatedRunsDirectoryCannotBeRenamedWhileItRuns)
{
    // Wine 8 starts every process elevated. Renamed, a lesser process could put a directory of its
    // own in its place before the child loads from it.
    hardening::running_package running(exe_, {L"--sleep", L"600000"});
    auto facts = running.wait_for("ready");
    ASSERT_FALSE(facts.empty()) << "the application never started";
    const std::wstring first = one(facts, "first_file_path"), directory = first.substr(0, first.rfind(L'\\'));
    EXPECT_FALSE(MoveFileExW(directory.c_str(), (directory + L".old").c_str(), 0));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SHARING_VIOLATION));
    end_application(facts);
    EXPECT_EQ(running.finish().process.exit_code, 0u);
}

TEST_F(Launcher, APackagedDllLoadedByNameFindsItsImportBesideIt)
{
    make_package(exe_, {tavrin::archive_entry::from_file(u"plugin.dll", std::filesystem::path(L"Z:" + widen(TAVRIN_PLUGIN_DLL))),
                        tavrin::archive_entry::from_file(u"plugin_helper.dll",
                                                         std::filesystem::path(L"Z:" + widen(TAVRIN_PLUGIN_HELPER_DLL)))});
    auto result = start(exe_, {L"--load", L"plugin.dll"});
    EXPECT_EQ(result.process.exit_code, 0u) << result.process.err;
    EXPECT_EQ(one(result.facts, "loaded"), L"42") << narrow(one(result.facts, "load_error"));
}

TEST_F(Launcher, ASecondStartFromTheApplicationTakesTheChildRole)
{
    auto result = start(exe_, {L"--spawn-self", L"--then", L"--exit", L"9"});
    EXPECT_EQ(result.process.exit_code, 9u);
    // Two probe runs reported: the application and the second start inside it, both loading the
    // same file from the same directory with the same marker.
    auto firsts = all(result.facts, "first_file_path");
    ASSERT_EQ(firsts.size(), 2u);
    EXPECT_EQ(firsts[0], firsts[1]);
    auto parents = all(result.facts, "env.TAVRIN_ONEFILE_PARENT");
    ASSERT_EQ(parents.size(), 2u);
    EXPECT_EQ(parents[0], parents[1]);
}

TEST_F(Launcher, TheDirectoryIsRemovedAfterACrash)
{
    auto result = start(exe_, {L"--crash"});
    EXPECT_EQ(result.process.exit_code, 0xC0000005u);
}

TEST_F(Launcher, LauncherFailures)
{
    // The bare launcher image has no attached data.
    auto bare = run_process(launcher_image, quote_argument(launcher_image));
    EXPECT_EQ(bare.exit_code, 2u);
    EXPECT_EQ(bare.out, "Error, couldn't find attached data header.\r\n");
    EXPECT_EQ(bare.err, "");
    // Started without standard output, it says so on standard error.
    run_options no_stdout;
    no_stdout.without_stdout = true;
    EXPECT_EQ(run_process(launcher_image, quote_argument(launcher_image), no_stdout).err, "Error, couldn't find attached data header.\r\n");

    // A first file without run_code: the child fails, the parent passes 2 on and cleans up.
    auto no_entry = dir_.path() / L"no-entry.exe";
    make_package(no_entry, {}, read_file(no_entry_dll));
    auto missing = start(no_entry, {});
    EXPECT_EQ(missing.process.exit_code, 2u);
    EXPECT_EQ(missing.process.out, "Error, DLL entry point not found.\r\n");

    // A damaged frame: the parent stops before any child runs.
    std::string image = read_file(exe_);
    auto section = tavrin::find_attached_section(tavrin::read_pe_headers(exe_));
    ASSERT_TRUE(section.has_value());
    image[section->file_offset + section->length / 2] ^= 0x55;
    auto damaged = dir_.path() / L"damaged.exe";
    write_file(damaged, image);
    auto corrupt = start(damaged, {});
    EXPECT_EQ(corrupt.process.exit_code, 2u);
    EXPECT_EQ(corrupt.process.out, "Error, couldn't decode attached data.\r\n");
    EXPECT_TRUE(corrupt.facts.empty()) << "the application ran on damaged files";
    // The parent's failure leaves its partly filled directory, as every fatal exit does.
    for (const auto& name : unpack_directories())
        if (std::find(before_.begin(), before_.end(), name) == before_.end())
            std::filesystem::remove_all(temp_root() + name);
}

TEST_F(Launcher, AnEmptyPackageEndsWithAClearMessage)
{
    // No application at all: the parent writes nothing, not even the directory, and the child
    // reports what is missing.
    auto empty = dir_.path() / L"empty.exe";
    make_package_of(empty, {});
    auto result = start(empty, {});
    EXPECT_EQ(result.process.exit_code, 2u);
    EXPECT_EQ(result.process.out, "Error, attached data holds no application.\r\n");
    EXPECT_EQ(result.process.err, "");
}

namespace {

const std::wstring marker_name = L"" TAVRIN_CACHE_MARKER_NAME;

// Packages in cached mode, kept below {TEMP}\cache with a temporary directory of the test's own,
// started at the user's level (Wine 8 starts every process elevated, and an elevated run uses no
// tree that it did not seal) unless a test says otherwise.
class CachedMode : public testing::Test {
protected:
    void SetUp() override
    {
        CreateDirectoryW(temp_.c_str(), NULL);
        settings_ = package(exe_, "first");
    }

    // A package of the probe, data\readme.txt holding `content` and top.txt, in cached mode.
    static tavrin::launch_settings package(const fs::path& exe, const std::string& content,
                                           const std::u16string& spec = u"{TEMP}\\cache")
    {
        make_package(exe, {packer_test::memory_entry(u"data\\readme.txt", content), packer_test::memory_entry(u"top.txt", "top")});
        return set_launch_settings(exe, {true, spec, ""});
    }

    // The package at exe_ becomes the probe and `count` files of `size` bytes (quickly packed).
    void make_large_package(int count, std::size_t size)
    {
        std::vector<tavrin::archive_entry> entries = {tavrin::archive_entry::from_file(u"probe.dll", fs::path(probe_dll))};
        for (int i = 0; i < count; ++i)
            entries.push_back(packer_test::memory_entry(u"big\\" + std::u16string(1, char16_t(u'a' + i)), std::string(size, 'z')));
        tavrin::block_options fast;
        fast.level = 1;
        make_package_of(exe_, entries, fast);
        settings_ = set_launch_settings(exe_, {true, u"{TEMP}\\cache", ""});
    }

    run go(const fs::path& exe, run_options options = {}, const std::vector<std::wstring>& arguments = {},
           const std::wstring& argv0 = {})
    {
        options.limited = !elevated_;
        return start(exe, arguments, hardening::with_temp(temp_, options), argv0);
    }
    run go(run_options options = {}) { return go(exe_, options); }

    std::wstring cache() const { return temp_ + L"\\cache"; }
    std::wstring tree(const tavrin::launch_settings& settings) const { return cache() + L"\\" + widen(settings.archive_identity); }
    std::wstring tree() const { return tree(settings_); }

    // Each file's id and last write time, by name.
    std::map<std::wstring, std::wstring> file_ids() const
    {
        std::map<std::wstring, std::wstring> ids;
        for (const wchar_t* name : {L"probe.dll", L"top.txt", L"data\\readme.txt", marker_name.c_str()}) {
            HANDLE file = CreateFileW((tree() + L"\\" + name).c_str(), FILE_READ_ATTRIBUTES, FILE_SHARE_READ, NULL, OPEN_EXISTING, 0, NULL);
            BY_HANDLE_FILE_INFORMATION info = {};
            if (file != INVALID_HANDLE_VALUE) GetFileInformationByHandle(file, &info);
            if (file != INVALID_HANDLE_VALUE) CloseHandle(file);
            ids[name] = std::to_wstring(info.nFileIndexHigh) + L":" + std::to_wstring(info.nFileIndexLow) + L":" +
                        std::to_wstring(info.ftLastWriteTime.dwLowDateTime);
        }
        return ids;
    }

    bool elevated_ = false;
    temp_directory dir_;
    std::wstring temp_ = dir_.wstr() + L"\\tmp";
    fs::path exe_ = dir_.path() / L"cached.exe";
    tavrin::launch_settings settings_;
};

}  // namespace

TEST_F(CachedMode, TheFirstRunKeepsATreeThatLaterRunsUseAsItIs)
{
    ASSERT_EQ(settings_.archive_identity.size(), 32u);
    auto first = go();
    ASSERT_EQ(first.process.exit_code, 0u) << first.process.out << first.process.err;
    EXPECT_EQ(one(first.facts, "first_file_path"), tree() + L"\\probe.dll");
    EXPECT_EQ(hardening::names_in(cache()), std::vector<std::wstring>{widen(settings_.archive_identity)})
        << "one tree, no sibling left";
    EXPECT_EQ(hardening::names_in(tree()), (std::vector<std::wstring>{marker_name, L"data", L"probe.dll", L"top.txt"}));
    const std::string marker = read_file(tree() + L"\\" + marker_name);
    EXPECT_NE(marker.find("identity " + settings_.archive_identity + "\nfiles 3 "), std::string::npos) << marker;

    const auto ids = file_ids();
    auto second = go();
    ASSERT_EQ(second.process.exit_code, 0u) << second.process.out << second.process.err;
    EXPECT_EQ(one(second.facts, "first_file_path"), tree() + L"\\probe.dll");
    EXPECT_EQ(file_ids(), ids) << "a later run rewrites nothing";
    EXPECT_EQ(read_file(tree() + L"\\" + marker_name), marker);
}

TEST_F(CachedMode, TheApplicationRunsInTheLaunchersOwnProcessAsAChildWouldRunIt)
{
    // The first run (just unpacked and moved into place) and a later one (the tree checked). The
    // user's environment holds values that the launcher changes: the C runtime, which took its copy
    // at start-up, must give the application the new ones.
    const std::vector<std::wstring> commands = {L"--stdout", L"out", L"--stderr", L"err", L"--stdin", L"--exit", L"4294967294",
                                                L"two words", L"quote\"inside", L"back\\slash\\", L"", L"*.dll", L"caf\u00e9"};
    run_options options;
    options.input = "in\n";
    options.env[L"TAVRIN_ONEFILE_RANDOM"] = L"AAAAAAAAAAA";
    options.env[L"TAVRIN_ORIGINAL_ARGV0"] = L"stale";
    for (const char* which : {"first run", "later run"}) {
        SCOPED_TRACE(which);
        auto result = go(exe_, options, commands, L"my-argv0");
        const auto& facts = result.facts;
        EXPECT_EQ(result.process.exit_code, 4294967294u) << result.process.err;
        EXPECT_EQ(result.process.out, "out\r\nin\n");
        EXPECT_EQ(result.process.err, "err\r\n");
        EXPECT_EQ(one(facts, "pid"), one(facts, "env.TAVRIN_ONEFILE_PARENT")) << "the application runs in the launcher's process";
        EXPECT_EQ(one(facts, "first_file_path"), tree() + L"\\probe.dll");
        std::vector<std::wstring> argv = {exe_.wstring()};
        argv.insert(argv.end(), commands.begin(), commands.end());
        EXPECT_EQ(all(facts, "argv"), argv);
        EXPECT_EQ(one(facts, "env.TAVRIN_ORIGINAL_ARGV0"), L"my-argv0");
        EXPECT_EQ(one(facts, "env.TAVRIN_ONEFILE_DIRECTORY"), dir_.wstr());
        for (const char* name : {"TAVRIN_ONEFILE_PARENT", "TAVRIN_ONEFILE_DIRECTORY", "TAVRIN_ORIGINAL_ARGV0"})
            EXPECT_EQ(one(facts, std::string("crt.") + name), one(facts, std::string("env.") + name)) << name;
        for (const char* name : {"TAVRIN_ONEFILE_START", "TAVRIN_ONEFILE_TIME_US", "TAVRIN_ONEFILE_RANDOM"}) {
            EXPECT_EQ(all(facts, std::string("unset.") + name).size(), 1u) << name;
            EXPECT_EQ(one(facts, std::string("crt.") + name), L"<unset>") << name;
        }
    }
}

TEST_F(CachedMode, AnInstanceThatTheApplicationStartsRunsFromTheSameTree)
{
    // Elevated, under Wine 8 every run unpacks anew and runs from the tree it moved into place; the
    // instance it starts checks that the marked process is its ancestor.
    for (bool elevated : {false, true}) {
        SCOPED_TRACE(elevated ? "elevated" : "at the user's level");
        elevated_ = elevated;
        auto result = go(exe_, {}, {L"--spawn-self", L"--then", L"--exit", L"9"});
        EXPECT_EQ(result.process.exit_code, 9u) << result.process.out << result.process.err;
        EXPECT_EQ(all(result.facts, "first_file_path"), std::vector<std::wstring>(2, tree() + L"\\probe.dll"));
        const auto pids = all(result.facts, "pid");
        ASSERT_EQ(pids.size(), 2u);
        EXPECT_NE(pids[0], pids[1]);
        EXPECT_EQ(all(result.facts, "env.TAVRIN_ONEFILE_PARENT"), std::vector<std::wstring>(2, pids[0]))
            << "the launcher's process is the application's, and the parent of the second instance";
    }
}

TEST_F(CachedMode, WhatUnpackingUsedIsReleasedBeforeTheApplicationRuns)
{
    // A 64 MiB content stream: the decoder's window is as large. It is gone before run_code, in
    // the first cached run, a later one and a temporary run's child. Bound: under Wine 8 the
    // probe's process commits 13 MiB of private memory without the decoder, 78 MiB with it.
    make_large_package(16, 4 << 20);
    for (const char* which : {"first run", "later run", "temporary"}) {
        SCOPED_TRACE(which);
        if (std::string(which) == "temporary") set_launch_settings(exe_, {});
        auto result = go();
        ASSERT_EQ(result.process.exit_code, 0u) << result.process.out << result.process.err;
        EXPECT_LT(std::stoul(one(result.facts, "private_mib")), 32ul);
    }
}

TEST_F(CachedMode, ADamagedTreeIsUnpackedAgainNeverRunAndWhatTheApplicationAddedIsKept)
{
    ASSERT_EQ(go().process.exit_code, 0u);
    const std::wstring readme = tree() + L"\\data\\readme.txt", top = tree() + L"\\top.txt", marker = tree() + L"\\" + marker_name;
    // Each case: what is done to the tree, whether the next run unpacks it again, and the files the
    // application added (by the case, or an earlier one), which stay whatever happens.
    struct damage {
        const char* what;
        std::function<void()> apply;
        bool repaired;
        std::vector<std::wstring> added;
    };
    const std::vector<std::wstring> settings = {L"settings.ini"},
                                     more = {L"settings.ini", L"data\\log.txt", L"cache\\a\\b.bin", L"cache\\c.bin"};
    const damage damages[] = {
        {"file deleted", [&] { DeleteFileW(top.c_str()); }, true, {}},
        {"file truncated", [&] { write_file(readme, "fir"); }, true, {}},
        {"marker deleted", [&] { DeleteFileW(marker.c_str()); }, true, {}},
        {"marker of another archive", [&] { write_file(marker, "tavrin-onefile cache 2\nidentity 00\n"); }, true, {}},
        {"marker of the earlier version", [&] { write_file(marker, "tavrin-onefile cache 1\nidentity " + settings_.archive_identity + "\n"); }, true, {}},
        {"file added", [&] { write_file(tree() + L"\\settings.ini", "added"); }, false, settings},
        {"file deleted beside an added one", [&] { DeleteFileW(top.c_str()); }, true, settings},
        {"files added in an archived directory and a new one, a file resized",
         [&] {
             write_file(tree() + L"\\data\\log.txt", "added");
             fs::create_directories(tree() + L"\\cache\\a");
             write_file(tree() + L"\\cache\\a\\b.bin", "added");
             write_file(tree() + L"\\cache\\c.bin", "added");
             write_file(readme, "first, resized");
         },
         true, more},
        {"marker deleted beside added files", [&] { DeleteFileW(marker.c_str()); }, true, more},
    };
    for (const auto& each : damages) {
        SCOPED_TRACE(each.what);
        const auto before = file_ids();
        each.apply();
        auto result = go();
        EXPECT_EQ(result.process.exit_code, 0u) << result.process.out << result.process.err;
        EXPECT_EQ(result.process.err, "");
        auto files = all(result.facts, "file");
        std::sort(files.begin(), files.end());
        std::vector<std::wstring> expected = {marker_name, L"data", L"probe.dll", L"top.txt"};
        if (!each.added.empty()) expected.push_back(L"settings.ini");
        if (each.added.size() > 1) expected.push_back(L"cache");
        std::sort(expected.begin(), expected.end());
        EXPECT_EQ(files, expected) << "the application saw the tree repaired, with what it added";
        EXPECT_EQ(read_file(readme), "first");
        for (const auto& name : each.added) EXPECT_EQ(read_file(tree() + L"\\" + name), "added") << narrow(name) << " was not kept";
        EXPECT_EQ(file_ids().at(L"probe.dll") != before.at(L"probe.dll"), each.repaired) << "unpacked again";
        EXPECT_EQ(hardening::names_in(cache()), std::vector<std::wstring>{widen(settings_.archive_identity)});
    }

    // A change of content that keeps the size passes the names and sizes; the full check finds it.
    write_file(readme, "FIRST");
    ASSERT_EQ(go().process.exit_code, 0u);
    EXPECT_EQ(read_file(readme), "FIRST");
    run_options verify;
    verify.env[TAVRIN_ENV_ONEFILE_VERIFY_W] = L"1";
    ASSERT_EQ(go(verify).process.exit_code, 0u);
    EXPECT_EQ(read_file(readme), "first");
    EXPECT_EQ(read_file(tree() + L"\\settings.ini"), "added") << "kept through the full check's repair";

    // An added file that cannot be moved (open without delete sharing; Wine 8 renames the directory
    // that holds it all the same) is named, and goes with the damaged tree once it is closed.
    const std::wstring held = tree() + L"\\held.txt";
    write_file(held, "held");
    HANDLE open = CreateFileW(held.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, NULL, OPEN_EXISTING, 0, NULL);
    ASSERT_NE(open, INVALID_HANDLE_VALUE);
    DeleteFileW(top.c_str());
    auto result = go();
    CloseHandle(open);
    EXPECT_EQ(result.process.exit_code, 0u) << result.process.out << result.process.err;
    EXPECT_EQ(result.process.err, "Note, cached unpack directory: couldn't keep '" + narrow(held) + "' from the damaged tree.\r\n");
    EXPECT_FALSE(fs::exists(held));
    EXPECT_EQ(read_file(tree() + L"\\settings.ini"), "added");
}

TEST_F(CachedMode, AnElevatedRunReplacesATreeThatALesserRunMade)
{
    // Under Wine 8 no tree reads back sealed: an elevated run always makes its own, and carries
    // nothing from the lesser one: anyone could have put it there.
    ASSERT_EQ(go().process.exit_code, 0u);
    const auto lesser = file_ids();
    const std::wstring added = tree() + L"\\plugins";
    fs::create_directories(added);
    write_file(added + L"\\planted.dll", "planted");
    elevated_ = true;
    auto result = go();
    ASSERT_EQ(result.process.exit_code, 0u) << result.process.out << result.process.err;
    EXPECT_EQ(result.process.err, "Note, cached unpack directory: removed '" + narrow(added) + "', which a tree that was not sealed held.\r\n");
    EXPECT_FALSE(fs::exists(added));
    EXPECT_EQ(one(result.facts, "first_file_path"), tree() + L"\\probe.dll");
    const auto made = file_ids();
    for (const auto& [name, id] : lesser) EXPECT_NE(made.at(name), id) << narrow(name) << " was used as the lesser run left it";
    EXPECT_EQ(hardening::names_in(cache()), std::vector<std::wstring>{widen(settings_.archive_identity)})
        << "the old tree renamed away and deleted";
    elevated_ = false;
    ASSERT_EQ(go().process.exit_code, 0u);
    EXPECT_EQ(file_ids(), made) << "a run of the user's level uses the elevated run's tree";
}

TEST_F(CachedMode, WhileTheApplicationRunsItsTreeIsHeld)
{
    hardening::running_package running(exe_, {L"--sleep", L"600000"}, hardening::with_temp(temp_));
    auto facts = running.wait_for("ready");
    ASSERT_FALSE(facts.empty()) << "the application never started";
    EXPECT_EQ(one(facts, "first_file_path"), tree() + L"\\probe.dll") << "the child loaded the entry while it was held";
    const std::wstring planted = dir_.wstr() + L"\\planted";
    write_file(planted, std::string(fs::file_size(tree() + L"\\probe.dll"), 'E'));
    for (const wchar_t* name : {L"probe.dll", L"top.txt", L"data\\readme.txt", marker_name.c_str()}) {
        SCOPED_TRACE(narrow(name));
        const std::wstring path = tree() + L"\\" + name;
        EXPECT_FALSE(MoveFileExW(planted.c_str(), path.c_str(), MOVEFILE_REPLACE_EXISTING)) << "renamed over";
        EXPECT_FALSE(MoveFileExW(path.c_str(), (path + L".old").c_str(), 0)) << "renamed away";
        HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, NULL,
                                  OPEN_EXISTING, 0, NULL);
        EXPECT_EQ(file, INVALID_HANDLE_VALUE) << "opened for writing";
        if (file != INVALID_HANDLE_VALUE) CloseHandle(file);
    }
    for (const std::wstring& directory : {tree(), tree() + L"\\data"}) {
        EXPECT_FALSE(MoveFileExW(directory.c_str(), (directory + L".old").c_str(), 0)) << narrow(directory);
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SHARING_VIOLATION));
    }
    end_application(facts);
    EXPECT_EQ(running.finish().process.exit_code, 0u);

    // A run at the user's level uses that tree as found and holds its directories.
    testing_support::run_options limited;
    limited.limited = true;
    hardening::running_package later(exe_, {L"--sleep", L"600000"}, hardening::with_temp(temp_, limited));
    facts = later.wait_for("ready");
    ASSERT_FALSE(facts.empty()) << "the application never started";
    for (const std::wstring& directory : {tree(), tree() + L"\\data"}) {
        EXPECT_FALSE(MoveFileExW(directory.c_str(), (directory + L".old").c_str(), 0)) << narrow(directory);
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SHARING_VIOLATION));
    }
    end_application(facts);
    EXPECT_EQ(later.finish().process.exit_code, 0u);
    EXPECT_TRUE(MoveFileExW(planted.c_str(), (tree() + L"\\probe.dll").c_str(), MOVEFILE_REPLACE_EXISTING))
        << "the tree is held no longer";
}

TEST_F(CachedMode, ConcurrentFirstRunsShareOneTree)
{
    // Large enough that the runs unpack at the same time, and all but one lose the final rename.
    make_large_package(16, 4 << 20);
    for (bool elevated : {false, true}) {
        // Elevated, under Wine 8 every run replaces the tree (none reads back sealed); one that
        // cannot, since another run holds it, runs from its own copy and deletes it at its end.
        SCOPED_TRACE(elevated ? "elevated" : "at the user's level");
        elevated_ = elevated;
        std::vector<std::thread> runners;
        std::vector<run> results(4);
        for (auto& result : results) runners.emplace_back([&] { result = go(); });
        for (auto& runner : runners) runner.join();
        for (const auto& result : results) {
            EXPECT_EQ(result.process.exit_code, 0u) << result.process.out << result.process.err;
            const std::wstring own_copy = tree() + L".tmp-" + one(result.facts, "env.TAVRIN_ONEFILE_PARENT") + L"-" +
                                          one(result.facts, "env.TAVRIN_ONEFILE_RANDOM") + L"\\probe.dll";
            const std::wstring first = one(result.facts, "first_file_path");
            if (elevated && first == own_copy) continue;
            EXPECT_EQ(first, tree() + L"\\probe.dll");
        }
        if (elevated && hardening::names_in(cache()).size() > 1) {
            // A tree that one run retired while another run's application still ran from it (Wine 8
            // lets a held directory's parent be renamed) keeps those files until that application
            // has ended; the next run deletes it, since the run that retired it has ended too.
            EXPECT_EQ(go().process.exit_code, 0u);
        }
        EXPECT_EQ(hardening::names_in(cache()), std::vector<std::wstring>{widen(settings_.archive_identity)})
            << "one tree, no sibling left";
    }
}

TEST_F(CachedMode, ARunKilledWhileUnpackingLeavesNothingThatALaterRunUses)
{
    // Enough to write that the first run is still at it when its private sibling shows up.
    make_large_package(24, 16 << 20);

    // Started with the test's temporary directory in its environment.
    std::wstring saved_tmp = _wgetenv(L"TMP") ? _wgetenv(L"TMP") : L"", saved_temp = _wgetenv(L"TEMP") ? _wgetenv(L"TEMP") : L"";
    SetEnvironmentVariableW(L"TMP", temp_.c_str());
    SetEnvironmentVariableW(L"TEMP", temp_.c_str());
    std::wstring command_line = quote_argument(exe_.wstring());
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process = {};
    BOOL started = CreateProcessW(exe_.c_str(), &command_line[0], NULL, NULL, FALSE, 0, NULL, NULL, &startup, &process);
    SetEnvironmentVariableW(L"TMP", saved_tmp.c_str());
    SetEnvironmentVariableW(L"TEMP", saved_temp.c_str());
    ASSERT_TRUE(started);
    CloseHandle(process.hThread);
    bool unpacking = false;
    for (int wait = 0; wait < 6000 && !unpacking; ++wait) {
        for (const auto& name : hardening::names_in(cache())) unpacking |= name.find(L".tmp-") != std::wstring::npos;
        if (!unpacking) Sleep(10);
    }
    TerminateProcess(process.hProcess, 77);
    WaitForSingleObject(process.hProcess, INFINITE);
    DWORD code = 0;
    GetExitCodeProcess(process.hProcess, &code);
    CloseHandle(process.hProcess);
    ASSERT_TRUE(unpacking) << "no private sibling appeared";
    ASSERT_EQ(code, 77u) << "the first run ended before it was killed";
    EXPECT_EQ(GetFileAttributesW(tree().c_str()), INVALID_FILE_ATTRIBUTES) << "no tree in place";

    auto later = go();
    EXPECT_EQ(later.process.exit_code, 0u) << later.process.out << later.process.err;
    EXPECT_EQ(hardening::names_in(cache()), std::vector<std::wstring>{widen(settings_.archive_identity)})
        << "the killed run's sibling is deleted";
}

TEST_F(CachedMode, ARebuiltPackageUsesADirectoryOfItsOwn)
{
    ASSERT_EQ(go().process.exit_code, 0u);
    const fs::path rebuilt = dir_.path() / L"rebuilt.exe";
    const auto other = package(rebuilt, "second");
    ASSERT_NE(other.archive_identity, settings_.archive_identity);
    auto result = go(rebuilt);
    EXPECT_EQ(result.process.exit_code, 0u) << result.process.out << result.process.err;
    EXPECT_EQ(one(result.facts, "first_file_path"), tree(other) + L"\\probe.dll");
    EXPECT_EQ(read_file(tree(other) + L"\\data\\readme.txt"), "second");
    EXPECT_EQ(read_file(tree() + L"\\data\\readme.txt"), "first") << "the old tree stays for its own package";
}

TEST_F(CachedMode, TheDefaultSpecKeepsTheTreeUnderTheLocalApplicationData)
{
    // Wine takes the folder from its registry, not from the environment: the prefix's own folder,
    // with content that no other run has, removed at the end.
    std::random_device random;
    const auto settings = package(exe_, "unique " + std::to_string(random()) + std::to_string(random()), tavrin::cached_unpack_spec);
    wchar_t folder[MAX_PATH];
    ASSERT_EQ(SHGetFolderPathW(NULL, CSIDL_LOCAL_APPDATA, NULL, SHGFP_TYPE_CURRENT, folder), S_OK);
    auto result = go();
    const std::wstring first = one(result.facts, "first_file_path");
    EXPECT_EQ(result.process.exit_code, 0u) << result.process.out << result.process.err;
    EXPECT_EQ(first.rfind(std::wstring(folder) + L"\\", 0), 0u) << narrow(first);
    const std::wstring suffix = L"\\" + widen(settings.archive_identity) + L"\\probe.dll";
    ASSERT_GT(first.size(), suffix.size());
    EXPECT_EQ(first.substr(first.size() - suffix.size()), suffix) << narrow(first);
    EXPECT_TRUE(hardening::remove_tree(first.substr(0, first.size() - std::wcslen(L"\\probe.dll"))));
}

namespace {

// Packs the probe (copied into `directory`/app) with `launcher` and `identity` into `directory`/`name`.
std::filesystem::path pack_probe(const std::filesystem::path& directory, const std::wstring& launcher, const std::wstring& name,
                                 const tavrin::identity_options& identity, const std::u16string& unpack_spec = u"")
{
    std::filesystem::create_directories(directory / L"app");
    std::filesystem::copy_file(probe_dll, directory / L"app" / L"probe.dll", std::filesystem::copy_options::overwrite_existing);
    tavrin::pack_options options;
    options.app_dir = directory / L"app";
    options.output = directory / name;
    options.launcher = launcher;
    options.block.level = 1;
    options.identity = identity;
    options.settings.unpack_spec = unpack_spec;
    tavrin::pack_application(options);
    return options.output;
}

}  // namespace

TEST(Identity, AConsolePackageRunsAndPassesTheExitCode)
{
    temp_directory dir;
    tavrin::identity_options identity;
    identity.console = true;
    const auto exe = pack_probe(dir.path(), launcher_image, L"console-app.exe", identity);
    EXPECT_EQ(tavrin::read_pe_headers(exe).subsystem, tavrin::pe_subsystem_console);
    auto result = start(exe, {L"--stdout", L"on the console", L"--exit", L"3221225477"});
    EXPECT_EQ(result.process.exit_code, 3221225477u);
    EXPECT_EQ(result.process.out, "on the console\r\n");
}

// A package's own unpack spec in temporary mode: the launcher expands its placeholders from the
// version block that the packer wrote (without options: the output's name and 0.0.0.0, never the
// launcher's own values), unpacks there and deletes the directory at the end.
TEST(Identity, PlaceholdersGiveTheVersionBlocksValues)
{
    temp_directory dir, temp;
    auto unpacked_under = [&](const std::wstring& output, const std::u16string& spec, const tavrin::identity_options& identity,
                              const std::wstring& name) {
        const auto exe = pack_probe(dir.path(), launcher_image, output + L".exe", identity, u"{TEMP}\\" + spec + u"_{RANDOM}");
        auto result = start(exe, {}, hardening::with_temp(temp.wstr()));
        EXPECT_EQ(result.process.exit_code, 0u) << result.process.out << result.process.err;
        EXPECT_TRUE(hardening::names_in(temp.path()).empty()) << "the directory is deleted at the end";
        const std::wstring random = one(result.facts, "env.TAVRIN_ONEFILE_RANDOM");
        return one(result.facts, "first_file_path") == temp.wstr() + L"\\" + name + L"_" + random + L"\\probe.dll";
    };
    tavrin::identity_options identity;
    identity.company = "X \xc3\xa9";
    identity.product = "Y";
    identity.version = tavrin::version_numbers{2, 3, 4, 5};
    EXPECT_TRUE(unpacked_under(L"app", u"{COMPANY}_{PRODUCT}_{VERSION}_{FILE_VERSION}_{PRODUCT_VERSION}", identity,
                               L"X \u00e9_Y_2.3.4.5_2.3.4.5_2.3.4.5"));
    EXPECT_TRUE(unpacked_under(L"plain", u"{PRODUCT}_{VERSION}_{FILE_VERSION}_{PRODUCT_VERSION}", {}, L"plain_0.0.0.0_0.0.0.0_0.0.0.0"));
}

// A text of the version block patched after packing: the launcher refuses it as a name rather than
// let it lead the unpack directory elsewhere (or fail on every run with a system error).
TEST(Identity, AVersionTextPatchedAfterPackingStopsTheRun)
{
    temp_directory dir, temp;
    tavrin::identity_options identity;
    identity.company = "PatchMeCo";
    const std::pair<std::u16string, const char*> patches[] = {
        {u"..", "it is '.' or '..'"}, {u"a\\b", "it holds a '/' or '\\'"}, {u"Acme.", "it ends in a dot or a space, which Windows drops"}};
    for (const auto& [patch, reason] : patches) {
        SCOPED_TRACE(reason);
        const auto exe = pack_probe(dir.path(), launcher_image, L"patched.exe", identity, u"{TEMP}\\{COMPANY}_{RANDOM}");
        patch_version_text(exe, u"PatchMeCo", patch);
        auto result = start(exe, {}, hardening::with_temp(temp.wstr()));
        EXPECT_EQ(result.process.exit_code, 2u);
        EXPECT_EQ(result.process.err, "Error, {COMPANY} '" + tavrin::to_utf8(patch) +
                                          "' of the version block cannot be used in the unpack directory: " + reason + ".\r\n");
        EXPECT_TRUE(result.facts.empty());
        EXPECT_TRUE(hardening::names_in(temp.path()).empty());
    }
}

// {PROGRAM_BASE} means the parent's argument 0 in both instances, whatever the user typed; a full
// path there puts a drive below the root, and the run stops before it makes anything.
TEST(SpecPlaceholders, ProgramPlaceholdersTakeTheParentsArgumentZero)
{
    temp_directory dir, temp;
    const fs::path exe = dir.path() / L"progtest.exe";
    make_package(exe);
    set_launch_settings(exe, {false, u"{TEMP}\\{PROGRAM_BASE}_{PID}", ""});
    auto typed = start(exe, {L"--exit", L"7"}, hardening::with_temp(temp.wstr()), L"progtest");
    EXPECT_EQ(typed.process.exit_code, 7u) << typed.process.out << typed.process.err;
    EXPECT_EQ(one(typed.facts, "first_file_path"),
              temp.wstr() + L"\\progtest_" + one(typed.facts, "env.TAVRIN_ONEFILE_PARENT") + L"\\probe.dll");

    auto full = start(exe, {}, hardening::with_temp(temp.wstr()));
    EXPECT_EQ(full.process.exit_code, 2u);
    const std::string expected = "Error, unpack directory '" + narrow(temp.wstr()) + "\\" + narrow(dir.wstr()) + "\\progtest_";
    EXPECT_EQ(full.process.err.rfind(expected, 0), 0u) << full.process.err;
    EXPECT_NE(full.process.err.find("' cannot be used: a component below its root holds a ':' (a drive or a stream).\r\n"),
              std::string::npos) << full.process.err;
    EXPECT_TRUE(full.facts.empty());
    EXPECT_TRUE(hardening::names_in(temp.path()).empty());
}

// {EXE_DIR}: beside the package, in both modes; a folder where nothing can be made is named.
TEST(SpecPlaceholders, ExeDirUnpacksBesideThePackage)
{
    temp_directory dir;
    const fs::path temporary = dir.path() / L"temporary.exe", cached = dir.path() / L"cached.exe";
    make_package(temporary);
    set_launch_settings(temporary, {false, u"{EXE_DIR}\\run_{RANDOM}", ""});
    make_package(cached);
    const auto settings = set_launch_settings(cached, {true, u"{EXE_DIR}\\cache", ""});

    auto first = start(temporary, {L"--exit", L"4"});
    EXPECT_EQ(first.process.exit_code, 4u) << first.process.out << first.process.err;
    EXPECT_EQ(one(first.facts, "first_file_path"), dir.wstr() + L"\\run_" + one(first.facts, "env.TAVRIN_ONEFILE_RANDOM") + L"\\probe.dll");
    auto kept = start(cached, {});
    EXPECT_EQ(kept.process.exit_code, 0u) << kept.process.out << kept.process.err;
    EXPECT_EQ(one(kept.facts, "first_file_path"), dir.wstr() + L"\\cache\\" + widen(settings.archive_identity) + L"\\probe.dll");
    EXPECT_EQ(hardening::names_in(dir.path()), (std::vector<std::wstring>{L"cache", L"cached.exe", L"temporary.exe"}));

    // Wine 8 has no ACLs, and root writes anywhere: the folder is made immutable for Linux instead.
    const fs::path folder = dir.path() / L"locked";
    fs::create_directory(folder);
    for (const fs::path& exe : {temporary, cached}) fs::copy_file(exe, folder / exe.filename());
    struct unlocked {
        std::wstring path;
        ~unlocked() { set_immutable(path, false); }
    } unlock_at_the_end{folder.wstring()};
    if (!set_immutable(folder.wstring(), true)) GTEST_SKIP() << "chattr +i did not take here";
    for (const wchar_t* name : {L"temporary.exe", L"cached.exe"}) {
        auto refused = start(folder / name, {});
        EXPECT_EQ(refused.process.exit_code, 2u) << narrow(name);
        EXPECT_EQ(refused.process.err.rfind("Error, the executable's folder '" + narrow(folder.wstring()) + "' is not writable. ([Error ", 0), 0u)
            << refused.process.err;
        EXPECT_TRUE(refused.facts.empty());
    }
    EXPECT_EQ(hardening::names_in(folder), (std::vector<std::wstring>{L"cached.exe", L"temporary.exe"}));
}

namespace {

// What a product's folder holds after runs of its packages (packed with versions 1.9 and 1.10 into
// {TEMP}\cache\Prod\<version>\<identity>), as "<version>\<identity>" names that exist.
struct versions_case {
    const char* name;
    // Prepares the folder before the last run: `runs` a version's package once, `tree` names a
    // version's tree, `hold` starts a version's package that keeps running until the case ends.
    std::function<void(const std::function<void(const wchar_t*)>& runs, const std::function<std::wstring(const wchar_t*)>& tree,
                       const std::function<void(const wchar_t*)>& hold)>
        prepare;
    const wchar_t* last_run;        // the version run last
    bool lower_kept;                // whether 1.9's tree (or what stands in its place) is still there after it
};

}  // namespace

// A run whose tree is in place removes the trees of lower versions of the same product that this
// launcher made and nobody uses; everything else stays. (Links are never followed: Wine 8 makes
// none, so that decision is tested on the attributes, cache_test.cpp.)
TEST(CachedVersions, OnlyLowerVersionsTreesThatNobodyUsesAreRemoved)
{
    // A tree that holds only a marker of `head` followed by `identity` (the tree's own when empty).
    auto marked = [](const std::string& head, const std::string& identity) {
        return [=](auto, auto tree, auto) {
            const std::wstring path = tree(L"1.9");
            fs::create_directories(path);
            const std::string own = narrow(path.substr(path.size() - 32));
            write_file(path + L"\\" TAVRIN_CACHE_MARKER_NAME, head + "identity " + (identity.empty() ? own : identity) + "\n");
        };
    };
    const versions_case cases[] = {
        {"a lower version's tree goes once a higher one runs", [](auto runs, auto, auto) { runs(L"1.9"); }, L"1.10", false},
        {"a higher version's tree stays when a lower one runs", [](auto runs, auto, auto) { runs(L"1.10"); }, L"1.9", true},
        {"a tree in use stays", [](auto, auto, auto hold) { hold(L"1.9"); }, L"1.10", true},
        {"a directory without the marker stays",
         [](auto, auto tree, auto) {
             fs::create_directories(tree(L"1.9"));
             write_file(tree(L"1.9") + L"\\kept.txt", "kept");
         },
         L"1.10", true},
        {"a marker of another kind stays", marked("tavrin-onefile cache 1\n", ""), L"1.10", true},
        {"a marker of another identity stays", marked("tavrin-onefile cache 2\n", std::string(32, 'f')), L"1.10", true},
        {"this launcher's marker goes, whatever follows it", marked("tavrin-onefile cache 2\n", ""), L"1.10", false},
    };
    for (const auto& row : cases) {
        SCOPED_TRACE(row.name);
        temp_directory dir, temp;
        std::map<std::wstring, fs::path> packages;
        std::string identity_text;
        for (const wchar_t* version : {L"1.9", L"1.10"}) {
            tavrin::identity_options identity;
            identity.product = "Prod";
            identity.version = tavrin::version_numbers{1, static_cast<std::uint16_t>(std::wstring(version) == L"1.9" ? 9 : 10), 0, 0};
            packages[version] = pack_probe(dir.path(), launcher_image, std::wstring(L"v") + version + L".exe", identity);
            identity_text = set_launch_settings(packages[version], {true, u"{TEMP}\\cache\\{PRODUCT}\\{VERSION}", ""}).archive_identity;
        }
        run_options limited;
        limited.limited = true;  // at the user's level: an elevated run under Wine 8 removes nothing (no tree reads back sealed)
        auto tree = [&](const wchar_t* version) {
            return temp.wstr() + L"\\cache\\Prod\\" + version + L".0.0\\" + widen(identity_text);
        };
        auto runs = [&](const wchar_t* version) {
            auto result = start(packages[version], {}, hardening::with_temp(temp.wstr(), limited));
            EXPECT_EQ(result.process.exit_code, 0u) << result.process.out << result.process.err;
        };
        std::unique_ptr<hardening::running_package> held;
        report held_facts;
        auto hold = [&](const wchar_t* version) {
            held = std::make_unique<hardening::running_package>(packages[version], std::vector<std::wstring>{L"--sleep", L"600000"},
                                                                hardening::with_temp(temp.wstr(), limited));
            held_facts = held->wait_for("ready");
            ASSERT_FALSE(held_facts.empty()) << "the application never started";
        };
        row.prepare(runs, tree, hold);
        runs(row.last_run);
        EXPECT_TRUE(fs::exists(tree(row.last_run))) << "the tree of the run itself";
        EXPECT_EQ(fs::exists(tree(L"1.9")), row.lower_kept);
        if (!row.lower_kept) {
            EXPECT_FALSE(fs::exists(temp.path() / L"cache" / L"Prod" / L"1.9.0.0")) << "its emptied folder";
        }
        if (held) {
            // Once nobody uses it, the next run removes it.
            end_application(held_facts);
            EXPECT_EQ(held->finish().process.exit_code, 0u);
            runs(row.last_run);
            EXPECT_FALSE(fs::exists(tree(L"1.9"))) << "no longer in use";
        }
    }
}

// With a spec where the versions are not the product folder's only children, nothing is removed.
TEST(CachedVersions, AnotherSpecRemovesNothing)
{
    temp_directory dir, temp;
    run_options limited;
    limited.limited = true;
    std::vector<fs::path> packages;
    for (uint16_t minor : {9, 10}) {
        tavrin::identity_options identity;
        identity.product = "Prod";
        identity.version = tavrin::version_numbers{1, minor, 0, 0};
        packages.push_back(pack_probe(dir.path(), launcher_image, L"v" + std::to_wstring(minor) + L".exe", identity));
        set_launch_settings(packages.back(), {true, u"{TEMP}\\cache\\{VERSION}", ""});
    }
    for (const auto& package : packages) {
        auto result = start(package, {}, hardening::with_temp(temp.wstr(), limited));
        EXPECT_EQ(result.process.exit_code, 0u) << result.process.out << result.process.err;
    }
    EXPECT_EQ(hardening::names_in(temp.path() / L"cache"), (std::vector<std::wstring>{L"1.10.0.0", L"1.9.0.0"}));
}
