// What tavrin-pack shows people: sizes and ratios, the progress display while packing, the summary
// after it, and the listing and verdict of a package.
#ifndef TAVRIN_PACKER_REPORT_H
#define TAVRIN_PACKER_REPORT_H

#include <cstdint>
#include <filesystem>
#include <ostream>
#include <string>

#include "packer/archive/block_writer.h"
#include "packer/archive/inspect.h"
#include "packer/pack.h"

namespace tavrin {

std::string format_count(std::uint64_t value);                 // 1234567 -> "1,234,567"
std::string format_size(std::uint64_t bytes);                  // "812 bytes", "71.6 KiB", "151.9 MiB"
std::string format_ratio(std::uint64_t in, std::uint64_t out); // in / out as "2.45:1"

// Progress while packing. On a terminal, one line redrawn in place at most ten times a second:
//   [##########··········]  50%  563/1127 files  75.9/151.9 MiB  12.4 MiB/s
// Elsewhere (a log, a pipe), a plain line each time another tenth of the bytes is done, once the
// packing has taken a second, so that quick runs stay quiet:
//   tavrin-pack: 50% (563/1127 files, 75.9/151.9 MiB, 12.4 MiB/s)
class progress_display {
public:
    progress_display(std::ostream& out, bool terminal) : out_(out), terminal_(terminal) {}
    // `seconds` since the packing started.
    void update(const block_progress& state, double seconds);
    // Removes the bar from the terminal's line, before anything else is written there.
    void finish();

private:
    std::ostream& out_;
    bool terminal_;
    double drawn_at_ = -1;
    std::size_t drawn_width_ = 0;
    int tenths_shown_ = 0;
};

// The lines printed after packing `output`: files and directories, bytes in and out with the ratio,
// the level, window and threads, the time, the subsystem and why, whether the package shows the
// launcher's progress window, the manifest's level and why, then each collected DLL with its size
// and directory.
std::string pack_summary(const pack_result& result, const std::filesystem::path& output);

// The entries of a package in archive order with their sizes, then the totals and the frame's
// settings (those only when `complete`).
std::string package_listing(const package_contents& contents, bool complete);

// The package's identity, one "  key  value" line each: subsystem, then (when the image has
// resources) the version block's texts that are not empty and its numbers, the manifest's execution level, the icon's images.
std::string identity_listing(const package_identity& identity);

// The verdict on a sound package (verify_report::ok()).
std::string verify_summary(const std::filesystem::path& file, const verify_report& report);

}  // namespace tavrin

#endif
