// Writes the attached-data block: magic, one Zstandard frame over the content stream, four zero
// bytes and the trailer. Portable C++17; builds for the host and for Windows.
#ifndef TAVRIN_PACKER_BLOCK_WRITER_H
#define TAVRIN_PACKER_BLOCK_WRITER_H

#include <cstdint>
#include <functional>
#include <ostream>
#include <string>
#include <vector>

#include "packer/base/archive_entry.h"
#include "packer/base/errors.h"
#include "packer/base/helpers.h"

namespace tavrin {

// The default level was chosen by measurement; see "Choosing the compression level and the window"
// in README.md.
inline constexpr int default_compression_level = 19;

// The window limits that block_options accepts, as logs: 2^10 bytes (the format's smallest window)
// to 2^27 bytes (the launcher's decoder's limit, attached_window_log_max).
inline constexpr unsigned min_window_log = 10;
inline constexpr unsigned max_window_log = 27;

struct block_options {
    int level = default_compression_level;  // Zstandard level, 1..22
    unsigned threads = 0;        // compression workers; 0 = one per core
    unsigned window_log = 0;     // a limit on the window, min_window_log..max_window_log; 0 = none
};

// The number of compression workers for `requested` (0: one per core). The output does not
// depend on it.
unsigned resolved_threads(unsigned requested);
// The largest number of workers the compressor accepts.
unsigned max_threads();

// The window a level reaches for on a large content, as a log, and whether it matches over long
// distances there (Zstandard's long-distance matcher, as `zstd --long=27` uses it). Every level
// takes the long window, 2^27 bytes (the launcher's limit), with the matcher: measured, it made
// each level's output smaller (see "Choosing the compression level and the window" in README.md).
// Throws pack_error for a level out of range.
struct level_window {
    unsigned window_log;
    bool long_distance;
};
level_window default_level_window(int level);

// The window settings for `options`: the level's window (default_level_window) capped at
// options.window_log when that is set, with long-distance matching when the level has it and the
// window still exceeds the level's own (else Zstandard's choice: at 2^27 its strongest levels turn
// it on themselves). With the content size pledged, the compressor shrinks the window to a smaller
// content: the frame declares at most this window, and at most the content's size rounded up to a
// power of two. Throws pack_error for a level or a limit out of range.
level_window block_window(const block_options& options);

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

// Writes the block for `entries` to `out` and returns its length N. The content is streamed: files
// are read in pieces while compressing; the content size is pledged up front, the frame carries a
// content checksum and declares a window of at most 2^27 bytes (block_window). Throws pack_error (a
// file that cannot be read or changed size while packing, an output failure, a compressor error, a
// level or window out of range) and name_error.
// The bytes depend only on the entries (names, order, contents), the level and the window limit:
// not on the number of threads, nor on file times or anything else of the file system.
std::uint64_t write_block(const std::vector<archive_entry>& entries, std::ostream& out,
                          const block_options& options = {}, const progress_callback& progress = {});

}  // namespace tavrin

#endif
