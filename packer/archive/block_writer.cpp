// The attached-data block writer: names checked, content streamed through one Zstandard frame.
#include "packer/archive/block_writer.h"

#define ZSTD_STATIC_LINKING_ONLY  // ZSTD_getCParams, ZSTD_getFrameHeader, ZSTD_getFrameProgression
#include <zstd.h>

#include <algorithm>
#include <array>
#include <filesystem>
#include <fstream>
#include <memory>
#include <thread>

#include "format/format.h"

namespace tavrin {
namespace {

std::string entry_header(const std::u16string& name, std::uint64_t size)
{
    std::string header;
    header.reserve(name.size() * 2 + 2 + entry_size_bytes);
    for (char16_t unit : name) {
        header.push_back(static_cast<char>(unit & 0xFF));
        header.push_back(static_cast<char>(unit >> 8));
    }
    header.append(2, '\0');
    header += little_endian_bytes(size, entry_size_bytes);
    return header;
}

std::uint64_t entry_size(const archive_entry& entry)
{
    if (entry.data) return entry.data->size();
    std::error_code error;
    auto status = std::filesystem::status(entry.file, error);
    if (error || !std::filesystem::is_regular_file(status))
        throw pack_error("cannot read '" + entry.file.u8string() + "': not a readable regular file");
    auto size = std::filesystem::file_size(entry.file, error);
    if (error) throw pack_error("cannot read the size of '" + entry.file.u8string() + "': " + error.message());
    return size;
}

static_assert(max_window_log == attached_window_log_max, "the packer's window limit is the launcher's");

// The window log that `level` picks by itself for a large content, at most 2^27.
unsigned own_window_log(int level)
{
    return std::min<unsigned>(ZSTD_getCParams(level, ZSTD_CONTENTSIZE_UNKNOWN, 0).windowLog, max_window_log);
}

struct cctx_deleter {
    void operator()(ZSTD_CCtx* context) const { ZSTD_freeCCtx(context); }
};

void check(std::size_t result, const char* what)
{
    if (ZSTD_isError(result)) throw pack_error(std::string("compression failed (") + what + "): " + ZSTD_getErrorName(result));
}

// Feeds the content stream through the compressor and counts what reaches `out`.
class frame_sink {
public:
    frame_sink(ZSTD_CCtx* context, std::ostream& out) : context_(context), out_(out), buffer_(ZSTD_CStreamOutSize()) {}

    // Hands `size` bytes to the compressor (and with ZSTD_e_end, finishes the frame), writing what
    // comes out; `after_call` runs after each call of the compressor.
    template <typename AfterCall>
    void feed(const char* data, std::size_t size, ZSTD_EndDirective mode, AfterCall after_call)
    {
        ZSTD_inBuffer input = {data, size, 0};
        for (;;) {
            ZSTD_outBuffer output = {buffer_.data(), buffer_.size(), 0};
            std::size_t remaining = ZSTD_compressStream2(context_, &output, &input, mode);
            check(remaining, "stream");
            write(buffer_.data(), output.pos);
            after_call();
            bool done = mode == ZSTD_e_end ? remaining == 0 : input.pos == input.size;
            if (done) return;
        }
    }

    void write(const char* data, std::size_t size)
    {
        if (size == 0) return;
        constexpr std::size_t header_room = attached_magic_size + ZSTD_FRAMEHEADERSIZE_MAX;
        if (header_.size() < header_room) header_.append(data, std::min(size, header_room - header_.size()));
        out_.write(data, static_cast<std::streamsize>(size));
        if (!out_) throw pack_error("cannot write the output");
        written_ += size;
    }

    std::uint64_t written() const { return written_; }

    // The window that the frame's header declares, once the header has passed.
    std::uint64_t declared_window() const
    {
        ZSTD_frameHeader header{};
        if (header_.size() <= attached_magic_size) return 0;
        std::size_t result = ZSTD_getFrameHeader(&header, header_.data() + attached_magic_size, header_.size() - attached_magic_size);
        return result == 0 ? header.windowSize : 0;
    }

private:
    ZSTD_CCtx* context_;
    std::ostream& out_;
    std::vector<char> buffer_;
    std::uint64_t written_ = 0;
    std::string header_;  // the block's first bytes: the magic and the frame header
};

// Turns the compressor's count of content-stream bytes it has taken in into files and content
// bytes done: progress as far as the compression has come, not only the reading.
class progress_tracker {
public:
    progress_tracker(const std::vector<archive_entry>& entries, const std::vector<std::uint64_t>& sizes)
    {
        std::uint64_t at = 0;
        for (std::size_t i = 0; i < entries.size(); ++i) {
            std::uint64_t content = at + entries[i].name.size() * 2 + 2 + entry_size_bytes;
            spans_.push_back({content, content + sizes[i]});
            at = content + sizes[i];
        }
    }

