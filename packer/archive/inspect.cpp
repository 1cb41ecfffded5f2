// Reading packages back: the block's layout, the frame decoded with the launcher's limits, the
// content stream taken apart; listing, verification and extraction on top.
#include "packer/archive/inspect.h"

#define ZSTD_STATIC_LINKING_ONLY  // ZSTD_getFrameHeader, ZSTD_FRAMEHEADERSIZE_MAX
#include <zstd.h>
#include <zstd_errors.h>

#include <algorithm>
#include <fstream>
#include <map>
#include <memory>
#include <optional>
#include <sstream>

#include "packer/base/file_places.h"
#include "packer/base/names.h"
#include "packer/base/scratch_file.h"
#include "packer/image/entry_dll.h"
#include "packer/image/pe_image.h"
#include "format/format.h"

namespace tavrin {
namespace fs = std::filesystem;
namespace {

constexpr std::uint32_t zstd_skippable_magic_mask = 0xFFFFFFF0u;

std::string byte_count(std::uint64_t count) { return std::to_string(count) + (count == 1 ? " byte" : " bytes"); }

// Reads the block's bytes from the image file.
class block_input {
public:
    block_input(std::ifstream& in, std::uint64_t offset, const std::string& what) : in_(in), offset_(offset), what_(what) {}

    std::string read(std::uint64_t at, std::size_t size)
    {
        std::string bytes(size, '\0');
        read_into(at, bytes.data(), size);
        return bytes;
    }

    void read_into(std::uint64_t at, char* data, std::size_t size)
    {
        in_.clear();
        in_.seekg(static_cast<std::streamoff>(offset_ + at));
        in_.read(data, static_cast<std::streamsize>(size));
        if (static_cast<std::size_t>(in_.gcount()) != size) throw pack_error(what_ + ": cannot read the attached data");
    }

private:
    std::ifstream& in_;
    std::uint64_t offset_;
    const std::string& what_;
};

// Takes the content stream apart as it is decoded, in pieces of any size.
class stream_parser {
public:
    stream_parser(package_contents& contents, entry_sink* sink) : contents_(contents), sink_(sink) {}

    void feed(const char* data, std::size_t size)
    {
        contents_.stream_bytes += size;
        while (size > 0) {
            switch (state_) {
            case state::name: take_name_byte(*data++, size); break;
            case state::size: take_size_byte(*data++, size); break;
            case state::content: take_content(data, size); break;
            case state::ended:
                trailing_ += size;
                size = 0;
                break;
            }
        }
    }

    // After the frame's last byte: the stream must have ended with the end marker, and no more.
    void finish() const
    {
        if (state_ == state::ended) {
            if (trailing_ > 0)
                throw package_error(damage::data_after_end,
                                    byte_count(trailing_) + " of content follow the end marker (after " +
                                        std::to_string(contents_.entries.size()) + " entries)");
            return;
        }
        std::string where;
        if (state_ == state::content)
            where = "inside the content of entry " + in_quotes(current_.name) + " (" +
                    std::to_string(current_.size - left_) + " of " + byte_count(current_.size) + ")";
        else if (state_ == state::size)
            where = "inside the size of entry " + in_quotes(current_.name);
        else if (!current_.name.empty() || have_low_)
            where = "inside a name, after " + std::to_string(contents_.entries.size()) + " entries";
        else
            where = "before the end marker, after " + std::to_string(contents_.entries.size()) + " entries";
        throw package_error(damage::stream_cut_short, "the content stream ends " + where);
    }

private:
    enum class state { name, size, content, ended };

