// The kept damaged blocks (tests/data/damaged), each wrapped into the current launcher image and run
// under Wine with a temporary directory of its own: the exit code and messages its index gives, and
// nothing written outside that directory's unpack directory.
#include <gtest/gtest.h>

#include <fstream>

#include "packer/image/pe_image.h"
#include "tests/support/damaged_index.h"
#include "tests/support/hardening_support.h"

using namespace testing_support;
using namespace package_support;

namespace {

namespace fs = std::filesystem;


void make_package_around(const fs::path& exe, const std::string& block)
{
    std::ifstream launcher(fs::path(launcher_image), std::ios::binary);
    auto headers = tavrin::read_pe_headers(launcher, narrow(launcher_image));
    std::ofstream out(exe, std::ios::binary | std::ios::trunc);
    tavrin::write_image_with_section(launcher, headers, out, [&](std::ostream& section) {
        section.write(block.data(), static_cast<std::streamsize>(block.size()));
    });
}

}  // namespace

TEST(KeptDamagedPackages, EachEndsAsItsIndexSays)
{
    auto blocks = damaged_index::read(fs::path(L"Z:" + widen(TAVRIN_TEST_DATA)) / L"damaged");
    ASSERT_FALSE(blocks.empty());
    hardening::guarded_directory packages;  // also the runs' current directory
    temp_directory temp;
    run_options options;
    options.current_directory = packages.wstr();
    for (const auto& kept : blocks) {
        SCOPED_TRACE(kept.file.filename().u8string());
        fs::path exe = packages.path() / (kept.file.stem().wstring() + L".exe");
        make_package_around(exe, read_file(kept.file));
        auto result = start(exe, {}, hardening::with_temp(temp.wstr(), options));
        fs::remove(exe);
        ASSERT_FALSE(result.process.timed_out) << "the run did not end";
        EXPECT_EQ(result.process.exit_code, kept.exit_code);
        EXPECT_EQ(result.process.out, kept.out.empty() ? "" : kept.out + "\r\n");
        EXPECT_EQ(result.process.err.substr(0, kept.err_start.size()), kept.err_start);
        if (kept.err_start.empty()) {
            EXPECT_EQ(result.process.err, "");
        }
        EXPECT_TRUE(packages.untouched());

        // A fatal exit, the bound abort included, deletes what was unpacked: nothing is left.
        auto left = hardening::names_in(temp.path());
        EXPECT_TRUE(left.empty()) << "left behind: " << narrow(left.empty() ? L"" : left.front());
        for (const auto& name : left) hardening::remove_tree((temp.path() / name).wstring());
    }
}
