// Untrusted input files cost memory in proportion to their size: each input crafted to ask a careless
// parser for gigabytes goes to the real tavrin-pack in a child process, whose peak resident set
// (wait4) must stay below 64 MiB plus 4 times the input's size. Host only: the peak of a process
// that has ended is read there. Linux counts in it what the child shared with this process until
// exec, so this program keeps to itself and holds no large buffer when it starts the tool.
#include <gtest/gtest.h>

#include <random>

#include "tests/support/crafted_inputs.h"
#include "tests/support/packer_fixtures.h"

namespace {
using namespace packer_test;
namespace fs = std::filesystem;

constexpr std::uint64_t mib = 1 << 20;
constexpr std::uint64_t base_bound = 64 * mib;
constexpr std::uint64_t bound_per_input_byte = 4;

class MemoryBound : public testing::Test {
protected:
    MemoryBound()
    {
        fs::create_directories(app_);
        image_spec launcher;
        launcher.settings_record = true;
        write_file(launcher_, make_image(launcher));
        write_file(app_ / "app.dll", entry_dll());
    }

    // Runs the tool with `arguments` and expects its peak below the bound for an input of `input` bytes.
    tool_run bounded(const std::vector<std::string>& arguments, std::uint64_t input)
    {
        std::uint64_t peak = 0;
        tool_run run = finish_tool(scratch_.path(), start_tool(scratch_.path(), arguments), nullptr, &peak);
        EXPECT_LT(peak, base_bound + bound_per_input_byte * input)
            << arguments.front() << ": a peak of " << peak / mib << " MiB for an input of " << input << " bytes\n" << run.err;
        return run;
    }

    std::vector<std::string> pack(std::vector<std::string> more = {}) const
    {
        std::vector<std::string> arguments{arg(app_), "-o", arg(scratch_.path() / "out.exe"), "--launcher", arg(launcher_), "--level", "1"};
        arguments.insert(arguments.end(), more.begin(), more.end());
        return arguments;
    }

    scratch_directory scratch_;
    fs::path app_ = scratch_.path() / "app";
    fs::path launcher_ = scratch_.path() / "tavrin-launcher.exe";
    fs::path package_ = scratch_.path() / "package.exe";
};

TEST_F(MemoryBound, ExportNames)
{
    // A million names in 4 MB, all pointing at one long name: read when the entry is chosen among
    // the top-level DLLs, and by verify in the first entry.
    const std::string dll = crafted::export_names_dll();
    fs::remove(app_ / "app.dll");
    write_file(app_ / "names.dll", dll);
    tool_run chosen = bounded(pack(), dll.size());
    EXPECT_NE(chosen.err.find("entry 'names.dll': damaged PE image (its export names add up to more bytes than the file holds)"),
              std::string::npos) << chosen.err;

    write_file(package_, image_with_block(make_block({memory_entry(u"names.dll", dll)}, {1, 1, 0})));
    tool_run verified = bounded({"verify", arg(package_)}, fs::file_size(package_));
    EXPECT_NE(verified.err.find("bad-entry"), std::string::npos) << verified.err;
}

TEST_F(MemoryBound, ImportDescriptors)
{
    const std::string dll = crafted::import_descriptors_dll();
    write_file(app_ / "many.dll", dll);
    tool_run run = bounded(pack({"--entry", "app.dll"}), dll.size());
    EXPECT_NE(run.err.find("'many.dll' imports 'x.dll'"), std::string::npos) << run.err;
}

TEST_F(MemoryBound, ResourcesSharingTheirData)
{
    // A package made by the tool, in cached mode for cache-dir, its resource tree overwritten so
    // that 65,600 resources name its attached data (16 KiB of noise).
    std::string noise(16 << 10, '\0');
    std::mt19937 random(7);
    for (char& c : noise) c = static_cast<char>(random());
    write_file(app_ / "noise.bin", noise);
    ASSERT_EQ(run_tool(scratch_.path(), pack({"--cached", "--description", std::string(600, 'd')})).code, 0);
    write_file(package_, crafted::with_shared_resources(read_file(scratch_.path() / "out.exe")));
    for (const char* command : {"list", "verify", "cache-dir"}) {
        tool_run run = bounded({command, arg(package_)}, fs::file_size(package_));
        EXPECT_EQ(run.code, 1) << command;
        EXPECT_NE(run.err.find("bad-resources"), std::string::npos) << command << "\n" << run.err;
    }
}

TEST_F(MemoryBound, IconImagesCoveringTheWholeFile)
{
    const fs::path icon = scratch_.path() / "overlapping.ico";
    write_file(icon, crafted::overlapping_icon());
    tool_run run = bounded(pack({"--icon", arg(icon)}), fs::file_size(icon));
    EXPECT_EQ(run.code, 1);
    EXPECT_NE(run.err.find("overlapping.ico"), std::string::npos) << run.err;
}

TEST_F(MemoryBound, VerifyKeepsALargeFirstEntryOnDisk)
{
    // A sound package whose entry DLL carries 128 MiB of zeros: a frame of a few KiB. Made in a
    // scope of its own, so that this process holds none of it when the tool starts (a child's peak
    // counts what it shared with its parent until exec).
    {
        const std::string stream = make_content_stream({memory_entry(u"app.dll", entry_dll() + std::string(128 * mib, '\0'))});
        write_file(package_, image_with_block(assemble_block(compress_frame(stream, {true, 0, true, 1}))));
    }
    tool_run run = bounded({"verify", arg(package_)}, fs::file_size(package_));
    EXPECT_EQ(run.code, 0) << run.err;
    EXPECT_NE(run.out.find("entry app.dll: an x86-64 DLL that exports run_code"), std::string::npos) << run.out;
}

}  // namespace
