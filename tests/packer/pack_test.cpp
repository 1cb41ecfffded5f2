// Packing a directory: order, entry choice, a program as the entry, refused names and files,
// warnings, the output never half-written, the same bytes whatever the file system or thread count,
// refused places for the output, and where the launcher image is found.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <random>
#include <sstream>

#include "packer/base/helpers.h"
#include "packer/base/names.h"
#include "packer/cli/report.h"
#include "packer/image/pe_image.h"
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

TEST_F(PackTest, EntryFirstThenTopLevelThenTheRestByName)
{
    const std::string dll = entry_dll();
    add("zeta.txt", "z");
    add("hello.dll", dll);
    add("Alpha.txt", "A");
    add("_under.txt", "_");
    add(fs::u8path(u8"\u00e9t\u00e9.txt"), "e");
    add("b/x.txt", "bx");
    add("a/y.txt", "ay");
    add("a/b/z.txt", "abz");
    add("a/empty", "");

    tavrin::pack_result result = tavrin::pack_application(options());
    const std::vector<std::u16string> expected{u"hello.dll", u"Alpha.txt", u"_under.txt", u"zeta.txt", u"\u00e9t\u00e9.txt",
                                               u"a\\b\\z.txt", u"a\\empty", u"a\\y.txt", u"b\\x.txt"};
    EXPECT_EQ(result.names, expected);
    auto entries = packed_entries();
    EXPECT_EQ(names_of(entries), expected);
    ASSERT_EQ(entries.size(), expected.size());
    EXPECT_EQ(entries[0].content, dll);
    EXPECT_EQ(entries[5].content, "abz");
    EXPECT_EQ(entries[6].content, "");
    EXPECT_EQ(result.content_bytes, dll.size() + 11);
    EXPECT_EQ(result.output_size, fs::file_size(output_));
    EXPECT_EQ(result.block_size, packer_test::read_attached_block(output_).size());
    EXPECT_EQ(scratch_directory::listing(out_dir_), std::vector<std::string>{"app.exe"}) << "no temporary file left";
}

TEST_F(PackTest, ChoosingTheEntry)
{
    add("sub/deep.dll", entry_dll());
    add("readme.txt", "r");
    EXPECT_NE(refusal<tavrin::entry_error>(options()).find("no entry"), std::string::npos)
        << "a DLL below the top level is never taken on its own";

    auto opts = options();
    opts.entry = u"sub\\deep.dll";
    tavrin::pack_application(opts);
    EXPECT_EQ(names_of(packed_entries()).front(), u"sub\\deep.dll");
    fs::remove(output_);

    add("one.dll", entry_dll());
    add("helper.dll", entry_dll({"helper"}));  // a DLL without run_code is no candidate
    tavrin::pack_application(options());
    EXPECT_EQ(names_of(packed_entries()).front(), u"one.dll");
    fs::remove(output_);

    add("TWO.DLL", entry_dll({"other", "run_code"}));
    EXPECT_NE(refusal<tavrin::entry_error>(options()).find("several"), std::string::npos);
    opts.entry = u"TWO.DLL";
    tavrin::pack_application(opts);
    EXPECT_EQ(names_of(packed_entries()), (std::vector<std::u16string>{u"TWO.DLL", u"helper.dll", u"one.dll", u"readme.txt",
                                                                       u"sub\\deep.dll"}));
}

TEST_F(PackTest, RefusedEntries)
{
    image_spec i386;
    i386.dll = true;
    i386.machine = 0x14C;
    i386.exports = {"run_code"};
    add("program.bin", make_image({}));
    add("plain.dll", entry_dll({"something_else"}));
    add("x86.dll", make_image(i386));
    add("notes.dll", "not an image, only text pretending to be one by its name ...........");

    const std::pair<std::u16string, std::string> cases[] = {
        {u"program.bin", "not a DLL"},
        {u"plain.dll", "does not export run_code"},
        {u"x86.dll", "not for x86-64"},
        {u"notes.dll", "no MZ header"},
        {u"missing.dll", "not a file of the application directory"},
    };
    for (const auto& [entry, message] : cases) {
        auto opts = options();
        opts.entry = entry;
        EXPECT_NE(refusal<tavrin::entry_error>(opts).find(message), std::string::npos) << message;
    }
    // Without --entry, the reasons why no top-level DLL qualifies are listed.
    std::string none = refusal<tavrin::entry_error>(options());
    EXPECT_NE(none.find("plain.dll"), std::string::npos) << none;
    EXPECT_NE(none.find("x86.dll"), std::string::npos) << none;
}

