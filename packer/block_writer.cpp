// The attached-data block writer: names checked, content streamed through one Zstandard frame.
#include "packer/block_writer.h"

#define ZSTD_STATIC_LINKING_ONLY  // ZSTD_getCParams: the window a level picks for a size
#include <zstd.h>

#include <algorithm>
#include <array>
#include <fstream>
#include <memory>
#include <set>
#include <sstream>
#include <thread>

#include "payload/format.h"

namespace tavrin {
namespace {

void put_u64_le(std::string& out, std::uint64_t value)
{
    for (int i = 0; i < 8; ++i) out.push_back(static_cast<char>((value >> (8 * i)) & 0xFF));
}

std::string entry_header(const std::u16string& name, std::uint64_t size)
{
    std::string header;
    header.reserve(name.size() * 2 + 2 + entry_size_bytes);
    for (char16_t unit : name) {
        header.push_back(static_cast<char>(unit & 0xFF));
        header.push_back(static_cast<char>(unit >> 8));
    }
    header.append(2, '\0');
    put_u64_le(header, size);
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

    void feed(const char* data, std::size_t size, ZSTD_EndDirective mode = ZSTD_e_continue)
    {
        ZSTD_inBuffer input = {data, size, 0};
        for (;;) {
            ZSTD_outBuffer output = {buffer_.data(), buffer_.size(), 0};
            std::size_t remaining = ZSTD_compressStream2(context_, &output, &input, mode);
            check(remaining, "stream");
            write(buffer_.data(), output.pos);
            bool done = mode == ZSTD_e_end ? remaining == 0 : input.pos == input.size;
            if (done) return;
        }
    }

    void write(const char* data, std::size_t size)
    {
        if (size == 0) return;
        out_.write(data, static_cast<std::streamsize>(size));
        if (!out_) throw pack_error("cannot write the output");
        written_ += size;
    }

    std::uint64_t written() const { return written_; }

private:
    ZSTD_CCtx* context_;
    std::ostream& out_;
    std::vector<char> buffer_;
    std::uint64_t written_ = 0;
};

}  // namespace

archive_entry archive_entry::from_file(std::u16string name, std::filesystem::path file)
{
    archive_entry entry;
    entry.name = std::move(name);
    entry.file = std::move(file);
    return entry;
}

archive_entry archive_entry::from_memory(std::u16string name, std::string data)
{
    archive_entry entry;
    entry.name = std::move(name);
    entry.data = std::move(data);
    return entry;
}

std::string to_utf8(const std::u16string& text)
{
    std::string out;
    for (std::size_t i = 0; i < text.size(); ++i) {
        std::uint32_t c = text[i];
        if (c >= 0xD800 && c <= 0xDBFF && i + 1 < text.size() && text[i + 1] >= 0xDC00 && text[i + 1] <= 0xDFFF) {
            c = 0x10000 + ((c - 0xD800) << 10) + (text[i + 1] - 0xDC00);
            ++i;
        } else if (c >= 0xD800 && c <= 0xDFFF) {
            c = 0xFFFD;  // a lone surrogate has no UTF-8 form
        }
        if (c < 0x80) {
            out.push_back(static_cast<char>(c));
        } else if (c < 0x800) {
            out.push_back(static_cast<char>(0xC0 | (c >> 6)));
            out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
        } else if (c < 0x10000) {
            out.push_back(static_cast<char>(0xE0 | (c >> 12)));
            out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
        } else {
            out.push_back(static_cast<char>(0xF0 | (c >> 18)));
            out.push_back(static_cast<char>(0x80 | ((c >> 12) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
        }
    }
    return out;
}

void check_entry_name(const std::u16string& name)
{
    auto refuse = [&](const std::string& why) {
        throw name_error("refused name '" + to_utf8(name) + "': " + why);
    };
    if (name.empty()) throw name_error("refused name: a name must not be empty");
    if (name.size() > entry_name_capacity - 1)
        refuse("longer than " + std::to_string(entry_name_capacity - 1) + " UTF-16 code units (" +
               std::to_string(name.size()) + ")");
    if (name.find(u'\0') != std::u16string::npos) refuse("contains a NUL character");
    if (name.find(u'/') != std::u16string::npos) refuse("contains a forward slash; components are separated by backslashes");
    if (name.front() == u'\\') refuse("starts with a backslash (an absolute path)");
    if (name.size() >= 2 && name[1] == u':') refuse("starts with a drive");
    std::size_t start = 0;
    for (;;) {
        std::size_t end = name.find(u'\\', start);
        std::u16string component = name.substr(start, end == std::u16string::npos ? std::u16string::npos : end - start);
        if (component.empty()) refuse("has an empty component");
        if (component == u"." || component == u"..") refuse("has a '.' or '..' component");
        if (end == std::u16string::npos) break;
        start = end + 1;
    }
}

void check_entry_names(const std::vector<archive_entry>& entries)
{
    std::set<std::u16string> seen;
    for (const auto& entry : entries) {
        check_entry_name(entry.name);
        if (!seen.insert(entry.name).second)
            throw name_error("refused name '" + to_utf8(entry.name) + "': it occurs twice");
    }
}

std::uint64_t write_block(const std::vector<archive_entry>& entries, std::ostream& out,
                          const block_options& options, const progress_callback& progress)
{
    check_entry_names(entries);
    if (options.window_log > attached_window_log_max)
        throw pack_error("a window log above " + std::to_string(attached_window_log_max) + " would be refused by the launcher");
    if (options.level < 1 || options.level > ZSTD_maxCLevel())
        throw pack_error("compression level must be 1.." + std::to_string(ZSTD_maxCLevel()));

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
    unsigned threads = options.threads ? options.threads : std::max(1u, std::thread::hardware_concurrency());
    check(ZSTD_CCtx_setParameter(context.get(), ZSTD_c_compressionLevel, options.level), "level");
    check(ZSTD_CCtx_setParameter(context.get(), ZSTD_c_checksumFlag, 1), "checksum");
    check(ZSTD_CCtx_setParameter(context.get(), ZSTD_c_contentSizeFlag, 1), "content size");
    // The window the level would choose for this content size, capped where the launcher's decoder
    // stops; the decoder's memory follows the window, so a small application gets a small one.
    unsigned window_log = options.window_log;
    if (window_log == 0)
        window_log = std::min<unsigned>(ZSTD_getCParams(options.level, stream_size, 0).windowLog, attached_window_log_max);
    check(ZSTD_CCtx_setParameter(context.get(), ZSTD_c_windowLog, static_cast<int>(window_log)), "window");
    // Worker mode even with one thread: its output does not depend on the number of workers.
    check(ZSTD_CCtx_setParameter(context.get(), ZSTD_c_nbWorkers, static_cast<int>(threads)), "workers");
    check(ZSTD_CCtx_setPledgedSrcSize(context.get(), stream_size), "pledged size");

    frame_sink sink(context.get(), out);
    sink.write(reinterpret_cast<const char*>(attached_magic), attached_magic_size);
    std::vector<char> piece(1 << 20);
    for (std::size_t i = 0; i < entries.size(); ++i) {
        const auto& entry = entries[i];
        std::string header = entry_header(entry.name, sizes[i]);
        sink.feed(header.data(), header.size());
        if (entry.data) {
            sink.feed(entry.data->data(), entry.data->size());
            state.bytes_done += entry.data->size();
        } else {
            std::ifstream in(entry.file, std::ios::binary);
            if (!in) throw pack_error("cannot open '" + entry.file.u8string() + "' for reading");
            std::uint64_t remaining = sizes[i];
            while (remaining > 0) {
                std::size_t want = static_cast<std::size_t>(std::min<std::uint64_t>(remaining, piece.size()));
                in.read(piece.data(), static_cast<std::streamsize>(want));
                if (static_cast<std::size_t>(in.gcount()) != want)
                    throw pack_error("'" + entry.file.u8string() + "' became shorter while it was packed, or cannot be read");
                sink.feed(piece.data(), want);
                remaining -= want;
                state.bytes_done += want;
                state.bytes_out = sink.written();
                if (progress) progress(state);
            }
            if (in.peek() != std::char_traits<char>::eof())
                throw pack_error("'" + entry.file.u8string() + "' grew while it was packed");
        }
        state.files_done = i + 1;
        state.bytes_out = sink.written();
        if (progress) progress(state);
    }
    const char end_marker[2] = {0, 0};
    sink.feed(end_marker, sizeof end_marker, ZSTD_e_end);

    std::string tail(attached_reserved_size, '\0');
    put_u64_le(tail, sink.written() + attached_reserved_size);  // N - 8: all that precedes the trailer
    sink.write(tail.data(), tail.size());
    out.flush();
    if (!out) throw pack_error("cannot write the output");
    state.bytes_out = sink.written();
    if (progress) progress(state);
    return sink.written();
}

std::string make_block(const std::vector<archive_entry>& entries, const block_options& options)
{
    std::ostringstream out(std::ios::binary);
    write_block(entries, out, options);
    return out.str();
}

std::string make_content_stream(const std::vector<archive_entry>& entries)
{
    std::string stream;
    for (const auto& entry : entries) {
        std::uint64_t size = entry_size(entry);
        stream += entry_header(entry.name, size);
        if (entry.data) {
            stream += *entry.data;
        } else {
            std::ifstream in(entry.file, std::ios::binary);
            std::ostringstream content;
            content << in.rdbuf();
            stream += content.str();
        }
    }
    stream.append(2, '\0');
    return stream;
}

}  // namespace tavrin
