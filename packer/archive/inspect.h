// Reading a packed executable back: its attached data decoded as the launcher decodes it, its layout
// checked, its entries listed, verified or written to disk as the launcher would write them.
#ifndef TAVRIN_PACKER_INSPECT_H
#define TAVRIN_PACKER_INSPECT_H

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "packer/archive/block_writer.h"
#include "packer/archive/launch_settings.h"
#include "packer/base/errors.h"
#include "packer/base/scratch_file.h"
#include "packer/image/identity.h"
#include "format/format.h"

namespace tavrin {

// The layout of a package's attached data, as far as it was read.
struct package_layout {
    bool frame_found = false;                   // a Zstandard frame header was read after the magic
    std::uint64_t block_offset = 0;             // the block's file offset in the image
    std::uint64_t block_size = 0;               // N
    std::uint64_t frame_size = 0;               // F, known once the frame has been decoded
    std::uint64_t window_size = 0;              // the window the frame declares
    bool checksum = false;                      // the frame carries a content checksum
    std::optional<std::uint64_t> content_size;  // the content size the frame declares, if any
};

struct package_entry {
    std::u16string name;
    std::uint64_t size = 0;
};

// Receives the entries of a package in order while it is decoded. An exception thrown here ends
// the reading and passes through read_package.
class entry_sink {
public:
    virtual ~entry_sink() = default;
    virtual void begin_entry(const std::u16string& /*name*/, std::uint64_t /*size*/) {}
    virtual void content(const char* /*data*/, std::size_t /*size*/) {}
    virtual void end_entry() {}
};

// Keeps the first entry's content for the check of the entry: in memory up to
// first_entry_memory_max bytes, in a scratch file beyond. Its size is the package's word, and a
// small frame can stand for gigabytes of content.
class first_entry_capture : public entry_sink {
public:
    void begin_entry(const std::u16string& name, std::uint64_t size) override;
    void content(const char* data, std::size_t size) override;
    void end_entry() override { complete_ = complete_ || entries_ == 1; }

    bool complete() const { return complete_; }
    // The whole first entry, once complete.
    std::istream& content() const { return *content_; }

private:
    static constexpr std::uint64_t first_entry_memory_max = std::uint64_t{8} << 20;

    std::size_t entries_ = 0;
    std::stringstream in_memory_;
    std::unique_ptr<scratch_file> spilled_;
    std::iostream* content_ = nullptr;
    bool complete_ = false;
};

// What the package's first entry `first` (named `name`) is (describe_entry), checked against its
// launch settings' flag `program`: a DLL that exports run_code without the flag, an x86-64 program
// of the console or windowed subsystem with it. Throws entry_error (bad-entry) saying how they
// disagree; image_error passes through.
std::string check_package_entry(std::istream& first, const std::string& name, bool program);

// The launch settings of the package `file`; nothing when its record is malformed. Throws
// image_error for a file that is no launcher image, not_a_package_error for no file to read.
std::optional<launch_settings> package_settings(const std::filesystem::path& file);

struct package_contents {
    package_layout layout;
    std::vector<package_entry> entries;  // in archive order
    std::uint64_t content_bytes = 0;     // the entries' sizes added up
    std::uint64_t stream_bytes = 0;      // the decoded content stream, end marker included
};

// Reads the package `file` through to the end, as the launcher would and further: the image's
// attached-data section; the magic, the tail (four zero bytes, the trailer N - 8) and exactly one
// Zstandard frame between them; the frame's settings (a window of at most 2^27 bytes, no
// dictionary) and its data, decoded with the launcher's limits and its checksum verified when it
// has one; the content stream's entries, the end marker and nothing after it. Each entry goes to
// `sink` as it is decoded; memory stays bounded. Throws package_error (the first damage found,
// with the entries read until then in `partial` when given), not_a_package_error (a directory, a
// device, a FIFO or a socket, found before anything is read; a file that is no PE image and does
// not name the attached-data section; an image without that section) and pack_error (the file
// cannot be read).
package_contents read_package(const std::filesystem::path& file, entry_sink* sink = nullptr,
                              package_contents* partial = nullptr);

// Everything that read_package checks, then: the frame carries a checksum; every name is one the
// launcher can use and Windows can create (check_windows_entry_name); no two names clash
// (find_name_clashes); there is an entry, and the first is what the launch settings say
// (check_package_entry); the image's resources are sound (read_package_identity). Damage goes into
// the report; not_a_package_error and pack_error pass through.
struct verify_report {
    package_contents contents;            // as far as it could be read
    std::string entry;                    // what the first entry is, once checked (describe_entry)
    std::optional<package_identity> identity;  // when the image could be read
    std::vector<package_error> problems;  // none: the package is sound
    bool ok() const { return problems.empty(); }
};
verify_report verify_package(const std::filesystem::path& file);

// Writes the files of the package `file` below `directory` as the launcher writes them into its
// unpack directory: each at `directory` + separator + its name, the missing directories created
// outermost first, an existing file or link replaced (regular_file_output). A link among the
// directories below `directory`, and a directory, device, FIFO or socket where a file goes, stop
// the extraction (pack_error): nothing is written outside `directory`. A name that the launcher could not join safely or
// that Windows could not create is refused (package_error bad_name) before anything is written for
// it, and so is a full path longer than the launcher's 4095 code units (pack_error). On a failure
// part-way (damage, a file that cannot be written), the file being written is removed and the files
// written whole stay, listed in `written` when given. Throws package_error, not_a_package_error and
// pack_error.
struct extract_result {
    std::size_t files = 0;            // written whole
    std::size_t directories = 0;
    std::uint64_t bytes = 0;
    std::vector<std::u16string> names;  // the files written whole, in archive order
    std::u16string removed;             // after a failure: the file that was being written, removed
};
extract_result extract_package(const std::filesystem::path& file, const std::filesystem::path& directory,
                               extract_result* written = nullptr);

// The longest full path, in UTF-16 code units without the terminator, that the launcher can write:
// its path buffers' capacity less the terminator.
inline constexpr std::size_t launcher_path_limit = wide_path_capacity - 1;

}  // namespace tavrin

#endif
