// The archive identity that a package in cached mode carries: a hash of its attached data, which
// names the cache directory so that a new build never meets the tree of an old one.
#ifndef TAVRIN_PACKER_ARCHIVE_IDENTITY_H
#define TAVRIN_PACKER_ARCHIVE_IDENTITY_H

#include <cstdint>
#include <istream>
#include <string>

#include "format/settings_record.h"

namespace tavrin {

// The identity's length in hex digits: the first 128 bits of the SHA-256 of the attached data.
inline constexpr std::size_t archive_identity_digits = launch_settings_identity_digits;

// The lower-case hex SHA-256 of `data` (64 digits).
std::string sha256_hex(const std::string& data);

// The identity of the `length` bytes at `offset` in `image` (the whole attached block: magic,
// frame and tail): archive_identity_digits lower-case hex digits. The block depends only on the
// files, the entry, the level and the window, so the same build inputs give the same identity.
// Throws pack_error when the bytes cannot be read.
std::string archive_identity(std::istream& image, std::uint64_t offset, std::uint64_t length);

}  // namespace tavrin

#endif
