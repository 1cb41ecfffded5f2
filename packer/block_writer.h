// Writes the attached-data block: magic, one Zstandard frame over the content stream, four zero
// bytes and the trailer. Portable C++17; builds for the host and for Windows.
#ifndef TAVRIN_PACKER_BLOCK_WRITER_H
#define TAVRIN_PACKER_BLOCK_WRITER_H

#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "packer/errors.h"
#include "packer/helpers.h"

namespace tavrin {

// One file of the archive: its name relative to the unpack directory (UTF-16, components separated
// by backslashes) and its content: `data` when set, else the file, read while the block is written.
struct archive_entry {
    std::u16string name;
    std::filesystem::path file;       // used when `data` is empty
    std::optional<std::string> data;  // the content itself

    static archive_entry from_file(std::u16string name, std::filesystem::path file);
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

// Throws name_error when `name` is longer than 1023 code units or the launcher would take it for
// damage (entry_name_problem): empty, absolute, a drive, an empty, "." or ".." component, a slash,
// a character or ending Windows cannot keep, a reserved device name.
void check_entry_name(const std::u16string& name);
// check_entry_name on every entry, and no name twice.
void check_entry_names(const std::vector<archive_entry>& entries);

// Writes the block for `entries` to `out` and returns its length N. The content is streamed: files
// are read in pieces while compressing; the content size is pledged up front, the frame carries a
// content checksum and declares a window of at most 2^27 bytes. Throws pack_error (a file that cannot
// be read or changed size while packing, an output failure, a compressor error) and name_error.
// The bytes depend only on the entries (names, order, contents), the level and the window log: not
// on the number of threads, nor on file times or anything else of the file system.
std::uint64_t write_block(const std::vector<archive_entry>& entries, std::ostream& out,
                          const block_options& options = {}, const progress_callback& progress = {});

}  // namespace tavrin

#endif
