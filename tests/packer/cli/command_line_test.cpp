// The tavrin-pack command: exit codes, the help, what stands where the application folder goes, the
// summary, --quiet, --threads and --no-progress.
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <fstream>
#include <sstream>

#include "packer/archive/inspect.h"
#include "packer/base/names.h"
#include "packer/cli/report.h"
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

TEST_F(PackTest, CommandLineExitCodes)
{
    add("app.dll", entry_dll());
    add("plain.dll", entry_dll({"other"}));
    const std::string app = arg(app_), out = arg(output_), launcher = arg(launcher_);

    tool_run version = run_tool(scratch_.path(), {"--version"});
    EXPECT_EQ(version.code, 0);
    EXPECT_EQ(version.out, "tavrin-pack 1.4.2.0\n");

    const std::vector<std::vector<std::string>> usages = {
        {},
        {"-o", out},
        {app},
        {app, "-o"},
        {app, "-o", out, "--bogus"},
        {app, "-o", out, "--level", "0"},
        {app, "-o", out, "--level", "x"},
        {app, "-o", out, "--level", "23"},
        {app, "-o", out, "--threads", "-1"},
        {app, "-o", out, "--threads", "100000"},
        {app, "-o", out, "--threads"},
        {app, "-o", out, "--allow-missing"},
        {app, "-o", out, "--allow-missing", "lib/x.dll"},
        {app, "-o", out, "--window", "1000"},
        {app, "-o", out, "--window", "512"},
        {app, "-o", out, "--window", "256M"},
        {app, "-o", out, "--window", "8MB"},
        {app, "-o", out, "--window", "8 M"},
        {app, "-o", out, "--window", "-8M"},
        {app, "-o", out, "--window", "99999999999999999999"},
        {app, "-o", out, "--window="},
        {app, app, "-o", out},
        {app, "-o", out, "--app-version", "1.2.3.4.5"},
        {app, "-o", out, "--app-version", "1.65536"},
        {app, "-o", out, "--app-version", "1..2"},
        {app, "-o", out, "--app-version", "v1"},
        {app, "-o", out, "--manifest-level", "admin"},
        {app, "-o", out, "--console", "--windows"},
        {app, "-o", out, "--version", "1.2"},
    };
    for (auto usage : usages) {
        usage.insert(usage.end(), {"--launcher", launcher});
        tool_run run = run_tool(scratch_.path(), usage);
        EXPECT_EQ(run.code, 2) << usage.size() << "\n" << run.err;
        EXPECT_NE(run.err.find("--help"), std::string::npos) << run.err;
        const bool window = usage.size() > 3 && usage[3].rfind("--window", 0) == 0;
        EXPECT_TRUE(!window || run.err.find("--window takes a power of two from 1K to 128M") != std::string::npos) << run.err;
        EXPECT_TRUE(usage.size() <= 3 || usage[3] != "--version" || run.err.find("--app-version") != std::string::npos) << run.err;
    }
    EXPECT_FALSE(fs::exists(output_));

    // Icons that are none, or cut short: refused by name before the output is written.
    const std::string good_png = png_image(32, 32);
    const std::string ico = ico_file({good_png});
    for (const auto& [name, bytes] : std::vector<std::pair<std::string, std::string>>{
             {"text.ico", "not an icon"},
             {"cut.png", good_png.substr(0, good_png.size() - 5)},
             {"header.png", good_png.substr(0, 20)},
             {"cut.ico", ico.substr(0, ico.size() - 1)},
             {"empty.ico", std::string("\0\0\1\0\0\0", 6)}}) {
        write_file(scratch_.path() / name, bytes);
        tool_run bad_icon = run_tool(scratch_.path(), {app, "-o", out, "--launcher", launcher, "--icon", arg(scratch_.path() / name)});
        EXPECT_EQ(bad_icon.code, 1) << name;
        EXPECT_NE(bad_icon.err.find(name), std::string::npos) << bad_icon.err;
    }
    EXPECT_FALSE(fs::exists(output_));
    write_file(scratch_.path() / "good.ico", ico);
    tool_run good_icon = run_tool(scratch_.path(), {app, "-o", out, "--launcher", launcher, "--icon", arg(scratch_.path() / "good.ico"), "-q"});
    EXPECT_EQ(good_icon.code, 0) << good_icon.err;
    fs::remove(output_);

    tool_run no_run_code = run_tool(scratch_.path(), {app, "-o", out, "--launcher", launcher, "--entry", "plain.dll"});
    EXPECT_EQ(no_run_code.code, 1);
    EXPECT_NE(no_run_code.err.find("does not export run_code"), std::string::npos) << no_run_code.err;
    add("decorated.dll", entry_dll({"_Z8run_codeiPPwS_"}));
    tool_run decorated = run_tool(scratch_.path(), {app, "-o", out, "--launcher", launcher, "--entry", "decorated.dll"});
    EXPECT_NE(decorated.err.find("it exports '_Z8run_codeiPPwS_'"), std::string::npos) << decorated.err;
    EXPECT_NE(decorated.err.find("extern \"C\""), std::string::npos) << decorated.err;
    fs::remove(app_ / "decorated.dll");
    // Any other stripped image given as the launcher: a DLL, an executable without the launcher's
    // record (on Windows also a real DLL and tavrin-pack.exe itself).
    const fs::path plain_exe = scratch_.path() / "plain.exe";
    write_file(plain_exe, make_image({}));
    std::vector<std::string> not_launchers{arg(app_ / "app.dll"), arg(plain_exe)};
#ifdef _WIN32
    not_launchers.insert(not_launchers.end(), {std::string(TAVRIN_HELLO_APP) + "/hello.dll", arg(pack_tool())});
#endif
    for (const std::string& image : not_launchers) {
        tool_run refused = run_tool(scratch_.path(), {app, "-o", out, "--launcher", image});
        EXPECT_EQ(refused.code, 1) << image;
        EXPECT_NE(refused.err.find("not a launcher image"), std::string::npos) << refused.err;
        EXPECT_TRUE(scratch_directory::listing(out_dir_).empty()) << image;
    }
    tool_run no_launcher = run_tool(scratch_.path(), {app, "-o", out});
    EXPECT_EQ(no_launcher.code, 1) << "the tool's own directory holds no launcher image";
    EXPECT_FALSE(fs::exists(output_));

    tool_run packed = run_tool(scratch_.path(), {"pack", app, "--output=" + out, "--level=1", "--threads=2", "--launcher", launcher});
    EXPECT_EQ(packed.code, 0) << packed.err;
    EXPECT_EQ(names_of(packed_entries()), (std::vector<std::u16string>{u"app.dll", u"plain.dll"}));

    // --window caps the window the frame declares (0 here: the content's size, below the limit).
    add("data.bin", std::string(300000, 'd'));
    for (const auto& [text, window] : std::vector<std::pair<std::string, std::uint64_t>>{
             {"1024", 1024}, {"64K", 64 << 10}, {"128KiB", 128 << 10}, {"8M", 0}, {"128MiB", 0}}) {
        tool_run capped = run_tool(scratch_.path(), {app, "-o", out, "--launcher", launcher, "--window", text, "--level", "1"});
        ASSERT_EQ(capped.code, 0) << text << "\n" << capped.err;
        const std::string block = packer_test::read_attached_block(output_);
        EXPECT_EQ(packer_test::frame_window(block), window ? window : decompress_frame(block).size()) << text;
    }
    // A missing import refuses the packing, unless it is accepted knowingly.
    image_spec importer;
    importer.dll = true;
    importer.exports = {"run_code"};
    importer.imports = {"kernel32.dll", "missing-helper.dll"};
    add("app.dll", make_image(importer));
    fs::remove(output_);
    std::vector<std::string> pack{app, "-o", out, "--launcher", launcher, "--level", "1", "--entry", "app.dll"};
    tool_run missing = run_tool(scratch_.path(), pack);
    EXPECT_EQ(missing.code, 1);
    EXPECT_EQ(missing.err.rfind("tavrin-pack: error: a DLL that the application imports is missing:\n"
                                "  'app.dll' imports 'missing-helper.dll'\n", 0), 0u) << missing.err;
    EXPECT_FALSE(fs::exists(output_));
    write_file(scratch_.path() / "libs" / "missing-helper.dll", make_image(dll_spec()));
    std::vector<std::string> collecting = pack;
    collecting.insert(collecting.end(), {"--dll-path", arg(scratch_.path() / "libs")});
    tool_run collected = run_tool(scratch_.path(), collecting);
    EXPECT_EQ(collected.code, 0) << collected.err;
    EXPECT_NE(collected.out.find("\n  collected  missing-helper.dll (1.0 KiB) from " + arg(scratch_.path() / "libs") + "\n"),
              std::string::npos) << collected.out;
    collecting.push_back("--no-collect");
    EXPECT_EQ(run_tool(scratch_.path(), collecting).code, 1);
    pack.insert(pack.end(), {"--allow-missing", "MISSING-HELPER.DLL"});
    tool_run allowed = run_tool(scratch_.path(), pack);
    EXPECT_EQ(allowed.code, 0) << allowed.err;
    EXPECT_EQ(allowed.err, "");
    pack.insert(pack.end(), {"--allow-missing", "unused.dll", "-q"});
    EXPECT_EQ(run_tool(scratch_.path(), pack).err,
              "tavrin-pack: warning: --allow-missing unused.dll: no image of the package imports it, so it accepts nothing\n");
}

