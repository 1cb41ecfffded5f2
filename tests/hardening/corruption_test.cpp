// Damaged packages: bytes flipped all over the attached-data section of a packed executable, and the
// section cut short. Every run must end with its fixed message and exit code 2 (or, for a damaged
// name that runs past its buffer, the bound abort) within a bounded time, never crash, never start
// the application on files from a damaged frame, and leave nothing behind but the partly filled
// unpack directory that a fatal exit leaves by design. The reserved field and
// the trailer behind the frame are never read, so damage there goes unnoticed by design.
//
// HardeningCorruption runs a modest selection of positions with every normal test run;
// HardeningSlowCorruption sweeps densely and runs only under the "slow" label.
#include <gtest/gtest.h>

#include <zstd.h>

#include <algorithm>
#include <cstdint>
#include <fstream>
#include <memory>
#include <random>
#include <set>

#include "packer/base/helpers.h"
#include "packer/image/pe_image.h"
#include "format/format.h"
#include "tests/support/hardening_support.h"
#include "tests/support/packer_fixtures.h"

using namespace testing_support;
using namespace package_support;
using namespace hardening;

namespace {

const char header_missing_message[] = "Error, couldn't find attached data header.\r\n";
const char decode_failed_message[] = "Error, couldn't decode attached data.\r\n";

enum class outcome { runs, header_missing, decode_failed };

const char* describe(outcome value)
{
    switch (value) {
    case outcome::runs: return "runs";
    case outcome::header_missing: return "header missing";
    case outcome::decode_failed: return "decode failed";
    }
    return "?";
}

// Where the parts of the block lie, as offsets from the block's start, found by walking the frame
// as RFC 8878 lays it out.
struct block_layout {
    struct frame_block {
        std::size_t header;   // its 3-byte block header
        std::size_t content;  // its content right after
        std::size_t length;   // content bytes in the frame (1 for an RLE block)
        int type;             // 0 raw, 1 RLE, 2 compressed
    };
    std::size_t frame_start = attached_magic_size;
    std::size_t frame_header_end = 0;
    std::vector<frame_block> blocks;
    std::size_t checksum = 0;  // the frame's last four bytes
    std::size_t frame_end = 0;
    std::size_t reserved = 0;
    std::size_t trailer = 0;
    std::size_t length = 0;    // N
};

block_layout walk_block(const std::string& block)
{
    block_layout layout;
    layout.length = block.size();
    std::size_t at = layout.frame_start;
    EXPECT_EQ(tavrin::read_little_endian(block, at, 4), 0xFD2FB528u) << "a Zstandard frame follows the magic";
    unsigned descriptor = static_cast<unsigned char>(block[at + 4]);
    bool single_segment = (descriptor >> 5) & 1;
    bool has_checksum = (descriptor >> 2) & 1;
    static const int dictionary_id_sizes[] = {0, 1, 2, 4};
    static const int content_size_sizes[] = {0, 2, 4, 8};
    int content_size_bytes = content_size_sizes[descriptor >> 6];
    if (content_size_bytes == 0 && single_segment) content_size_bytes = 1;
    at += 5 + (single_segment ? 0 : 1) + dictionary_id_sizes[descriptor & 3] + content_size_bytes;
    layout.frame_header_end = at;
    for (;;) {
        std::uint32_t header = static_cast<std::uint32_t>(tavrin::read_little_endian(block, at, 3));
        block_layout::frame_block one;
        one.header = at;
        one.content = at + 3;
        one.type = (header >> 1) & 3;
        one.length = one.type == 1 ? 1 : header >> 3;
        layout.blocks.push_back(one);
        at = one.content + one.length;
        if (header & 1) break;
    }
    EXPECT_TRUE(has_checksum) << "the packer writes a content checksum";
    layout.checksum = at;
    layout.frame_end = at + (has_checksum ? 4 : 0);
    layout.reserved = layout.frame_end;
    layout.trailer = layout.reserved + attached_reserved_size;
    EXPECT_EQ(layout.trailer + attached_trailer_size, layout.length);
    EXPECT_EQ(tavrin::read_little_endian(block, layout.trailer, 8), layout.length - attached_trailer_size);
    EXPECT_EQ(ZSTD_findFrameCompressedSize(block.data() + layout.frame_start, block.size() - layout.frame_start),
              layout.frame_end - layout.frame_start);
    return layout;
}

// What a run of a package with attached data `block` must do, given the content stream of the
// undamaged package. A complete decode with the library's default settings, from the byte after the
// magic to the block's end, is the reference: the application may run only when the frame decodes
// without error to exactly the packed content. (Single bits that the frame format itself ignores can
// be flipped without harm; a dense sweep meets them.)
outcome expected_outcome(const std::string& block, const std::string& content)
{
    if (block.size() < attached_magic_size || block.compare(0, attached_magic_size, "VQJ") != 0)
        return outcome::header_missing;
    ZSTD_DCtx* context = ZSTD_createDCtx();
    ZSTD_inBuffer input = {block.data() + attached_magic_size, block.size() - attached_magic_size, 0};
    std::string decoded;
    std::vector<char> window(ZSTD_DStreamOutSize());
    bool complete = false;
    for (;;) {
        ZSTD_outBuffer output = {window.data(), window.size(), 0};
        std::size_t consumed = input.pos;
        std::size_t result = ZSTD_decompressStream(context, &output, &input);
        if (ZSTD_isError(result)) break;
        decoded.append(window.data(), output.pos);
        if (result == 0) {
            complete = true;
            break;
        }
        if (input.pos == consumed && output.pos == 0) break;  // the input is used up mid-frame
        if (decoded.size() > content.size()) break;
    }
    ZSTD_freeDCtx(context);
    return complete && decoded == content ? outcome::runs : outcome::decode_failed;
}

// The packed content stream of an intact block.
std::string content_of(const std::string& block)
{
    std::string content(ZSTD_getFrameContentSize(block.data() + attached_magic_size,
                                                 block.size() - attached_magic_size),
                        '\0');
    std::size_t size = ZSTD_decompress(content.data(), content.size(), block.data() + attached_magic_size,
                                       ZSTD_findFrameCompressedSize(block.data() + attached_magic_size,
                                                                    block.size() - attached_magic_size));
    EXPECT_FALSE(ZSTD_isError(size));
    content.resize(size);
    return content;
}

// One packed executable, made once per process: the probe and files chosen so that the frame holds
// every kind of block (compressed, raw from incompressible bytes, RLE from a run of one byte).
struct sample_package {
    temp_directory directory;
    fs::path exe;
    std::string image;             // the whole .exe
    std::size_t block_offset = 0;  // where the block lies in it
    std::size_t virtual_size_offset = 0;  // the section header's VirtualSize field
    std::string block;
    std::string content;
    block_layout layout;
};

const sample_package& sample()
{
    static std::unique_ptr<sample_package> package = [] {
        auto made = std::make_unique<sample_package>();
        made->exe = made->directory.path() / L"sample.exe";
        std::mt19937 generator(7);
        std::string noise(150000, '\0');
        for (auto& byte : noise) byte = static_cast<char>(generator());
        std::string text;
        for (int line = 0; text.size() < 40000; ++line)
            text += "line " + std::to_string(line) + " of a readme with words that repeat\n";
        make_package(made->exe, {packer_test::memory_entry(u"data\\readme.txt", text),
                                 packer_test::memory_entry(u"zeros.bin", std::string(300000, '\0')),
                                 packer_test::memory_entry(u"noise.bin", noise)});
        made->image = read_file(made->exe);
        auto headers = tavrin::read_pe_headers(made->exe);
        auto section = tavrin::find_attached_section(headers);
        EXPECT_TRUE(section.has_value());
        made->block_offset = static_cast<std::size_t>(section->file_offset);
        made->block = made->image.substr(made->block_offset, static_cast<std::size_t>(section->length));
        for (std::size_t i = 0; i < headers.sections.size(); ++i)
            if (headers.sections[i].name == TAVRIN_ATTACHED_SECTION_NAME) {
                EXPECT_EQ(headers.sections[i].virtual_size, section->length);
                made->virtual_size_offset = static_cast<std::size_t>(headers.section_table_offset + 40 * i + 8);
            }
        made->layout = walk_block(made->block);
        made->content = content_of(made->block);
        return made;
    }();
    return *package;
}

// One damage to the sample's block and what a run must then do. The damaged executable is made only
// when it runs.
struct damage {
    std::string what;       // for messages
    std::size_t at = 0;     // a flipped byte: its offset in the block and the bits flipped
    unsigned char mask = 0;
    std::size_t length = 0; // a cut: the block's length as the launcher sees it
    bool cut = false;
    outcome expected = outcome::runs;

