// The block writer: the block's layout byte for byte, the frame's settings, and the names it refuses.
#define ZSTD_STATIC_LINKING_ONLY  // ZSTD_getFrameHeader
#include <zstd.h>

#include <gtest/gtest.h>

#include <random>
#include <sstream>

#include "packer/archive/block_writer.h"
#include "format/format.h"
#include "tests/support/packer_fixtures.h"

namespace {
using namespace packer_test;
using tavrin::archive_entry;

ZSTD_frameHeader frame_header(const std::string& block)
{
    ZSTD_frameHeader header{};
    EXPECT_EQ(ZSTD_getFrameHeader(&header, block.data() + 3, block.size() - 3), 0u);
    return header;
}

TEST(BlockLayout, OneEntryByteForByte)
{
    const std::vector<archive_entry> entries{packer_test::memory_entry(u"a\\b", "xyz")};
    const std::string expected_stream("\x61\x00\x5C\x00\x62\x00\x00\x00"
                                      "\x03\x00\x00\x00\x00\x00\x00\x00"
                                      "\x78\x79\x7A"
                                      "\x00\x00",
                                      21);
    EXPECT_EQ(packer_test::make_content_stream(entries), expected_stream);

    const std::string block = packer_test::make_block(entries, {});
    const std::size_t n = block.size();
    ASSERT_GT(n, 15u);
    EXPECT_EQ(block.substr(0, 3), "VQJ");
    // Exactly one frame fills the space between the magic and the twelve-byte tail.
    EXPECT_EQ(ZSTD_findFrameCompressedSize(block.data() + 3, n - 3), n - 15);
    EXPECT_EQ(decompress_frame(block), expected_stream);
    EXPECT_EQ(block.substr(n - 12, 4), std::string(4, '\0'));
    EXPECT_EQ(u64_at(block, n - 8), n - 8);

    ZSTD_frameHeader header = frame_header(block);
    EXPECT_EQ(header.checksumFlag, 1u);
    EXPECT_EQ(header.frameContentSize, 21u);
    EXPECT_LE(header.windowSize, 1u << 20) << "a tiny content gets a small window";

    // The checksum at the frame's end really covers the content.
    std::string damaged = block;
    damaged[n - 13] ^= 0x01;
    std::string frame = damaged.substr(3, n - 15);
    std::string out(21, '\0');
    EXPECT_TRUE(ZSTD_isError(ZSTD_decompress(out.data(), out.size(), frame.data(), frame.size())));
}

TEST(BlockLayout, EntriesComeBackInOrder)
{
    std::string large(3 << 20, '\0');
    std::mt19937 random(7);
    for (auto& byte : large) byte = static_cast<char>(random() % 16);  // compressible, not trivially
    const std::vector<archive_entry> entries{
        packer_test::memory_entry(u"app.dll", "MZ..."),
        packer_test::memory_entry(u"empty", ""),
        packer_test::memory_entry(u"d\\\u00e9t\u00e9\\\u6587.bin", large),
    };
    auto unpacked = unpack_block(packer_test::make_block(entries, {3, 2, 0}));
    ASSERT_EQ(unpacked.size(), 3u);
    for (std::size_t i = 0; i < entries.size(); ++i) {
        EXPECT_EQ(unpacked[i].name, entries[i].name);
        EXPECT_EQ(unpacked[i].content, *entries[i].data);
    }
}

TEST(BlockLayout, SameBytesFromFilesOrMemoryAndAnyNumberOfWorkers)
{
    scratch_directory scratch;
    std::string content(1 << 20, 'q');
    for (std::size_t i = 0; i < content.size(); i += 97) content[i] = static_cast<char>(i);
    write_file(scratch.path() / "one", content);
    write_file(scratch.path() / "two", "second");

    const std::vector<archive_entry> from_files{archive_entry::from_file(u"one", scratch.path() / "one"),
                                                archive_entry::from_file(u"two", scratch.path() / "two")};
    const std::vector<archive_entry> from_memory{packer_test::memory_entry(u"one", content),
                                                 packer_test::memory_entry(u"two", "second")};
    const std::string reference = packer_test::make_block(from_memory, {5, 1, 0});
    EXPECT_EQ(packer_test::make_block(from_files, {5, 1, 0}), reference);
    EXPECT_EQ(packer_test::make_block(from_memory, {5, 4, 0}), reference);
}

// `size` bytes of 64 KiB pieces drawn from a few random ones: repeats near and far, for the
// long-distance matcher.
std::string repeating_content(std::size_t size, unsigned seed)
{
    std::mt19937 random(seed);
    std::vector<std::string> pieces(12, std::string(64 << 10, '\0'));
    for (auto& piece : pieces)
        for (auto& byte : piece) byte = static_cast<char>("abcdefgh"[random() % 8]);
    std::string content;
    while (content.size() < size) content += pieces[random() % pieces.size()];
    content.resize(size);
    return content;
}

TEST(BlockLayout, ManyJobsSameBytesWhateverTheThreads)
{
    // Level 1 cuts 20 MiB into several jobs of the compressor; with 1, 2 or 5 workers they are the
    // same jobs, and the frame the same: with the long window and long-distance matching (the
    // default), and with a 1 MiB window, where the matcher's history wraps around the compressor's
    // input buffer, whose size grows with the number of workers.
    const std::vector<archive_entry> entries{packer_test::memory_entry(u"big.bin", repeating_content(20 << 20, 11))};
    for (unsigned window_log : {0u, 20u}) {
        const std::string reference = packer_test::make_block(entries, {1, 1, window_log});
        EXPECT_TRUE(packer_test::make_block(entries, {1, 2, window_log}) == reference) << window_log;
        EXPECT_TRUE(packer_test::make_block(entries, {1, 5, window_log}) == reference) << window_log;
        EXPECT_TRUE(decompress_frame(reference) == packer_test::make_content_stream(entries)) << window_log;
    }
}

TEST(BlockLayout, TheWindowFollowsTheContentAndTheLimit)
{
    // What the frame declares is what the launcher allocates: the long window for a large content,
    // the content's size for a smaller one (a tiny one: OneEntryByteForByte), and never above the
    // limit given.
    const std::vector<archive_entry> large{packer_test::memory_entry(u"large.bin", repeating_content(9 << 20, 5))};
    const std::uint64_t stream = packer_test::make_content_stream(large).size();
    const std::string block = packer_test::make_block(large, {});
    EXPECT_GE(frame_window(block), stream) << "the default level's window covers 9 MiB";
    EXPECT_LE(frame_window(block), 16u << 20) << "and no more than the content needs";
    EXPECT_EQ(frame_window(packer_test::make_block(large, {19, 0, 20})), 1u << 20);
    EXPECT_EQ(frame_window(packer_test::make_block(large, {1, 0, 23})), 8u << 20);
    EXPECT_EQ(tavrin::default_level_window(tavrin::default_compression_level).window_log, 27u);
    EXPECT_TRUE(tavrin::block_window({19, 0, 25}).long_distance) << "above the level's own 8 MiB";
    EXPECT_FALSE(tavrin::block_window({19, 0, 23}).long_distance) << "the level as it is";
}

TEST(BlockLayout, ProgressReportsSettingsAndTotals)
{
    const std::vector<archive_entry> entries{packer_test::memory_entry(u"a", std::string(3000, 'a')),
                                             packer_test::memory_entry(u"b", "bb")};
    std::vector<tavrin::block_progress> states;
    std::ostringstream out;
    const std::uint64_t n = tavrin::write_block(entries, out, {4, 2, 0}, [&](const tavrin::block_progress& state) { states.push_back(state); });
    ASSERT_GE(states.size(), 3u);
    EXPECT_EQ(states.front().files_done, 0u) << "the first call comes before any file";
    EXPECT_EQ(states.front().level, 4);
    EXPECT_EQ(states.front().threads, 2u);
    EXPECT_GT(states.front().window_log, 0u);
    const tavrin::block_progress& last = states.back();
    EXPECT_EQ(last.files_done, 2u);
    EXPECT_EQ(last.bytes_done, 3002u);
    EXPECT_EQ(last.bytes_total, 3002u);
    EXPECT_EQ(last.bytes_out, n);
    ZSTD_frameHeader header = frame_header(out.str());
    EXPECT_EQ(last.window_size, header.windowSize) << "the window the frame declares";
    EXPECT_EQ(tavrin::resolved_threads(3), 3u);
    EXPECT_GE(tavrin::resolved_threads(0), 1u);
    EXPECT_THROW(packer_test::make_block(entries, {4, tavrin::max_threads() + 1, 0}), tavrin::pack_error);
}

TEST(BlockLayout, WindowLimitAndLevelRange)
{
    const std::vector<archive_entry> entries{packer_test::memory_entry(u"a", std::string(100000, 'a'))};
    const std::string block = packer_test::make_block(entries, {19, 1, attached_window_log_max});
    EXPECT_LE(frame_header(block).windowSize, 1ull << attached_window_log_max);
    EXPECT_THROW(packer_test::make_block(entries, {19, 1, attached_window_log_max + 1}), tavrin::pack_error);
    EXPECT_THROW(packer_test::make_block(entries, {19, 1, tavrin::min_window_log - 1}), tavrin::pack_error);
    EXPECT_THROW(packer_test::make_block(entries, {0, 1, 0}), tavrin::pack_error);
    EXPECT_THROW(packer_test::make_block(entries, {ZSTD_maxCLevel() + 1, 1, 0}), tavrin::pack_error);
    // An unreadable file is a pack_error, not a crash or a short block.
    const std::vector<archive_entry> missing{archive_entry::from_file(u"gone", "/nonexistent/tavrin/file")};
    EXPECT_THROW(packer_test::make_block(missing), tavrin::pack_error);
}

TEST(EntryNames, RefusedNames)
{
    const std::u16string refused[] = {
        u"",
        std::u16string(u"a\0b", 3),
        u"a/b",
        u"\\a",
        u"\\\\server\\share\\a",
        u"C:a",
        u"c:\\a",
        u".",
        u"..",
        u"a\\.\\b",
        u"a\\..\\b",
        u"..\\a",
        u"a\\..",
        u"a\\\\b",
        u"a\\",
        // Names the launcher would take for damage: a device, or a name Windows would change.
        u"nul.txt",
        u"sub\\COM1",
        u"a.",
        u"a..",
        u"a.\\.b",
        u"b ",
        u"x?y",
        std::u16string(entry_name_capacity, u'n'),
    };
    for (const auto& name : refused) {
        SCOPED_TRACE(tavrin::to_utf8(name));
        EXPECT_THROW(tavrin::check_entry_name(name), tavrin::name_error);
        // The writer refuses before it writes anything.
        std::ostringstream out;
        EXPECT_THROW(tavrin::write_block({packer_test::memory_entry(name, "x")}, out), tavrin::name_error);
        EXPECT_TRUE(out.str().empty());
    }
}

TEST(EntryNames, AcceptedNamesAndDuplicates)
{
    const std::u16string accepted[] = {
        u"a", u"dir\\sub\\file.txt", u"..a", u"a..b", u"a.b\\.b", u"\u00e9\u6587", u"c;d", u"console\\com10",
        std::u16string(entry_name_capacity - 1, u'n'),
    };
    for (const auto& name : accepted) EXPECT_NO_THROW(tavrin::check_entry_name(name)) << tavrin::to_utf8(name);

    const std::vector<archive_entry> twice{packer_test::memory_entry(u"a\\b", "1"), packer_test::memory_entry(u"c", "2"),
                                           packer_test::memory_entry(u"a\\b", "3")};
    EXPECT_THROW(tavrin::check_entry_names(twice), tavrin::name_error);
    EXPECT_THROW(packer_test::make_block(twice), tavrin::name_error);
}

}  // namespace
