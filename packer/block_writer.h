// Writes the attached-data block: magic, one Zstandard frame over the content stream, four zero
// bytes and the trailer. Portable C++17; builds for the host and for Windows.
#ifndef TAVRIN_PACKER_BLOCK_WRITER_H
#define TAVRIN_PACKER_BLOCK_WRITER_H

#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <ostream>
#include <stdexcept>
#include <string>
#include <vector>

namespace tavrin {

// Every failure of the packer library is one of these; what() is a message for the user.
class pack_error : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// A name the launcher could not unpack safely.
class name_error : public pack_error {
public:
    using pack_error::pack_error;
};

// One file of the archive: its name relative to the unpack directory (UTF-16, components separated
// by backslashes) and its content, from a file read while the block is written, or from memory.
struct archive_entry {
    std::u16string name;
    std::filesystem::path file;       // used when `data` is empty
    std::optional<std::string> data;  // the content itself

    static archive_entry from_file(std::u16string name, std::filesystem::path file);
    static archive_entry from_memory(std::u16string name, std::string data);
};

// The default level was chosen by measurement; see "Choosing the compression level" in README.md.
inline constexpr int default_compression_level = 19;

struct block_options {
    int level = default_compression_level;  // Zstandard level, 1..22
    unsigned threads = 0;        // compression workers; 0 = one per core
    unsigned window_log = 0;     // 0 = the level's choice for the content size; never above 27
};

// How far write_block has come. Files and bytes count as done once the compressor has taken them
// in (it reads ahead of that while its workers are busy). The last call has everything done.
struct block_progress {
    std::size_t files_done = 0;
    std::size_t files_total = 0;
    std::uint64_t bytes_done = 0;   // content bytes compressed so far
    std::uint64_t bytes_total = 0;  // content bytes in all
    std::uint64_t bytes_out = 0;    // block bytes written so far
    // The settings in use, known from the first call on.
    int level = 0;
    unsigned threads = 0;           // compression workers
    unsigned window_log = 0;        // the window's limit: 2^window_log bytes
    std::uint64_t window_size = 0;  // the window the frame declares, known at the last call (at
                                    // most the limit; the content's size when that is smaller)
};
using progress_callback = std::function<void(const block_progress&)>;

// Throws name_error when `name` is empty, holds NUL or '/', is absolute or has a drive, has an empty,
// "." or ".." component, or is longer than 1023 code units.
void check_entry_name(const std::u16string& name);
// check_entry_name on every entry, and no name twice.
void check_entry_names(const std::vector<archive_entry>& entries);

// The number of compression workers for `requested` (0: one per core). The output does not
// depend on it.
unsigned resolved_threads(unsigned requested);
// The largest number of workers the compressor accepts.
unsigned max_threads();

// The name as UTF-8, for messages.
std::string to_utf8(const std::u16string& text);

// Writes the block for `entries` to `out` and returns its length N. The content is streamed: files
// are read in pieces while compressing; the content size is pledged up front, the frame carries a
// content checksum and declares a window of at most 2^27 bytes. Throws pack_error (a file that cannot
// be read or changed size while packing, an output failure, a compressor error) and name_error.
// The bytes depend only on the entries (names, order, contents), the level and the window log: not
// on the number of threads, nor on file times or anything else of the file system.
std::uint64_t write_block(const std::vector<archive_entry>& entries, std::ostream& out,
                          const block_options& options = {}, const progress_callback& progress = {});

// The same block in memory (tests, small archives).
std::string make_block(const std::vector<archive_entry>& entries, const block_options& options = {});

// The block around an already-made frame: magic, `frame`, the reserved zeros and the trailer. For
// tests and tools that need frames the writer never makes.
std::string block_around_frame(const std::string& frame);

// The uncompressed content stream of `entries` with its end marker (tests, inspection).
std::string make_content_stream(const std::vector<archive_entry>& entries);

}  // namespace tavrin

#endif
