// PE32+ images for the packer: reading headers, export names, imported DLLs and the attached-data
// section, and writing a launcher image with the block as a new section. Portable C++17, no Win32 calls.
#ifndef TAVRIN_PACKER_PE_IMAGE_H
#define TAVRIN_PACKER_PE_IMAGE_H

#include <cstdint>
#include <filesystem>
#include <functional>
#include <istream>
#include <optional>
#include <ostream>
#include <string>
#include <string_view>
#include <vector>

#include "packer/base/errors.h"

namespace tavrin {

// One entry of the section table.
struct pe_section {
    std::string name;                   // up to eight bytes, the NUL padding removed
    std::uint32_t virtual_size = 0;
    std::uint32_t virtual_address = 0;
    std::uint32_t raw_size = 0;         // SizeOfRawData
    std::uint32_t raw_offset = 0;       // PointerToRawData
    std::uint32_t characteristics = 0;
};

// One entry of the optional header's data directory.
struct pe_directory {
    std::uint32_t address = 0;  // an RVA; a file offset for the certificate table
    std::uint32_t size = 0;
};

// Indexes into pe_headers::directories.
enum : std::size_t {
    pe_export_directory = 0,
    pe_import_directory = 1,
    pe_resource_directory = 2,
    pe_certificate_directory = 4,
    pe_delay_import_directory = 13,
};

// The COFF machine of x86-64 images.
inline constexpr std::uint16_t pe_machine_amd64 = 0x8664;

// The machine for people: "x86-64", "32-bit (i386)", "ARM64", ..., else "machine 0x01c2".
std::string pe_machine_name(std::uint16_t machine);

// Values of the optional header's Subsystem field that a launcher may have.
enum : std::uint16_t { pe_subsystem_windows = 2, pe_subsystem_console = 3 };

// The headers of a PE32+ image for x86-64, as far as the packer reads or rewrites them. Every
// section's raw data is known to lie inside the file.
struct pe_headers {
    std::uint64_t file_size = 0;
    std::uint32_t nt_offset = 0;                // the "PE\0\0" signature
    std::uint16_t characteristics = 0;          // of the COFF file header
    std::uint32_t symbol_table_offset = 0;      // PointerToSymbolTable: the COFF symbol table's file offset, 0 without one
    std::uint32_t symbol_count = 0;             // NumberOfSymbols, 18 bytes each; the string table follows them
    std::uint64_t image_base = 0;
    std::uint32_t section_alignment = 0;
    std::uint32_t file_alignment = 0;
    std::uint32_t size_of_initialized_data = 0;
    std::uint32_t size_of_image = 0;
    std::uint32_t size_of_headers = 0;
    std::uint32_t checksum = 0;
    std::uint16_t subsystem = 0;
    std::vector<pe_directory> directories;      // NumberOfRvaAndSizes entries
    std::uint64_t section_table_offset = 0;
    std::vector<pe_section> sections;
    // How many more section headers fit (up to two are counted): runs of forty zero bytes after
    // the section table inside the headers, before any section's raw data.
    std::uint32_t spare_section_headers = 0;
    // An IL-only AnyCPU .NET image (PE32, 32-bit x86 in its header), which Windows runs as x86-64:
    // read only by read_program_headers.
    bool any_cpu = false;