TEST_F(PackTest, HelpDocumentsEveryOptionAndExitCode)
{
    tool_run help = run_tool(scratch_.path(), {"--help"});
    EXPECT_EQ(help.code, 0);
    for (const char* item : {"-o, --output", "--entry NAME", "--level N", "--window N", "--threads N", "--launcher PATH", "--unpack-dir SPEC", "--cached", "--no-progress", "--allow-missing DLL", "--dll-path DIR", "--no-collect", "-q, --quiet", "list OUT.exe", "cache-dir OUT.exe",
                             "--console", "--windows", "--icon FILE", "--company TEXT", "--product TEXT", "--app-version A.B.C.D",
                             "--description TEXT", "--copyright TEXT", "--original-filename NAME", "--manifest-level LEVEL",
                             "verify OUT.exe", "extract OUT.exe DIR", "-h, --help", "--version", "Exit codes:", "  0  ", "  1  ", "  2  "})
        EXPECT_NE(help.out.find(item), std::string::npos) << item;
    EXPECT_NE(help.out.find("(default " + std::to_string(tavrin::default_compression_level) + ")"), std::string::npos);
    for (const char* command : {"list", "verify", "extract", "pack", "cache-dir"}) {
        tool_run again = run_tool(scratch_.path(), {command, "--help"});
        EXPECT_EQ(again.code, 0) << command;
        EXPECT_EQ(again.out, help.out) << command;
    }
}

