// PE32+ header reading, export names, imported DLLs, and the launcher image extended by the
// attached-data section.
#include "packer/image/pe_image.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <fstream>

#include "packer/base/helpers.h"
#include "format/format.h"

namespace tavrin {
namespace {

// Fields of the PE32+ format that the packer reads or writes.
constexpr std::uint16_t dos_magic = 0x5A4D;              // "MZ"
constexpr std::uint32_t dos_lfanew_offset = 0x3C;
constexpr std::uint32_t dos_header_size = 0x40;
constexpr std::uint32_t nt_signature = 0x00004550;       // "PE\0\0"
constexpr std::uint16_t optional_magic_pe32 = 0x10B;
constexpr std::uint16_t optional_magic_pe32_plus = 0x20B;
constexpr std::uint16_t file_executable_image = 0x0002;
constexpr std::uint16_t file_dll = 0x2000;

// Offsets from the signature: the COFF file header follows it, the optional header follows that.
constexpr std::uint32_t file_header_offset = 4;
constexpr std::uint32_t file_header_size = 20;
constexpr std::uint32_t number_of_sections_offset = file_header_offset + 2;
constexpr std::uint32_t optional_header_offset = file_header_offset + file_header_size;

// Offsets inside the PE32+ optional header.
constexpr std::uint32_t opt_size_of_initialized_data = 8;
constexpr std::uint32_t opt_image_base = 24;
constexpr std::uint32_t opt_section_alignment = 32;
constexpr std::uint32_t opt_file_alignment = 36;
constexpr std::uint32_t opt_size_of_image = 56;
constexpr std::uint32_t opt_size_of_headers = 60;
constexpr std::uint32_t opt_checksum = 64;
constexpr std::uint32_t opt_subsystem = 68;
constexpr std::uint32_t opt_number_of_rva_and_sizes = 108;
constexpr std::uint32_t opt_directories = 112;
// The PE32 optional header has a 4-byte image base and 4-byte stack and heap sizes: its directory
// count and directories lie 16 bytes earlier.
constexpr std::uint32_t opt32_image_base = 28;
constexpr std::uint32_t opt32_number_of_rva_and_sizes = 92;
constexpr std::uint32_t opt32_directories = 96;
constexpr std::uint16_t machine_i386 = 0x014C;

// The CLR header of a .NET image (IMAGE_COR20_HEADER): its flags, and those that say how it runs.
constexpr std::size_t clr_directory = 14;
constexpr std::uint32_t clr_header_flags = 16;
constexpr std::uint32_t clr_header_read = 20;
constexpr std::uint32_t clr_il_only = 0x1;
constexpr std::uint32_t clr_32bit_required = 0x2;
constexpr std::uint32_t directory_entry_size = 8;
constexpr std::uint32_t directory_count_max = 16;

constexpr std::uint32_t section_header_size = 40;
constexpr std::uint32_t section_name_size = 8;
constexpr std::uint32_t scn_cnt_initialized_data = 0x00000040;
constexpr std::uint32_t scn_mem_read = 0x40000000;

constexpr std::uint32_t export_directory_size = 40;
constexpr std::uint32_t export_number_of_names = 24;
constexpr std::uint32_t export_address_of_names = 32;
constexpr std::size_t name_max = 4096;  // the longest export or DLL name read

// An import descriptor: the DLL's name and its import address table, zero in the terminator.
constexpr std::uint32_t import_descriptor_size = 20;
constexpr std::uint32_t import_name = 12;
constexpr std::uint32_t import_first_thunk = 16;
// A delay-load descriptor: attributes (bit 0: the fields are RVAs, not addresses), then the name.
constexpr std::uint32_t delay_descriptor_size = 32;
constexpr std::uint32_t delay_attributes = 0;
constexpr std::uint32_t delay_name = 4;
constexpr std::uint32_t delay_attribute_rva = 1;

constexpr std::uint64_t u32_limit = 0xFFFFFFFFu;

static_assert(sizeof(TAVRIN_ATTACHED_SECTION_NAME) <= section_name_size, "a section name has at most eight bytes");

std::uint16_t get_u16(const std::string& bytes, std::size_t at) { return static_cast<std::uint16_t>(read_little_endian(bytes, at, 2)); }
std::uint32_t get_u32(const std::string& bytes, std::size_t at) { return static_cast<std::uint32_t>(read_little_endian(bytes, at, 4)); }

bool power_of_two(std::uint32_t value) { return value != 0 && (value & (value - 1)) == 0; }

std::uint64_t align_up(std::uint64_t value, std::uint32_t alignment)
{
    return (value + alignment - 1) / alignment * alignment;
}

std::string hex(std::uint32_t value)
{
    static const char digits[] = "0123456789abcdef";
    std::string text;
    do {
        text.insert(text.begin(), digits[value & 0xF]);
        value >>= 4;
    } while (value != 0);
    while (text.size() < 4) text.insert(text.begin(), '0');
    return "0x" + text;
}

// `size` bytes at `offset`, or an image_error that calls the image truncated.
std::string read_at(std::istream& in, std::uint64_t offset, std::size_t size, const std::string& what)
{
    std::string bytes(size, '\0');
    in.clear();
    in.seekg(static_cast<std::streamoff>(offset));
    in.read(bytes.data(), static_cast<std::streamsize>(size));
    if (static_cast<std::size_t>(in.gcount()) != size)
        throw image_error(what + ": the image is truncated or cannot be read");
    return bytes;
}

void write_bytes(std::ostream& out, const std::string& bytes)
{
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    if (!out) throw pack_error("cannot write the output");
}

void write_at(std::ostream& out, std::uint64_t offset, const std::string& bytes)
{
    out.seekp(static_cast<std::streamoff>(offset));
    write_bytes(out, bytes);
}

void write_zeros(std::ostream& out, std::uint64_t count)
{
    static const std::array<char, 4096> zeros{};
    while (count > 0) {
        std::size_t piece = static_cast<std::size_t>(std::min<std::uint64_t>(count, zeros.size()));
        out.write(zeros.data(), static_cast<std::streamsize>(piece));
        if (!out) throw pack_error("cannot write the output");
        count -= piece;
    }
}

std::uint64_t stream_size(std::istream& in, const std::string& what)
{
    in.clear();
    in.seekg(0, std::ios::end);
    auto end = in.tellg();
    if (end < 0) throw image_error(what + ": cannot read the image");
    return static_cast<std::uint64_t>(end);
}

std::ifstream open_image(const std::filesystem::path& file)
{
    std::ifstream in(file, std::ios::binary);
    if (!in) throw image_error("cannot open '" + file.u8string() + "' for reading");
    return in;
}

// The part of a section the loader maps from its virtual address on.
std::uint64_t virtual_extent(const pe_section& section)
{
    return section.virtual_size != 0 ? section.virtual_size : section.raw_size;
}

// The NUL-terminated name at `rva` (at most name_max bytes), at its own length; `kind` names it in
// messages. `budget` holds how many bytes of names the image may still give, terminators counted:
// a table may point any number of entries at one name, so without it a small file could make the
// caller hold its bytes a million times over. Throws image_error when the name would exceed it.
std::string read_name(std::istream& in, const pe_headers& headers, std::uint32_t rva, std::uint64_t& budget,
                      const std::string& what, const char* kind)
{
    auto offset = headers.file_offset(rva, 1);
    if (!offset) throw image_error(what + ": damaged PE image (" + kind + " outside the file)");
    const std::uint64_t room = std::min<std::uint64_t>(name_max, headers.file_size - *offset);
    // Read in small pieces: names are short, and the whole room would be read for each of them.
    constexpr std::size_t piece_size = 64;
    std::string name;
    in.clear();
    in.seekg(static_cast<std::streamoff>(*offset));
    for (std::uint64_t done = 0; done < room;) {
        char piece[piece_size];
        const std::size_t want = static_cast<std::size_t>(std::min<std::uint64_t>(piece_size, room - done));
        in.read(piece, static_cast<std::streamsize>(want));
        if (static_cast<std::size_t>(in.gcount()) != want) throw image_error(what + ": the image is truncated or cannot be read");
        const auto* end = static_cast<const char*>(std::memchr(piece, '\0', want));
        name.append(piece, end ? static_cast<std::size_t>(end - piece) : want);
        if (name.size() + 1 > budget)
            throw image_error(what + ": damaged PE image (its " + kind + "s add up to more bytes than the file holds)");
        if (end) {
            budget -= name.size() + 1;
            return name;
        }
        done += want;
    }
    throw image_error(what + ": damaged PE image (unterminated " + kind + ")");
}

// The descriptor `index` of `size` bytes in the table at `directory`; `kind` names it in messages.
std::string read_descriptor(std::istream& in, const pe_headers& headers, const pe_directory& directory, std::uint32_t index,
                            std::uint32_t size, const std::string& what, const char* kind)
{
    std::uint64_t rva = directory.address + std::uint64_t{index} * size;
    auto offset = rva <= u32_limit ? headers.file_offset(static_cast<std::uint32_t>(rva), size) : std::nullopt;
    if (!offset) throw image_error(what + ": damaged PE image (" + kind + " outside the file)");
    return read_at(in, *offset, size, what);
}

const pe_directory* present_directory(const pe_headers& headers, std::size_t index)
{
    if (headers.directories.size() <= index || headers.directories[index].address == 0) return nullptr;
    return &headers.directories[index];
}

// Whether the PE32 image `headers` describe is IL only and not bound to 32 bits: its CLR header
// (the COM descriptor directory) lies in the file and its flags hold ILONLY without 32BITREQUIRED
// (32BITPREFERRED counts only with it). Windows runs such an image as a 64-bit process.
bool is_any_cpu(std::istream& in, const pe_headers& headers, const std::string& what)
{
    if (headers.directories.size() <= clr_directory || headers.directories[clr_directory].address == 0) return false;
    const auto offset = headers.file_offset(headers.directories[clr_directory].address, clr_header_read);
    if (!offset) return false;
    const std::uint32_t flags = get_u32(read_at(in, *offset, clr_header_read, what), clr_header_flags);
    return (flags & clr_il_only) != 0 && (flags & clr_32bit_required) == 0;
}

}  // namespace

std::string pe_machine_name(std::uint16_t machine)
{
    switch (machine) {
    case pe_machine_amd64: return "x86-64";
    case 0x014C: return "32-bit (i386)";
    case 0xAA64: return "ARM64";
    case 0x01C4: return "32-bit ARM";
    case 0xA641: return "ARM64EC";
    case 0x0200: return "Itanium";
    default: return "machine " + hex(machine);
    }
}

bool pe_headers::is_dll() const { return (characteristics & file_dll) != 0; }

std::uint64_t pe_headers::end_of_raw_data() const
{
    std::uint64_t end = size_of_headers;
    for (const auto& section : sections)
        if (section.raw_size != 0) end = std::max<std::uint64_t>(end, std::uint64_t{section.raw_offset} + section.raw_size);
    return end;
}

bool pe_headers::is_signed() const
{
    return directories.size() > pe_certificate_directory &&
           (directories[pe_certificate_directory].address != 0 || directories[pe_certificate_directory].size != 0);
}

std::uint64_t pe_headers::end_of_sections() const
{
    std::uint64_t end = size_of_headers;
    for (const auto& section : sections)
        end = std::max<std::uint64_t>(end, section.virtual_address + virtual_extent(section));
    return align_up(end, section_alignment);
}

const pe_section* pe_headers::find_section(std::string_view name) const
{
    for (const auto& section : sections)
        if (section.name == name) return &section;
    return nullptr;
}

std::optional<std::uint64_t> pe_headers::file_offset(std::uint32_t rva, std::uint32_t size) const
{
    std::uint64_t end = std::uint64_t{rva} + size;
    if (end <= size_of_headers) return end <= file_size ? std::optional<std::uint64_t>(rva) : std::nullopt;
    for (const auto& section : sections) {
        if (rva < section.virtual_address) continue;
        if (end > std::uint64_t{section.virtual_address} + section.raw_size) continue;
        return std::uint64_t{section.raw_offset} + (rva - section.virtual_address);
    }
    return std::nullopt;
}

namespace {

// The headers of the image in `in`; with `any_cpu`, also those of an IL-only AnyCPU .NET image
// (checked by is_any_cpu once the sections are known), which headers.any_cpu then says.
pe_headers read_headers(std::istream& in, const std::string& what, bool any_cpu)
{
    pe_headers headers;
    headers.file_size = stream_size(in, what);
    if (headers.file_size < dos_header_size) throw image_error(what + ": not a Windows image (too short)");
    std::string dos = read_at(in, 0, dos_header_size, what);
    if (get_u16(dos, 0) != dos_magic) throw image_error(what + ": not a Windows image (no MZ header)");

    headers.nt_offset = get_u32(dos, dos_lfanew_offset);
    if (std::uint64_t{headers.nt_offset} + optional_header_offset > headers.file_size)
        throw image_error(what + ": not a PE image (its header lies beyond the end of the file)");
    std::string nt = read_at(in, headers.nt_offset, optional_header_offset, what);
    if (get_u32(nt, 0) != nt_signature) throw image_error(what + ": not a PE image (no PE signature)");
    std::uint16_t machine = get_u16(nt, file_header_offset);
    const std::string other_machine =
        what + ": built for " + machine_name(machine) + ", not for x86-64 (" + hex(pe_machine_amd64) + ")";
    // A 32-bit x86 image may yet be an AnyCPU .NET program, told by its optional header and CLR
    // header below; any other is refused with the same words.
    const bool maybe_any_cpu = any_cpu && machine == machine_i386;
    if (machine != pe_machine_amd64 && !maybe_any_cpu) throw image_error(other_machine);
    std::uint16_t section_count = get_u16(nt, number_of_sections_offset);
    std::uint16_t optional_size = get_u16(nt, file_header_offset + 16);
    headers.characteristics = get_u16(nt, file_header_offset + 18);
    headers.symbol_table_offset = get_u32(nt, file_header_offset + 8);
    headers.symbol_count = get_u32(nt, file_header_offset + 12);

    if (optional_size < 2) throw image_error(what + ": damaged PE image (no optional header)");
    std::string optional = read_at(in, std::uint64_t{headers.nt_offset} + optional_header_offset, optional_size, what);
    std::uint16_t optional_magic = get_u16(optional, 0);
    const bool pe32 = maybe_any_cpu && optional_magic == optional_magic_pe32;
    if (maybe_any_cpu && !pe32) throw image_error(other_machine);
    if (optional_magic == optional_magic_pe32 && !pe32) throw image_error(what + ": a 32-bit PE32 image, not a 64-bit PE32+ image");
    if (optional_magic != optional_magic_pe32_plus && !pe32)
        throw image_error(what + ": damaged PE image (optional header magic " + hex(optional_magic) + ")");
    const std::uint32_t opt_count = pe32 ? opt32_number_of_rva_and_sizes : opt_number_of_rva_and_sizes;
    const std::uint32_t opt_first_directory = pe32 ? opt32_directories : opt_directories;
    if (optional_size < opt_first_directory) throw image_error(what + ": damaged PE image (optional header too short)");
    headers.size_of_initialized_data = get_u32(optional, opt_size_of_initialized_data);
    headers.image_base = pe32 ? get_u32(optional, opt32_image_base) : read_little_endian(optional, opt_image_base, 8);
    headers.section_alignment = get_u32(optional, opt_section_alignment);
    headers.file_alignment = get_u32(optional, opt_file_alignment);
    headers.size_of_image = get_u32(optional, opt_size_of_image);
    headers.size_of_headers = get_u32(optional, opt_size_of_headers);
    headers.checksum = get_u32(optional, opt_checksum);
    headers.subsystem = get_u16(optional, opt_subsystem);
    std::uint32_t directory_count = get_u32(optional, opt_count);
    if (std::uint64_t{opt_first_directory} + std::uint64_t{directory_count} * directory_entry_size > optional_size)
        throw image_error(what + ": damaged PE image (data directory larger than the optional header)");
    directory_count = std::min(directory_count, directory_count_max);
    for (std::uint32_t i = 0; i < directory_count; ++i) {
        std::size_t at = opt_first_directory + i * directory_entry_size;
        headers.directories.push_back({get_u32(optional, at), get_u32(optional, at + 4)});
    }
    if (!power_of_two(headers.section_alignment) || !power_of_two(headers.file_alignment) ||
        headers.file_alignment > headers.section_alignment)
        throw image_error(what + ": damaged PE image (section alignment " + hex(headers.section_alignment) +
                          ", file alignment " + hex(headers.file_alignment) + ")");

    headers.section_table_offset = std::uint64_t{headers.nt_offset} + optional_header_offset + optional_size;
    std::uint64_t table_end = headers.section_table_offset + std::uint64_t{section_count} * section_header_size;
    if (table_end > headers.file_size) throw image_error(what + ": damaged PE image (section table beyond the end of the file)");
    std::string table = read_at(in, headers.section_table_offset, section_count * section_header_size, what);
    std::uint64_t first_raw = headers.file_size;
    for (std::uint16_t i = 0; i < section_count; ++i) {
        std::size_t at = std::size_t{i} * section_header_size;
        pe_section section;
        section.name = table.substr(at, section_name_size);
        section.name.erase(std::find(section.name.begin(), section.name.end(), '\0'), section.name.end());
        section.virtual_size = get_u32(table, at + 8);
        section.virtual_address = get_u32(table, at + 12);
        section.raw_size = get_u32(table, at + 16);
        section.raw_offset = get_u32(table, at + 20);
        section.characteristics = get_u32(table, at + 36);
        if (section.raw_size != 0) {
            if (std::uint64_t{section.raw_offset} + section.raw_size > headers.file_size)
                throw image_error(what + ": damaged PE image (section '" + section.name + "' lies beyond the end of the file)");
            first_raw = std::min<std::uint64_t>(first_raw, section.raw_offset);
        }
        headers.sections.push_back(std::move(section));
    }

    for (std::uint64_t slot = table_end; headers.spare_section_headers < 2; slot += section_header_size) {
        std::uint64_t slot_end = slot + section_header_size;
        if (slot_end > headers.size_of_headers || slot_end > first_raw || slot_end > headers.file_size) break;
        std::string bytes = read_at(in, slot, section_header_size, what);
        if (!std::all_of(bytes.begin(), bytes.end(), [](char c) { return c == 0; })) break;
        ++headers.spare_section_headers;
    }
    if (pe32) {
        if (!is_any_cpu(in, headers, what)) throw image_error(other_machine);
        headers.any_cpu = true;
    }
    return headers;
}

}  // namespace

pe_headers read_pe_headers(std::istream& in, const std::string& what) { return read_headers(in, what, false); }

pe_headers read_program_headers(std::istream& in, const std::string& what) { return read_headers(in, what, true); }

pe_headers read_pe_headers(const std::filesystem::path& file)
{
    std::ifstream in = open_image(file);
    return read_pe_headers(in, "'" + file.u8string() + "'");
}

std::string machine_name(std::uint16_t machine)
{
    const char* name = machine == 0x014C                      ? "32-bit x86"
                       : machine == 0x01C0 || machine == 0x01C4 ? "32-bit ARM"
                       : machine == 0x0200                      ? "Itanium"
                       : machine == pe_machine_amd64            ? "x86-64"
                       : machine == 0xAA64                      ? "ARM64"
                                                                : nullptr;
    return name ? std::string(name) + " (machine " + hex(machine) + ")" : "machine " + hex(machine);
}

bool exports_name(std::istream& in, const pe_headers& headers, const std::string& what, std::string_view wanted,
                  std::vector<std::string>* similar)
{
    const pe_directory* directory = present_directory(headers, pe_export_directory);
    if (!directory) return false;
    auto directory_offset = headers.file_offset(directory->address, export_directory_size);
    if (!directory_offset) throw image_error(what + ": damaged PE image (export directory outside the file)");
    std::string exports = read_at(in, *directory_offset, export_directory_size, what);
    std::uint32_t count = get_u32(exports, export_number_of_names);
    std::uint32_t table_rva = get_u32(exports, export_address_of_names);
    if (count == 0) return false;
    // The table lies in the file (4 bytes a name) before any of it is read.
    auto table_offset = count <= u32_limit / 4 ? headers.file_offset(table_rva, count * 4) : std::nullopt;
    if (!table_offset) throw image_error(what + ": damaged PE image (export name table outside the file)");
    std::string table = read_at(in, *table_offset, std::size_t{count} * 4, what);
    // Every name is read, so that a damaged one is found wherever it stands.
    bool found = false;
    std::uint64_t budget = headers.file_size;
    for (std::uint32_t i = 0; i < count; ++i) {
        const std::string name = read_name(in, headers, get_u32(table, std::size_t{i} * 4), budget, what, "export name");
        found = found || name == wanted;
        if (similar && name != wanted && name.find(wanted) != std::string::npos && similar->size() < similar_exports_kept)
            similar->push_back(name);
    }
    return found;
}

std::optional<std::uint16_t> pe_machine(std::istream& in)
{
    in.clear();
    in.seekg(0);
    std::string dos(dos_header_size, '\0');
    in.read(dos.data(), static_cast<std::streamsize>(dos.size()));
    if (static_cast<std::size_t>(in.gcount()) != dos.size() || get_u16(dos, 0) != dos_magic) return std::nullopt;
    in.clear();
    in.seekg(static_cast<std::streamoff>(get_u32(dos, dos_lfanew_offset)));
    std::string nt(file_header_offset + 2, '\0');
    in.read(nt.data(), static_cast<std::streamsize>(nt.size()));
    if (static_cast<std::size_t>(in.gcount()) != nt.size() || get_u32(nt, 0) != nt_signature) return std::nullopt;
    return get_u16(nt, file_header_offset);
}

pe_imports read_imports(std::istream& in, const pe_headers& headers, const std::string& what)
{
    pe_imports imports;
    std::uint64_t budget = headers.file_size;  // shared by both tables' names
    if (const pe_directory* directory = present_directory(headers, pe_import_directory)) {
        for (std::uint32_t i = 0;; ++i) {
            std::string descriptor = read_descriptor(in, headers, *directory, i, import_descriptor_size, what, "import descriptor");
            std::uint32_t name = get_u32(descriptor, import_name);
            if (name == 0 || get_u32(descriptor, import_first_thunk) == 0) break;
            imports.load_time.push_back(read_name(in, headers, name, budget, what, "imported DLL name"));
        }
    }
    if (const pe_directory* directory = present_directory(headers, pe_delay_import_directory)) {
        for (std::uint32_t i = 0;; ++i) {
            std::string descriptor = read_descriptor(in, headers, *directory, i, delay_descriptor_size, what, "delay-load descriptor");
            std::uint64_t name = get_u32(descriptor, delay_name);
            if (name == 0) break;
            // The old form holds an address: in 32 bits, so only for an image based below 4 GiB.
            bool address = (get_u32(descriptor, delay_attributes) & delay_attribute_rva) == 0;
            if (address && name < headers.image_base)
                throw image_error(what + ": damaged PE image (delay-loaded DLL name outside the image)");
            if (address) name -= headers.image_base;
            imports.delay_loaded.push_back(read_name(in, headers, static_cast<std::uint32_t>(name), budget, what, "delay-loaded DLL name"));
        }
    }
    return imports;
}

std::optional<attached_section> find_attached_section(const pe_headers& headers)
{
    const pe_section* section = headers.find_section(TAVRIN_ATTACHED_SECTION_NAME);
    if (!section) return std::nullopt;
    return attached_section{section->raw_offset, std::min(section->virtual_size, section->raw_size)};
}

void check_launcher_image(const pe_headers& headers, const std::string& what)
{
    if (headers.is_dll() || (headers.characteristics & file_executable_image) == 0)
        throw image_error(what + ": not a launcher image (it is a DLL or not an executable)");
    if (headers.find_section(TAVRIN_ATTACHED_SECTION_NAME))
        throw image_error(what + ": already holds an application (it has a " TAVRIN_ATTACHED_SECTION_NAME
                                 " section); use the launcher image as it was built");
    if (headers.is_signed()) throw image_error(what + ": the launcher image is signed; sign the packed executable instead");
    if (headers.file_size > headers.end_of_raw_data())
        throw image_error(what + ": " + std::to_string(headers.file_size - headers.end_of_raw_data()) +
                          " bytes follow the last section (is the launcher image unstripped?)");
    if (headers.sections.size() >= 0xFFFF) throw image_error(what + ": the image has too many sections");
    if (headers.spare_section_headers < 2)
        throw image_error(what + ": no room for two more section headers between the section table and the first "
                                 "section's data");
}

const pe_section* find_resource_section(const pe_headers& headers)
{
    if (headers.directories.size() <= pe_resource_directory) return nullptr;
    const pe_directory& directory = headers.directories[pe_resource_directory];
    if (directory.address == 0) return nullptr;
    for (const auto& section : headers.sections)
        if (directory.address >= section.virtual_address && directory.address < section.virtual_address + virtual_extent(section))
            return &section;
    return nullptr;
}

namespace {

// Where the attached data starts in the file: a multiple of the page size (and so of every file
// alignment an image may have).
constexpr std::uint32_t attached_file_alignment = 4096;

}  // namespace

namespace {

// A section header as the table holds it.
std::string section_header(const std::string& name, std::uint64_t virtual_size, std::uint64_t virtual_address,
                           std::uint64_t raw_size, std::uint64_t raw_offset, std::uint32_t characteristics)
{
    std::string header(name);
    header.resize(section_name_size, '\0');
    header += little_endian_bytes(virtual_size, 4);
    header += little_endian_bytes(virtual_address, 4);
    header += little_endian_bytes(raw_size, 4);
    header += little_endian_bytes(raw_offset, 4);
    header.append(12, '\0');  // relocations and line numbers: none
    header += little_endian_bytes(characteristics, 4);
    return header;
}

// Copies `count` bytes of `in` from `offset` to `out`.
void copy_range(std::istream& in, std::uint64_t offset, std::uint64_t count, std::ostream& out)
{
    in.clear();
    in.seekg(static_cast<std::streamoff>(offset));
    std::vector<char> piece(1 << 16);
    for (std::uint64_t left = count; left > 0;) {
        std::size_t want = static_cast<std::size_t>(std::min<std::uint64_t>(left, piece.size()));
        in.read(piece.data(), static_cast<std::streamsize>(want));
        if (static_cast<std::size_t>(in.gcount()) != want) throw image_error("cannot read the launcher image");
        out.write(piece.data(), static_cast<std::streamsize>(want));
        if (!out) throw pack_error("cannot write the output");
        left -= want;
    }
}

void check_image_limits(std::uint64_t end_of_file, std::uint64_t size_of_image, std::uint64_t initialized, std::uint64_t length)
{
    if (end_of_file > u32_limit || size_of_image > u32_limit || initialized > u32_limit)
        throw image_error("the application is too large: its attached data of " + std::to_string(length) +
                          " bytes does not fit in one image (4 GiB in all)");
}

}  // namespace

std::uint64_t write_image_with_section(std::istream& launcher, const pe_headers& headers, std::ostream& out,
                                       const section_writer& write_content, const image_edits& edits)
{
    std::vector<pe_section> sections = headers.sections;
    std::uint64_t initialized = headers.size_of_initialized_data;
    std::uint64_t virtual_address = headers.end_of_sections();
    std::string new_section_headers;

    // The image as it is; with new resources, less the old resource section's raw data, which
    // nothing reaches any more (its virtual range stays, so no RVA moves).
    const pe_section* old_resources = edits.resources ? find_resource_section(headers) : nullptr;
    std::uint64_t written = headers.file_size;
    if (old_resources && old_resources->raw_size != 0) {
        std::uint64_t cut = old_resources->raw_offset, cut_size = old_resources->raw_size;
        copy_range(launcher, 0, cut, out);
        copy_range(launcher, cut + cut_size, headers.file_size - cut - cut_size, out);
        written -= cut_size;
        for (auto& section : sections) {
            if (&section - sections.data() == old_resources - headers.sections.data()) {
                section.name = ".oldrsrc";  // zeros in memory; the new ".rsrc" holds the resources
                section.raw_size = 0;
                section.raw_offset = 0;
            } else if (section.raw_size != 0 && section.raw_offset >= cut + cut_size) {
                section.raw_offset -= static_cast<std::uint32_t>(cut_size);
            }
        }
        initialized -= std::min<std::uint64_t>(initialized, cut_size);
    } else {
        copy_range(launcher, 0, headers.file_size, out);
    }

    std::uint64_t resource_rva = 0, resource_size = 0;
    if (edits.resources) {
        std::uint64_t raw_offset = align_up(written, headers.file_alignment);
        write_zeros(out, raw_offset - written);
        std::string resources = edits.resources(static_cast<std::uint32_t>(virtual_address));
        if (resources.empty()) throw image_error("the resource section is empty");
        write_bytes(out, resources);
        std::uint64_t raw_size = align_up(resources.size(), headers.file_alignment);
        write_zeros(out, raw_size - resources.size());
        new_section_headers += section_header(".rsrc", resources.size(), virtual_address, raw_size, raw_offset,
                                              scn_cnt_initialized_data | scn_mem_read);
        resource_rva = virtual_address;
        resource_size = resources.size();
        written = raw_offset + raw_size;
        initialized += raw_size;
        virtual_address = align_up(virtual_address + resources.size(), headers.section_alignment);
    }

    // Zeros up to where the attached data begins: a page boundary of the file, not only the file
    // alignment. The loader can map a section straight from the file only at a page-aligned
    // offset; elsewhere (Wine 8) it copies the whole section into private memory at every start,
    // so the child's start-up and memory would grow with the application.
    std::uint64_t raw_offset = align_up(written, std::max(headers.file_alignment, attached_file_alignment));
    write_zeros(out, raw_offset - written);

    auto start = out.tellp();
    write_content(out);
    auto end = out.tellp();
    if (!out || start < 0 || end < start) throw pack_error("cannot write the output");
    std::uint64_t length = static_cast<std::uint64_t>(end - start);
    if (length == 0) throw image_error("the attached data is empty");

    std::uint64_t raw_size = align_up(length, headers.file_alignment);
    std::uint64_t size_of_image = align_up(virtual_address + length, headers.section_alignment);
    initialized += raw_size;
    check_image_limits(raw_offset + raw_size, size_of_image, initialized, length);
    write_zeros(out, raw_size - length);
    new_section_headers += section_header(TAVRIN_ATTACHED_SECTION_NAME, length, virtual_address, raw_size, raw_offset,
                                          scn_cnt_initialized_data | scn_mem_read);

    std::uint64_t optional = std::uint64_t{headers.nt_offset} + optional_header_offset;
    if (old_resources) {
        std::string table;
        for (const auto& section : sections)
            table += section_header(section.name, section.virtual_size, section.virtual_address, section.raw_size,
                                    section.raw_offset, section.characteristics);
        write_at(out, headers.section_table_offset, table);
    }
    if (resource_rva != 0) {
        std::uint64_t entry = optional + opt_directories + pe_resource_directory * directory_entry_size;
        write_at(out, entry, little_endian_bytes(resource_rva, 4) + little_endian_bytes(resource_size, 4));
    }
    write_at(out, headers.section_table_offset + headers.sections.size() * section_header_size, new_section_headers);
    std::uint64_t section_count = headers.sections.size() + new_section_headers.size() / section_header_size;
    write_at(out, std::uint64_t{headers.nt_offset} + number_of_sections_offset, little_endian_bytes(section_count, 2));
    write_at(out, optional + opt_size_of_initialized_data, little_endian_bytes(initialized, 4));
    write_at(out, optional + opt_size_of_image, little_endian_bytes(size_of_image, 4));
    write_at(out, optional + opt_checksum, little_endian_bytes(0, 4));
    if (edits.subsystem != 0) write_at(out, optional + opt_subsystem, little_endian_bytes(edits.subsystem, 2));
    out.seekp(0, std::ios::end);
    out.flush();
    if (!out) throw pack_error("cannot write the output");
    return length;
}

}  // namespace tavrin
