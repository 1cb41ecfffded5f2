// The archive identity of a package in cached mode, and the SHA-256 it is made of.
#include <gtest/gtest.h>

#include "packer/archive/archive_identity.h"
#include "packer/archive/launch_settings.h"
#include "format/settings_record.h"
#include "tests/packer/pack_fixture.h"
#include "tests/support/packer_fixtures.h"

#ifndef _WIN32
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <cstring>
#endif

namespace {
using namespace packer_test;
namespace fs = std::filesystem;

TEST_F(PackTest, CachedModeNamesItsDirectoryByTheArchive)
{
    add("app.dll", entry_dll());
    add("data/a.txt", "first");
    const std::string launcher = arg(launcher_);
    auto pack = [&](const fs::path& output, std::vector<std::string> extra) {
        std::vector<std::string> arguments = {arg(app_), "-o", arg(output), "--launcher", launcher, "--level", "3", "-q"};
        arguments.insert(arguments.end(), extra.begin(), extra.end());
        tool_run run = run_tool(scratch_.path(), arguments);
        EXPECT_EQ(run.code, 0) << run.err;
    };
    auto cache_dir = [&](const fs::path& package) { return run_tool(scratch_.path(), {"cache-dir", arg(package)}); };

    const fs::path first = out_dir_ / "first.exe", again = out_dir_ / "again.exe", changed = out_dir_ / "changed.exe";
    pack(first, {"--cached"});
    pack(again, {"--cached", "--threads", "1"});
    add("data/a.txt", "other");
    pack(changed, {"--cached"});

    tool_run shown = cache_dir(first);
    ASSERT_EQ(shown.code, 0) << shown.err;
    const std::string spec = "{CACHE_DIR}\\{PRODUCT}\\{VERSION}\\";
#ifndef _WIN32
    // {PRODUCT} and {VERSION} as the package's image gives them (here the output's name, 0.0.0.0).
    ASSERT_EQ(shown.out.rfind("{CACHE_DIR}\\first\\0.0.0.0\\", 0), 0u) << shown.out;
#endif
    auto last = [](const std::string& text) { return text.substr(text.rfind('\\') + 1); };
    const std::string identity = last(shown.out).substr(0, last(shown.out).size() - 1);
    EXPECT_EQ(identity.size(), 32u);
    EXPECT_EQ(identity.find_first_not_of("0123456789abcdef"), std::string::npos) << identity;
    EXPECT_EQ(last(cache_dir(again).out), last(shown.out)) << "the same files give the same identity";
    const std::string changed_dir = cache_dir(changed).out;
    EXPECT_NE(last(changed_dir), last(shown.out)) << "other content gives another identity";
    tool_run listed = run_tool(scratch_.path(), {"list", arg(first)});
    EXPECT_NE(listed.out.find("unpack directory " + spec + identity + " (cached"), std::string::npos) << listed.out;

    // A spec of its own, and the temporary mode, which has no cache directory.
    pack(first, {"--cached", "--unpack-dir", "D:\\Apps\\{PRODUCT}", "--product", "Road Runner"});
    EXPECT_EQ(cache_dir(first).out, "D:\\Apps\\Road Runner" + changed_dir.substr(changed_dir.rfind('\\')));
    // {EXE_DIR}: where the package will stand is not known, so it stays, with a note.
    pack(again, {"--cached", "--unpack-dir", "{EXE_DIR}\\cache"});
    tool_run beside = cache_dir(again);
    EXPECT_EQ(beside.out, "{EXE_DIR}\\cache" + changed_dir.substr(changed_dir.rfind('\\')));
    EXPECT_NE(beside.err.find("{EXE_DIR} stays as written"), std::string::npos) << beside.err;
    // Its trees cannot be listed or removed: on the host build none can, on Windows not these.
    for (const char* command : {"cache-list", "cache-clean"}) {
        tool_run trees = run_tool(scratch_.path(), {command, arg(again)});
        EXPECT_EQ(trees.code, 1) << command;
#ifdef _WIN32
        EXPECT_NE(trees.err.find("{EXE_DIR}\\cache" + changed_dir.substr(changed_dir.rfind('\\'), 33) + " is not known here"), std::string::npos) << trees.err;
#else
        EXPECT_NE(trees.err.find(std::string(command) + " needs Windows"), std::string::npos) << trees.err;
#endif
    }
    pack(again, {"--unpack-dir", "{TEMP}\\mine_{RANDOM}"});
    tool_run temporary = cache_dir(again);
    EXPECT_EQ(temporary.code, 1);
    EXPECT_NE(temporary.err.find("not in cached mode"), std::string::npos) << temporary.err;
    EXPECT_NE(run_tool(scratch_.path(), {"cache-clean", arg(again), "--all"}).err.find("not in cached mode"), std::string::npos);
    EXPECT_NE(run_tool(scratch_.path(), {"list", arg(again)}).out.find("unpack directory {TEMP}\\mine_{RANDOM} (temporary"),
              std::string::npos);

    // The launcher's completion marker is its own name in the tree.
    add(TAVRIN_CACHE_MARKER_NAME, "mine");
    tool_run clash = run_tool(scratch_.path(), {arg(app_), "-o", arg(changed), "--launcher", launcher, "--cached", "-q"});
    EXPECT_EQ(clash.code, 1);
    EXPECT_NE(clash.err.find("completion marker"), std::string::npos) << clash.err;
}

TEST(ArchiveIdentity, Sha256KnownAnswers)
{
    EXPECT_EQ(tavrin::sha256_hex(""), "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
    EXPECT_EQ(tavrin::sha256_hex("abc"), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
    EXPECT_EQ(tavrin::sha256_hex("abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq"),
              "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1");
    EXPECT_EQ(tavrin::sha256_hex(std::string(1000000, 'a')), "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0");
}

}  // namespace