    void take_name_byte(char byte, std::size_t& size)
    {
        --size;
        if (!have_low_) {
            low_ = static_cast<unsigned char>(byte);
            have_low_ = true;
            return;
        }
        have_low_ = false;
        char16_t unit = static_cast<char16_t>(low_ | static_cast<unsigned char>(byte) << 8);
        if (unit == 0) {
            if (current_.name.empty()) {
                state_ = state::ended;
            } else {
                state_ = state::size;
                size_have_ = 0;
            }
            return;
        }
        current_.name.push_back(unit);
        if (current_.name.size() > entry_name_capacity - 1)
            throw package_error(damage::name_too_long,
                                "entry " + std::to_string(contents_.entries.size() + 1) + " has a name without a terminator within " +
                                    std::to_string(entry_name_capacity - 1) + " code units (it starts " +
                                    in_quotes(current_.name.substr(0, 40)) + ")");
    }

    void take_size_byte(char byte, std::size_t& size)
    {
        --size;
        size_bytes_[size_have_++] = byte;
        if (size_have_ < entry_size_bytes) return;
        current_.size = read_little_endian(std::string_view(size_bytes_, entry_size_bytes), 0, entry_size_bytes);
        contents_.entries.push_back(current_);
        contents_.content_bytes += current_.size;
        if (sink_) sink_->begin_entry(current_.name, current_.size);
        left_ = current_.size;
        state_ = state::content;
        if (left_ == 0) end_entry();
    }

    void take_content(const char*& data, std::size_t& size)
    {
        std::size_t piece = static_cast<std::size_t>(std::min<std::uint64_t>(left_, size));
        if (sink_) sink_->content(data, piece);
        data += piece;
        size -= piece;
        left_ -= piece;
        if (left_ == 0) end_entry();
    }

    void end_entry()
    {
        if (sink_) sink_->end_entry();
        current_ = {};
        state_ = state::name;
    }