    std::string image() const
    {
        const auto& package = sample();
        std::string result = package.image;
        if (cut) {
            for (int i = 0; i < 4; ++i)
                result[package.virtual_size_offset + i] = static_cast<char>((length >> (8 * i)) & 0xFF);
        } else {
            result[package.block_offset + at] = static_cast<char>(result[package.block_offset + at] ^ mask);
        }
        return result;
    }
};

damage flipped(std::size_t at, unsigned char mask, const std::string& what)
{
    const auto& package = sample();
    damage result;
    result.what = what + " at " + std::to_string(at) + " ^ " + std::to_string(mask);
    result.at = at;
    result.mask = mask;
    std::string block = package.block;
    block[at] = static_cast<char>(block[at] ^ mask);
    result.expected = expected_outcome(block, package.content);
    return result;
}

// The launcher sees min(VirtualSize, SizeOfRawData) bytes of the section: lowering VirtualSize shows
// it a block cut after `length` bytes.
damage truncated(std::size_t length)
{
    const auto& package = sample();
    damage result;
    result.what = "cut to " + std::to_string(length) + " of " + std::to_string(package.block.size()) + " bytes";
    result.cut = true;
    result.length = length;
    result.expected = expected_outcome(package.block.substr(0, length), package.content);
    return result;
}

// After a fatal exit: the partly filled unpack directory that the failing parent leaves by design,
// and nothing else. Removes it.
void remove_unpack_directory(const fs::path& temp)
{
    auto left = names_in(temp);
    EXPECT_LE(left.size(), 1u) << "more than the unpack directory was left";
    for (const auto& name : left) {
        EXPECT_EQ(name.rfind(L"onefile_", 0), 0u) << "left outside the unpack directory: " << narrow(name);
        remove_tree((temp / name).wstring());
    }
}

// Runs every case and checks its end: message, exit code, report, and what it left in its private
// temporary directory. A decode failure leaves its partly filled unpack directory (fatal exits do
// not clean up), which is removed here; nothing else may be left.
void run_all(const std::vector<damage>& cases)
{
    temp_directory temp, executables;
    std::size_t index = 0;
    std::map<outcome, int> seen;
    for (const auto& item : cases) {
        SCOPED_TRACE(item.what + ", expected: " + describe(item.expected));
        ++seen[item.expected];
        if (item.expected == outcome::runs && !item.cut && item.at < sample().layout.frame_end)
            std::printf("[          ] runs although damaged, the frame format ignoring it: %s\n", item.what.c_str());
        fs::path exe = executables.path() / (L"damaged" + std::to_wstring(index++) + L".exe");
        write_file(exe, item.image());
        run result = start(exe, {L"--exit", L"7"}, with_temp(temp.wstr()));
        fs::remove(exe);
        ASSERT_FALSE(result.process.timed_out) << "the run did not end";
        switch (item.expected) {
        case outcome::runs:
            EXPECT_EQ(result.process.exit_code, 7u);
            EXPECT_EQ(result.process.out, "");
            EXPECT_EQ(result.process.err, "");
            EXPECT_EQ(one(result.facts, "argc"), L"3");
            break;
        case outcome::header_missing:
            EXPECT_EQ(result.process.exit_code, 2u);
            EXPECT_EQ(result.process.out, header_missing_message);
            EXPECT_EQ(result.process.err, "");
            EXPECT_TRUE(result.facts.empty()) << "the application ran";
            break;
        case outcome::decode_failed: {
            // Mostly the decode error. Damage that decodes cleanly until the checksum is acted on
            // as it reads first: a name run on past its 1023 code units ends in the bound abort, a
            // name the file system refuses in "failed to open".
            const auto& process = result.process;
            bool decode_error = process.exit_code == 2 && process.out == decode_failed_message && process.err.empty();
            bool bound_abort = process.exit_code == 0xC0000409u && process.out.empty() && process.err.empty();
            const std::string open_start = "Error, failed to open '", open_end = "' for writing.\r\n";
            bool cannot_open = process.exit_code == 2 && process.out.empty() &&
                               process.err.rfind(open_start, 0) == 0 && process.err.size() > open_end.size() &&
                               process.err.compare(process.err.size() - open_end.size(), open_end.size(), open_end) == 0;
            EXPECT_TRUE(decode_error || bound_abort || cannot_open)
                << "exit " << process.exit_code << ", out: " << process.out << ", err: " << process.err;
            EXPECT_TRUE(result.facts.empty()) << "the application ran on a damaged frame";
            remove_unpack_directory(temp.path());
            break;
        }
        }
        EXPECT_TRUE(names_in(temp.path()).empty()) << "left behind: " << narrow(names_in(temp.path()).front());
        if (testing::Test::HasFatalFailure()) return;
    }
    std::printf("[          ] %zu runs: %d ran, %d without header, %d not decoded\n", cases.size(),
                seen[outcome::runs], seen[outcome::header_missing], seen[outcome::decode_failed]);
}

}  // namespace

