// The kept damaged blocks (tests/data/damaged), each wrapped into a launcher image, replayed through
// the tavrin-pack command: verify fails with exactly the damage that the index names, extract keeps
// only the files it wrote whole.
#include <gtest/gtest.h>

#include <algorithm>

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
        EXPECT_EQ(verify.err.find("not a package"), std::string::npos) << verify.err;
    }
}

// Extraction stopped by damage keeps only whole files and names them: the files left below the
// directory are exactly those listed as written whole.
TEST(KeptDamagedBlocks, ExtractKeepsOnlyWholeFilesAndNamesThem)
{
    scratch_directory scratch;
    for (const char* name : {"stream-cut-short", "checksum-mismatch", "frame-cut-short"}) {
        SCOPED_TRACE(name);
        fs::path package = scratch.path() / (std::string(name) + ".exe");
        write_file(package, image_with_block(read_file(fs::path(TAVRIN_TEST_DATA) / "damaged" / (std::string(name) + ".block"))));
        const fs::path out = scratch.path() / name;
        tool_run extract = run_tool(scratch.path(), {"extract", arg(package), arg(out)});
        EXPECT_EQ(extract.code, 1);
        EXPECT_NE(extract.err.find(arg(package) + " is damaged: " + name), std::string::npos) << extract.err;
        std::vector<std::string> left;
        if (fs::exists(out))
            for (const auto& item : fs::recursive_directory_iterator(out))
                if (item.is_regular_file()) left.push_back(item.path().lexically_relative(out).generic_u8string());
        std::sort(left.begin(), left.end());
        std::vector<std::string> listed;
        std::size_t at = extract.err.find(" written whole into ");
        ASSERT_NE(at, std::string::npos) << extract.err;
        for (at = extract.err.find('\n', at); at + 3 < extract.err.size() && extract.err.compare(at + 1, 2, "  ") == 0;) {
            std::size_t end = extract.err.find('\n', at + 1);
            std::string listed_name = extract.err.substr(at + 3, end - at - 3);
            std::replace(listed_name.begin(), listed_name.end(), '\\', '/');
            listed.push_back(listed_name);
            at = end;
        }
        std::sort(listed.begin(), listed.end());
        EXPECT_EQ(left, listed) << extract.err;
        if (std::string(name) == "stream-cut-short") {
            EXPECT_EQ(listed, (std::vector<std::string>{"app.dll", "data/notes.txt", "data/zeros.bin", "readme.txt"}));
            EXPECT_NE(extract.err.find("removed the partly written 'data.bin'"), std::string::npos) << extract.err;
        }
    }
}
