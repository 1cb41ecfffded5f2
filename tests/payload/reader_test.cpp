// The attached-data reader against real blocks: exact byte counts across window boundaries, reads
// past the end, damage part-way, the magic, window limits and the frame checksum.
#include <gtest/gtest.h>

#define ZSTD_STATIC_LINKING_ONLY
#include <zstd.h>

#include <cstdio>
#include <random>

#include "packer/archive/block_writer.h"
#include "format/format.h"
#include "payload/reader.h"
#include "tests/support/packer_fixtures.h"
#include "tests/support/self_process.h"

using testing_support::read_file;
using testing_support::run_scenario;
using testing_support::temp_directory;
using testing_support::write_file;

namespace {

const char decode_error[] = "Error, couldn't decode attached data.\r\n";

// Arguments: BLOCK OUT serial|ahead [COUNT|confirm|close]... Each COUNT is read and appended to OUT
// at once, so that OUT shows what was delivered before a failure; "ahead" decodes on the reader's
// own thread from the start.
}  // namespace

TAVRIN_SCENARIO(read_plan)
{
    std::string block = read_file(argv[1]);
    FILE* out = _wfopen(argv[2], L"wb");
    unsigned char* copy = static_cast<unsigned char*>(malloc(block.size() + 1));
    memcpy(copy, block.data(), block.size());
    open_attached_data(copy, block.size());
    if (std::wstring(argv[3]) == L"ahead" && !decode_attached_data_ahead()) return 4;
    std::vector<unsigned char> buffer;
    for (int i = 4; i < argc; ++i) {
        std::wstring step = argv[i];
        if (step == L"confirm") {
            confirm_attached_data_complete();
        } else if (step == L"close") {
            close_attached_data();
        } else {
            std::uint64_t count = std::stoull(step);
            buffer.assign(static_cast<std::size_t>(count) + 1, 0xAA);
            read_attached_data(buffer.data(), count);
            // Nothing beyond the requested count is touched.
            if (buffer[static_cast<std::size_t>(count)] != 0xAA) return 3;
            fwrite(buffer.data(), 1, static_cast<std::size_t>(count), out);
            fflush(out);
        }
    }
    fclose(out);
    return 0;
}

namespace {

struct plan_result {
    testing_support::process_result process;
    std::string delivered;
};

plan_result run_plan_as(const std::string& block, const std::wstring& mode, const std::vector<std::wstring>& steps)
{
    temp_directory dir;
    auto block_path = dir.path() / L"block";
    auto out_path = dir.path() / L"out";
    write_file(block_path, block);
    std::vector<std::wstring> arguments = {block_path.wstring(), out_path.wstring(), mode};
    arguments.insert(arguments.end(), steps.begin(), steps.end());
    plan_result result;
    result.process = run_scenario(L"read_plan", arguments);
    result.delivered = read_file(out_path);
    return result;
}

// Runs the plan with the caller's thread decoding and again with the decoder ahead on its own:
// both hand out the same bytes and end the same way, at the same point.
plan_result run_plan(const std::string& block, const std::vector<std::wstring>& steps)
{
    plan_result serial = run_plan_as(block, L"serial", steps);
    plan_result ahead = run_plan_as(block, L"ahead", steps);
    EXPECT_EQ(ahead.process.exit_code, serial.process.exit_code);
    EXPECT_EQ(ahead.process.out, serial.process.out);
    EXPECT_EQ(ahead.process.err, serial.process.err);
    EXPECT_TRUE(ahead.delivered == serial.delivered) << ahead.delivered.size() << " bytes against " << serial.delivered.size();
    return serial;
}

std::string random_bytes(std::size_t size, unsigned seed)
{
    std::mt19937 generator(seed);
    std::string bytes(size, '\0');
    // Half random, half repetitive, so that the frame has both raw and compressed blocks.
    for (std::size_t i = 0; i < size; ++i)
        bytes[i] = static_cast<char>(i % 4096 < 2048 ? generator() & 0xFF : (i / 7) & 0xFF);
    return bytes;
}

std::vector<tavrin::archive_entry> several_windows()
{
    return {packer_test::memory_entry(u"app.dll", random_bytes(300000, 1)),
            packer_test::memory_entry(u"lib\\data.bin", random_bytes(131072 * 2 + 5, 2)),
            packer_test::memory_entry(u"empty", "")};
}

// A block around a frame made here, for settings the writer never uses.
std::string wrap_frame(const std::string& frame) { return packer_test::assemble_block(frame); }

// A frame that declares a window of 2^window_log bytes: no content size, so the window is not
// shrunk to the content.
std::string frame_with_window(const std::string& content, int window_log, bool checksum)
{
    ZSTD_CCtx* context = ZSTD_createCCtx();
    ZSTD_CCtx_setParameter(context, ZSTD_c_windowLog, window_log);
    ZSTD_CCtx_setParameter(context, ZSTD_c_checksumFlag, checksum ? 1 : 0);
    ZSTD_CCtx_setParameter(context, ZSTD_c_contentSizeFlag, 0);
    std::string frame(ZSTD_compressBound(content.size()) + 64, '\0');
    ZSTD_inBuffer input = {content.data(), content.size(), 0};
    ZSTD_outBuffer output = {frame.data(), frame.size(), 0};
    // Fed first without ending, so that the compressor does not learn the size and keep the window.
    EXPECT_FALSE(ZSTD_isError(ZSTD_compressStream2(context, &output, &input, ZSTD_e_continue)));
    ZSTD_inBuffer none = {nullptr, 0, 0};
    EXPECT_EQ(ZSTD_compressStream2(context, &output, &none, ZSTD_e_end), 0u);
    ZSTD_freeCCtx(context);
    frame.resize(output.pos);
    ZSTD_frameHeader header;
    EXPECT_EQ(ZSTD_getFrameHeader(&header, frame.data(), frame.size()), 0u);
    EXPECT_EQ(header.windowSize, 1ull << window_log);
    return frame;
}

std::wstring count(std::size_t n) { return std::to_wstring(n); }

}  // namespace