TEST(HardeningCorruption, DamageAnywhereInTheBlockEndsWithItsMessage)
{
    const auto& package = sample();
    const auto& layout = package.layout;
    std::vector<damage> cases;
    // The magic: nothing is decoded or created.
    for (std::size_t at = 0; at < attached_magic_size; ++at) cases.push_back(flipped(at, 0xFF, "magic"));
    // The frame header: magic number, descriptor (its reserved bit gets set), content size.
    for (std::size_t at = layout.frame_start; at < layout.frame_header_end; ++at)
        cases.push_back(flipped(at, 0xFF, "frame header"));
    // One block of each kind: its header and the middle of its content.
    std::set<int> kinds;
    for (const auto& block : layout.blocks) {
        if (!kinds.insert(block.type).second) continue;
        cases.push_back(flipped(block.header, 0xFF, "header of a block of type " + std::to_string(block.type)));
        cases.push_back(flipped(block.content + block.length / 2, 0xFF,
                                "content of a block of type " + std::to_string(block.type)));
    }
    EXPECT_EQ(kinds, (std::set<int>{0, 1, 2})) << "the sample's frame should hold every kind of block";
    // Positions spread over all blocks, with varied masks.
    const unsigned char masks[] = {0x01, 0x80, 0x10, 0xFF, 0x42};
    for (int i = 1; i <= 40; ++i) {
        std::size_t at = layout.frame_header_end + (layout.checksum - layout.frame_header_end) * i / 41;
        cases.push_back(flipped(at, masks[i % 5], "spread over the blocks"));
    }
    // The content checksum.
    for (std::size_t at = layout.checksum; at < layout.frame_end; ++at) cases.push_back(flipped(at, 0x01, "checksum"));
    // Every one of those is damage that the format detects.
    for (const auto& item : cases) {
        if (item.what.rfind("magic", 0) != 0) {
            EXPECT_EQ(item.expected, outcome::decode_failed) << item.what;
        }
    }

    // Behind the frame: never read, so the application runs normally.
    cases.push_back(flipped(layout.reserved, 0xFF, "reserved field"));
    cases.push_back(flipped(layout.reserved + 3, 0x01, "reserved field"));
    cases.push_back(flipped(layout.trailer, 0xFF, "trailer"));
    cases.push_back(flipped(layout.trailer + 7, 0x80, "trailer"));
    for (std::size_t i = cases.size() - 4; i < cases.size(); ++i) EXPECT_EQ(cases[i].expected, outcome::runs);
    run_all(cases);
}

