// The launcher end to end: a probe application packed with the real launcher image and run under
// Wine. Exit codes, arguments, standard streams, the environment protocol, the two roles, clean-up,
// and the launcher's own failures.
#include <gtest/gtest.h>

#include <fstream>
#include <map>
#include <random>

#include "packer/block_writer.h"
#include "packer/pack.h"
#include "packer/pe_image.h"
#include "tests/support/hardening_support.h"
#include "tests/support/package_support.h"

using namespace testing_support;
using namespace package_support;

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
    HANDLE application = OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE, FALSE, std::stoul(narrow(one(held, "pid"))));
    ASSERT_NE(application, nullptr);
    TerminateProcess(application, 0);
    CloseHandle(application);
    holder.finish();
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

// Packs the probe (copied into `directory`/app) with `launcher` and `identity` into `directory`/`name`.
std::filesystem::path pack_probe(const std::filesystem::path& directory, const std::wstring& launcher, const std::wstring& name,
                                 const tavrin::identity_options& identity)
{
    std::filesystem::create_directories(directory / L"app");
    std::filesystem::copy_file(probe_dll, directory / L"app" / L"probe.dll", std::filesystem::copy_options::overwrite_existing);
    tavrin::pack_options options;
    options.app_dir = directory / L"app";
    options.output = directory / name;
    options.launcher = launcher;
    options.block.level = 1;
    options.identity = identity;
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

// The image probe, packed in place of the launcher, expands the placeholders as the launcher does,
// from the version block the packer wrote; the default package gives the built-in constants.
TEST(Identity, PlaceholdersGiveTheVersionBlocksValues)
{
    temp_directory dir;
    const std::wstring image_probe = L"Z:" + testing_support::widen(TAVRIN_IMAGE_PROBE);
    const std::wstring specs = L" {COMPANY} {PRODUCT} {VERSION} {FILE_VERSION} {PRODUCT_VERSION}";
    auto expansions = [&](const std::filesystem::path& exe) {
        auto result = testing_support::run_process(exe.wstring(), testing_support::quote_argument(exe.wstring()) + specs);
        EXPECT_EQ(result.exit_code, 6u) << result.err;
        return result.out;
    };
    tavrin::identity_options identity;
    identity.company = "X \xc3\xa9";
    identity.product = "Y";
    identity.version = tavrin::version_numbers{2, 3, 4, 5};
    EXPECT_EQ(expansions(pack_probe(dir.path(), image_probe, L"named.exe", identity)), "X \xc3\xa9\nY\n2.3.4.5\n2.3.4.5\n2.3.4.5\n");
    EXPECT_EQ(expansions(pack_probe(dir.path(), image_probe, L"default.exe", {})),
              "VX BENCH\nVX BENCH\n1.4.2.0\n1.4.2.0\n1.4.2.0\n");
}
