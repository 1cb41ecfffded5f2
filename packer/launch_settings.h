// The launcher image's settings record as the packer sees it: found by its header (the mark of a
// launcher image), filled in for the output, read back by list and verify.
#ifndef TAVRIN_PACKER_LAUNCH_SETTINGS_H
#define TAVRIN_PACKER_LAUNCH_SETTINGS_H

#include <cstdint>
#include <istream>
#include <optional>
#include <string>

#include "packer/pe_image.h"

namespace tavrin {

struct launch_settings {
    bool cached = false;            // keep and reuse the unpack directory
    std::u16string unpack_spec;     // empty: the launcher's built-in spec
    std::string archive_identity;   // ASCII hex digits; empty: none
};

// The file offset of the settings record in the image whose headers are `headers`: the one place
// in a section's raw data where its magic and size stand together. Throws image_error naming
// `what` when there is none ("not a launcher image") or more than one.
std::uint64_t find_launch_settings(std::istream& image, const pe_headers& headers, const std::string& what);

// The record's launch_settings_size bytes for `settings`, flagged as written by the packer. Throws
// pack_error when the spec or the identity does not fit in its field.
std::string launch_settings_bytes(const launch_settings& settings);

// The settings of the record at `offset`, or nothing when its fields are malformed (a field
// without its terminator). An image the packer never filled reads as the defaults.
std::optional<launch_settings> read_launch_settings(std::istream& image, std::uint64_t offset);

}  // namespace tavrin

#endif