TEST(HardeningCorruption, ABlockCutShortEndsWithItsMessage)
{
    const auto& package = sample();
    const auto& layout = package.layout;
    std::vector<std::size_t> lengths = {0, 1, 2,                        // not even the magic
                                        3,                              // the magic alone
                                        layout.frame_start + 4,         // the frame's magic number
                                        layout.frame_header_end,        // its header
                                        layout.blocks[0].content,       // the first block's header
                                        layout.blocks[1].header,        // the first block
                                        layout.checksum,                // every block, no checksum
                                        layout.frame_end - 1,           // one byte of it missing
                                        layout.frame_end,               // the frame exactly
                                        layout.trailer,                 // the reserved field
                                        layout.length - 1};
    // Cuts spread over the blocks.
    for (int i = 1; i <= 12; ++i)
        lengths.push_back(layout.frame_header_end + (layout.checksum - layout.frame_header_end) * i / 13);
    std::vector<damage> cases;
    for (auto length : lengths) {
        cases.push_back(truncated(length));
        // Whether the frame is whole is all that counts.
        outcome wanted = length < attached_magic_size ? outcome::header_missing
                         : length < layout.frame_end  ? outcome::decode_failed
                                                      : outcome::runs;
        EXPECT_EQ(cases.back().expected, wanted) << cases.back().what;
    }
    run_all(cases);
}

