// Untrusted input files cost memory in proportion to their size: each input crafted to ask a careless
// parser for gigabytes goes to the real tavrin-pack in a child process, whose peak resident set
// (wait4) must stay below 64 MiB plus 4 times the input's size. Host only: the peak of a process
// that has ended is read there. Linux counts in it what the child shared with this process until
// exec, so this program keeps to itself and holds no large buffer when it starts the tool.
#include <gtest/gtest.h>

#include <random>

#include "packer/image/pe_image.h"
#include "tests/support/packer_fixtures.h"

namespace {
using namespace packer_test;
namespace fs = std::filesystem;

constexpr std::uint64_t mib = 1 << 20;

TEST(MemoryBound, EachCraftedInputCostsMemoryInProportionToItsSize)
{
    scratch_directory scratch;
    const fs::path dir = scratch.path(), launcher = dir / "tavrin-launcher.exe", icon = dir / "overlapping.ico";
    image_spec launcher_spec;
    launcher_spec.settings_record = true;
    write_file(launcher, make_image(launcher_spec));
    auto pack = [&](const char* app, std::vector<std::string> more) {
        std::vector<std::string> arguments{arg(dir / app), "-o", arg(dir / "out.exe"), "--launcher", arg(launcher), "--level", "1"};
        arguments.insert(arguments.end(), more.begin(), more.end());
        return arguments;
    };
    // The inputs are written before any run, and none stays in this process's memory.
    write_file(dir / "exports" / "names.dll", export_names_dll());
    write_file(dir / "names.exe", image_with_block(make_block({memory_entry(u"names.dll", export_names_dll())}, {1, 1, 0})));
    write_file(dir / "imports" / "app.dll", entry_dll());
    write_file(dir / "imports" / "many.dll", import_descriptors_dll());
    write_file(icon, overlapping_icon());
    // A program whose icon group names one image of 1 MiB 64 times, as the package would take it.
    {
        std::string group = std::string("\0\0\1\0\x40\0", 6);
        for (int i = 0; i < 64; ++i) group += std::string("\x20\x20\0\0\1\0\x20\0\0\0\x10\0\1\0", 14);
        write_file(dir / "icons" / "prog.exe",
                   program_image(3, {{tavrin::rt_group_icon, 1, 0, group}, {tavrin::rt_icon, 1, 0, std::string(mib, 'i')}}));
    }
    // A sound package whose entry DLL carries 128 MiB of zeros: a frame of a few KiB.
    write_file(dir / "large.exe", image_with_block(assemble_block(compress_frame(
                                      make_content_stream({memory_entry(u"app.dll", entry_dll() + std::string(128 * mib, '\0'))}),
                                      {true, 0, true, 1}))));
    // A package made by the tool, in cached mode for cache-dir, its resource tree overwritten so
    // that 65,600 resources name its attached data (16 KiB of noise).
    std::string noise(16 << 10, '\0');
    std::mt19937 random(7);
    for (char& c : noise) c = static_cast<char>(random());
    write_file(dir / "app" / "app.dll", entry_dll());
    write_file(dir / "app" / "noise.bin", noise);
    ASSERT_EQ(run_tool(dir, pack("app", {"--cached", "--description", std::string(600, 'd')})).code, 0);
    std::string package = read_file(dir / "out.exe");
    const tavrin::pe_headers headers = tavrin::read_pe_headers(dir / "out.exe");
    const std::string tree = shared_resource_tree(headers.sections.back().virtual_address, headers.sections.back().virtual_size);
    package.replace(*headers.file_offset(headers.directories[tavrin::pe_resource_directory].address, 1), tree.size(), tree);
    const fs::path shared = dir / "shared.exe";
    write_file(shared, package);

    const struct {
        std::vector<std::string> arguments;
        fs::path input;
        int code;
        std::string says;
    } cases[] = {
        // A million export names in 4 MB, all pointing at one long name: read when the entry is
        // chosen among the top-level DLLs, and by verify in the first entry.
        {pack("exports", {}), dir / "exports" / "names.dll", 1,
         "entry 'names.dll': damaged PE image (its export names add up to more bytes than the file holds)"},
        {{"verify", arg(dir / "names.exe")}, dir / "names.exe", 1, "bad-entry"},
        {pack("imports", {"--entry", "app.dll"}), dir / "imports" / "many.dll", 1, "'many.dll' imports 'x.dll'"},
        {pack("app", {"--icon", arg(icon)}), icon, 1, "overlapping.ico"},
        {pack("icons", {}), dir / "icons" / "prog.exe", 1, "the icon group of the program 'prog.exe': images 1 and 2 share bytes"},
        {{"list", arg(shared)}, shared, 1, "bad-resources"},
        {{"verify", arg(shared)}, shared, 1, "bad-resources"},
        {{"cache-dir", arg(shared)}, shared, 1, "bad-resources"},
        // verify keeps a large first entry on disk, not in memory.
        {{"verify", arg(dir / "large.exe")}, dir / "large.exe", 0, "entry app.dll: an x86-64 DLL that exports run_code"},
    };
    for (const auto& each : cases) {
        SCOPED_TRACE(each.arguments.front() + " " + each.input.filename().u8string());
        std::uint64_t peak = 0;
        tool_run run = finish_tool(dir, start_tool(dir, each.arguments), nullptr, &peak);
        EXPECT_LT(peak, 64 * mib + 4 * fs::file_size(each.input)) << "a peak of " << peak / mib << " MiB";
        EXPECT_EQ(run.code, each.code) << run.err;
        EXPECT_NE((run.out + run.err).find(each.says), std::string::npos) << run.out << run.err;
    }
}

}  // namespace