TEST(Reader, DeliversExactCountsAcrossWindowBoundaries)
{
    auto entries = several_windows();
    std::string stream = packer_test::make_content_stream(entries);
    std::string block = packer_test::make_block(entries, {});
    ASSERT_GT(stream.size(), 4u * reader_window_size);

    // Odd sizes that straddle the window again and again, a zero read in between, then the rest.
    std::vector<std::wstring> steps = {count(0), count(1), count(131070), count(5), count(0), count(200000)};
    std::size_t used = 1 + 131070 + 5 + 200000;
    steps.push_back(count(stream.size() - used));
    steps.push_back(L"confirm");
    steps.push_back(L"close");
    auto result = run_plan(block, steps);
    EXPECT_EQ(result.process.exit_code, 0u) << result.process.out;
    EXPECT_EQ(result.process.out, "");
    EXPECT_TRUE(result.delivered == stream);

    // One read of everything at once.
    auto whole = run_plan(block, {count(stream.size()), L"confirm"});
    EXPECT_EQ(whole.process.exit_code, 0u);
    EXPECT_TRUE(whole.delivered == stream);

    // Closed after one byte of a stream longer than the decoder can run ahead: it stops where it
    // waits for room.
    std::string longer = packer_test::make_block({packer_test::memory_entry(u"app.dll", random_bytes(3 << 20, 6))}, {});
    auto closed = run_plan(longer, {count(1), L"close"});
    EXPECT_EQ(closed.process.exit_code, 0u);
}

TEST(Reader, ZeroByteReadNeverTouchesTheDecoder)
{
    // A frame of garbage: any decoder call would fail.
    std::string block = std::string("VQJ") + std::string(64, '\x5A');
    auto result = run_plan(block, {count(0), count(0)});
    EXPECT_EQ(result.process.exit_code, 0u);
    auto failing = run_plan(block, {count(0), count(1)});
    EXPECT_EQ(failing.process.exit_code, 2u);
    EXPECT_EQ(failing.process.out, decode_error);
}

TEST(Reader, ReadPastTheEndIsADecodeError)
{
    auto entries = several_windows();
    std::string stream = packer_test::make_content_stream(entries);
    std::string block = packer_test::make_block(entries, {});
    auto result = run_plan(block, {count(stream.size()), count(1)});
    EXPECT_EQ(result.process.exit_code, 2u);
    EXPECT_EQ(result.process.out, decode_error);
    EXPECT_EQ(result.process.err, "");
    EXPECT_TRUE(result.delivered == stream);

    // A block cut right after its frame: the input ends and more is wanted.
    std::string cut = block.substr(0, block.size() - attached_reserved_size - attached_trailer_size);
    auto ended = run_plan(cut, {count(stream.size()), count(1)});
    EXPECT_EQ(ended.process.exit_code, 2u);
    EXPECT_EQ(ended.process.out, decode_error);
}