TEST(HardeningSlowCorruption, DenseSweepOfFlippedBytes)
{
    const auto& package = sample();
    const auto& layout = package.layout;
    std::vector<damage> cases;
    // Every bit of the magic and of the frame header, one at a time, and each byte inverted.
    for (std::size_t at = 0; at < layout.frame_header_end; ++at) {
        for (int bit = 0; bit < 8; ++bit) cases.push_back(flipped(at, static_cast<unsigned char>(1 << bit), "bit"));
        cases.push_back(flipped(at, 0xFF, "byte"));
    }
    // Every block header, each byte inverted and its low bits (last-block flag, type) flipped.
    for (const auto& block : layout.blocks)
        for (std::size_t at = block.header; at < block.content; ++at)
            for (unsigned char mask : {0x01, 0x02, 0x04, 0x08, 0x80, 0xFF})
                cases.push_back(flipped(at, mask, "block header"));
    // About 1200 positions evenly over the blocks' content, with rotating masks.
    const unsigned char masks[] = {0x01, 0x02, 0x04, 0x08, 0x10, 0x20, 0x40, 0x80, 0xFF, 0x5A};
    std::size_t span = layout.checksum - layout.frame_header_end;
    for (std::size_t i = 0; i < 1200; ++i)
        cases.push_back(flipped(layout.frame_header_end + span * i / 1200, masks[i % 10], "content"));
    // Every bit of the checksum.
    for (std::size_t at = layout.checksum; at < layout.frame_end; ++at)
        for (int bit = 0; bit < 8; ++bit)
            cases.push_back(flipped(at, static_cast<unsigned char>(1 << bit), "checksum"));
    // Every byte behind the frame.
    for (std::size_t at = layout.reserved; at < layout.length; ++at) cases.push_back(flipped(at, 0xFF, "tail"));
    run_all(cases);
}

