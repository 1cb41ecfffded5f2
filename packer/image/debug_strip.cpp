// Dropping the debug sections and the COFF symbol table that trail a mingw-w64 image, so that a
// runtime DLL collected from the toolchain is packed at the size of its code.
#include "packer/image/debug_strip.h"

#include <algorithm>
#include <cstdint>
#include <utility>
#include <vector>

#include "packer/base/helpers.h"
#include "packer/image/pe_image.h"

namespace tavrin {
namespace {

// Offsets from the "PE\0\0" signature and inside the optional header, as in pe_image.cpp.
constexpr std::uint64_t number_of_sections_at = 6;
constexpr std::uint64_t symbol_table_at = 12;  // PointerToSymbolTable, then NumberOfSymbols
constexpr std::uint64_t optional_at = 24;
constexpr std::uint64_t size_of_image_at = 56;
constexpr std::uint64_t checksum_at = 64;
constexpr std::uint64_t section_header_size = 40;
constexpr std::uint64_t symbol_size = 18;
constexpr std::size_t section_name_max = 64;  // the longest string-table name read

bool read_exactly(std::istream& in, std::uint64_t offset, std::string& bytes)
{
    in.clear();
    in.seekg(static_cast<std::streamoff>(offset));
    in.read(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    return static_cast<std::size_t>(in.gcount()) == bytes.size();
}

std::uint64_t align_up(std::uint64_t value, std::uint64_t alignment) { return (value + alignment - 1) / alignment * alignment; }

// The section's full name: a "/<decimal offset>" name is read from the string table that follows
// the symbol table; "" when that table is missing or the offset lies outside the file.
std::string full_section_name(std::istream& in, const pe_headers& headers, const std::string& name)
{
    if (name.size() < 2 || name[0] != '/') return name;
    if (name.find_first_not_of("0123456789", 1) != std::string::npos || headers.symbol_table_offset == 0) return {};
    const std::uint64_t at = headers.symbol_table_offset + std::uint64_t{headers.symbol_count} * symbol_size + std::stoull(name.substr(1));
    if (at >= headers.file_size) return {};
    std::string bytes(static_cast<std::size_t>(std::min<std::uint64_t>(section_name_max, headers.file_size - at)), '\0');
    if (!read_exactly(in, at, bytes)) return {};
    return bytes.substr(0, bytes.find('\0'));
}

// The PE header checksum of `image`, whose checksum field lies at `field`: the 16-bit one's
// complement sum of the file, its field taken as 0, plus the file's length.
std::uint32_t pe_checksum(const std::string& image, std::uint64_t field)
{
    std::uint64_t sum = 0;
    for (std::uint64_t at = 0; at < image.size(); at += 2) {
        if (at >= field && at < field + 4) continue;
        std::uint64_t word = static_cast<unsigned char>(image[at]);
        if (at + 1 < image.size()) word |= std::uint64_t{static_cast<unsigned char>(image[at + 1])} << 8;
        sum += word;
        sum = (sum & 0xFFFF) + (sum >> 16);
    }
    sum = (sum & 0xFFFF) + (sum >> 16);
    return static_cast<std::uint32_t>(sum + image.size());
}

// Whether every byte of [from, to) not covered by `covered` (ranges that may overlap) is zero.
bool only_zeros_outside(std::istream& in, std::vector<std::pair<std::uint64_t, std::uint64_t>> covered, std::uint64_t from,
                        std::uint64_t to)
{
    std::sort(covered.begin(), covered.end());
    std::uint64_t at = from;
    auto zeros_until = [&](std::uint64_t end) {
        for (std::string piece; at < end; at += piece.size()) {
            piece.assign(static_cast<std::size_t>(std::min<std::uint64_t>(end - at, 1 << 16)), '\0');
            if (!read_exactly(in, at, piece) || piece.find_first_not_of('\0') != std::string::npos) return false;
        }
        return true;
    };
    for (const auto& [start, end] : covered) {
        if (start > at && !zeros_until(std::min(start, to))) return false;
        at = std::max(at, end);
        if (at >= to) return true;
    }
    return zeros_until(to);
}

}  // namespace

stripped_image strip_debug_information(std::istream& in, const std::string& what)
{
    const pe_headers headers = read_pe_headers(in, what);
    const std::vector<pe_section>& sections = headers.sections;
    std::size_t kept = sections.size();
    while (kept > 0 && full_section_name(in, headers, sections[kept - 1].name).rfind(".debug_", 0) == 0) --kept;
    const bool symbols = headers.symbol_table_offset != 0;
    stripped_image result;
    if (kept == sections.size() && !symbols) return result;
    auto unchanged = [&](const char* why) {
        result.kept_as_is = why;
        return result;
    };

    if (headers.is_signed()) return unchanged("signed");
    std::uint64_t raw_end = headers.size_of_headers, image_end = headers.size_of_headers;
    for (std::size_t i = 0; i < kept; ++i) {
        if (sections[i].name.rfind('/', 0) == 0) return unchanged("its section names are kept with its symbols");
        if (sections[i].raw_size != 0) raw_end = std::max<std::uint64_t>(raw_end, std::uint64_t{sections[i].raw_offset} + sections[i].raw_size);
        image_end = std::max<std::uint64_t>(image_end, std::uint64_t{sections[i].virtual_address} +
                                                           std::max(sections[i].virtual_size, sections[i].raw_size));
    }
    image_end = align_up(image_end, headers.section_alignment);
    // The kept part is rewritten in place: the headers and the whole section table must lie in it.
    const std::uint64_t table_end = headers.section_table_offset + sections.size() * section_header_size;
    if (table_end > raw_end) return unchanged("its headers reach beyond their stated size");

    // What goes must lie after everything that stays, in memory and in the file, and nothing the
    // loader reads may point into it.
    std::vector<std::pair<std::uint64_t, std::uint64_t>> dropped;
    for (std::size_t i = kept; i < sections.size(); ++i) {
        const pe_section& section = sections[i];
        if (section.virtual_address < image_end || (section.raw_size != 0 && section.raw_offset < raw_end))
            return unchanged("its debug sections lie among the others");
        if (section.raw_size != 0) dropped.emplace_back(section.raw_offset, std::uint64_t{section.raw_offset} + section.raw_size);
    }
    for (std::size_t i = 0; i < headers.directories.size(); ++i)
        if (i != pe_certificate_directory && headers.directories[i].size != 0 &&
            std::uint64_t{headers.directories[i].address} + headers.directories[i].size > image_end)
            return unchanged("a data directory points into its debug sections");
    if (symbols) {
        const std::uint64_t strings = headers.symbol_table_offset + std::uint64_t{headers.symbol_count} * symbol_size;
        std::string size(4, '\0');
        const std::uint64_t strings_end = strings + (strings + 4 <= headers.file_size && read_exactly(in, strings, size)
                                                         ? read_little_endian(size, 0, 4)
                                                         : 0);
        dropped.emplace_back(headers.symbol_table_offset, strings_end);
    }
    if (!only_zeros_outside(in, dropped, raw_end, headers.file_size)) return unchanged("other data follows its sections");

    // The kept part is read whole: never more than the file holds, whatever its headers claim.
    if (raw_end > headers.file_size) throw image_error(what + ": the image is truncated or cannot be read");
    std::string image(static_cast<std::size_t>(raw_end), '\0');
    if (!read_exactly(in, 0, image)) throw image_error(what + ": the image is truncated or cannot be read");
    auto put = [&](std::uint64_t at, std::uint64_t value, int size) { image.replace(at, size, little_endian_bytes(value, size)); };
    const std::uint64_t nt = headers.nt_offset, optional = nt + optional_at;
    put(nt + number_of_sections_at, kept, 2);
    put(nt + symbol_table_at, 0, 8);
    put(optional + size_of_image_at, image_end, 4);
    const std::uint64_t kept_end = headers.section_table_offset + kept * section_header_size;
    image.replace(kept_end, table_end - kept_end, table_end - kept_end, '\0');
    if (headers.checksum != 0) put(optional + checksum_at, pe_checksum(image, optional + checksum_at), 4);
    result.bytes = std::move(image);
    result.debug_dropped = true;
    return result;
}

}  // namespace tavrin