TEST_F(PackTest, AProgramAsTheEntry)
{
    add("prog.exe", program_image(3, program_resources()));
    add("helper.dll", entry_dll({"helper"}));
    add("data/x.txt", "x");
    // The one top-level .exe, since no DLL exports run_code: its subsystem, icon and version block.
    tavrin::pack_result result = tavrin::pack_application(options());
    EXPECT_EQ(names_of(packed_entries()).front(), u"prog.exe");
    EXPECT_TRUE(tavrin::package_settings(output_)->exe_entry);
    EXPECT_TRUE(result.entry.program);
    tavrin::package_identity identity = tavrin::read_package_identity(output_);
    EXPECT_EQ(identity.subsystem, 3);
    ASSERT_TRUE(identity.version);
    EXPECT_EQ(version_text_of(identity, "CompanyName"), "Prog Co");
    EXPECT_EQ(version_text_of(identity, "ProductVersion"), "1.2.0.0");
    EXPECT_EQ(identity.version->file_version, (tavrin::version_numbers{1, 2, 3, 4}));
    ASSERT_EQ(identity.icons.size(), 2u);
    EXPECT_EQ(identity.icons[1].image.width, 32);
    EXPECT_EQ(tavrin::pack_summary(result, output_).find("note"), std::string::npos);
    EXPECT_NE(tavrin::pack_summary(result, output_).find("\n  subsystem  console (the program's)\n"), std::string::npos);

    // Options override field by field; a windowed package of a console program says what follows.
    auto opts = options();
    opts.identity.product = "Other";
    opts.identity.console = false;
    result = tavrin::pack_application(opts);
    identity = tavrin::read_package_identity(output_);
    EXPECT_EQ(identity.subsystem, 2);
    EXPECT_EQ(version_text_of(identity, "ProductName"), "Other");
    EXPECT_EQ(version_text_of(identity, "CompanyName"), "Prog Co");
    EXPECT_EQ(version_text_of(identity, "FileVersion"), "1.2.3.4");
    EXPECT_EQ(identity.icons.size(), 2u);
    EXPECT_NE(tavrin::pack_summary(result, output_).find("a console does not wait for it"), std::string::npos);
    EXPECT_NE(tavrin::pack_summary(result, output_).find("\n  subsystem  windowed (--windows)\n"), std::string::npos);

    // Several programs: refused, listed; --entry picks one; a DLL with run_code goes before them all.
    add("other.exe", program_image(2));
    fs::remove(output_);
    std::string several = refusal<tavrin::entry_error>(options());
    EXPECT_NE(several.find("'other.exe', 'prog.exe'"), std::string::npos) << several;
    EXPECT_NE(several.find("--entry"), std::string::npos) << several;
    opts = options();
    opts.entry = u"other.exe";
    result = tavrin::pack_application(opts);
    EXPECT_EQ(tavrin::read_package_identity(output_).subsystem, 2);
    EXPECT_EQ(names_of(packed_entries()).front(), u"other.exe");
    add("app.dll", entry_dll());
    result = tavrin::pack_application(options());
    EXPECT_FALSE(tavrin::package_settings(output_)->exe_entry);
    EXPECT_EQ(names_of(packed_entries()).front(), u"app.dll");
    fs::remove(output_);

    // An entry program must be one for x86-64, and not a DLL.
    add("x86.exe", program_image(3, {}, 0x14C));
    add("arm.exe", program_image(3, {}, 0xAA64));
    add("lib.exe", entry_dll());
    add("net32.exe", pe32_program(3, 0x1 | 0x2));  // IL only, but 32-bit required
    for (const auto& [entry, message] : {std::pair<std::u16string, std::string>{u"x86.exe", "built for 32-bit x86"},
                                         {u"arm.exe", "built for ARM64"}, {u"lib.exe", "a DLL, not a program"},
                                         {u"net32.exe", "built for 32-bit x86 (machine 0x014c), not for x86-64"}}) {
        opts.entry = entry;
        EXPECT_NE(refusal<tavrin::entry_error>(opts).find(message), std::string::npos) << message;
    }

    // An IL-only AnyCPU .NET program (PE32, 32-bit x86 in its header) runs as x86-64: taken, with
    // its subsystem and resources, and list says what it is.
    add("net.exe", pe32_program(2, 0x1, program_resources()));
    opts = options();
    opts.entry = u"net.exe";
    result = tavrin::pack_application(opts);
    EXPECT_TRUE(result.entry.any_cpu);
    EXPECT_EQ(tavrin::read_package_identity(output_).subsystem, 2);
    EXPECT_EQ(version_text_of(tavrin::read_package_identity(output_), "CompanyName"), "Prog Co");
    const std::string listed = run_tool(scratch_.path(), {"list", arg(output_)}).out;
    EXPECT_NE(listed.find("\nentry net.exe: an AnyCPU .NET windowed program (IL only, run as x86-64)\n"), std::string::npos) << listed;
}

