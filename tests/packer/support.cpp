// Minimal PE32+ images, block decoding and scratch directories for the packer's tests.
#include "tests/packer/support.h"

#include <gtest/gtest.h>
#include <zstd.h>

#include <algorithm>
#include <fstream>
#include <random>
#include <sstream>

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

}  // namespace

std::string make_image(const image_spec& spec)
{
    std::vector<section_plan> plans{{".text", std::string(16, '\xC3'), 0x60000020}};
    std::uint32_t export_rva = 0, export_size = 0;
    if (!spec.exports.empty()) {
        export_rva = section_alignment * 2;
        plans.push_back({".edata", export_section(export_rva, spec.exports), 0x40000040});
        export_size = static_cast<std::uint32_t>(plans.back().content.size());
    }
    for (const auto& name : spec.extra_sections) plans.push_back({name, std::string(0x100, 'x'), 0x40000040});

    const std::uint32_t table_end = section_table_at + 40 * static_cast<std::uint32_t>(plans.size());
    const std::uint32_t size_of_headers = align(table_end, file_alignment);
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
    put(image, optional_at + 112, export_rva, 4);
    put(image, optional_at + 116, export_size, 4);

    std::string overlay = spec.overlay;
    if (spec.certificate && overlay.empty()) overlay = std::string(8, '\x5A');
    if (spec.certificate) {
        put(image, optional_at + 112 + 4 * 8, image.size(), 4);
        put(image, optional_at + 116 + 4 * 8, overlay.size(), 4);
    }
    return image + overlay;
}

std::uint16_t u16_at(const std::string& bytes, std::size_t at)
{
    return static_cast<std::uint16_t>(static_cast<unsigned char>(bytes.at(at)) | static_cast<unsigned char>(bytes.at(at + 1)) << 8);
}

std::uint32_t u32_at(const std::string& bytes, std::size_t at)
{
    return u16_at(bytes, at) | static_cast<std::uint32_t>(u16_at(bytes, at + 2)) << 16;
}

std::uint64_t u64_at(const std::string& bytes, std::size_t at)
{
    return u32_at(bytes, at) | static_cast<std::uint64_t>(u32_at(bytes, at + 4)) << 32;
}

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

scratch_directory::scratch_directory()
{
    std::random_device random;
    path_ = std::filesystem::temp_directory_path() / ("tavrin-packer-test-" + std::to_string(random()));
    std::filesystem::create_directories(path_);
}

scratch_directory::~scratch_directory()
{
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
}

std::vector<std::string> scratch_directory::listing(const std::filesystem::path& directory)
{
    std::vector<std::string> names;
    for (const auto& item : std::filesystem::directory_iterator(directory)) names.push_back(item.path().filename().u8string());
    std::sort(names.begin(), names.end());
    return names;
}

}  // namespace packer_test
