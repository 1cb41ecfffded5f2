// Support for the packer's tests: minimal PE32+ images laid out in memory as a linker would, crafted
// images and icons, blocks made to measure and taken apart again, scratch directories, tool runs.
#ifndef TAVRIN_TESTS_PACKER_FIXTURES_H
#define TAVRIN_TESTS_PACKER_FIXTURES_H

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "packer/archive/block_writer.h"
#include "packer/image/resource_section.h"

#ifndef _WIN32
#include <sys/types.h>
#endif

namespace packer_test {

// The layout every image below shares: DOS header, signature at 0x40, a PE32+ optional header with
// 16 directories, the section table at 0x148; headers padded to the file alignment of 0x200,
// sections at 0x1000 steps in memory.
constexpr std::uint32_t nt_offset = 0x40;
constexpr std::uint32_t number_of_sections_at = nt_offset + 6;
constexpr std::uint32_t optional_at = nt_offset + 24;
constexpr std::uint32_t size_of_initialized_data_at = optional_at + 8;
constexpr std::uint32_t size_of_image_at = optional_at + 56;
constexpr std::uint32_t checksum_at = optional_at + 64;
constexpr std::uint32_t section_table_at = optional_at + 240;
constexpr std::uint32_t file_alignment = 0x200;
constexpr std::uint32_t section_alignment = 0x1000;
constexpr std::uint32_t fixture_checksum = 0x00012345;

struct image_spec {
    bool dll = false;
    std::uint16_t machine = 0x8664;
    std::uint16_t optional_magic = 0x20B;
    std::vector<std::string> exports;          // an export name table in a ".edata" section
    std::vector<std::string> imports;          // DLLs in an import directory in an ".idata" section
    std::vector<std::string> delay_imports;    // DLLs in a delay-load directory in a ".didat" section
    std::vector<std::string> extra_sections;   // more 0x200-byte sections after the others
    std::string overlay;                       // bytes after the last section
    bool certificate = false;                  // a certificate directory pointing at the overlay
    bool bound_imports_after_table = false;    // non-zero bytes right after the section table
    bool settings_record = false;              // an executable's ".rdata" with the launcher's settings record
    std::string data;                          // a ".data" section after the others
    std::vector<tavrin::resource_entry> resources;  // a resource section after the others (room for two more headers)
    // Sections named through a COFF string table (".debug_info"), after all others; a symbol table
    // of one symbol and the string table follow the last section, before any overlay.
    std::vector<std::string> debug_sections;
};

// The image `spec` describes; its header checksum is fixture_checksum.
std::string make_image(const image_spec& spec);

std::uint16_t u16_at(const std::string& bytes, std::size_t at);
std::uint32_t u32_at(const std::string& bytes, std::size_t at);
std::uint64_t u64_at(const std::string& bytes, std::size_t at);

void write_file(const std::filesystem::path& file, const std::string& bytes);
std::string read_file(const std::filesystem::path& file);

// The content stream of `block`'s frame, decompressed with libzstd on its own (checksum verified).
std::string decompress_frame(const std::string& block);
// The window that `block`'s frame header declares (what the launcher allocates); 0 if unreadable.
std::uint64_t frame_window(const std::string& block);

struct unpacked_entry {
    std::u16string name;
    std::string content;
};
// The entries of `block`, in order; fails the test when the content stream is malformed.
std::vector<unpacked_entry> unpack_block(const std::string& block);
std::vector<std::u16string> names_of(const std::vector<unpacked_entry>& entries);

// A Zstandard frame over `content` made with these settings, to build blocks that tavrin-pack would
// not write.
struct frame_settings {
    bool checksum = true;
    int window_log = 0;           // 0: the level's choice
    bool pledge_size = true;      // false: streamed without a known size, so the window stays as set
    int level = 3;
};
std::string compress_frame(const std::string& content, const frame_settings& settings = {});
// The block around `frame`: magic, the frame, four zero bytes, the trailer N - 8.
std::string assemble_block(const std::string& frame);
// An entry whose content is `data` itself.
tavrin::archive_entry memory_entry(std::u16string name, std::string data);
// The block the packer writes for `entries`, in memory.
std::string make_block(const std::vector<tavrin::archive_entry>& entries, const tavrin::block_options& options = {});
// The uncompressed content stream of `entries` with its end marker, made here on its own.
std::string make_content_stream(const std::vector<tavrin::archive_entry>& entries);
// The attached-data block of the executable `file`, read whole.
std::string read_attached_block(const std::filesystem::path& file);
// A launcher image (make_image) that carries `block` in its attached-data section.
std::string image_with_block(const std::string& block);
// A DLL for x86-64 that exports `exports` (make_image).
std::string entry_dll(std::vector<std::string> exports = {"run_code"});
// A program (make_image) for `machine` and `subsystem` whose resource section holds `resources`.
std::string program_image(std::uint16_t subsystem, const std::vector<tavrin::resource_entry>& resources = {},
                          std::uint16_t machine = 0x8664);

// A 32-bit x86 (PE32) program for `subsystem`, as a .NET compiler leaves one when `clr_flags` is
// given: a CLR header with those flags (0x1 IL only, 0x2 32-bit required, 0x20000 32-bit preferred);
// its resource section holds `resources`.
std::string pe32_program(std::uint16_t subsystem, std::optional<std::uint32_t> clr_flags,
                         const std::vector<tavrin::resource_entry>& resources = {});

// Inputs for the image and icon parsers' tests and fuzz seeds: small sound icons, and inputs crafted
// to make a careless parser hold far more memory than their size.
//
// An image (a DLL when `dll`) whose only section after the code holds `content` at data_rva, data
// directory `directory` pointing `at` bytes into it.
constexpr std::uint32_t data_rva = 2 * section_alignment;
std::string image_with_data(bool dll, std::string content, int directory, std::uint32_t at = 0);
// A DLL of about 4 MB with `names` export names (a million by default), all one name of 4,000
// characters that 4 KiB of file follow.
std::string export_names_dll(std::uint32_t names = 1000000);
// A DLL with `descriptors` import descriptors (2 MB of them by default), all naming one DLL whose
// name has `name_length` characters ("x.dll" by default).
std::string import_descriptors_dll(std::uint32_t descriptors = 2 * 1024 * 1024 / 20, std::size_t name_length = 5);
// A resource tree of 1,032 bytes (offsets from its start): 41 types share one table of 40 names,
// which share one of 40 languages, all naming `data_size` bytes at the RVA `data_at`.
std::string shared_resource_tree(std::uint32_t data_at, std::uint32_t data_size);
// A PNG image as far as the packer reads one: signature, header chunk (8-bit RGBA), end chunk.
std::string png_image(std::uint32_t width, std::uint32_t height);
// An .ico file of `images` in order, apart, after the directory (which says 32x32, 32 bits each).
std::string ico_file(const std::vector<std::string>& images);
// An .ico file of `size` bytes listing `images` 32x32 images, each covering the whole file.
std::string overlapping_icon(std::size_t size = 1 << 20, std::uint16_t images = 256);

// A fresh directory, removed with everything in it at the end of the scope.
class scratch_directory {
public:
    scratch_directory();
    ~scratch_directory();
    scratch_directory(const scratch_directory&) = delete;
    scratch_directory& operator=(const scratch_directory&) = delete;
    const std::filesystem::path& path() const { return path_; }
    // The names of what lies directly in `directory`, sorted.
    static std::vector<std::string> listing(const std::filesystem::path& directory);

private:
    std::filesystem::path path_;
};

// One run of the tavrin-pack command (TAVRIN_PACK_TOOL): its exit code and what it printed.
struct tool_run {
    int code = -1;
    std::string out;
    std::string err;
};
// Runs the tool with `arguments`, with standard input empty and TAVRIN_LAUNCHER unset; its output
// goes through files in `scratch`. Lines end in "\n" on every system.
tool_run run_tool(const std::filesystem::path& scratch, const std::vector<std::string>& arguments);
#ifndef _WIN32
// run_tool in two steps: the tool started, then waited for; `status` receives wait4's status and
// `peak_bytes` the child's peak resident set (ru_maxrss).
pid_t start_tool(const std::filesystem::path& scratch, const std::vector<std::string>& arguments);
tool_run finish_tool(const std::filesystem::path& scratch, pid_t child, int* status = nullptr, std::uint64_t* peak_bytes = nullptr);
#endif

#ifndef _WIN32
// A node of the test's own at `path`: a FIFO, a character device with the null device's numbers
// (1, 3; never opened for writing), a socket, or a symbolic link to `target`. Returns an empty
// string when made, else why not (mknod needs privilege).
enum class node_kind { fifo, character_device, socket, link };
std::string make_node(node_kind kind, const std::filesystem::path& path, const std::filesystem::path& target = {});
#endif
// What stands at `path`, to compare before and after: its type, device numbers and inode (POSIX,
// not following a link); its attributes (Windows).
std::string node_identity(const std::filesystem::path& path);

// The tavrin-pack command that run_tool runs.
std::filesystem::path pack_tool();

// A path as a command-line argument (UTF-8).
std::string arg(const std::filesystem::path& path);

}  // namespace packer_test

#endif