#ifndef _WIN32
// Windows cannot create these names in the first place (nor tavrin-pack.exe walk a path as deep as
// the longest); there the name rules are checked on their own (names_test.cpp).
TEST_F(PackTest, RefusedNames)
{
    const std::vector<std::pair<fs::path, std::string>> cases = {
        {"what?.txt", "cannot hold"},
        {"sub/trailing.", "ending in '.'"},
        {"logs/NUL.txt", "reserved device name"},
        {"com1", "reserved device name"},
        {fs::u8path(u8"Lpt\u00b2.log"), "reserved device name"},
        {"aux/readme.md", "reserved device name"},
        {"Readme.TXT", "differ only in letter case"},
        {fs::u8path(u8"\u00c9T\u00c9.txt"), "differ only in letter case"},
        {fs::u8path(u8"\u0416\u0423\u041a.txt"), "differ only in letter case"},
        {"back\\slash", "backslash"},
        {"tab\there", "control character"},
        {"Data", "needs a directory"},  // beside data/x.txt
        {fs::path(std::string(250, 'd')) / std::string(250, 'e') / std::string(250, 'f') / std::string(250, 'g') /
             std::string(250, 'h') / "file",
         "longer than 1023"},
    };
    for (const auto& [name, message] : cases) {
        SCOPED_TRACE(message + " " + name.u8string());
        fs::path app = scratch_.path() / "names";
        fs::remove_all(app);
        write_file(app / "app.dll", entry_dll());
        write_file(app / "readme.txt", "r");
        write_file(app / fs::u8path(u8"\u00e9t\u00e9.txt"), "e");
        write_file(app / fs::u8path(u8"\u0436\u0443\u043a.txt"), "beetle");
        write_file(app / "data" / "x.txt", "x");
        write_file(app / name, "x");
        std::string refused = refusal<tavrin::name_error>(options(app));
        EXPECT_NE(refused.find(message), std::string::npos) << refused;
        // The message names the file at fault.
        std::string shown = name.u8string();
        std::replace(shown.begin(), shown.end(), '/', '\\');
        if (name.u8string().size() < 100) {
            EXPECT_NE(refused.find(shown), std::string::npos) << refused;
        }
    }
}

TEST_F(PackTest, AllRefusalsAreNamedAtOnce)
{
    add("app.dll", entry_dll());
    add("con.txt", "c");
    add("a|b", "pipe");
    add("ok.txt", "fine");
    std::string refused = refusal<tavrin::name_error>(options());
    EXPECT_EQ(refused.rfind("2 files refused:", 0), 0u) << refused;
    EXPECT_NE(refused.find("'con.txt'"), std::string::npos) << refused;
    EXPECT_NE(refused.find("'a|b'"), std::string::npos) << refused;
    EXPECT_EQ(refused.find("ok.txt"), std::string::npos) << refused;
}

