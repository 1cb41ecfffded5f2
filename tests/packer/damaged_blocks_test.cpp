// The kept damaged blocks (tests/data/damaged), each wrapped into a launcher image, replayed through
// the tavrin-pack command: verify fails with exactly the damage that the index names.
#include <gtest/gtest.h>

#include "tests/support/damaged_index.h"
#include "tests/support/packer_fixtures.h"

namespace {
using namespace packer_test;
namespace fs = std::filesystem;

// The damage names in verify's report: its indented lines are "<name>: <what was found>".
std::vector<std::string> named_damage(const std::string& report)
{
    std::vector<std::string> names;
    std::size_t at = 0;
    while (at < report.size()) {
        std::size_t end = report.find('\n', at);
        std::string line = report.substr(at, end == std::string::npos ? std::string::npos : end - at);
        if (line.rfind("  ", 0) == 0) names.push_back(line.substr(2, line.find(':') - 2));
        if (end == std::string::npos) break;
        at = end + 1;
    }
    return names;
}

}  // namespace

TEST(KeptDamagedBlocks, VerifyNamesExactlyTheirDamage)
{
    auto blocks = damaged_index::read(fs::path(TAVRIN_TEST_DATA) / "damaged");
    ASSERT_FALSE(blocks.empty());
    scratch_directory scratch;
    for (const auto& kept : blocks) {
        SCOPED_TRACE(kept.file.filename().u8string());
        fs::path package = scratch.path() / (kept.file.stem().u8string() + ".exe");
        write_file(package, image_with_block(read_file(kept.file)));
        tool_run verify = run_tool(scratch.path(), {"verify", arg(package)});
        EXPECT_EQ(verify.code, 1);
        EXPECT_EQ(verify.out, "");
        EXPECT_EQ(named_damage(verify.err), std::vector<std::string>{kept.damage}) << verify.err;
    }
}