// APP_DIR as given: nothing there, a file, or a program or DLL, for which the refusal gives the
// command that packs its folder.
TEST_F(PackTest, WhatStandsWhereTheApplicationFolderGoes)
{
    add("prog.exe", program_image(3));
    add("lib.dll", entry_dll());
    add("notes.txt", "n");
    const std::string app = arg(app_), out = arg(output_);
    const std::string packs_folder = ", not the application's folder; pack its folder (every file below it goes in): tavrin-pack ";
    const std::vector<std::tuple<std::string, int, std::string>> cases = {
        {app + "/none", 1, "the application directory '" + app + "/none' does not exist"},
        {app + "/notes.txt", 1, "the application directory '" + app + "/notes.txt' is not a directory"},
        {app + "/prog.exe", 2, "'" + app + "/prog.exe' is a program" + packs_folder + app + " --entry prog.exe -o " + out + "\n"},
        {app + "/lib.dll", 2, "'" + app + "/lib.dll' is a DLL" + packs_folder + app + " --entry lib.dll -o " + out + "\n"},
    };
    for (const auto& [operand, code, message] : cases) {
        tool_run run = run_tool(scratch_.path(), {operand, "-o", out, "--launcher", arg(launcher_)});
        EXPECT_EQ(run.code, code) << operand;
        EXPECT_NE(run.err.find(message), std::string::npos) << message << "\n" << run.err;
    }
    EXPECT_FALSE(fs::exists(output_));
}