TEST_F(PackTest, FilesThatCannotBeTaken)
{
    add("app.dll", entry_dll());
    add("target.txt", "the target's content");
    add("dir/inner.txt", "inner");

    // A link to a file is followed: the content is packed under the link's name.
    fs::create_symlink(app_ / "target.txt", app_ / "link.txt");
    tavrin::pack_application(options());
    auto entries = packed_entries();
    ASSERT_EQ(names_of(entries), (std::vector<std::u16string>{u"app.dll", u"link.txt", u"target.txt", u"dir\\inner.txt"}));
    EXPECT_EQ(entries[1].content, "the target's content");
    fs::remove(output_);

    struct special {
        const char* what;
        std::function<void(const fs::path&)> make;
        std::string message;
    };
    const special specials[] = {
        {"link to a directory", [&](const fs::path& at) { fs::create_directory_symlink(app_ / "dir", at); }, "symbolic link to a directory"},
        {"dangling link", [&](const fs::path& at) { fs::create_symlink(scratch_.path() / "gone", at); }, "target does not exist"},
        {"FIFO", [](const fs::path& at) { ASSERT_EQ(mkfifo(at.c_str(), 0644), 0); }, "neither a regular file nor a directory"},
    };
    for (const auto& item : specials) {
        SCOPED_TRACE(item.what);
        const fs::path at = app_ / "special";
        item.make(at);
        std::string refused = refusal<tavrin::pack_error>(options());
        EXPECT_NE(refused.find(item.message), std::string::npos) << refused;
        EXPECT_NE(refused.find("special"), std::string::npos) << refused;
        fs::remove(at);
    }
}

TEST_F(PackTest, UnreadableFilesAreNamedBeforeAnythingIsWritten)
{
    add("app.dll", entry_dll());
    add("locked.bin", "secret");
    fs::permissions(app_ / "locked.bin", fs::perms::none);
    if (std::FILE* readable = std::fopen((app_ / "locked.bin").c_str(), "rb")) {
        // Running as root, which reads anything: a kernel file that is write-only even for root.
        std::fclose(readable);
        fs::remove(app_ / "locked.bin");
        const fs::path write_only = "/proc/sys/vm/drop_caches";
        std::error_code error;
        if (!fs::is_regular_file(write_only, error)) GTEST_SKIP() << "no file here that cannot be read";
        fs::create_symlink(write_only, app_ / "locked.bin");
    }
    std::string refused = refusal<tavrin::pack_error>(options());
    EXPECT_NE(refused.find("cannot read"), std::string::npos) << refused;
    EXPECT_NE(refused.find("locked.bin"), std::string::npos) << refused;
}
#endif

TEST_F(PackTest, LongUnpackPathsAreWarnedAbout)
{
    add("app.dll", entry_dll());
    const std::string deep = "assets/" + std::string(tavrin::long_name_threshold - 7, 'n');  // exactly at the threshold
    add(deep, "fits");
    auto opts = options();
    std::vector<std::string> told;
    opts.warning = [&](const std::string& warning) { told.push_back(warning); };
    EXPECT_TRUE(tavrin::pack_application(opts).warnings.empty());
    EXPECT_TRUE(told.empty());

    add(deep + "x", "one too long");
    tavrin::pack_result result = tavrin::pack_application(opts);
    ASSERT_EQ(result.warnings.size(), 1u);
    EXPECT_EQ(told, result.warnings);
    EXPECT_NE(result.warnings[0].find("assets\\" + std::string(tavrin::long_name_threshold - 7, 'n') + "x"), std::string::npos);
    EXPECT_EQ(names_of(packed_entries()).size(), 3u) << "a warning does not stop the packing";
}

TEST_F(PackTest, AFailureLeavesTheOutputAsItWas)
{
    add("app.dll", entry_dll());
    add("data.bin", std::string(1 << 20, 'd'));
    auto opts = options();
    opts.progress = [](const tavrin::block_progress& state) {
        if (state.bytes_done > 0) throw tavrin::pack_error("interrupted");
    };

    EXPECT_THROW(tavrin::pack_application(opts), tavrin::pack_error);
    EXPECT_TRUE(scratch_directory::listing(out_dir_).empty());

    write_file(output_, "the previous build");
    EXPECT_THROW(tavrin::pack_application(opts), tavrin::pack_error);
    EXPECT_EQ(read_file(output_), "the previous build");
    EXPECT_EQ(scratch_directory::listing(out_dir_), std::vector<std::string>{"app.exe"});

    // A complete run replaces it.
    tavrin::pack_application(options());
    EXPECT_EQ(names_of(packed_entries()).size(), 2u);
}