    package_contents& contents_;
    entry_sink* sink_;
    state state_ = state::name;
    package_entry current_;
    unsigned char low_ = 0;
    bool have_low_ = false;
    char size_bytes_[entry_size_bytes] = {};
    int size_have_ = 0;
    std::uint64_t left_ = 0;
    std::uint64_t trailing_ = 0;
};

struct dctx_deleter {
    void operator()(ZSTD_DCtx* context) const { ZSTD_freeDCtx(context); }
};

// The damage that a decompressor error stands for.
package_error decode_error(std::size_t result)
{
    switch (ZSTD_getErrorCode(result)) {
    case ZSTD_error_checksum_wrong:
        return package_error(damage::checksum_mismatch, "the content does not match the frame's checksum");
    case ZSTD_error_frameParameter_windowTooLarge:
        return package_error(damage::window_too_large, "the frame needs a window above the launcher's limit of 2^" +
                                                           std::to_string(attached_window_log_max) + " bytes");
    case ZSTD_error_dictionary_wrong:
        return package_error(damage::needs_dictionary, "the frame needs a dictionary");
    default:
        return package_error(damage::corrupt_frame, std::string("the frame's data cannot be decoded (") +
                                                        ZSTD_getErrorName(result) + ")");
    }
}

// Checks the frame header at the start of `region` (the bytes between the magic and the tail).
void read_frame_header(block_input& input, std::uint64_t region, package_layout& layout)
{
    std::string start = input.read(attached_magic_size, static_cast<std::size_t>(std::min<std::uint64_t>(region, ZSTD_FRAMEHEADERSIZE_MAX)));
    ZSTD_frameHeader header{};
    std::size_t result = ZSTD_getFrameHeader(&header, start.data(), start.size());
    if (ZSTD_isError(result)) {
        if (ZSTD_getErrorCode(result) == ZSTD_error_prefix_unknown)
            throw package_error(damage::not_a_frame, "the magic is not followed by a Zstandard frame");
        throw package_error(damage::not_a_frame, std::string("the frame header is invalid (") + ZSTD_getErrorName(result) + ")");
    }
    if (result > 0) throw package_error(damage::frame_cut_short, "the block ends inside the frame header");
    if (header.frameType == ZSTD_skippableFrame)
        throw package_error(damage::not_a_frame, "the magic is followed by a skippable frame, not a frame of content");
    layout.frame_found = true;
    layout.window_size = header.windowSize;
    layout.checksum = header.checksumFlag != 0;
    if (header.frameContentSize != ZSTD_CONTENTSIZE_UNKNOWN) layout.content_size = header.frameContentSize;
    if (header.windowSize > (1ull << attached_window_log_max))
        throw package_error(damage::window_too_large, "the frame declares a window of " + byte_count(header.windowSize) +
                                                          ", above the launcher's limit of 2^" +
                                                          std::to_string(attached_window_log_max));
    if (header.dictID != 0)
        throw package_error(damage::needs_dictionary, "the frame needs dictionary " + std::to_string(header.dictID) +
                                                          ", and the launcher has none");
}

// Decodes the one frame in `region` bytes after the magic into `parser`; returns its length F.
std::uint64_t decode_frame(block_input& input, std::uint64_t region, stream_parser& parser)
{
    std::unique_ptr<ZSTD_DCtx, dctx_deleter> context(ZSTD_createDCtx());
    if (!context) throw pack_error("cannot allocate the decompressor");
    std::size_t limit = ZSTD_DCtx_setParameter(context.get(), ZSTD_d_windowLogMax, attached_window_log_max);
    if (ZSTD_isError(limit)) throw pack_error("cannot set up the decompressor");

    std::vector<char> in_piece(1 << 20);
    std::vector<char> out_piece(ZSTD_DStreamOutSize());
    std::uint64_t fed = 0;  // region bytes handed to the decompressor
    ZSTD_inBuffer in = {in_piece.data(), 0, 0};
    for (;;) {
        if (in.pos == in.size && fed < region) {
            std::size_t want = static_cast<std::size_t>(std::min<std::uint64_t>(region - fed, in_piece.size()));
            input.read_into(attached_magic_size + fed, in_piece.data(), want);
            in = {in_piece.data(), want, 0};
            fed += want;
        }
        ZSTD_outBuffer out = {out_piece.data(), out_piece.size(), 0};
        std::size_t result = ZSTD_decompressStream(context.get(), &out, &in);
        if (ZSTD_isError(result)) throw decode_error(result);
        parser.feed(out_piece.data(), out.pos);
        if (result == 0) return fed - (in.size - in.pos);
        // With all input given and room left in the output, the decompressor has nothing more.
        if (in.pos == in.size && fed == region && out.pos < out.size)
            throw package_error(damage::frame_cut_short, "the frame does not end before the block's tail (" +
                                                             byte_count(region) + " between the magic and the tail)");
    }
}

// Writes each entry below a directory as the launcher would.
class extract_sink : public entry_sink {
public:
    explicit extract_sink(const fs::path& directory) : directory_(fs::absolute(directory).lexically_normal())
    {
        std::u16string units = directory_.u16string();
        while (units.size() > 1 && (units.back() == u'/' || units.back() == u'\\')) units.pop_back();
        directory_units_ = units.size();
    }

    void begin_entry(const std::u16string& name, std::uint64_t size) override
    {
        try {
            check_windows_entry_name(name);
        } catch (const name_error& error) {
            throw package_error(damage::bad_name, error.what());
        }
        check_file_and_directories(name);
        std::size_t length = directory_units_ + 1 + name.size();
        if (length > launcher_path_limit)
            throw pack_error("the full path of " + in_quotes(name) + " would be " + std::to_string(length) +
                             " code units; the launcher writes paths of at most " + std::to_string(launcher_path_limit));
        const fs::path file = prepare_directories(name);
        out_.emplace(file);
        file_ = file;
        name_ = name;
        size_ = size;
    }

    void content(const char* data, std::size_t size) override { out_->write(data, size); }

    void end_entry() override
    {
        out_->close();
        out_.reset();
        result.names.push_back(name_);
        result.bytes += size_;
        ++result.files;
        file_.clear();
    }

    // After a failure: removes the file being written, so that only whole files stay.
    void remove_partial_file()
    {
        if (file_.empty()) return;
        out_.reset();
        std::error_code ignored;
        fs::remove(file_, ignored);
        result.removed = name_;
        file_.clear();
    }