TEST_F(PackTest, CommandSummaryQuietAndThreads)
{
    add("app.dll", entry_dll());
    add("docs/a.txt", std::string(5000, 'a'));
    add("docs/deep/b.txt", "b");
    const std::string launcher = arg(launcher_);

    tool_run loud = run_tool(scratch_.path(), {arg(app_), "-o", arg(output_), "--launcher", launcher, "--level", "5", "--threads", "1"});
    ASSERT_EQ(loud.code, 0) << loud.err;
    const std::string first = read_file(output_);
    const std::uint64_t block = packer_test::read_attached_block(output_).size();
    for (const std::string& part :
         {"Packed " + arg(output_) + ": 3 files, 2 directories; entry app.dll\n", "  bytes in   " + tavrin::format_count(entry_dll().size() + 5001),
          "  bytes out  " + std::to_string(block), std::string("ratio "), "executable " + tavrin::format_count(first.size()),
          std::string("  settings   level 5, window "), std::string(", 1 thread\n"), std::string("  time       "),
          std::string("\n  subsystem  windowed (a DLL entry's default; --console for a console program)\n"),
          std::string("\n  progress   a window when a start takes over 400 ms (--no-progress turns it off)\n")})
        EXPECT_NE(loud.out.find(part), std::string::npos) << part << "\n" << loud.out;
    EXPECT_EQ(loud.err, "") << "a quick packing shows no progress lines";
    EXPECT_FALSE(tavrin::package_settings(output_)->no_progress);

    // --no-progress reaches the record, the summary and the listing.
    tool_run no_progress = run_tool(scratch_.path(), {arg(app_), "-o", arg(output_), "--launcher", launcher, "--no-progress"});
    ASSERT_EQ(no_progress.code, 0) << no_progress.err;
    EXPECT_NE(no_progress.out.find("\n  progress   none (--no-progress)\n"), std::string::npos) << no_progress.out;
    EXPECT_TRUE(tavrin::package_settings(output_)->no_progress);
    const std::string listed = run_tool(scratch_.path(), {"list", arg(output_)}).out;
    EXPECT_NE(listed.find(" (temporary: made for each run, deleted at its end; no progress window)\n"), std::string::npos) << listed;

    tool_run quiet = run_tool(scratch_.path(), {arg(app_), "-o", arg(output_), "--launcher", launcher, "--level", "5", "-q", "--threads", "4"});
    EXPECT_EQ(quiet.code, 0) << quiet.err;
    EXPECT_EQ(quiet.out, "");
    EXPECT_EQ(quiet.err, "");
    EXPECT_TRUE(read_file(output_) == first) << "--threads does not change the output";

    add(std::string(tavrin::long_name_threshold + 1, 'w'), "w");
    tool_run warned = run_tool(scratch_.path(), {arg(app_), "-o", arg(output_), "--launcher", launcher, "-q"});
    EXPECT_EQ(warned.code, 0) << warned.err;
    EXPECT_NE(warned.err.find("warning: '" + std::string(tavrin::long_name_threshold + 1, 'w') + "'"), std::string::npos) << warned.err;
}

}  // namespace