TEST_F(PackTest, SameFilesSameBytes)
{
    // Two directories with the same files, created in different orders (so listed in different
    // orders), with different file times, packed with different numbers of threads.
    std::vector<std::pair<fs::path, std::string>> files = {
        {"app.dll", entry_dll()}, {"c.txt", "c"}, {"a.txt", "a"}, {"d/b.txt", "db"}, {"d/a.txt", "da"}, {"b/z", "bz"}};
    for (int i = 0; i < 40; ++i) files.push_back({"many/f" + std::to_string(i * 7919 % 40), std::string(i * 100, 'a' + i % 26)});
    // Large enough for the compressor's workers to take part (small inputs it compresses alone).
    std::string large(512 << 10, '\0');
    std::mt19937 random(99);
    for (std::size_t i = 0; i < large.size(); i += 4096)
        std::generate_n(large.begin() + i, 4096, [&] { return static_cast<char>("0123456789abcdef"[random() % 16]); });
    files.push_back({"data/large.bin", large + large.substr(0, 100000)});
    fs::path second = scratch_.path() / "second";
    for (const auto& [name, content] : files) add(name, content);
    std::shuffle(files.begin(), files.end(), std::mt19937(1234));
    const auto start = fs::file_time_type::clock::now();
    int minutes = 0;
    for (const auto& [name, content] : files) {
        write_file(second / name, content);
        fs::last_write_time(second / name, start - std::chrono::minutes(++minutes * 37));
    }

    // The default level and window, and a window limit.
    for (unsigned window_log : {0u, 18u}) {
        auto opts = options();
        opts.block = tavrin::block_options{};
        opts.block.window_log = window_log;
        opts.block.threads = 1;
        // With every identity option too: they add nothing that changes from run to run.
        write_file(scratch_.path() / "icon.png", png_image(48, 48));
        opts.identity.console = true;
        opts.identity.icons = {scratch_.path() / "icon.png", scratch_.path() / "icon.png"};
        opts.identity.company = "Acme";
        opts.identity.product = "Road Runner";
        opts.identity.description = "Runs";
        opts.identity.copyright = "\xc2\xa9 Acme";
        opts.identity.original_filename = "rr.exe";
        opts.identity.version = tavrin::version_numbers{2, 3, 4, 5};
        tavrin::pack_result first_result = tavrin::pack_application(opts);
        const std::string first = read_file(output_);
        tavrin::pack_application(opts);
        EXPECT_TRUE(read_file(output_) == first) << "packing again";
        opts.app_dir = second;
        opts.block.threads = 3;
        tavrin::pack_result second_result = tavrin::pack_application(opts);
        EXPECT_TRUE(read_file(output_) == first) << "other order, times and thread count; window log " << window_log;
        EXPECT_EQ(second_result.threads, 3u);
        EXPECT_EQ(first_result.threads, 1u);
        EXPECT_EQ(second_result.names, first_result.names);
        if (window_log) {
            EXPECT_EQ(first_result.window_size, 1u << window_log) << "the limit, below the content's size";
        } else {
            EXPECT_GE(first_result.window_size, first_result.content_bytes) << "the content's size, below the default";
        }
    }
}

TEST_F(PackTest, TheResultDescribesThePacking)
{
    add("app.dll", entry_dll());
    add("a/b/c.txt", "abc");
    add("a/d.txt", "ad");
    add("e/f.txt", "ef");
    auto opts = options();
    opts.block.level = 7;
    tavrin::pack_result result = tavrin::pack_application(opts);
    EXPECT_EQ(result.directories, 3u);
    EXPECT_EQ(result.level, 7);
    EXPECT_EQ(result.threads, tavrin::resolved_threads(0));
    EXPECT_GE(result.threads, 1u);
    EXPECT_GT(result.window_log, 0u);
    EXPECT_GT(result.window_size, 0u);
    EXPECT_LE(result.window_size, 1ull << result.window_log);
    EXPECT_GE(result.seconds, 0.0);
}