    extract_result result;

private:
    // The path of the entry `name` below the directory, its directories made where missing. The
    // directory itself may be a link (the user chose it), but a link below it is refused, not
    // followed: nothing is written outside the directory. Throws pack_error.
    fs::path prepare_directories(const std::u16string& name) const
    {
        std::error_code error;
        fs::create_directories(directory_, error);
        if (error) throw pack_error("cannot create the directory '" + directory_.u8string() + "': " + error.message());
        fs::path at = directory_;
        for (std::size_t start = 0;;) {
            const std::size_t end = name.find(u'\\', start);
#ifdef _WIN32
            at /= fs::path(std::wstring(name.begin() + start, end == std::u16string::npos ? name.end() : name.begin() + end));
#else
            at /= fs::u8path(to_utf8(name.substr(start, end - start)));
#endif
            if (end == std::u16string::npos) return at;
            start = end + 1;
            const place found = look_at(at, false);
            if (found.kind == place_kind::nothing) {
                fs::create_directory(at, error);
                if (error) throw pack_error("cannot create the directory '" + at.u8string() + "': " + error.message());
            } else if (found.kind == place_kind::link) {
                throw pack_error("'" + at.u8string() + "' is " + found.what + ": extract does not follow links below '" +
                                 directory_.u8string() + "'");
            } else if (found.kind != place_kind::directory) {
                throw pack_error("'" + at.u8string() + "' is " + found.what + ", where " + in_quotes(name) + " needs a directory");
            }
        }
    }

    // A file cannot stand where an earlier name needs a directory, nor the other way round; the
    // launcher would fail there with a message about the file it cannot create.
    void check_file_and_directories(const std::u16string& name)
    {
        std::u16string key = windows_case_key(name);
        auto clash = [&](const std::u16string& file, const std::u16string& other) {
            throw package_error(damage::name_clash, describe(name_clash{file, other, true}));
        };
        for (std::size_t cut = key.find(u'\\'); cut != std::u16string::npos; cut = key.find(u'\\', cut + 1)) {
            auto file = file_keys_.find(key.substr(0, cut));
            if (file != file_keys_.end()) clash(file->second, name);
            directory_keys_.emplace(key.substr(0, cut), name);
        }
        auto directory = directory_keys_.find(key);
        if (directory != directory_keys_.end()) clash(name, directory->second);
        file_keys_.emplace(key, name);
    }

