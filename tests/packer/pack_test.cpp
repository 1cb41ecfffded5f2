// Packing a directory: order, entry choice, refused names and files, warnings, the output never
// half-written, the same bytes whatever the file system or thread count, and the tavrin-pack command.
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <optional>
#include <random>
#include <sstream>
#include <tuple>

#include "packer/archive/archive_identity.h"
#include "packer/base/helpers.h"
#include "packer/base/names.h"
#include "packer/cli/report.h"
#include "packer/deps/imports.h"
#include "packer/image/pe_image.h"
#include "packer/pack.h"
#include "format/settings_record.h"
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

class PackTest : public testing::Test {
protected:
    PackTest()
    {
        fs::create_directories(app_);
        fs::create_directories(out_dir_);
        write_file(launcher_, make_image(launcher_spec()));
    }

    // A launcher image as the launcher's build leaves it: with its settings record.
    static image_spec launcher_spec()
    {
        image_spec spec;
        spec.settings_record = true;
        return spec;
    }

    void add(const fs::path& relative, const std::string& content) { write_file(app_ / relative, content); }

    // A DLL that imports `imports`; an entry (exporting run_code) when `entry`.
    static image_spec dll_spec(std::vector<std::string> imports = {}, bool entry = false)
    {
        image_spec spec;
        spec.dll = true;
        spec.imports = std::move(imports);
        if (entry) spec.exports = {"run_code"};
        return spec;
    }

    tavrin::pack_options options(const fs::path& app_dir) const
    {
        tavrin::pack_options options;
        options.app_dir = app_dir;
        options.output = output_;
        options.launcher = launcher_;
        options.block.level = 3;
        options.collect.toolchain = nullptr;  // the packing machine's compiler stays out of these tests
        return options;
    }
    tavrin::pack_options options() const { return options(app_); }

    std::vector<unpacked_entry> packed_entries() const { return unpack_block(packer_test::read_attached_block(output_)); }

    // The message of the `Error` that packing with `opts` throws, and that the output dir stays empty.
    template <typename Error>
    std::string refusal(const tavrin::pack_options& opts)
    {
        std::string message;
        try {
            tavrin::pack_application(opts);
            ADD_FAILURE() << "packed without complaint";
        } catch (const Error& error) {
            message = error.what();
        }
        EXPECT_TRUE(scratch_directory::listing(out_dir_).empty()) << message;
        return message;
    }

    scratch_directory scratch_;
    fs::path app_ = scratch_.path() / "app";
    fs::path out_dir_ = scratch_.path() / "out";
    fs::path output_ = out_dir_ / "app.exe";
    fs::path launcher_ = scratch_.path() / "tavrin-launcher.exe";
};

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

// A console program with a version block and an icon group of its own: group 7 listing icons 5 and 6.
std::vector<tavrin::resource_entry> program_resources()
{
    tavrin::version_identity version;
    version.company = "Prog Co";
    version.product = "Prog";
    version.description = "Does things";
    version.original_filename = "prog.exe";
    version.version = {1, 2, 3, 4};
    version.product_version = {1, 2, 0, 0};
    std::vector<tavrin::icon_image> images;
    for (std::uint32_t side : {16, 32}) images.push_back(tavrin::parse_icon_file(png_image(side, side), "png").front());
    std::vector<tavrin::resource_entry> resources = tavrin::icon_resources(images);
    for (auto& resource : resources) {
        if (resource.type == tavrin::rt_icon) resource.name += 4;
        if (resource.type != tavrin::rt_group_icon) continue;
        resource.name = 7;
        for (std::size_t i = 0; i < 2; ++i) resource.data[6 + 14 * i + 12] = static_cast<char>(5 + i);
    }
    resources.push_back({tavrin::rt_version, 1, 0x409, tavrin::write_version_block(version)});
    return resources;
}