TEST(Reader, DamagePartWayFailsAfterEarlierReadsSucceed)
{
    auto entries = several_windows();
    std::string stream = packer_test::make_content_stream(entries);
    std::string block = packer_test::make_block(entries, {});
    // Damage the last third of the frame: the first window decodes, a later one does not.
    std::string damaged = block;
    for (std::size_t i = block.size() * 2 / 3; i < block.size() * 2 / 3 + 64; ++i) damaged[i] ^= 0x5C;
    auto result = run_plan(damaged, {count(1000), count(stream.size() - 1000), L"confirm"});
    EXPECT_EQ(result.process.exit_code, 2u);
    EXPECT_EQ(result.process.out, decode_error);
    EXPECT_TRUE(result.delivered == stream.substr(0, 1000));
}

TEST(Reader, MagicIsCheckedFirst)
{
    std::string block = packer_test::make_block({packer_test::memory_entry(u"a", "x")}, {});
    for (std::size_t i = 0; i < 3; ++i) {
        std::string bad = block;
        bad[i] ^= 0x20;
        auto result = run_plan(bad, {count(1)});
        EXPECT_EQ(result.process.exit_code, 2u);
        EXPECT_EQ(result.process.out, "Error, couldn't find attached data header.\r\n");
        EXPECT_EQ(result.delivered, "");
    }
    auto short_block = run_plan("VQ", {});
    EXPECT_EQ(short_block.process.out, "Error, couldn't find attached data header.\r\n");
}

TEST(Reader, WindowOfTwoToThe27IsAcceptedAndLargerRefused)
{
    std::string content = packer_test::make_content_stream({packer_test::memory_entry(u"a.dll", random_bytes(5000, 3))});
    auto accepted = run_plan(wrap_frame(frame_with_window(content, 27, true)), {count(content.size()), L"confirm"});
    EXPECT_EQ(accepted.process.exit_code, 0u) << accepted.process.out;
    EXPECT_TRUE(accepted.delivered == content);

    auto refused = run_plan(wrap_frame(frame_with_window(content, 28, true)), {count(1)});
    EXPECT_EQ(refused.process.exit_code, 2u);
    EXPECT_EQ(refused.process.out, decode_error);
    EXPECT_EQ(refused.delivered, "");
}

TEST(Reader, ChecksumMismatchNeverPassesAsGood)
{
    // A content stream of exactly two windows: the end marker leaves the decoder as the window
    // fills, the case where the decoder may stop short of the checksum.
    const std::size_t stream_size = 2 * reader_window_size;
    const std::size_t header = 5 * 2 + 2 + 8, end_marker = 2;
    std::string content = packer_test::make_content_stream(
        {packer_test::memory_entry(u"a.dll", random_bytes(stream_size - header - end_marker, 4))});
    ASSERT_EQ(content.size(), stream_size);
    std::string frame = frame_with_window(content, 20, true);
    frame[frame.size() - 1] ^= 0x01;  // the last byte of the frame is the checksum's

    auto result = run_plan(wrap_frame(frame), {count(content.size()), L"confirm"});
    EXPECT_EQ(result.process.exit_code, 2u);
    EXPECT_EQ(result.process.out, decode_error);

    // The same frame undamaged passes the confirmation.
    frame[frame.size() - 1] ^= 0x01;
    auto good = run_plan(wrap_frame(frame), {count(content.size()), L"confirm", L"close"});
    EXPECT_EQ(good.process.exit_code, 0u);

    // A small frame.
    std::string small = packer_test::make_content_stream({packer_test::memory_entry(u"a.dll", random_bytes(7000, 5))});
    std::string small_frame = frame_with_window(small, 20, true);
    small_frame[small_frame.size() - 1] ^= 0x01;
    auto early = run_plan(wrap_frame(small_frame), {count(small.size()), L"confirm"});
    EXPECT_EQ(early.process.exit_code, 2u);
    EXPECT_EQ(early.process.out, decode_error);
}

TEST(Reader, ContentPastTheEndMarkerFailsTheConfirmation)
{
    // A frame whose content goes on after what the caller reads as the stream's end.
    std::string content = packer_test::make_content_stream({packer_test::memory_entry(u"a", "xyz")});
    std::string longer = content + random_bytes(300000, 5);
    auto result = run_plan(wrap_frame(frame_with_window(longer, 22, true)), {count(content.size()), L"confirm"});
    EXPECT_EQ(result.process.exit_code, 2u);
    EXPECT_EQ(result.process.out, decode_error);
}