TEST(HardeningSlowCorruption, DenseSweepOfCuts)
{
    const auto& package = sample();
    const auto& layout = package.layout;
    std::set<std::size_t> lengths;
    // Every length through the frame header and the first block header, every length around each
    // block boundary and the frame's end, and 300 lengths spread over the rest.
    for (std::size_t length = 0; length <= layout.blocks[0].content + 2; ++length) lengths.insert(length);
    for (const auto& block : layout.blocks)
        for (std::size_t length = block.header - 1; length <= block.content + 1; ++length) lengths.insert(length);
    for (std::size_t length = layout.checksum - 2; length <= layout.length; ++length) lengths.insert(length);
    for (std::size_t i = 0; i < 300; ++i) lengths.insert(layout.frame_header_end + (layout.checksum - layout.frame_header_end) * i / 300);
    std::vector<damage> cases;
    for (auto length : lengths) cases.push_back(truncated(length));
    run_all(cases);
}

namespace {

// A package whose frame stores the content stream verbatim, in raw blocks, and ends with the
// checksum the library computes for that content (taken from a compressed frame of it). A damaged
// byte in a raw block decodes to exactly that damage: nothing but the checksum at the frame's end
// reveals it.
void make_raw_package(const fs::path& exe, const std::string& content)
{
    ZSTD_CCtx* compressor = ZSTD_createCCtx();
    ZSTD_CCtx_setParameter(compressor, ZSTD_c_checksumFlag, 1);
    std::string compressed(ZSTD_compressBound(content.size()), '\0');
    std::size_t size = ZSTD_compress2(compressor, compressed.data(), compressed.size(), content.data(), content.size());
    ZSTD_freeCCtx(compressor);
    ASSERT_FALSE(ZSTD_isError(size));

    auto put = [](std::string& out, std::uint64_t value, int bytes) {
        for (int i = 0; i < bytes; ++i) out.push_back(static_cast<char>((value >> (8 * i)) & 0xFF));
    };
    std::string frame;
    put(frame, 0xFD2FB528u, 4);
    frame.push_back('\x04');                  // content checksum; no content size; a window descriptor
    frame.push_back(static_cast<char>(7 << 3));  // a window of 2^(10 + 7) bytes
    const std::size_t piece = 1 << 17;
    for (std::size_t at = 0; at < content.size(); at += piece) {
        std::size_t length = std::min(piece, content.size() - at);
        put(frame, (length << 3) | (at + length == content.size() ? 1 : 0), 3);  // a raw block
        frame += content.substr(at, length);
    }
    frame += compressed.substr(size - 4);
    std::string block = packer_test::assemble_block(frame);
    ASSERT_EQ(expected_outcome(block, content), outcome::runs);

    std::ifstream launcher(fs::path(launcher_image), std::ios::binary);
    auto headers = tavrin::read_pe_headers(launcher, narrow(launcher_image));
    std::ofstream out(exe, std::ios::binary | std::ios::trunc);
    tavrin::write_image_with_section(launcher, headers, out, [&](std::ostream& section) {
        section.write(block.data(), static_cast<std::streamsize>(block.size()));
    });
}

// The block offset of content byte `at` in a package made by make_raw_package.
std::size_t raw_offset(std::size_t at) { return attached_magic_size + 6 + 3 * (at / (1 << 17) + 1) + at; }

std::string utf16(const std::u16string& text)
{
    std::string bytes;
    for (char16_t unit : text) {
        bytes.push_back(static_cast<char>(unit & 0xFF));
        bytes.push_back(static_cast<char>(unit >> 8));
    }
    return bytes;
}

}  // namespace