    // Sets files_done and bytes_done in `state` for `consumed` bytes of the content stream; true
    // when they changed.
    bool update(std::uint64_t consumed, block_progress& state)
    {
        while (next_ < spans_.size() && consumed >= spans_[next_].end) {
            content_before_ += spans_[next_].end - spans_[next_].content;
            ++next_;
        }
        std::uint64_t partial = next_ < spans_.size() && consumed > spans_[next_].content ? consumed - spans_[next_].content : 0;
        std::uint64_t done = content_before_ + partial;
        bool changed = done != state.bytes_done || next_ != state.files_done;
        state.files_done = next_;
        state.bytes_done = done;
        return changed;
    }

private:
    struct span {
        std::uint64_t content;  // where the entry's content starts in the stream
        std::uint64_t end;      // and ends
    };
    std::vector<span> spans_;
    std::size_t next_ = 0;
    std::uint64_t content_before_ = 0;
};

}  // namespace

unsigned resolved_threads(unsigned requested)
{
    return requested ? requested : std::min(max_threads(), std::max(1u, std::thread::hardware_concurrency()));
}

unsigned max_threads()
{
    ZSTD_bounds bounds = ZSTD_cParam_getBounds(ZSTD_c_nbWorkers);
    return ZSTD_isError(bounds.error) ? 1u : static_cast<unsigned>(bounds.upperBound);
}

level_window default_level_window(int level)
{
    if (level < 1 || level > ZSTD_maxCLevel())
        throw pack_error("compression level must be 1.." + std::to_string(ZSTD_maxCLevel()));
    return {max_window_log, true};
}

level_window block_window(const block_options& options)
{
    level_window window = default_level_window(options.level);
    if (options.window_log != 0) {
        if (options.window_log < min_window_log || options.window_log > max_window_log)
            throw pack_error("the window must be 2^" + std::to_string(min_window_log) + " to 2^" +
                             std::to_string(max_window_log) + " bytes; the launcher refuses a larger one");
        window.window_log = std::min(window.window_log, options.window_log);
    }
    window.long_distance = window.long_distance && window.window_log > own_window_log(options.level);
    return window;
}

std::uint64_t write_block(const std::vector<archive_entry>& entries, std::ostream& out,
                          const block_options& options, const progress_callback& progress)
{
    check_entry_names(entries);
    const level_window window = block_window(options);

    block_progress state;
    state.files_total = entries.size();
    std::vector<std::uint64_t> sizes;
    sizes.reserve(entries.size());
    std::uint64_t stream_size = 2;  // the end marker
    for (const auto& entry : entries) {
        sizes.push_back(entry_size(entry));
        stream_size += entry.name.size() * 2 + 2 + entry_size_bytes + sizes.back();
        state.bytes_total += sizes.back();
    }

    std::unique_ptr<ZSTD_CCtx, cctx_deleter> context(ZSTD_createCCtx());
    if (!context) throw pack_error("cannot allocate the compressor");
    if (options.threads > max_threads())
        throw pack_error("at most " + std::to_string(max_threads()) + " compression threads");
    unsigned threads = resolved_threads(options.threads);
    check(ZSTD_CCtx_setParameter(context.get(), ZSTD_c_compressionLevel, options.level), "level");
    check(ZSTD_CCtx_setParameter(context.get(), ZSTD_c_checksumFlag, 1), "checksum");
    check(ZSTD_CCtx_setParameter(context.get(), ZSTD_c_contentSizeFlag, 1), "content size");
    // The launcher's decoder allocates the window the frame declares. The compressor shrinks the
    // window set here to the pledged content size, so a small application gets a small one.
    check(ZSTD_CCtx_setParameter(context.get(), ZSTD_c_windowLog, static_cast<int>(window.window_log)), "window");
    if (window.long_distance)
        check(ZSTD_CCtx_setParameter(context.get(), ZSTD_c_enableLongDistanceMatching, 1), "long-distance matching");
    // Worker mode even with one thread: its output does not depend on the number of workers.
    check(ZSTD_CCtx_setParameter(context.get(), ZSTD_c_nbWorkers, static_cast<int>(threads)), "workers");
    check(ZSTD_CCtx_setPledgedSrcSize(context.get(), stream_size), "pledged size");
    state.level = options.level;
    state.threads = threads;
    state.window_log = window.window_log;
    if (progress) progress(state);

    frame_sink sink(context.get(), out);
    progress_tracker tracker(entries, sizes);
    auto report = [&] {
        if (!progress) return;
        bool moved = tracker.update(ZSTD_getFrameProgression(context.get()).consumed, state);
        if (!moved && state.bytes_out == sink.written()) return;
        state.bytes_out = sink.written();
        progress(state);
    };
    sink.write(reinterpret_cast<const char*>(attached_magic), attached_magic_size);
    std::vector<char> piece(1 << 20);
    for (std::size_t i = 0; i < entries.size(); ++i) {
        const auto& entry = entries[i];
        std::string header = entry_header(entry.name, sizes[i]);
        sink.feed(header.data(), header.size(), ZSTD_e_continue, report);
        if (entry.data) {
            sink.feed(entry.data->data(), entry.data->size(), ZSTD_e_continue, report);
            continue;
        }
        std::ifstream in(entry.file, std::ios::binary);
        if (!in) throw pack_error("cannot open '" + entry.file.u8string() + "' for reading");
        for (std::uint64_t remaining = sizes[i]; remaining > 0;) {
            std::size_t want = static_cast<std::size_t>(std::min<std::uint64_t>(remaining, piece.size()));
            in.read(piece.data(), static_cast<std::streamsize>(want));
            if (static_cast<std::size_t>(in.gcount()) != want)
                throw pack_error("'" + entry.file.u8string() + "' became shorter while it was packed, or cannot be read");
            sink.feed(piece.data(), want, ZSTD_e_continue, report);
            remaining -= want;
        }
        if (in.peek() != std::char_traits<char>::eof())
            throw pack_error("'" + entry.file.u8string() + "' grew while it was packed");
    }
    const char end_marker[2] = {0, 0};
    sink.feed(end_marker, sizeof end_marker, ZSTD_e_end, report);

    std::string tail(attached_reserved_size, '\0');
    tail += little_endian_bytes(sink.written() + attached_reserved_size, attached_trailer_size);  // N - 8: all that precedes the trailer
    sink.write(tail.data(), tail.size());
    out.flush();
    if (!out) throw pack_error("cannot write the output");
    state.files_done = state.files_total;
    state.bytes_done = state.bytes_total;
    state.bytes_out = sink.written();
    state.window_size = sink.declared_window();
    if (progress) progress(state);
    return sink.written();
}

}  // namespace tavrin
