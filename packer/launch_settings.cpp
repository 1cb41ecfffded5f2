// Finding, writing and reading the launcher image's settings record.
#include "packer/launch_settings.h"

#include <algorithm>
#include <vector>

#include "packer/errors.h"
#include "packer/helpers.h"
#include "payload/format.h"
#include "payload/launch_settings.h"

namespace tavrin {
namespace {

// The record's header: the magic followed by the record's size. Only the launcher's record has
// both; the bare magic also stands in this program's own image, followed by its terminator.
std::string record_header()
{
    return std::string(TAVRIN_LAUNCH_SETTINGS_MAGIC, launch_settings_magic_size) +
           little_endian_bytes(launch_settings_size, 4);
}

}  // namespace

std::uint64_t find_launch_settings(std::istream& image, const pe_headers& headers, const std::string& what)
{
    const std::string header = record_header();
    std::vector<std::uint64_t> found;
    std::string window;
    std::vector<char> piece(1 << 20);
    for (const pe_section& section : headers.sections) {
        // Searched in pieces that overlap by the header's length less one, so no match is split.
        window.clear();
        std::uint64_t window_start = section.raw_offset;
        image.clear();
        image.seekg(static_cast<std::streamoff>(section.raw_offset));
        for (std::uint64_t left = section.raw_size; left > 0;) {
            std::size_t want = static_cast<std::size_t>(std::min<std::uint64_t>(left, piece.size()));
            image.read(piece.data(), static_cast<std::streamsize>(want));
            if (static_cast<std::size_t>(image.gcount()) != want) throw image_error(what + ": cannot read the image");
            left -= want;
            window.append(piece.data(), want);
            for (std::size_t at = window.find(header); at != std::string::npos; at = window.find(header, at + 1))
                found.push_back(window_start + at);
            std::size_t keep = std::min(window.size(), header.size() - 1);
            window_start += window.size() - keep;
            window.erase(0, window.size() - keep);
        }
    }
    if (found.empty())
        throw image_error(what + ": not a launcher image (it has no launch settings record); give the "
                                 "tavrin-launcher.exe that was built with this tool");
    if (found.size() > 1) throw image_error(what + ": not a launcher image (it has more than one launch settings record)");
    return found.front();
}

std::string launch_settings_bytes(const launch_settings& settings)
{
    if (settings.archive_identity.size() >= launch_settings_identity_size)
        throw pack_error("the archive identity is longer than " + std::to_string(launch_settings_identity_size - 1) +
                         " characters");
    if (settings.unpack_spec.size() >= launch_settings_spec_capacity)
        throw pack_error("the unpack directory spec is longer than " + std::to_string(launch_settings_spec_capacity - 1) +
                         " UTF-16 code units");
    std::string bytes = record_header();
    std::uint32_t flags = launch_setting_packed | (settings.cached ? launch_setting_cached : 0);
    bytes += little_endian_bytes(flags, 4);
    std::string identity = settings.archive_identity;
    identity.resize(launch_settings_identity_size, '\0');
    bytes += identity;
    for (char16_t unit : settings.unpack_spec) bytes += little_endian_bytes(unit, 2);
    bytes.resize(launch_settings_size, '\0');
    return bytes;
}

std::optional<launch_settings> read_launch_settings(std::istream& image, std::uint64_t offset)
{
    std::string bytes(launch_settings_size, '\0');
    image.clear();
    image.seekg(static_cast<std::streamoff>(offset));
    image.read(bytes.data(), launch_settings_size);
    if (image.gcount() != launch_settings_size || bytes.compare(0, record_header().size(), record_header()) != 0)
        return std::nullopt;
    launch_settings settings;
    settings.cached = (read_little_endian(bytes, launch_settings_flags_offset, 4) & launch_setting_cached) != 0;
    std::size_t identity_end = bytes.find('\0', launch_settings_identity_offset);
    if (identity_end >= launch_settings_identity_offset + launch_settings_identity_size) return std::nullopt;
    settings.archive_identity = bytes.substr(launch_settings_identity_offset, identity_end - launch_settings_identity_offset);
    for (int i = 0;; ++i) {
        if (i == launch_settings_spec_capacity) return std::nullopt;
        auto unit = static_cast<char16_t>(read_little_endian(bytes, launch_settings_spec_offset + 2 * i, 2));
        if (unit == 0) break;
        settings.unpack_spec += unit;
    }
    return settings;
}

}  // namespace tavrin