std::string version_text_of(const tavrin::package_identity& identity, const std::string& key)
{
    for (const auto& [text_key, value] : identity.version->texts)
        if (text_key == key) return value;
    return "<none>";
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

TEST_F(PackTest, ListAndVerifySayWhatTheEntryIs)
{
    add("prog.exe", program_image(3));
    add("app.dll", entry_dll());
    auto pack = [&](const char* entry) {
        return run_tool(scratch_.path(), {arg(app_), "-o", arg(output_), "--launcher", arg(launcher_), "--entry", entry, "-q"});
    };
    auto flag = [&](bool program) {
        std::fstream image(output_, std::ios::in | std::ios::out | std::ios::binary);
        const std::uint64_t at = tavrin::find_launch_settings(image, tavrin::read_pe_headers(image, "package"), "package");
        tavrin::launch_settings settings = *tavrin::read_launch_settings(image, at);
        settings.exe_entry = program;
        tavrin::write_launch_settings(image, at, settings);
    };
    auto bad_entry = [&](const char* command) {
        tool_run run = run_tool(scratch_.path(), {command, arg(output_)});
        EXPECT_EQ(run.code, 1) << command;
        const std::size_t at = run.err.find("bad-entry: ");
        return at == std::string::npos ? run.err : run.err.substr(at + 11, run.err.find('\n', at) - at - 11);
    };
    tool_run packed = pack("prog.exe");
    ASSERT_EQ(packed.code, 0) << packed.err;
    EXPECT_NE(run_tool(scratch_.path(), {"list", arg(output_)}).out.find("\nentry prog.exe: an x86-64 console program\n"),
              std::string::npos);
    // (The launcher fixture has no manifest, which verify reports on its own: bad-resources.)
    EXPECT_EQ(run_tool(scratch_.path(), {"verify", arg(output_)}).err.find("bad-entry"), std::string::npos);
    flag(false);
    EXPECT_EQ(bad_entry("verify").rfind("entry 'prog.exe': a program, but the launch settings say the entry is a DLL", 0), 0u);
    EXPECT_NE(run_tool(scratch_.path(), {"list", arg(output_)}).out.find("\nentry prog.exe: bad-entry: entry 'prog.exe': a program"),
              std::string::npos);

    ASSERT_EQ(pack("app.dll").code, 0);
    EXPECT_NE(run_tool(scratch_.path(), {"list", arg(output_)}).out.find("\nentry app.dll: an x86-64 DLL that exports run_code\n"),
              std::string::npos);
    flag(true);
    EXPECT_EQ(bad_entry("verify"), "entry 'app.dll': the launch settings say the entry is a program, but it is a DLL");
}

// An icon group taken from a program is held to the rules of an --icon file, whatever it lists:
// refused with the file's words and a pointer to --icon, unless --icon replaces it.
TEST_F(PackTest, AProgramsIconGroupKeepsTheRulesOfAnIconFile)
{
    // Group 1 listing `ids`, each naming one of `icons` (id 1 upwards).
    auto program = [](const std::vector<std::uint16_t>& ids, const std::vector<std::string>& icons) {
        std::string group = tavrin::little_endian_bytes(0, 2) + tavrin::little_endian_bytes(1, 2) + tavrin::little_endian_bytes(ids.size(), 2);
        for (std::uint16_t id : ids)
            group += std::string("\x20\x20\0\0", 4) + tavrin::little_endian_bytes(1, 2) + tavrin::little_endian_bytes(32, 2) +
                     tavrin::little_endian_bytes(icons.at(id - 1).size(), 4) + tavrin::little_endian_bytes(id, 2);
        std::vector<tavrin::resource_entry> resources{{tavrin::rt_group_icon, 1, 0, group}};
        for (std::size_t i = 0; i < icons.size(); ++i) resources.push_back({tavrin::rt_icon, static_cast<std::uint32_t>(i + 1), 0, icons[i]});
        return program_image(3, resources);
    };
    const std::string small = png_image(32, 32);
    // A PNG image of 9 MiB: ancillary bytes between its header and its end.
    const std::string large = small.substr(0, small.size() - 12) + std::string(9 << 20, 'p') + small.substr(small.size() - 12);
    std::vector<std::uint16_t> many;
    std::vector<std::string> many_icons;
    for (std::uint16_t id = 1; id <= 65; ++id) {
        many.push_back(id);
        many_icons.push_back(png_image(id, id));
    }
    const std::string what = "the icon group of the program 'prog.exe': ";
    const struct {
        std::string image;
        std::string says;
    } cases[] = {
        {program({1, 1}, {small}), what + "images 1 and 2 share bytes"},
        {program({1, 2, 1}, {small, small}), what + "images 1 and 3 share bytes"},
        {program(many, many_icons), what + "65 images; an icon file may hold at most 64"},
        {program({1}, {png_image(512, 512)}), what + "image 1: the PNG image is 512x512 pixels"},
        {program({1, 2}, {large, large}), what + "its images add up to " + std::to_string(6 + 2 * 16 + 2 * large.size()) +
                                              " bytes; an icon file may have at most 16 MiB"},
    };
    const fs::path icon = scratch_.path() / "given.ico";
    write_file(icon, ico_file({small}));
    for (const auto& each : cases) {
        SCOPED_TRACE(each.says);
        add("prog.exe", each.image);
        const std::string refused = refusal<tavrin::pack_error>(options());
        EXPECT_EQ(refused.rfind(each.says, 0), 0u) << refused;
        const std::string hint = "; give the package its icon with --icon";
        EXPECT_EQ(refused.substr(refused.size() - std::min(refused.size(), hint.size())), hint);
        // With --icon the program's group is not taken, nor read.
        auto opts = options();
        opts.identity.icons = {icon};
        tavrin::pack_application(opts);
        EXPECT_EQ(tavrin::read_package_identity(output_).icons.size(), 1u);
        fs::remove(output_);
    }
}

// A collected DLL is named where its importer's loader looks; a name of the application's that
// Windows would take for the same path refuses the packing before anything is written.
TEST_F(PackTest, ACollectedDllMayNotClashWithTheApplicationsNames)
{
    const fs::path libs = scratch_.path() / "libs";
    write_file(libs / "libstdc++-6.dll", make_image(dll_spec()));
    write_file(libs / "libfoo.dll", make_image(dll_spec()));
    const struct {
        std::string directory;  // of the application's, holding x.txt
        std::string file, dll;  // the names that clash
    } cases[] = {
        {"libstdc++-6.dll", "libstdc++-6.dll", "libstdc++-6.dll\\x.txt"},
        {"LIBSTDC++-6.DLL", "libstdc++-6.dll", "LIBSTDC++-6.DLL\\x.txt"},
        {"plugins/LibFoo.dll", "plugins\\libfoo.dll", "plugins\\LibFoo.dll\\x.txt"},
    };
    for (const auto& each : cases) {
        SCOPED_TRACE(each.directory);
        fs::remove_all(app_);
        add("app.dll", make_image(dll_spec({"libstdc++-6.dll"}, true)));
        add("plugins/plugin.dll", make_image(dll_spec({"libfoo.dll"})));
        add(fs::path(each.directory) / "x.txt", "x");
        auto opts = options();
        opts.collect.dll_path = {libs};
        const std::string refused = refusal<tavrin::name_error>(opts);
        EXPECT_NE(refused.find("the file '" + each.file + "' stands where '" + each.dll + "' needs a directory"), std::string::npos)
            << refused;
        EXPECT_NE(refused.find("'" + each.file + "' is a DLL collected for the application"), std::string::npos) << refused;
    }
    // Without the clash the same DLLs are collected.
    fs::remove_all(app_);
    add("app.dll", make_image(dll_spec({"libstdc++-6.dll"}, true)));
    auto opts = options();
    opts.collect.dll_path = {libs};
    EXPECT_EQ(tavrin::pack_application(opts).collected.size(), 1u);
}

// The package's manifest asks for the program entry's own execution level unless --manifest-level
// says otherwise; a DLL entry's default is asInvoker. The summary says which level and whence.
TEST_F(PackTest, TheManifestLevelIsTheProgramsUnlessGiven)
{
    image_spec spec = launcher_spec();
    spec.resources = {{tavrin::rt_manifest, 1, 0,
                       "<assembly><trustInfo><requestedExecutionLevel level=\"asInvoker\" uiAccess=\"false\"/></trustInfo></assembly>"}};
    write_file(launcher_, make_image(spec));
    auto manifest = [](const std::string& element) {
        return std::vector<tavrin::resource_entry>{{tavrin::rt_manifest, 1, 0x409, "<assembly><ms_asmv3:security>" + element + "</ms_asmv3:security></assembly>"}};
    };
    const struct {
        std::string program;  // empty: a DLL entry
        std::optional<tavrin::execution_level> given;
        const char* level;
        const char* source;
    } cases[] = {
        {program_image(3, manifest("<ms_asmv3:requestedExecutionLevel level=\"requireAdministrator\" uiAccess=\"false\"/>")),
         std::nullopt, "requireAdministrator", "the program's manifest"},
        {program_image(2, manifest("<requestedExecutionLevel uiAccess='false'\n  level = 'highestAvailable'/>")), std::nullopt,
         "highestAvailable", "the program's manifest"},
        {pe32_program(3, 0x1, manifest("<requestedExecutionLevel level=\"requireAdministrator\"/>")), std::nullopt,
         "requireAdministrator", "the program's manifest"},
        {program_image(3, manifest("<requestedExecutionLevel level=\"requireAdministrator\"/>")), tavrin::execution_level::as_invoker,
         "asInvoker", "--manifest-level"},
        {program_image(3, manifest("<requestedExecutionLevel level=\"root\"/>")), std::nullopt, "asInvoker", "the default"},
        {program_image(3), std::nullopt, "asInvoker", "the default"},
        {program_image(3), tavrin::execution_level::highest_available, "highestAvailable", "--manifest-level"},
        {"", std::nullopt, "asInvoker", "the default"},
    };
    for (const auto& each : cases) {
        SCOPED_TRACE(std::string(each.level) + " from " + each.source);
        fs::remove_all(app_);
        add(each.program.empty() ? "app.dll" : "prog.exe", each.program.empty() ? entry_dll() : each.program);
        auto opts = options();
        opts.identity.level = each.given;
        const tavrin::pack_result result = tavrin::pack_application(opts);
        EXPECT_EQ(tavrin::read_package_identity(output_).level, each.level);
        const std::string summary = tavrin::pack_summary(result, output_);
        EXPECT_NE(summary.find(std::string("\n  manifest   execution level ") + each.level + " (" + each.source + ")\n"), std::string::npos)
            << summary;
        const std::string manifest_bytes = read_file(output_);
        EXPECT_NE(manifest_bytes.find(std::string("level=\"") + each.level + "\" uiAccess=\"false\""), std::string::npos);
    }
    fs::remove_all(app_);
    add("prog.exe", program_image(3, manifest("<requestedExecutionLevel level=\"root\"/>")));
    const tavrin::pack_result result = tavrin::pack_application(options());
    ASSERT_EQ(result.warnings.size(), 1u);
    EXPECT_EQ(result.warnings.front(), "the program 'prog.exe': its manifest asks for the execution level 'root', which is none of "
                                       "asInvoker, highestAvailable and requireAdministrator; the package does not take it");
}

// Without identity options nothing of the launcher's own identity shows; the cached default spec
// leaves out the empty company.
TEST_F(PackTest, ANeutralFaceByDefault)
{
    add("app.dll", entry_dll());
    tavrin::pack_application(options());
    tavrin::package_identity identity = tavrin::read_package_identity(output_);
    ASSERT_TRUE(identity.version);
    EXPECT_EQ(version_text_of(identity, "CompanyName"), "");
    EXPECT_EQ(version_text_of(identity, "ProductName"), "app");
    EXPECT_EQ(version_text_of(identity, "FileDescription"), "app");
    EXPECT_EQ(version_text_of(identity, "InternalName"), "app");
    EXPECT_EQ(version_text_of(identity, "ProductVersion"), "0.0.0.0");
    for (auto [key, value] : identity.version->texts) {
        for (char& c : value) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        for (const char* ours : {"vx bench", "launcher", "tavrin"}) EXPECT_EQ(value.find(ours), std::string::npos) << key;
    }

    auto opts = options();
    opts.settings.cached = true;
    tavrin::pack_application(opts);
    EXPECT_EQ(tavrin::package_settings(output_)->unpack_spec, u"{CACHE_DIR}\\{PRODUCT}\\{VERSION}");
    opts.identity.company = "Acme";
    tavrin::pack_application(opts);
    EXPECT_EQ(tavrin::package_settings(output_)->unpack_spec, u"{CACHE_DIR}\\{COMPANY}\\{PRODUCT}\\{VERSION}");
    // A product made of the output's name reaches the path, and is checked as a name.
    fs::remove(output_);
    opts.output = out_dir_ / "trailing..exe";
    EXPECT_NE(refusal<tavrin::spec_error>(opts).find("ProductName"), std::string::npos);
}

// The description is the product's unless given: the product given, the program's, or the default's;
// a program's own description stays.
TEST_F(PackTest, TheDescriptionFollowsTheProduct)
{
    tavrin::version_identity named;
    named.product = "Named";
    const std::vector<tavrin::resource_entry> product_only = {{tavrin::rt_version, 1, 0x409, tavrin::write_version_block(named)}};
    struct description_case {
        std::string entry;  // "app.dll", else a program with these resources
        std::vector<tavrin::resource_entry> resources;
        std::optional<std::string> product, description;
        std::string expected;
    };
    const std::vector<description_case> cases = {
        {"app.dll", {}, std::nullopt, std::nullopt, "app"},
        {"app.dll", {}, "Mine", std::nullopt, "Mine"},
        {"app.dll", {}, "Mine", "Says", "Says"},
        {"prog.exe", product_only, std::nullopt, std::nullopt, "Named"},
        {"prog.exe", product_only, "Mine", std::nullopt, "Mine"},
        {"prog.exe", program_resources(), "Mine", std::nullopt, "Does things"},
    };
    for (const auto& each : cases) {
        fs::remove_all(app_);
        add(each.entry, each.entry == "app.dll" ? entry_dll() : program_image(3, each.resources));
        auto opts = options();
        opts.identity.product = each.product;
        opts.identity.description = each.description;
        tavrin::pack_application(opts);
        EXPECT_EQ(version_text_of(tavrin::read_package_identity(output_), "FileDescription"), each.expected)
            << each.entry << " " << each.product.value_or("-");
    }
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

TEST(SystemDlls, WindowsProvidesTheseButNoRuntimeOfACompiler)
{
    for (const char* name : {"kernel32.dll", "KERNEL32.DLL", "Kernel32", "ws2_32.dll", "ucrtbase.dll", "d3d11.dll", "winspool.drv",
                             "api-ms-win-core-synch-l1-2-0.dll", "API-MS-WIN-CRT-STDIO-L1-1-0.DLL", "ext-ms-win-ntuser-window-l1-1-0.dll"})
        EXPECT_TRUE(tavrin::is_system_dll(name)) << name;
    for (const char* name : {"vcruntime140.dll", "vcruntime140_1.dll", "msvcp140.dll", "libstdc++-6.dll", "libgcc_s_seh-1.dll",
                             "libwinpthread-1.dll", "d3dx9_43.dll", "xinput1_3.dll", "vulkan-1.dll", "kernel32.dll.bak"})
        EXPECT_FALSE(tavrin::is_system_dll(name)) << name;
}

TEST_F(PackTest, ImportsAreFoundInThePackageWhereTheLoaderLooksOrInWindows)
{
    image_spec app;
    app.dll = true;
    app.exports = {"run_code"};
    app.imports = {"KERNEL32.dll", "msvcrt.dll", "api-ms-win-crt-runtime-l1-1-0.dll", "Helper.DLL", "libstdc++-6.dll", "vcruntime140.dll"};
    image_spec plugin;
    plugin.dll = true;
    plugin.imports = {"USER32.dll", "sibling.dll", "missing-helper.dll"};
    plugin.delay_imports = {"later.dll"};
    image_spec dll;
    dll.dll = true;
    add("app.dll", make_image(app));
    add("helper.dll", make_image(dll));
    add("plugins/one/plugin.bin", make_image(plugin));  // an image by its content, whatever its name
    add("plugins/one/SIBLING.DLL", make_image(dll));
    add("plugins/two/missing-helper.dll", make_image(dll));
    add("plugins/one/damaged.dll", make_image(dll).substr(0, file_alignment));  // its section cut off

    std::string refused = refusal<tavrin::import_error>(options());
    for (const char* part :
         {"3 DLLs that the application imports are missing:\n", "\n  'app.dll' imports 'libstdc++-6.dll'\n",
          "\n  'app.dll' imports 'vcruntime140.dll'\n",
          "\n  'plugins\\one\\plugin.bin' imports 'missing-helper.dll' (the package has it as 'plugins\\two\\missing-helper.dll', "
          "where the loader does not look)\n",
          "-static", "Visual C++ runtime", "--allow-missing NAME"})
        EXPECT_NE(refused.find(part), std::string::npos) << part << "\n" << refused;
    for (const char* found : {"KERNEL32", "msvcrt", "api-ms-win", "Helper", "USER32", "sibling", "later.dll"})
        EXPECT_EQ(refused.find(found), std::string::npos) << found << "\n" << refused;

    auto opts = options();
    opts.allowed_missing = {"LIBSTDC++-6.DLL", "vcruntime140.dll", "Missing-Helper.dll"};
    std::vector<std::string> told;
    opts.warning = [&](const std::string& warning) { told.push_back(warning); };
    EXPECT_EQ(tavrin::pack_application(opts).warnings, told);
    ASSERT_EQ(told.size(), 2u);
    EXPECT_EQ(told[0].rfind("'plugins\\one\\damaged.dll': damaged PE image", 0), 0u) << told[0];
    EXPECT_NE(told[0].find("imports are not checked"), std::string::npos) << told[0];
    EXPECT_EQ(told[1].rfind("'plugins\\one\\plugin.bin' delay-loads 'later.dll', which is neither", 0), 0u) << told[1];
}

// A DLL that nothing provides is collected from the --dll-path directories in order, then from the
// toolchain's: beside its importer unless the loader finds it at the top, without its debug
// information (a signed one as it is), its own imports resolved in turn.
TEST_F(PackTest, MissingDllsAreCollected)
{
    image_spec own = dll_spec();
    own.debug_sections = {".debug_info"};
    add("app.dll", make_image(dll_spec({"kernel32.dll", "LIBFOO.DLL", "libsigned.dll"}, true)));
    add("plugins/plugin.dll", make_image(dll_spec({"libfoo.dll", "libplug.dll"})));
    add("own.dll", make_image(own));
    const fs::path first = scratch_.path() / "first", second = scratch_.path() / "second", toolchain = scratch_.path() / "toolchain";
    image_spec i386 = own;
    i386.machine = 0x14C;
    write_file(first / "libfoo.dll", make_image(i386));
    image_spec foo = own;
    foo.imports = {"libbar.dll"};
    foo.debug_sections = {".debug_info", ".debug_line"};
    const std::string foo_image = make_image(foo);
    write_file(second / "libfoo.dll", foo_image);
    image_spec signed_dll = foo;
    signed_dll.certificate = true;
    write_file(second / "libsigned.dll", make_image(signed_dll));
    write_file(second / "libplug.dll", make_image(dll_spec()));
    write_file(toolchain / "libbar.dll", make_image(dll_spec()));

    auto opts = options();
    opts.collect.dll_path = {first, second};
    opts.collect.toolchain = [&] { return tavrin::toolchain_runtime{"x86_64-w64-mingw32-g++-posix", {toolchain}}; };
    const tavrin::pack_result result = tavrin::pack_application(opts);
    const std::vector<unpacked_entry> entries = packed_entries();
    EXPECT_EQ(names_of(entries), (std::vector<std::u16string>{u"app.dll", u"libbar.dll", u"libfoo.dll", u"libsigned.dll", u"own.dll",
                                                              u"plugins\\libplug.dll", u"plugins\\plugin.dll"}));
    auto content = [&](const std::u16string& name) {
        for (const auto& entry : entries)
            if (entry.name == name) return entry.content;
        return std::string();
    };
    EXPECT_TRUE(content(u"own.dll") == make_image(own)) << "the application's own files are packed as they are";
    EXPECT_TRUE(content(u"libsigned.dll") == make_image(signed_dll)) << "a signed DLL is never altered";

    // The stripped copy: the same headers and sections up to the debug sections, which are gone with
    // the symbol and string tables; still an image whose imports read.
    const std::string stripped = content(u"libfoo.dll");
    std::istringstream in(stripped);
    const tavrin::pe_headers headers = tavrin::read_pe_headers(in, "stripped");
    EXPECT_EQ(headers.sections.size(), 2u);
    EXPECT_EQ(headers.symbol_table_offset, 0u);
    EXPECT_EQ(headers.symbol_count, 0u);
    EXPECT_EQ(stripped.size(), headers.end_of_raw_data());
    EXPECT_EQ(headers.size_of_image, headers.sections.back().virtual_address + section_alignment);
    EXPECT_TRUE(stripped.substr(headers.size_of_headers) == foo_image.substr(headers.size_of_headers, stripped.size() - headers.size_of_headers));
    EXPECT_EQ(tavrin::read_imports(in, headers, "stripped").load_time, std::vector<std::string>{"libbar.dll"});

    const std::string summary = tavrin::pack_summary(result, output_);
    for (const std::string& line : std::vector<std::string>{
         "\n  collected  libfoo.dll (" + tavrin::format_size(stripped.size()) + ", debug information dropped) from " + second.u8string() + "\n",
          "\n  collected  libsigned.dll (" + tavrin::format_size(make_image(signed_dll).size()) + ", packed as it is: signed) from " +
              second.u8string() + "\n",
          "\n  collected  libbar.dll (1.0 KiB) from " + toolchain.u8string() + "\n",
          "\n  collected  plugins\\libplug.dll (1.0 KiB) from " + second.u8string() + "\n"})
        EXPECT_NE(summary.find(line), std::string::npos) << line << summary;
}

// What nothing provides is refused, naming the copies passed over; so is a file of the package for
// another machine that an x86-64 image imports. --no-collect and --allow-missing collect nothing.
TEST_F(PackTest, WhatCannotBeCollectedIsRefused)
{
    image_spec i386 = dll_spec();
    i386.machine = 0x14C;
    add("app.dll", make_image(dll_spec({"libstdc++-6.dll", "helper32.dll", "libgood.dll"}, true)));
    add("helper32.dll", make_image(i386));
    const fs::path libs = scratch_.path() / "libs";
    write_file(libs / "libstdc++-6.dll", make_image(i386));
    write_file(libs / "libgood.dll", make_image(dll_spec()));

    auto opts = options();
    opts.collect.dll_path = {libs};
    std::string refused = refusal<tavrin::import_error>(opts);
    for (const std::string& part : std::vector<std::string>{
         "2 DLLs that the application imports are built for another machine:\n",
          "\n  'app.dll' imports 'libstdc++-6.dll' (found only a 32-bit (i386) copy at '" + (libs / "libstdc++-6.dll").u8string() + "')\n",
          "\n  'helper32.dll' is built for 32-bit x86 (machine 0x014c), not x86-64; 'app.dll' imports it\n",
          "Collection looked in '" + libs.u8string() + "' (--dll-path)", "--dll-path DIR (DLL_PATH in tavrin_add_onefile)"})
        EXPECT_NE(refused.find(part), std::string::npos) << part << "\n" << refused;
    EXPECT_EQ(refused.find("libgood"), std::string::npos) << refused;
    EXPECT_EQ(refused.find("--allow-missing"), std::string::npos) << "accepted, they would stop every start\n" << refused;

    // Without collection the runtime is missing, not built for another machine: only it may be accepted.
    opts.collect.enabled = false;
    refused = refusal<tavrin::import_error>(opts);
    EXPECT_EQ(refused.rfind("a DLL that the application imports is built for another machine:\n", 0), 0u) << refused;
    EXPECT_NE(refused.find("\n2 DLLs that the application imports are missing:\n"), std::string::npos) << refused;
    EXPECT_NE(refused.find("'app.dll' imports 'libgood.dll'\n"), std::string::npos) << refused;
    EXPECT_NE(refused.find("leave out --no-collect"), std::string::npos) << refused;
    EXPECT_NE(refused.find("accept each missing one knowingly with --allow-missing NAME"), std::string::npos) << refused;

    opts.collect.enabled = true;
    opts.allowed_missing = {"LIBSTDC++-6.DLL", "helper32.dll"};
    tavrin::pack_application(opts);
    EXPECT_EQ(names_of(packed_entries()), (std::vector<std::u16string>{u"app.dll", u"helper32.dll", u"libgood.dll"}));
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

#ifndef _WIN32
// Interrupted while it writes (SIGINT, SIGTERM, SIGHUP), the tool removes its temporary file, leaves
// an existing output as it was and ends by the signal.
TEST_F(PackTest, AnInterruptedCommandLeavesNothingBehind)
{
    add("app.dll", entry_dll());
    std::string noise(24 << 20, '\0');  // incompressible: seconds of work at level 19
    std::mt19937 random(7);
    for (char& byte : noise) byte = static_cast<char>(random());
    add("noise.bin", noise);
    write_file(output_, "the previous build");
    for (int number : {SIGINT, SIGTERM, SIGHUP}) {
        SCOPED_TRACE(strsignal(number));
        pid_t child = start_tool(scratch_.path(), {arg(app_), "-o", arg(output_), "--launcher", arg(launcher_), "--level", "19", "-q"});
        bool temporary = false;
        for (int wait = 0; wait < 3000 && !temporary; ++wait) {
            temporary = scratch_directory::listing(out_dir_).size() > 1;
            if (!temporary) usleep(20000);
        }
        kill(child, temporary ? number : SIGKILL);
        int status = 0;
        tool_run run = finish_tool(scratch_.path(), child, &status);
        ASSERT_TRUE(temporary) << "no temporary file appeared beside the output\n" << run.err;
        EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == number) << "status " << status << "\n" << run.err;
        EXPECT_EQ(scratch_directory::listing(out_dir_), std::vector<std::string>{"app.exe"});
        EXPECT_EQ(read_file(output_), "the previous build");
    }
}
#endif

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

TEST_F(PackTest, UnpackDirectorySpecsAreChecked)
{
    struct spec_case {
        std::u16string spec;
        bool cached;
        const char* refusal;  // nullptr: accepted
    };
    const spec_case cases[] = {
        {u"{TEMP}\\app_{RANDOM}", false, nullptr},
        {u"{temp}\\app_{pid}", false, nullptr},
        {u"C:\\Apps\\x{TIME_US}", false, nullptr},
        {u"\\\\server\\share\\{TIME}", false, nullptr},
        {u"{CACHE_DIR}\\{COMPANY}\\{PRODUCT}", true, nullptr},
        {u"{HOME}\\.cache\\{PRODUCT}-{VERSION}", true, nullptr},
        {u"{EXE_DIR}\\cache", true, nullptr},
        {u"{TEMP}\\nul_{PID}", false, nullptr},
        {u"{TEMP}\\app", false, "same for every run"},
        {u"{TEMP}\\app_{RANDOM}", true, "changes from run to run"},
        {u"{TEMP}\\{NOPE}{PID}", false, "unknown placeholder {NOPE}"},
        {u"{TEMP}\\{RAN{DOM}", false, "'{' inside a placeholder"},
        {u"{TEMP}\\a}{PID}", false, "'}' without its '{'"},
        {u"{TEMP}\\a{PID", false, "never closed"},
        {u"app\\{RANDOM}", false, "not absolute"},
        {u"{PROGRAM_DIR}\\{RANDOM}", false, "not absolute"},
        {u"\\\\server{PID}", false, "not absolute"},
        {u"{TEMP}{PID}", false, "separate its root"},
        {u"{TEMP}\\..\\{PID}", false, "'..' component"},
        {u"{TEMP}\\a\\\\{PID}", false, "empty"},
        {u"{TEMP}/a{PID}", false, "cannot hold"},
        {u"{TEMP}\\a?{PID}", false, "cannot hold"},
        {u"{TEMP}\\a:b{PID}", false, "':' after its root"},
        {u"{TEMP}\\{PID}" + std::u16string(600, u'a'), false, "longer than 511"},
        // Components Windows would not keep as written, a placeholder counting as a name character.
        {u"{TEMP}\\CON\\{PID}", false, "for a device"},
        {u"{TEMP}\\nul.txt_{PID}", false, "for a device"},
        {u"{TEMP}\\a.\\{PID}", false, "ending in '.' or ' '"},
        {u"{TEMP}\\{PID}.", false, "ending in '.' or ' '"},
        {u"{TEMP}\\{PID} ", false, "ending in '.' or ' '"},
        {u"{TEMP}\\{HOME}{PID}", false, "can only start a spec"},
    };
    for (const auto& each : cases) {
        SCOPED_TRACE(tavrin::to_utf8(each.spec));
        try {
            tavrin::check_unpack_spec(each.spec, each.cached);
            EXPECT_EQ(each.refusal, nullptr) << "accepted";
        } catch (const tavrin::spec_error& error) {
            ASSERT_NE(each.refusal, nullptr) << error.what();
            EXPECT_NE(std::string(error.what()).find(each.refusal), std::string::npos) << error.what();
        }
    }

    // The whole unpack path within the launcher's buffer: "C:\", the value, "\" and a one-unit name
    // within 4095 units; cached mode adds 60.
    for (bool cached : {false, true}) {
        const std::size_t fitting = cached ? 4030 : 4090;
        for (std::size_t length : {fitting, fitting + 1}) {
            const tavrin::known_value company{"COMPANY", std::u16string(length, u'c'), "--company"};
            try {
                tavrin::check_unpack_directory({cached, u"C:\\{COMPANY}", ""}, {company}, {u"n"});
                EXPECT_EQ(length, fitting) << cached;
            } catch (const tavrin::spec_error& error) {
                EXPECT_EQ(length, fitting + 1) << cached << error.what();
            }
        }
    }

    // On the command line a refused spec is a usage error, and nothing is written.
    add("app.dll", entry_dll());
    tool_run refused = run_tool(scratch_.path(), {arg(app_), "-o", arg(output_), "--launcher", arg(launcher_), "--unpack-dir", "{TEMP}\\x"});
    EXPECT_EQ(refused.code, 2) << refused.err;
    EXPECT_NE(refused.err.find("same for every run"), std::string::npos) << refused.err;
    EXPECT_FALSE(fs::exists(output_));
    // So are a version text that is no name in the spec or makes the path too long, and text that
    // is not UTF-8 (on Windows the command line is UTF-16 already); the message names the option.
    std::vector<std::pair<std::vector<std::string>, std::string>> usage_errors = {
        {{"--company", "..\\..\\..\\..\\..", "--product", "Public", "--cached"}, ""},
        {{"--product", "..", "--cached"}, ""},
        {{"--product", "What? <Pro>", "--cached"}, ""},
        {{"--company", "Acme Inc.", "--cached"}, ""},
        {{"--product", "", "--cached"}, ""},
        {{"--company", std::string(1000, 'a'), "--unpack-dir", "{TEMP}\\{COMPANY}{COMPANY}{COMPANY}{COMPANY}{COMPANY}_{RANDOM}"}, ""},
    };
#ifndef _WIN32
    for (const char* text : {"{TEMP}\\\xff{RANDOM}", "{TEMP}\\\xed\xa0\x80{RANDOM}", "{TEMP}\\\xc0\xae{RANDOM}"})
        usage_errors.push_back({{"--unpack-dir", text}, ": the text is not valid UTF-8"});
    usage_errors.push_back({{"--company", "\xed\xa0\x80"}, ": the text is not valid UTF-8"});
    usage_errors.push_back({{"--entry", "\xc0\xae.dll"}, ": the text is not valid UTF-8"});
#endif
    for (const auto& [extra, says] : usage_errors) {
        SCOPED_TRACE(extra[0] + " " + extra[1].substr(0, 20));
        std::vector<std::string> arguments = {arg(app_), "-o", arg(output_), "--launcher", arg(launcher_), "-q"};
        arguments.insert(arguments.end(), extra.begin(), extra.end());
        tool_run run = run_tool(scratch_.path(), arguments);
        EXPECT_EQ(run.code, 2) << run.err;
        EXPECT_EQ(run.err.rfind("tavrin-pack: " + extra[0] + says, 0), 0u) << run.err;
        EXPECT_FALSE(fs::exists(output_));
    }
}

TEST_F(PackTest, SpecsThatRunsCanTripOverDrawWarnings)
{
    add("app.dll", entry_dll());
    auto warnings_for = [&](const std::u16string& spec) {
        auto opts = options();
        opts.settings.unpack_spec = spec;
        std::string all;
        for (const auto& warning : tavrin::pack_application(opts).warnings) all += warning + "\n";
        return all;
    };
    EXPECT_EQ(warnings_for(u"{TEMP}\\app_{RANDOM}"), "");
    EXPECT_NE(warnings_for(u"{TEMP}\\app_{PID}").find("has no {RANDOM}"), std::string::npos);
    EXPECT_NE(warnings_for(u"{TEMP}\\{PROGRAM_BASE}_{RANDOM}").find("started by a full path"), std::string::npos);
}

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
    pack(again, {"--unpack-dir", "{TEMP}\\mine_{RANDOM}"});
    tool_run temporary = cache_dir(again);
    EXPECT_EQ(temporary.code, 1);
    EXPECT_NE(temporary.err.find("not in cached mode"), std::string::npos) << temporary.err;
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

// The output replaces a regular file or a link (the link itself, whatever it points to), nothing
// else: a directory, FIFO, device or socket is refused, before packing and again before the rename,
// and stays what it was. Windows cannot make the others (Wine 8: nor links); its device names are
// decided by windows_device_problem.
TEST_F(PackTest, TheOutputReplacesOnlyAFileOrALink)
{
    add("app.dll", entry_dll());
    add("data.bin", std::string(1 << 20, 'd'));
    auto pack = [&](const fs::path& output) {
        return run_tool(scratch_.path(), {arg(app_), "-o", arg(output), "--launcher", arg(launcher_), "--level", "1", "-q"});
    };
    const fs::path places = scratch_.path() / "places";
    std::vector<std::pair<fs::path, std::string>> refused{{places / "folder", "a directory"}};
    fs::create_directories(refused.front().first);
    std::string not_made;
#ifndef _WIN32
    for (const auto& [kind, name, what] : std::vector<std::tuple<node_kind, std::string, std::string>>{
             {node_kind::fifo, "fifo", "a FIFO"}, {node_kind::character_device, "device", "a character device (1, 3)"},
             {node_kind::socket, "socket", "a socket"}}) {
        const std::string why = make_node(kind, places / name);
        if (why.empty()) refused.emplace_back(places / name, what);
        else not_made += name + ": " + why + "; ";
    }
#endif
    for (const auto& [output, what] : refused) {
        SCOPED_TRACE(what);
        const std::string before = node_identity(output);
        tool_run run = pack(output);
        EXPECT_EQ(run.code, 1) << run.err;
        EXPECT_NE(run.err.find("the output '" + arg(output) + "' is " + what + ":"), std::string::npos) << run.err;
        EXPECT_EQ(node_identity(output), before);
    }
    EXPECT_EQ(scratch_directory::listing(places).size(), refused.size()) << "no temporary file left";

#ifndef _WIN32
    // One made while the packer compresses is not replaced either.
    auto opts = options();
    std::string made = "not made", fifo;
    opts.progress = [&](const tavrin::block_progress&) {
        if (!made.empty()) made = make_node(node_kind::fifo, output_);
        if (fifo.empty()) fifo = node_identity(output_);
    };
    EXPECT_THROW(tavrin::pack_application(opts), tavrin::pack_error);
    EXPECT_EQ(made, "");
    EXPECT_EQ(node_identity(output_), fifo);
    EXPECT_EQ(scratch_directory::listing(out_dir_), std::vector<std::string>{"app.exe"});

    write_file(scratch_.path() / "target.txt", "the target");
    fs::create_directory(scratch_.path() / "target_dir");
    for (const char* target : {"target.txt", "target_dir", "nothing", "places/fifo"}) {
        const fs::path link = out_dir_ / fs::path(target).filename();
        make_node(node_kind::link, link, scratch_.path() / target);
        tool_run run = pack(link);
        EXPECT_EQ(run.code, 0) << target << "\n" << run.err;
        EXPECT_TRUE(fs::is_regular_file(fs::symlink_status(link))) << target;
    }
    EXPECT_EQ(read_file(scratch_.path() / "target.txt"), "the target");
    EXPECT_TRUE(scratch_directory::listing(scratch_.path() / "target_dir").empty());
    EXPECT_FALSE(fs::exists(scratch_.path() / "nothing"));
#endif
    if (!not_made.empty()) GTEST_SKIP() << "not made here, so not tried: " << not_made;
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

TEST_F(PackTest, IconsBeyondWhatWindowsUsesAreRefused)
{
    // Each refused by name with exit code 1, before the output is written: more images than an icon
    // file may hold, images sharing bytes or lying over the directory, images above 256x256, what is
    // not a regular file (looked at, never read), a file above the size cap (sparse: not read either).
    add("app.dll", entry_dll());
    auto pack_with = [&](const fs::path& icon) {
        return run_tool(scratch_.path(), {arg(app_), "-o", arg(output_), "--launcher", arg(launcher_), "--icon", arg(icon), "-q"});
    };
    auto refused = [&](const fs::path& icon, const std::string& reason) {
        tool_run run = pack_with(icon);
        EXPECT_EQ(run.code, 1) << icon;
        EXPECT_NE(run.err.find("'" + arg(icon) + "'"), std::string::npos) << run.err;
        EXPECT_NE(run.err.find(reason), std::string::npos) << run.err;
        EXPECT_FALSE(fs::exists(output_)) << icon;
    };
    const std::string png = png_image(32, 32);
    std::string shared = ico_file({png, png});
    shared.replace(6 + 16 + 12, 4, shared, 6 + 12, 4);  // the second image at the first one's offset
    std::string over_directory = ico_file({png});
    over_directory[6 + 12] = 6;
    // A BITMAPINFOHEADER: 512 wide, 1,024 high with its mask.
    const std::string bitmap = std::string("\x28\0\0\0\0\x02\0\0\0\x04\0\0", 12) + std::string(92, '\0');
    for (const auto& [name, bytes, reason] : std::vector<std::tuple<std::string, std::string, std::string>>{
             {"many.ico", ico_file(std::vector<std::string>(65, png)), "65 images; an icon file may hold at most 64"},
             {"shared.ico", shared, "images 1 and 2 share bytes"},
             {"over.ico", over_directory, "image 1 overlaps the icon directory"},
             {"large.png", png_image(512, 256), "the PNG image is 512x256 pixels; Windows' icons have at most 256x256"},
             {"tall.ico", ico_file({png_image(256, 257)}), "image 1: the PNG image is 256x257 pixels"},
             {"bitmap.ico", ico_file({bitmap}), "image 1 is 512x512 pixels"}}) {
        write_file(scratch_.path() / name, bytes);
        refused(scratch_.path() / name, reason);
    }
    const fs::path directory = scratch_.path() / "icons.ico";
    fs::create_directories(directory);
    refused(directory, "is a directory, not an icon file");
#ifndef _WIN32
    for (const auto& [kind, what] : {std::pair(node_kind::fifo, "a FIFO"), std::pair(node_kind::character_device, "a character device")})
        if (make_node(kind, scratch_.path() / what).empty()) refused(scratch_.path() / what, std::string("is ") + what + ", not an icon file");
#endif
    const fs::path huge = scratch_.path() / "huge.ico";
    write_file(huge, ico_file({png}));
    fs::resize_file(huge, (16 << 20) + 1);
    refused(huge, "is 16777217 bytes; an icon file may have at most 16 MiB");

    write_file(scratch_.path() / "full.ico", ico_file(std::vector<std::string>(64, png_image(256, 256))));
    tool_run full = pack_with(scratch_.path() / "full.ico");
    EXPECT_EQ(full.code, 0) << full.err;
}

TEST_F(PackTest, HelpDocumentsEveryOptionAndExitCode)
{
    tool_run help = run_tool(scratch_.path(), {"--help"});
    EXPECT_EQ(help.code, 0);
    for (const char* item : {"-o, --output", "--entry NAME", "--level N", "--window N", "--threads N", "--launcher PATH", "--unpack-dir SPEC", "--cached", "--allow-missing DLL", "--dll-path DIR", "--no-collect", "-q, --quiet", "list OUT.exe", "cache-dir OUT.exe",
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
          std::string("\n  subsystem  windowed (a DLL entry's default; --console for a console program)\n")})
        EXPECT_NE(loud.out.find(part), std::string::npos) << part << "\n" << loud.out;
    EXPECT_EQ(loud.err, "") << "a quick packing shows no progress lines";

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