// Damage that decodes without a structural error shows only at the frame's end, through its
// checksum, unless it lies in the frame's last block. The parent writes entries as they come out of
// the decoder, so until then a damaged entry is acted on as it reads, and must never do harm: a name
// that would leave the unpack directory ("..\escaped.txt") or that Windows cannot hold ("*lain.txt")
// is taken for the damage it is (the decode error, nothing written outside); a size cut short makes
// the next name run on past 1023 code units (the bound abort, no message); a sound name the file
// system refuses (a file where a directory is needed) ends with the "failed to open" message. The
// application never runs.
TEST(HardeningCorruption, DamageOnlyTheChecksumRevealsIsNotActedOn)
{
    std::vector<tavrin::archive_entry> entries = {
        tavrin::archive_entry::from_file(u"probe.dll", fs::path(probe_dll)),
        packer_test::memory_entry(u".a\\escaped.txt", "escaped"),
        packer_test::memory_entry(u"filler.bin", std::string(4000, 'y')),
        packer_test::memory_entry(u"plain.txt", "plain"),
        packer_test::memory_entry(u"filler.bin~x.txt", "x"),
        // Blocks after the damaged one: the decoder hands the damaged block out before it gets to
        // the checksum.
        packer_test::memory_entry(u"tail.bin", std::string(400000, 'z'))};
    std::string content = packer_test::make_content_stream(entries);
    auto at_name = [&](const std::u16string& name) { return content.find(utf16(name)); };
    struct damage_case {
        std::string what;
        std::size_t at;  // in the content stream
        unsigned char mask;
        std::uint32_t exit_code;
        std::string out;
        std::string err_start;  // what standard error begins with
    };
    const std::uint32_t bound_abort = 0xC0000409;
    std::vector<damage_case> cases = {
        {"'a' of .a\\escaped.txt made '.'", at_name(u".a\\escaped.txt") + 2, 'a' ^ '.', 2, decode_failed_message, ""},
        // 4000 = 0x0FA0: its second byte cleared leaves 160.
        {"size of filler.bin cut to 160", at_name(u"filler.bin") + utf16(u"filler.bin").size() + 2 + 1, 0x0F,
         bound_abort, "", ""},
        {"'p' of plain.txt made '*'", at_name(u"plain.txt"), 'p' ^ '*', 2, decode_failed_message, ""},
        {"'~' of filler.bin~x.txt made '\\'", at_name(u"filler.bin~x.txt") + 2 * 10, '~' ^ '\\', 2, "",
         "Error, failed to open '"}};

    temp_directory dir, temp;
    std::string image;
    {
        auto exe = dir.path() / L"raw.exe";
        make_raw_package(exe, content);
        image = read_file(exe);
        // Intact, it runs.
        auto intact = start(exe, {L"--exit", L"7"}, with_temp(temp.wstr()));
        ASSERT_EQ(intact.process.exit_code, 7u) << intact.process.out << intact.process.err;
    }
    auto section = tavrin::find_attached_section(tavrin::read_pe_headers(dir.path() / L"raw.exe"));
    ASSERT_TRUE(section.has_value());
    int index = 0;
    for (const auto& item : cases) {
        SCOPED_TRACE(item.what);
        std::string damaged = image;
        std::size_t at = static_cast<std::size_t>(section->file_offset) + raw_offset(item.at);
        damaged[at] = static_cast<char>(damaged[at] ^ item.mask);
        auto exe = dir.path() / (L"damaged" + std::to_wstring(index++) + L".exe");
        write_file(exe, damaged);
        auto result = start(exe, {L"--exit", L"7"}, with_temp(temp.wstr()));
        ASSERT_FALSE(result.process.timed_out);
        EXPECT_EQ(result.process.exit_code, item.exit_code);
        EXPECT_EQ(result.process.out, item.out);
        EXPECT_EQ(result.process.err.substr(0, item.err_start.size()), item.err_start);
        if (item.err_start.empty()) {
            EXPECT_EQ(result.process.err, "");
        }
        EXPECT_TRUE(result.facts.empty()) << "the application ran on a damaged frame";
        for (const auto& name : names_in(temp.path()))
            if (name.rfind(L"onefile_", 0) != 0) {
                ADD_FAILURE() << "written outside the unpack directory: " << narrow(name);
                remove_tree((temp.path() / name).wstring());
            }
        remove_unpack_directory(temp.path());
    }
}