TEST_F(PackTest, RefusedPlacesAndLaunchers)
{
    add("app.dll", entry_dll());
    auto inside = options();
    inside.output = out_dir_ / ".." / "app" / "app.exe";
    EXPECT_NE(refusal<tavrin::pack_error>(inside).find("inside the application directory"), std::string::npos);
    EXPECT_FALSE(fs::exists(app_ / "app.exe"));

    auto nowhere = options();
    nowhere.output = scratch_.path() / "no" / "such" / "app.exe";
    EXPECT_NE(refusal<tavrin::pack_error>(nowhere).find("does not exist"), std::string::npos);

    // Not the launcher image under any name: itself, another spelling, a hard link, a symbolic link
    // (not under Wine, which makes none), another letter case on Windows. The image stays as it was.
    const std::string image = read_file(launcher_);
    std::vector<fs::path> same{launcher_, out_dir_ / ".." / launcher_.filename(), scratch_.path() / "hard.exe"};
    fs::create_hard_link(launcher_, same.back());
#ifdef _WIN32
    same.push_back(scratch_.path() / "TAVRIN-Launcher.EXE");
#else
    same.push_back(scratch_.path() / "link.exe");
    fs::create_symlink(launcher_, same.back());
#endif
    for (const fs::path& output : same) {
        auto onto_launcher = options();
        onto_launcher.output = output;
        EXPECT_NE(refusal<tavrin::pack_error>(onto_launcher).find("is the launcher image"), std::string::npos) << output;
        EXPECT_TRUE(read_file(launcher_) == image) << output;
    }

    image_spec unstripped = launcher_spec();
    unstripped.overlay = std::string(100, 's');
    write_file(launcher_, make_image(unstripped));
    EXPECT_NE(refusal<tavrin::image_error>(options()).find("follow the last section"), std::string::npos);

    // Any other executable would make a package that does nothing: only the launcher's mark counts.
    write_file(launcher_, make_image({}));
    EXPECT_NE(refusal<tavrin::image_error>(options()).find("not a launcher image"), std::string::npos);
}

void set_variable(const char* name, const std::string& value)
{
#ifdef _WIN32
    _putenv_s(name, value.c_str());
#else
    if (value.empty())
        unsetenv(name);
    else
        setenv(name, value.c_str(), 1);
#endif
}

TEST_F(PackTest, FindingTheLauncherImage)
{
    const fs::path tool_dir = scratch_.path() / "bin";
    const fs::path beside = tool_dir / tavrin::launcher_file_name;
    write_file(beside, "image");
    set_variable(tavrin::launcher_variable, "");

    EXPECT_EQ(tavrin::find_launcher_image(launcher_, tool_dir), launcher_);
    EXPECT_THROW(tavrin::find_launcher_image(scratch_.path() / "missing.exe", tool_dir), tavrin::pack_error);
    EXPECT_EQ(tavrin::find_launcher_image({}, tool_dir), beside);
    set_variable(tavrin::launcher_variable, launcher_.u8string());
    EXPECT_EQ(tavrin::find_launcher_image({}, tool_dir), launcher_);
    set_variable(tavrin::launcher_variable, (scratch_.path() / "missing.exe").u8string());
    EXPECT_THROW(tavrin::find_launcher_image({}, tool_dir), tavrin::pack_error) << "a wrong variable is not skipped";
    set_variable(tavrin::launcher_variable, "");
    fs::remove(beside);
    EXPECT_THROW(tavrin::find_launcher_image({}, tool_dir), tavrin::pack_error);

    // The installed layout: bin/tavrin-pack and share/tavrin-onefile/tavrin-launcher.exe.
    const fs::path installed = scratch_.path() / "share" / "tavrin-onefile" / tavrin::launcher_file_name;
    write_file(installed, "image");
    EXPECT_TRUE(fs::equivalent(tavrin::find_launcher_image({}, tool_dir), installed));
    write_file(beside, "image");
    EXPECT_EQ(tavrin::find_launcher_image({}, tool_dir), beside) << "beside the tool comes first";
}

}  // namespace