    bool is_dll() const;
    // Whether the certificate table's directory entry is set (the image is signed).
    bool is_signed() const;
    // Where data appended after the sections would begin: the end of the last section's raw data
    // (the end of the headers when no section has any).
    std::uint64_t end_of_raw_data() const;
    // The first virtual address after every section, aligned to section_alignment: where the
    // loader expects a section added at the end.
    std::uint64_t end_of_sections() const;
    const pe_section* find_section(std::string_view name) const;
    // The file offset of `size` bytes at `rva`, or nothing unless all of them lie in the file.
    std::optional<std::uint64_t> file_offset(std::uint32_t rva, std::uint32_t size) const;
};

// Reads and checks the headers of the image in `in` (positioned anywhere; the stream is seeked).
// `what` names the image in messages. Throws image_error when it is not a well-formed PE32+ image
// for x86-64.
pe_headers read_pe_headers(std::istream& in, const std::string& what);
pe_headers read_pe_headers(const std::filesystem::path& file);
// The same for a program, which may also be an IL-only AnyCPU .NET image: PE32 for 32-bit x86 with
// a CLR header whose flags say IL only (COMIMAGE_FLAGS_ILONLY) and not 32-bit required
// (COMIMAGE_FLAGS_32BITREQUIRED); any_cpu says so. A 32-bit image that is not one is refused as
// read_pe_headers refuses it.
pe_headers read_program_headers(std::istream& in, const std::string& what);

// The COFF machine of the image in `in` when it starts as a PE image does: an MZ header whose
// e_lfanew points at a "PE\0\0" signature inside the file. Nothing for any other content (or when
// it cannot be read); the rest of the image is not checked.
std::optional<std::uint16_t> pe_machine(std::istream& in);

// The DLLs an image imports, by the names its tables give, in table order.
struct pe_imports {
    std::vector<std::string> load_time;     // the import directory: loaded with the image
    std::vector<std::string> delay_loaded;  // the delay-load directory: loaded at the first call
};
// Reads both tables as the loader walks them: import descriptors up to the first without a name or
// an import address table, delay-load descriptors up to the first without a name (an RVA, or an
// address for the old form whose attributes lack the RVA flag). Throws image_error when a descriptor
// lies outside its section's raw data or a name outside the file, or when the names add up to more
// bytes than the file holds (descriptors pointing at one name over and over): the names kept never
// exceed the file's size.
pe_imports read_imports(std::istream& in, const pe_headers& headers, const std::string& what);

// Whether the image's export name table holds `name`; false without an export directory. Every name
// is read, one at a time; none is kept but those that hold `name` without being it (a C++ compiler's
// decoration of it, say), which go to `similar` when given, at most similar_exports_kept of them.
// Throws image_error when the directory, the table (4 bytes a name) or a name lies outside the file,
// or when the names add up to more bytes than the file holds.
inline constexpr std::size_t similar_exports_kept = 4;
bool exports_name(std::istream& in, const pe_headers& headers, const std::string& what, std::string_view name,
                  std::vector<std::string>* similar = nullptr);

// "32-bit x86 (machine 0x014c)", "ARM64 (machine 0xaa64)", ...: the COFF machine `machine` as a
// person calls it, with its number; "machine 0x1234" for one without a name here.
std::string machine_name(std::uint16_t machine);

// Where the attached-data section's bytes lie in the file: what the launcher maps and reads at run
// time, min(VirtualSize, SizeOfRawData) bytes from the section's start.
struct attached_section {
    std::uint64_t file_offset = 0;
    std::uint64_t length = 0;
};
std::optional<attached_section> find_attached_section(const pe_headers& headers);

// Throws image_error unless `headers` describe a launcher image that sections can be added to: an
// executable (not a DLL) without an attached-data section, a certificate or data after its last
// section, with room for two more section headers (the resources and the attached data).
void check_launcher_image(const pe_headers& headers, const std::string& what);

// The section whose virtual range holds the image's resource directory, or nothing without one.
const pe_section* find_resource_section(const pe_headers& headers);

// What the packer changes in the launcher image besides adding the attached data.
struct image_edits {
    std::uint16_t subsystem = 0;  // 0: the image's own
    // The new resource section's bytes for its virtual address (an RVA); called once. When set, the
    // old resource section keeps its virtual range but loses its raw data (the sections after it in
    // the file move down) and is renamed ".oldrsrc", and the resource directory points at a new
    // section ".rsrc" added after the last one, before the attached data.
    std::function<std::string(std::uint32_t rva)> resources;
};

// Streams the content of the new section to `out` at its current position.
using section_writer = std::function<void(std::ostream& out)>;

// Writes the launcher image `launcher` (whose checked headers are `headers`) to `out`, an empty
// seekable stream, changed as `edits` say, with a new read-only, initialized-data section named
// TAVRIN_ATTACHED_SECTION_NAME after the last one. Its content is whatever `write_content` streams: its length N becomes the
// section's virtual size, padded with zeros to the file alignment. The headers are patched last
// (section count, image size, initialized-data size, checksum 0). Memory stays bounded whatever N
// is. Returns N. Throws image_error (N of 0 or too large for the image) and pack_error (I/O), and
// passes on what `write_content` throws; `out` then holds a partial image.
std::uint64_t write_image_with_section(std::istream& launcher, const pe_headers& headers, std::ostream& out,
                                       const section_writer& write_content, const image_edits& edits = {});

}  // namespace tavrin

#endif
