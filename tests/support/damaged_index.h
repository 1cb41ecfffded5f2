// The index of the kept damaged blocks (tests/data/damaged/index.txt): for each block, the damage that
// tavrin-pack verify names and how the launcher ends on it. Header-only, for the tests of both builds.
#ifndef TAVRIN_TESTS_SUPPORT_DAMAGED_INDEX_H
#define TAVRIN_TESTS_SUPPORT_DAMAGED_INDEX_H

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <string>
#include <vector>

namespace damaged_index {

struct kept_block {
    std::filesystem::path file;  // the block
    std::string damage;          // verify's one problem
    std::uint32_t exit_code = 0; // the launcher's
    std::string out;             // its standard output without the line end; empty: nothing
    std::string err_start;       // what its standard error starts with; empty: nothing at all
};

inline std::string trimmed(const std::string& text)
{
    std::size_t first = text.find_first_not_of(' ');
    if (first == std::string::npos) return {};
    return text.substr(first, text.find_last_not_of(' ') - first + 1);
}

// The blocks listed in `directory`/index.txt, in its order. Throws std::runtime_error on a malformed
// line, so that a broken index fails the tests rather than thins them out.
inline std::vector<kept_block> read(const std::filesystem::path& directory)
{
    std::ifstream in(directory / "index.txt");
    if (!in) throw std::runtime_error("cannot read " + (directory / "index.txt").u8string());
    std::vector<kept_block> blocks;
    std::string line;
    while (std::getline(in, line)) {
        if (line.empty() || line[0] == '#') continue;
        std::vector<std::string> fields;
        for (std::size_t at = 0;;) {
            std::size_t bar = line.find('|', at);
            fields.push_back(trimmed(line.substr(at, bar == std::string::npos ? std::string::npos : bar - at)));
            if (bar == std::string::npos) break;
            at = bar + 1;
        }
        if (fields.size() != 5 || fields[0].empty() || fields[1].empty() || fields[2].empty())
            throw std::runtime_error("malformed line in the index: " + line);
        kept_block block;
        block.file = directory / fields[0];
        block.damage = fields[1];
        block.exit_code = static_cast<std::uint32_t>(std::stoul(fields[2], nullptr, 0));
        block.out = fields[3];
        block.err_start = fields[4];
        blocks.push_back(block);
    }
    return blocks;
}

}  // namespace damaged_index

#endif