    std::map<std::u16string, std::u16string> file_keys_;       // case key -> the name of a file written
    std::map<std::u16string, std::u16string> directory_keys_;  // case key -> a name below that directory
    fs::path directory_;
    std::size_t directory_units_ = 0;
    std::optional<regular_file_output> out_;
    fs::path file_;  // the file being written; empty between entries
    std::u16string name_;
    std::uint64_t size_ = 0;
};

// Whether the section table of the image in `in` names the attached-data section, read without any
// other check: a package whose headers are damaged (cut short, say) still shows it there, a text
// file or another program does not.
bool names_attached_section(std::istream& in)
{
    auto bytes = [&](std::uint64_t at, std::uint64_t size) {
        std::string data(static_cast<std::size_t>(size), '\0');
        in.clear();
        in.seekg(static_cast<std::streamoff>(at));
        in.read(data.data(), static_cast<std::streamsize>(size));
        data.resize(static_cast<std::size_t>(std::max<std::streamsize>(in.gcount(), 0)));
        return data;
    };
    constexpr std::size_t dos_size = 64, file_header_size = 24, section_header_size = 40, name_size = 8;
    const std::string dos = bytes(0, dos_size);
    if (dos.size() < dos_size || dos.compare(0, 2, "MZ") != 0) return false;
    const std::uint64_t nt = read_little_endian(dos, 0x3C, 4);
    const std::string file_header = bytes(nt, file_header_size);
    if (file_header.size() < file_header_size || file_header.compare(0, 4, std::string("PE\0\0", 4)) != 0) return false;
    const std::uint64_t table = nt + file_header_size + read_little_endian(file_header, 20, 2);
    const std::string sections = bytes(table, read_little_endian(file_header, 6, 2) * section_header_size);
    const std::string wanted(TAVRIN_ATTACHED_SECTION_NAME);
    for (std::size_t at = 0; at + name_size <= sections.size(); at += section_header_size) {
        std::string name = sections.substr(at, name_size);
        if (name.substr(0, name.find('\0')) == wanted) return true;
    }
    return false;
}

}  // namespace

void first_entry_capture::begin_entry(const std::u16string&, std::uint64_t size)
{
    if (++entries_ != 1) return;
    if (size > first_entry_memory_max) {
        spilled_ = std::make_unique<scratch_file>();
        content_ = &spilled_->stream();
    } else {
        content_ = &in_memory_;
    }
}

void first_entry_capture::content(const char* data, std::size_t size)
{
    if (entries_ != 1) return;
    content_->write(data, static_cast<std::streamsize>(size));
    if (!*content_) throw pack_error("cannot keep the entry's content in a temporary file");
}

std::string check_package_entry(std::istream& first, const std::string& name, bool program)
{
    // Whether the entry is an x86-64 image, and a DLL, for a message that says how it disagrees.
    std::optional<bool> dll;
    try {
        dll = read_pe_headers(first, name).is_dll();
    } catch (const image_error&) {
    }
    if (program && dll == true)
        throw entry_error("entry '" + name + "': the launch settings say the entry is a program, but it is a DLL");
    if (program) return describe_entry(check_entry_program(first, name));
    if (dll == false)
        throw entry_error("entry '" + name + "': a program, but the launch settings say the entry is a DLL that exports " +
                          entry_point_name);
    check_entry_dll(first, name);
    return describe_entry({});
}

std::optional<launch_settings> package_settings(const fs::path& file)
{
    check_package_place(file);
    std::ifstream image(file, std::ios::binary);
    if (!image) throw pack_error("cannot open " + file.u8string());
    const std::string what = file.u8string();
    const std::uint64_t at = find_launch_settings(image, read_pe_headers(image, what), what);
    return read_launch_settings(image, at);
}

package_contents read_package(const fs::path& file, entry_sink* sink, package_contents* partial)
{
    package_contents contents;
    try {
        const std::string what = "'" + file.u8string() + "'";
        check_package_place(file);
        std::ifstream in(file, std::ios::binary);
        if (!in) throw pack_error("cannot open " + what + " for reading");
        pe_headers headers;
        try {
            headers = read_pe_headers(in, what);
        } catch (const image_error& error) {
            if (names_attached_section(in)) throw package_error(damage::bad_image, error.what());
            std::string reason = error.what();
            if (reason.rfind(what + ": ", 0) == 0) reason.erase(0, what.size() + 2);
            throw not_a_package_error(what + " is not a package: " + reason);
        }
        auto section = find_attached_section(headers);
        if (!section)
            throw not_a_package_error(what + " is not a package: a Windows program without the " TAVRIN_ATTACHED_SECTION_NAME
                                             " section that carries an application");
        package_layout& layout = contents.layout;
        layout.block_offset = section->file_offset;
        layout.block_size = section->length;
        const std::uint64_t n = layout.block_size;
        if (n < attached_overhead)
            throw package_error(damage::block_too_short, "the attached data is " + byte_count(n) + " long; the magic and the tail alone take " +
                                                             std::to_string(attached_overhead));
        block_input input(in, layout.block_offset, what);

        std::string magic = input.read(0, attached_magic_size);
        if (!std::equal(magic.begin(), magic.end(), attached_magic))
            throw package_error(damage::bad_magic, "the attached data does not start with the magic \"" +
                                                       std::string(attached_magic, attached_magic + attached_magic_size) + "\"");
        std::string tail = input.read(n - attached_reserved_size - attached_trailer_size, attached_reserved_size + attached_trailer_size);
        std::uint64_t trailer = read_little_endian(tail, attached_reserved_size, attached_trailer_size);
        if (trailer != n - attached_trailer_size)
            throw package_error(damage::bad_trailer, "the trailer holds " + std::to_string(trailer) + ", not the " +
                                                         std::to_string(n - attached_trailer_size) + " bytes that precede it");
        if (std::any_of(tail.begin(), tail.begin() + attached_reserved_size, [](char c) { return c != 0; }))
            throw package_error(damage::reserved_not_zero, "the four bytes before the trailer are not zero");

        const std::uint64_t region = n - attached_overhead;
        if (region == 0) throw package_error(damage::not_a_frame, "there is no frame between the magic and the tail");
        read_frame_header(input, region, layout);
        stream_parser parser(contents, sink);
        layout.frame_size = decode_frame(input, region, parser);
        if (layout.frame_size < region) {
            std::uint64_t extra = region - layout.frame_size;
            std::string next = input.read(attached_magic_size + layout.frame_size, static_cast<std::size_t>(std::min<std::uint64_t>(extra, 4)));
            std::uint32_t magic_number = next.size() == 4 ? static_cast<std::uint32_t>(read_little_endian(next, 0, 4)) : 0;
            bool frame = magic_number == ZSTD_MAGICNUMBER || (magic_number & zstd_skippable_magic_mask) == ZSTD_MAGIC_SKIPPABLE_START;
            throw package_error(damage::extra_data, byte_count(extra) + " lie between the end of the frame and the tail" +
                                                        (frame ? " (another frame: there must be exactly one)" : ""));
        }
        parser.finish();
    } catch (...) {
        if (partial) *partial = contents;
        throw;
    }
    if (partial) *partial = contents;
    return contents;
}

verify_report verify_package(const fs::path& file)
{
    verify_report report;
    first_entry_capture first;
    bool complete = false;
    try {
        read_package(file, &first, &report.contents);
        complete = true;
    } catch (const package_error& error) {
        report.problems.push_back(error);
    }
    const package_contents& contents = report.contents;

    if (contents.layout.frame_found && !contents.layout.checksum)
        report.problems.emplace_back(damage::no_checksum, "the frame carries no content checksum, so damage to the content could go unnoticed");
    std::vector<std::u16string> names;
    for (const auto& entry : contents.entries) {
        names.push_back(entry.name);
        try {
            check_windows_entry_name(entry.name);
        } catch (const name_error& error) {
            report.problems.emplace_back(damage::bad_name, error.what());
        }
    }
    for (const auto& clash : find_name_clashes(names)) report.problems.emplace_back(damage::name_clash, describe(clash));
    if (complete && contents.entries.empty())
        report.problems.emplace_back(damage::no_entries, "the package holds no files, so there is no DLL to run");
    if (first.complete()) {
        // An image without a readable record (made by hand) has its entry checked as a DLL.
        std::optional<launch_settings> settings;
        try {
            settings = package_settings(file);
        } catch (const pack_error&) {
        }
        try {
            report.entry = check_package_entry(first.content(), to_utf8(contents.entries.front().name), settings && settings->exe_entry);
        } catch (const pack_error& error) {
            report.problems.emplace_back(damage::bad_entry, error.what());
        }
    }
    try {
        report.identity = read_package_identity(file);
        for (const auto& problem : report.identity->problems) report.problems.emplace_back(damage::bad_resources, problem);
    } catch (const pack_error&) {
        // An image that cannot be read is reported above (bad-image).
    }
    return report;
}

extract_result extract_package(const fs::path& file, const fs::path& directory, extract_result* written)
{
    extract_sink sink(directory);
    package_contents contents;
    try {
        contents = read_package(file, &sink);
    } catch (...) {
        sink.remove_partial_file();
        if (written) *written = sink.result;
        throw;
    }
    std::vector<std::u16string> names;
    for (const auto& entry : contents.entries) names.push_back(entry.name);
    sink.result.directories = count_directories(names);
    return sink.result;
}

}  // namespace tavrin
