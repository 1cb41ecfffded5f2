// Minimal PE32+ images, blocks made and decoded, scratch directories and tool runs for the
// packer's tests.
#include "tests/support/packer_fixtures.h"

#include <gtest/gtest.h>
#define ZSTD_STATIC_LINKING_ONLY  // ZSTD_getFrameHeader
#include <zstd.h>

#include <algorithm>
#include <fstream>
#include <memory>
#include <random>
#include <sstream>

#include "packer/base/helpers.h"
#include "packer/image/pe_image.h"
#include "format/format.h"
#include "format/settings_record.h"

#ifdef _WIN32
#include <windows.h>

#include "tests/support/self_process.h"
#else
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#endif

namespace packer_test {
namespace {

void put(std::string& bytes, std::size_t at, std::uint64_t value, int size)
{
    if (bytes.size() < at + size) bytes.resize(at + size, '\0');
    for (int i = 0; i < size; ++i) bytes[at + i] = static_cast<char>((value >> (8 * i)) & 0xFF);
}

std::uint32_t align(std::uint32_t value, std::uint32_t alignment) { return (value + alignment - 1) / alignment * alignment; }

struct section_plan {
    std::string name;
    std::string content;
    std::uint32_t characteristics;
};

// An export directory for the section at `rva`, naming `names` (all pointing at the code).
std::string export_section(std::uint32_t rva, const std::vector<std::string>& names)
{
    const std::uint32_t count = static_cast<std::uint32_t>(names.size());
    const std::uint32_t functions = 40, name_table = functions + 4 * count, ordinals = name_table + 4 * count;
    std::uint32_t strings = ordinals + 2 * count;
    std::string data;
    put(data, 16, 1, 4);                    // ordinal base
    put(data, 20, count, 4);                // functions
    put(data, 24, count, 4);                // names
    put(data, 28, rva + functions, 4);
    put(data, 32, rva + name_table, 4);
    put(data, 36, rva + ordinals, 4);
    put(data, 12, rva + strings, 4);        // the DLL's own name
    data.resize(strings);
    data += std::string("fixture.dll") + '\0';
    for (std::uint32_t i = 0; i < count; ++i) {
        put(data, functions + 4 * i, 0x1000, 4);
        put(data, name_table + 4 * i, rva + static_cast<std::uint32_t>(data.size()), 4);
        put(data, ordinals + 2 * i, i, 2);
        data += names[i] + '\0';
    }
    return data;
}

// A table of `count` descriptors of `size` bytes and its all-zero terminator, then eight zero bytes
// (an empty thunk table) at `thunks`, then each of `names`: `describe` fills descriptor i given the
// RVA of its name.
template <typename Describe>
std::string descriptor_section(std::uint32_t rva, std::uint32_t size, const std::vector<std::string>& names, Describe describe)
{
    const std::uint32_t thunks = size * static_cast<std::uint32_t>(names.size() + 1);
    std::string data(thunks + 8, '\0');
    for (std::size_t i = 0; i < names.size(); ++i) {
        describe(data, static_cast<std::uint32_t>(i * size), rva + static_cast<std::uint32_t>(data.size()), rva + thunks);
        data += names[i] + '\0';
    }
    return data;
}

// An import directory: per DLL its name and an empty lookup table that is also its address table.
std::string import_section(std::uint32_t rva, const std::vector<std::string>& dlls)
{
    return descriptor_section(rva, 20, dlls, [](std::string& data, std::uint32_t at, std::uint32_t name, std::uint32_t thunks) {
        put(data, at, thunks, 4);
        put(data, at + 12, name, 4);
        put(data, at + 16, thunks, 4);
    });
}

// A delay-load directory in the RVA form: per DLL its name, a module handle and empty tables.
std::string delay_import_section(std::uint32_t rva, const std::vector<std::string>& dlls)
{
    return descriptor_section(rva, 32, dlls, [](std::string& data, std::uint32_t at, std::uint32_t name, std::uint32_t thunks) {
        put(data, at, 1, 4);
        put(data, at + 4, name, 4);
        put(data, at + 8, thunks, 4);
        put(data, at + 12, thunks, 4);
        put(data, at + 16, thunks, 4);
    });
}

// The icon directory's entry for image `i`: 32x32 at 32 bits, `size` bytes at `offset`.
void put_icon_entry(std::string& icon, std::size_t i, std::uint64_t size, std::uint64_t offset)
{
    put(icon, 6 + 16 * i, 0x0020000100002020, 8);  // width, height, colours, reserved, planes, bits
    put(icon, 6 + 16 * i + 8, size | offset << 32, 8);
}

}  // namespace

std::string make_image(const image_spec& spec)
{
    std::vector<section_plan> plans{{".text", std::string(16, '\xC3'), 0x60000020}};
    // Each section below fits in one page: the next one's RVA follows from the count so far.
    struct directory_entry {
        std::uint32_t rva = 0, size = 0;
    } directories[16];
    auto add_directory = [&](std::size_t index, const char* name, std::string (*make)(std::uint32_t, const std::vector<std::string>&),
                             const std::vector<std::string>& names) {
        if (names.empty()) return;
        const std::uint32_t rva = section_alignment * static_cast<std::uint32_t>(plans.size() + 1);
        plans.push_back({name, make(rva, names), 0x40000040});
        directories[index] = {rva, static_cast<std::uint32_t>(plans.back().content.size())};
    };
    add_directory(0, ".edata", export_section, spec.exports);
    add_directory(1, ".idata", import_section, spec.imports);
    add_directory(13, ".didat", delay_import_section, spec.delay_imports);
    for (const auto& name : spec.extra_sections) plans.push_back({name, std::string(0x100, 'x'), 0x40000040});
    if (!spec.dll && spec.settings_record) {
        // As the launcher's build leaves it: the header, the rest zeros.
        std::string record = std::string(TAVRIN_LAUNCH_SETTINGS_MAGIC) + std::string("\x48\x04\0\0", 4);
        record.resize(launch_settings_size, '\0');
        plans.push_back({".rdata", record, 0x40000040});
    }
    if (!spec.data.empty()) plans.push_back({".data", spec.data, 0xC0000040});
    if (!spec.resources.empty()) {
        const std::uint32_t rva = section_alignment * static_cast<std::uint32_t>(plans.size() + 1);
        plans.push_back({".rsrc", tavrin::write_resource_section(spec.resources, rva), 0x40000040});
        directories[2] = {rva, static_cast<std::uint32_t>(plans.back().content.size())};
    }
    std::string strings(4, '\0');  // the string table: its size, then the names
    for (const auto& name : spec.debug_sections) {
        plans.push_back({"/" + std::to_string(strings.size()), std::string(0x100, 'g'), 0x42100040});
        strings += name + '\0';
    }
    put(strings, 0, strings.size(), 4);

    const std::uint32_t table_end = section_table_at + 40 * static_cast<std::uint32_t>(plans.size());
    // One with resources keeps room for the packer's two section headers, as the launcher does.
    const std::uint32_t size_of_headers = align(table_end + (spec.resources.empty() ? 0 : 2 * 40), file_alignment);
    std::string image(size_of_headers, '\0');
    put(image, 0, 0x5A4D, 2);
    put(image, 0x3C, nt_offset, 4);
    put(image, nt_offset, 0x00004550, 4);
    put(image, nt_offset + 4, spec.machine, 2);
    put(image, number_of_sections_at, plans.size(), 2);
    put(image, nt_offset + 20, 240, 2);
    put(image, nt_offset + 22, spec.dll ? 0x2022 : 0x0022, 2);

    std::uint32_t raw = size_of_headers, rva = section_alignment, initialized = 0;
    for (std::size_t i = 0; i < plans.size(); ++i) {
        const auto& plan = plans[i];
        std::uint32_t at = section_table_at + 40 * static_cast<std::uint32_t>(i);
        std::uint32_t raw_size = align(static_cast<std::uint32_t>(plan.content.size()), file_alignment);
        image.replace(at, plan.name.size(), plan.name);
        put(image, at + 8, plan.content.size(), 4);
        put(image, at + 12, rva, 4);
        put(image, at + 16, raw_size, 4);
        put(image, at + 20, raw, 4);
        put(image, at + 36, plan.characteristics, 4);
        image.resize(raw);
        image += plan.content;
        image.resize(raw + raw_size, '\0');
        if (i > 0) initialized += raw_size;
        raw += raw_size;
        rva += align(static_cast<std::uint32_t>(plan.content.size()), section_alignment);
    }
    if (spec.bound_imports_after_table) image.replace(table_end, 8, "\x01\x02\x03\x04\x05\x06\x07\x08", 8);

    put(image, optional_at, spec.optional_magic, 2);
    put(image, optional_at + 4, file_alignment, 4);                 // size of code
    put(image, size_of_initialized_data_at, initialized, 4);
    put(image, optional_at + 16, 0x1000, 4);                        // entry point
    put(image, optional_at + 24, 0x140000000ull, 8);                // image base
    put(image, optional_at + 32, section_alignment, 4);
    put(image, optional_at + 36, file_alignment, 4);
    put(image, optional_at + 40, 6, 2);                             // OS version 6.0
    put(image, optional_at + 48, 6, 2);                             // subsystem version 6.0
    put(image, size_of_image_at, rva, 4);
    put(image, optional_at + 60, size_of_headers, 4);
    put(image, checksum_at, fixture_checksum, 4);
    put(image, optional_at + 68, 2, 2);                             // GUI
    put(image, optional_at + 72, 0x100000, 8);                      // stack and heap
    put(image, optional_at + 80, 0x1000, 8);
    put(image, optional_at + 88, 0x100000, 8);
    put(image, optional_at + 96, 0x1000, 8);
    put(image, optional_at + 108, 16, 4);
    for (std::size_t i = 0; i < 16; ++i) {
        put(image, optional_at + 112 + 8 * i, directories[i].rva, 4);
        put(image, optional_at + 116 + 8 * i, directories[i].size, 4);
    }

    if (!spec.debug_sections.empty()) {
        put(image, nt_offset + 12, image.size(), 4);  // PointerToSymbolTable
        put(image, nt_offset + 16, 1, 4);             // NumberOfSymbols
        image += std::string(18, 's') + strings;
    }
    std::string overlay = spec.overlay;
    if (spec.certificate && overlay.empty()) overlay = std::string(8, '\x5A');
    if (spec.certificate) {
        put(image, optional_at + 112 + 4 * 8, image.size(), 4);
        put(image, optional_at + 116 + 4 * 8, overlay.size(), 4);
    }
    return image + overlay;
}

namespace {

std::uint64_t checked_at(const std::string& bytes, std::size_t at, int count)
{
    if (at + count > bytes.size()) throw std::out_of_range("read past the end of the bytes");
    return tavrin::read_little_endian(bytes, at, count);
}

}  // namespace

std::uint16_t u16_at(const std::string& bytes, std::size_t at) { return static_cast<std::uint16_t>(checked_at(bytes, at, 2)); }
std::uint32_t u32_at(const std::string& bytes, std::size_t at) { return static_cast<std::uint32_t>(checked_at(bytes, at, 4)); }
std::uint64_t u64_at(const std::string& bytes, std::size_t at) { return checked_at(bytes, at, 8); }

void write_file(const std::filesystem::path& file, const std::string& bytes)
{
    std::filesystem::create_directories(file.parent_path());
    std::ofstream out(file, std::ios::binary | std::ios::trunc);
    out << bytes;
    ASSERT_TRUE(out.good()) << file;
}

std::string read_file(const std::filesystem::path& file)
{
    std::ifstream in(file, std::ios::binary);
    std::ostringstream content;
    content << in.rdbuf();
    return content.str();
}

std::uint64_t frame_window(const std::string& block)
{
    ZSTD_frameHeader header{};
    if (block.size() < 3 || ZSTD_getFrameHeader(&header, block.data() + 3, block.size() - 3) != 0) return 0;
    return header.windowSize;
}

std::string decompress_frame(const std::string& block)
{
    if (block.size() < 15) {
        ADD_FAILURE() << "a block of " << block.size() << " bytes";
        return {};
    }
    std::string frame = block.substr(3, block.size() - 15);
    unsigned long long size = ZSTD_getFrameContentSize(frame.data(), frame.size());
    if (size == ZSTD_CONTENTSIZE_UNKNOWN || size == ZSTD_CONTENTSIZE_ERROR) {
        ADD_FAILURE() << "the frame declares no content size";
        return {};
    }
    std::string content(size, '\0');
    std::size_t result = ZSTD_decompress(content.data(), content.size(), frame.data(), frame.size());
    if (ZSTD_isError(result)) {
        ADD_FAILURE() << "decompression failed: " << ZSTD_getErrorName(result);
        return {};
    }
    EXPECT_EQ(result, size);
    return content;
}

std::vector<unpacked_entry> unpack_block(const std::string& block)
{
    const std::string stream = decompress_frame(block);
    std::vector<unpacked_entry> entries;
    std::size_t at = 0;
    auto room = [&](std::uint64_t size) {
        if (size <= stream.size() - at) return true;
        ADD_FAILURE() << "the content stream ends inside entry " << entries.size();
        return false;
    };
    for (;;) {
        unpacked_entry entry;
        for (; room(2) && u16_at(stream, at) != 0; at += 2) entry.name += static_cast<char16_t>(u16_at(stream, at));
        if (!room(2)) return entries;
        at += 2;
        if (entry.name.empty()) break;
        if (!room(8) || !room(8 + u64_at(stream, at))) return entries;
        entry.content = stream.substr(at + 8, u64_at(stream, at));
        at += 8 + entry.content.size();
        entries.push_back(std::move(entry));
    }
    EXPECT_EQ(at, stream.size()) << "bytes follow the end marker";
    return entries;
}

std::vector<std::u16string> names_of(const std::vector<unpacked_entry>& entries)
{
    std::vector<std::u16string> names;
    for (const auto& entry : entries) names.push_back(entry.name);
    return names;
}

std::string compress_frame(const std::string& content, const frame_settings& settings)
{
    std::unique_ptr<ZSTD_CCtx, decltype(&ZSTD_freeCCtx)> context(ZSTD_createCCtx(), &ZSTD_freeCCtx);
    ZSTD_CCtx_setParameter(context.get(), ZSTD_c_compressionLevel, settings.level);
    ZSTD_CCtx_setParameter(context.get(), ZSTD_c_checksumFlag, settings.checksum ? 1 : 0);
    ZSTD_CCtx_setParameter(context.get(), ZSTD_c_windowLog, settings.window_log);
    std::string frame(ZSTD_compressBound(content.size()) + 64, '\0');
    ZSTD_outBuffer out = {frame.data(), frame.size(), 0};
    ZSTD_inBuffer in = {content.data(), content.size(), 0};
    if (settings.pledge_size) {
        ZSTD_CCtx_setPledgedSrcSize(context.get(), content.size());
    } else {
        // A first call that does not end the frame leaves its size unknown, as piped input does.
        ZSTD_inBuffer none = {content.data(), 0, 0};
        EXPECT_FALSE(ZSTD_isError(ZSTD_compressStream2(context.get(), &out, &none, ZSTD_e_continue)));
    }
    std::size_t left = 0;
    do {
        left = ZSTD_compressStream2(context.get(), &out, &in, ZSTD_e_end);
        if (ZSTD_isError(left)) {
            ADD_FAILURE() << ZSTD_getErrorName(left);
            return {};
        }
    } while (left != 0);
    frame.resize(out.pos);
    return frame;
}

std::string assemble_block(const std::string& frame)
{
    std::string block(reinterpret_cast<const char*>(attached_magic), attached_magic_size);
    block += frame;
    block.append(attached_reserved_size, '\0');
    return block + tavrin::little_endian_bytes(block.size(), attached_trailer_size);  // N - 8
}

tavrin::archive_entry memory_entry(std::u16string name, std::string data)
{
    tavrin::archive_entry entry;
    entry.name = std::move(name);
    entry.data = std::move(data);
    return entry;
}

std::string make_block(const std::vector<tavrin::archive_entry>& entries, const tavrin::block_options& options)
{
    std::ostringstream out(std::ios::binary);
    tavrin::write_block(entries, out, options);
    return out.str();
}

std::string make_content_stream(const std::vector<tavrin::archive_entry>& entries)
{
    std::string stream;
    for (const auto& entry : entries) {
        std::string content = entry.data ? *entry.data : read_file(entry.file);
        for (char16_t unit : entry.name) stream += tavrin::little_endian_bytes(unit, 2);
        stream += tavrin::little_endian_bytes(0, 2);
        stream += tavrin::little_endian_bytes(content.size(), entry_size_bytes);
        stream += content;
    }
    return stream + tavrin::little_endian_bytes(0, 2);  // the end marker
}

std::string read_attached_block(const std::filesystem::path& file)
{
    std::string image = read_file(file);
    std::istringstream in(image);
    auto section = tavrin::find_attached_section(tavrin::read_pe_headers(in, file.u8string()));
    if (!section) throw std::runtime_error(file.u8string() + " has no attached-data section");
    return image.substr(section->file_offset, section->length);
}

std::string image_with_block(const std::string& block)
{
    std::istringstream launcher(make_image({}));
    auto headers = tavrin::read_pe_headers(launcher, "fixture launcher");
    std::stringstream out;
    tavrin::write_image_with_section(launcher, headers, out, [&](std::ostream& stream) { stream << block; });
    return out.str();
}

std::string entry_dll(std::vector<std::string> exports)
{
    image_spec spec;
    spec.dll = true;
    spec.exports = std::move(exports);
    return make_image(spec);
}

std::string program_image(std::uint16_t subsystem, const std::vector<tavrin::resource_entry>& resources, std::uint16_t machine)
{
    image_spec spec;
    spec.resources = resources;
    std::string image = make_image(spec);
    put(image, nt_offset + 4, machine, 2);
    put(image, optional_at + 68, subsystem, 2);
    return image;
}

std::string pe32_program(std::uint16_t subsystem, std::optional<std::uint32_t> clr_flags, const std::vector<tavrin::resource_entry>& resources)
{
    // Headers in the first 0x200 bytes: DOS header, signature at 0x40, COFF header, the 224-byte
    // PE32 optional header, two section headers. ".text" at RVA 0x1000 holds the CLR header,
    // ".rsrc" at 0x2000 the resources.
    constexpr std::uint32_t nt = 0x40, optional = nt + 24, table = optional + 224;
    const std::string clr = [&] {
        std::string header(72, '\0');
        put(header, 0, 72, 4);       // cb
        put(header, 4, 2, 2);        // runtime version 2.5
        put(header, 6, 5, 2);
        put(header, 16, clr_flags.value_or(0), 4);
        return header;
    }();
    const std::string rsrc = resources.empty() ? std::string() : tavrin::write_resource_section(resources, 0x2000);
    std::string image(0x200, '\0');
    put(image, 0, 0x5A4D, 2);
    put(image, 0x3C, nt, 4);
    put(image, nt, 0x00004550, 4);
    put(image, nt + 4, 0x14C, 2);
    put(image, nt + 6, rsrc.empty() ? 1 : 2, 2);
    put(image, nt + 20, 224, 2);
    put(image, nt + 22, 0x0102, 2);  // executable, 32-bit machine
    put(image, optional, 0x10B, 2);
    put(image, optional + 28, 0x400000, 4);   // image base
    put(image, optional + 32, section_alignment, 4);
    put(image, optional + 36, file_alignment, 4);
    put(image, optional + 40, 4, 2);          // OS version 4.0
    put(image, optional + 48, 4, 2);          // subsystem version 4.0
    put(image, optional + 60, 0x200, 4);      // size of headers
    put(image, optional + 68, subsystem, 2);
    put(image, optional + 92, 16, 4);
    if (clr_flags) {
        put(image, optional + 96 + 14 * 8, 0x1000, 4);
        put(image, optional + 100 + 14 * 8, clr.size(), 4);
    }
    std::uint32_t raw = 0x200, rva = 0x1000, count = 0;
    for (const auto& [name, content] : {std::pair<std::string, std::string>{".text", clr}, {".rsrc", rsrc}}) {
        if (content.empty()) continue;
        const std::uint32_t at = table + 40 * count++, raw_size = align(static_cast<std::uint32_t>(content.size()), file_alignment);
        image.replace(at, name.size(), name);
        put(image, at + 8, content.size(), 4);
        put(image, at + 12, rva, 4);
        put(image, at + 16, raw_size, 4);
        put(image, at + 20, raw, 4);
        put(image, at + 36, 0x40000040, 4);
        if (name == ".rsrc") {
            put(image, optional + 96 + 2 * 8, rva, 4);
            put(image, optional + 100 + 2 * 8, content.size(), 4);
        }
        image += content;
        image.resize(raw + raw_size, '\0');
        raw += raw_size;
        rva += align(static_cast<std::uint32_t>(content.size()), section_alignment);
    }
    put(image, optional + 56, rva, 4);        // size of image
    return image;
}

std::string image_with_data(bool dll, std::string content, int directory, std::uint32_t at)
{
    image_spec spec;
    spec.dll = dll;
    spec.data = std::move(content);
    std::string image = make_image(spec);
    put(image, optional_at + 112 + 8 * directory, data_rva + at, 4);
    put(image, optional_at + 116 + 8 * directory, spec.data.size() - at, 4);
    return image;
}

std::string export_names_dll(std::uint32_t names)
{
    // The name first, so that the rest of the file lies behind it; then the directory and the table.
    std::string content = std::string(4000, 'e') + '\0';
    const std::uint32_t directory_at = align(static_cast<std::uint32_t>(content.size()), 8), table_at = directory_at + 40;
    put(content, directory_at + 24, names, 4);                // NumberOfNames
    put(content, directory_at + 32, data_rva + table_at, 4);  // AddressOfNames
    content.resize(table_at + std::size_t{names} * 4, '\0');
    for (std::uint32_t i = 0; i < names; ++i) put(content, table_at + 4 * i, data_rva, 4);
    return image_with_data(true, content, 0, directory_at);
}

std::string import_descriptors_dll(std::uint32_t descriptors, std::size_t name_length)
{
    std::string content = std::string(name_length - 4, 'x') + ".dll";
    const std::uint32_t table_at = align(static_cast<std::uint32_t>(content.size() + 1), 8);
    content.resize(table_at + (std::size_t{descriptors} + 1) * 20, '\0');  // the last one ends the table
    for (std::uint32_t i = 0; i < descriptors; ++i) {
        put(content, table_at + 20 * i + 12, data_rva, 4);  // Name
        put(content, table_at + 20 * i + 16, data_rva, 4);  // FirstThunk: any non-zero value
    }
    return image_with_data(true, content, 1, table_at);
}

std::string shared_resource_tree(std::uint32_t data_at, std::uint32_t data_size)
{
    constexpr std::uint32_t types = 41, names = 40, languages = 40;
    auto table = [](std::uint32_t count, std::uint32_t target) {
        std::string bytes(16, '\0');
        put(bytes, 14, count, 2);  // entries named by number
        for (std::uint32_t i = 0; i < count; ++i) bytes += tavrin::little_endian_bytes(i + 1, 4) + tavrin::little_endian_bytes(target, 4);
        return bytes;
    };
    const std::uint32_t name_table = 16 + 8 * types, language_table = name_table + 16 + 8 * names;
    const std::uint32_t data_entry = language_table + 16 + 8 * languages;
    return table(types, 0x80000000u | name_table) + table(names, 0x80000000u | language_table) + table(languages, data_entry) +
           tavrin::little_endian_bytes(data_at, 4) + tavrin::little_endian_bytes(data_size, 4) + std::string(8, '\0');
}

std::string png_image(std::uint32_t width, std::uint32_t height)
{
    std::string png("\x89PNG\r\n\x1a\n\0\0\0\x0dIHDR", 16);
    for (std::uint32_t side : {width, height})
        for (int shift : {24, 16, 8, 0}) png += static_cast<char>(side >> shift);  // big-endian
    return png + std::string("\x08\x06\0\0\0\0\0\0\0\0\0\0\0IEND\xae\x42\x60\x82", 21);
}

std::string ico_file(const std::vector<std::string>& images)
{
    std::string icon(6 + 16 * images.size(), '\0');
    put(icon, 2, 1 | images.size() << 16, 4);  // an icon file of that many images
    for (std::size_t i = 0; i < images.size(); ++i) {
        put_icon_entry(icon, i, images[i].size(), icon.size());
        icon += images[i];
    }
    return icon;
}

std::string overlapping_icon(std::size_t size, std::uint16_t images)
{
    std::string icon = ico_file(std::vector<std::string>(images));
    for (std::size_t i = 0; i < images; ++i) put_icon_entry(icon, i, size, 0);
    icon.resize(size, '\0');
    return icon;
}

std::string arg(const std::filesystem::path& path) { return path.u8string(); }

std::filesystem::path pack_tool() { return std::filesystem::u8path(TAVRIN_PACK_TOOL); }

#ifndef _WIN32
std::string make_node(node_kind kind, const std::filesystem::path& path, const std::filesystem::path& target)
{
    int made = -1;
    if (kind == node_kind::fifo) made = mkfifo(path.c_str(), 0644);
    if (kind == node_kind::character_device) made = mknod(path.c_str(), S_IFCHR | 0600, makedev(1, 3));
    if (kind == node_kind::link) made = symlink(target.c_str(), path.c_str());
    if (kind == node_kind::socket) {
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        std::strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
        const int listener = socket(AF_UNIX, SOCK_STREAM, 0);
        made = listener < 0 ? -1 : bind(listener, reinterpret_cast<const sockaddr*>(&address), sizeof address);
        if (listener >= 0) close(listener);
    }
    return made == 0 ? std::string() : std::strerror(errno);
}
#endif

std::string node_identity(const std::filesystem::path& path)
{
#ifdef _WIN32
    return "attributes " + std::to_string(GetFileAttributesW(path.c_str()));
#else
    struct stat status {};
    if (lstat(path.c_str(), &status) != 0) return std::strerror(errno);
    return "mode " + std::to_string(status.st_mode) + ", device " + std::to_string(status.st_rdev) + ", inode " + std::to_string(status.st_ino);
#endif
}

#ifdef _WIN32
tool_run run_tool(const std::filesystem::path&, const std::vector<std::string>& arguments)
{
    const std::wstring tool = testing_support::widen(TAVRIN_PACK_TOOL);
    std::wstring command_line = testing_support::quote_argument(tool);
    for (const auto& argument : arguments) command_line += L" " + testing_support::quote_argument(testing_support::widen(argument));
    testing_support::run_options options;
    options.env[L"TAVRIN_LAUNCHER"] = std::nullopt;
    options.timeout_ms = 300000;
    testing_support::process_result result = testing_support::run_process(tool, command_line, options);
    EXPECT_FALSE(result.timed_out);
    // Text written to a stream in text mode ends its lines with "\r\n".
    auto unix_lines = [](std::string text) {
        for (std::size_t at = text.find("\r\n"); at != std::string::npos; at = text.find("\r\n", at)) text.erase(at, 1);
        return text;
    };
    return {static_cast<int>(result.exit_code), unix_lines(result.out), unix_lines(result.err)};
}
#else
pid_t start_tool(const std::filesystem::path& scratch, const std::vector<std::string>& arguments)
{
    const std::filesystem::path out = scratch / "tool.stdout", err = scratch / "tool.stderr";
    std::vector<std::string> words{TAVRIN_PACK_TOOL};
    words.insert(words.end(), arguments.begin(), arguments.end());
    std::vector<char*> argv;
    for (auto& word : words) argv.push_back(word.data());
    argv.push_back(nullptr);
    pid_t child = fork();
    if (child == 0) {
        int in_fd = open("/dev/null", O_RDONLY);
        int out_fd = open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        int err_fd = open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (in_fd < 0 || out_fd < 0 || err_fd < 0) _exit(127);
        dup2(in_fd, 0);
        dup2(out_fd, 1);
        dup2(err_fd, 2);
        unsetenv("TAVRIN_LAUNCHER");
        execv(argv[0], argv.data());
        _exit(127);
    }
    return child;
}

tool_run finish_tool(const std::filesystem::path& scratch, pid_t child, int* status, std::uint64_t* peak_bytes)
{
    int ended = 0;
    struct rusage usage {};
    EXPECT_EQ(wait4(child, &ended, 0, &usage), child);
    if (status) *status = ended;
    if (peak_bytes) *peak_bytes = static_cast<std::uint64_t>(usage.ru_maxrss) * 1024;  // KiB on Linux
    tool_run run;
    run.code = WIFEXITED(ended) ? WEXITSTATUS(ended) : -1;
    run.out = read_file(scratch / "tool.stdout");
    run.err = read_file(scratch / "tool.stderr");
    return run;
}

tool_run run_tool(const std::filesystem::path& scratch, const std::vector<std::string>& arguments)
{
    return finish_tool(scratch, start_tool(scratch, arguments));
}
#endif

scratch_directory::scratch_directory()
{
    std::random_device random;
    path_ = std::filesystem::temp_directory_path() / ("tavrin-packer-test-" + std::to_string(random()));
    std::filesystem::create_directories(path_);
}

#ifdef _WIN32
namespace {
// Removes `path` (in the \\?\ form) and everything below it, read-only files too; links are removed,
// not followed. Recursion depth: one frame per level of the tree.
void remove_tree(const std::wstring& path)
{
    WIN32_FIND_DATAW found;
    HANDLE search = FindFirstFileW((path + L"\\*").c_str(), &found);
    if (search != INVALID_HANDLE_VALUE) {
        do {
            const std::wstring name = found.cFileName;
            if (name == L"." || name == L"..") continue;
            const std::wstring below = path + L"\\" + name;
            const DWORD attributes = found.dwFileAttributes;
            if (attributes & FILE_ATTRIBUTE_READONLY) SetFileAttributesW(below.c_str(), attributes & ~FILE_ATTRIBUTE_READONLY);
            if ((attributes & FILE_ATTRIBUTE_DIRECTORY) && !(attributes & FILE_ATTRIBUTE_REPARSE_POINT))
                remove_tree(below);
            else if (attributes & FILE_ATTRIBUTE_DIRECTORY)
                RemoveDirectoryW(below.c_str());
            else
                DeleteFileW(below.c_str());
        } while (FindNextFileW(search, &found));
        FindClose(search);
    }
    RemoveDirectoryW(path.c_str());
}
}  // namespace
#endif

scratch_directory::~scratch_directory()
{
#ifdef _WIN32
    // Tests make paths as long as the launcher's limit below it, past MAX_PATH, which
    // std::filesystem::remove_all (mingw-w64's libstdc++ under Wine 8) cannot remove, in either
    // form: the whole tree stayed in %TEMP%. The \\?\ form through the Win32 calls reaches them.
    remove_tree(L"\\\\?\\" + std::filesystem::absolute(path_).wstring());
#else
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
#endif
}

std::vector<std::string> scratch_directory::listing(const std::filesystem::path& directory)
{
    std::vector<std::string> names;
    for (const auto& item : std::filesystem::directory_iterator(directory)) names.push_back(item.path().filename().u8string());
    std::sort(names.begin(), names.end());
    return names;
}

}  // namespace packer_test
