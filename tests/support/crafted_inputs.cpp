// The crafted inputs: a minimal PE32+ image around one section, and the tables, trees and icon
// directories that multiply memory.
#include "tests/support/crafted_inputs.h"

#include <algorithm>
#include <sstream>

#include "packer/pe_image.h"

namespace crafted {
namespace {

constexpr std::uint32_t headers_size = 0x200;
constexpr std::uint32_t file_alignment = 0x200;
constexpr std::uint32_t section_alignment = 0x1000;

void put(std::string& bytes, std::size_t at, std::uint64_t value, int size)
{
    for (int i = 0; i < size; ++i) bytes[at + i] = static_cast<char>((value >> (8 * i)) & 0xFF);
}

std::string little_endian(std::uint64_t value, int size)
{
    std::string bytes(static_cast<std::size_t>(size), '\0');
    put(bytes, 0, value, size);
    return bytes;
}

std::uint64_t align(std::uint64_t value, std::uint32_t alignment) { return (value + alignment - 1) / alignment * alignment; }

}  // namespace

std::string image_with_section(bool dll, int directory, const std::string& content)
{
    const std::uint64_t raw_size = align(content.size(), file_alignment);
    std::string image(headers_size, '\0');
    image[0] = 'M';
    image[1] = 'Z';
    put(image, 0x3C, 0x40, 4);
    image.replace(0x40, 4, std::string("PE\0\0", 4));
    put(image, 0x44, tavrin::pe_machine_amd64, 2);
    put(image, 0x46, 1, 2);                          // sections
    put(image, 0x54, 240, 2);                        // optional header size
    put(image, 0x56, dll ? 0x2022 : 0x0022, 2);      // executable, large-address aware, DLL
    const std::size_t optional = 0x58;
    put(image, optional, 0x20B, 2);
    put(image, optional + 24, 0x140000000, 8);       // image base
    put(image, optional + 32, section_alignment, 4);
    put(image, optional + 36, file_alignment, 4);
    put(image, optional + 56, align(section_rva + content.size(), section_alignment), 4);  // size of image
    put(image, optional + 60, headers_size, 4);
    put(image, optional + 68, 3, 2);                 // console subsystem
    put(image, optional + 108, 16, 4);               // directories
    if (directory >= 0) {
        put(image, optional + 112 + 8 * static_cast<std::size_t>(directory), section_rva, 4);
        put(image, optional + 116 + 8 * static_cast<std::size_t>(directory), content.size(), 4);
    }
    const std::size_t section = optional + 240;
    image.replace(section, 5, ".data");
    put(image, section + 8, content.size(), 4);      // virtual size
    put(image, section + 12, section_rva, 4);
    put(image, section + 16, raw_size, 4);
    put(image, section + 20, headers_size, 4);       // raw data right after the headers
    put(image, section + 36, 0xC0000040, 4);         // initialized data, read and write
    image += content;
    image.resize(headers_size + raw_size, '\0');
    return image;
}

std::string export_names_dll(std::uint32_t names)
{
    // The name first, so that the rest of the file lies behind it; then the directory and the table.
    const std::string name = std::string(4000, 'e') + '\0';
    const std::uint32_t directory_at = static_cast<std::uint32_t>(align(name.size(), 8));
    const std::uint32_t table_at = directory_at + 40;
    std::string content(table_at, '\0');
    content.replace(0, name.size(), name);
    put(content, directory_at + 24, names, 4);                      // NumberOfNames
    put(content, directory_at + 32, section_rva + table_at, 4);     // AddressOfNames
    const std::string pointer = little_endian(section_rva, 4);
    content.reserve(content.size() + std::size_t{names} * 4);
    for (std::uint32_t i = 0; i < names; ++i) content += pointer;
    std::string image = image_with_section(true, 0, content);
    // The export directory proper starts after the name.
    put(image, 0x58 + 112, section_rva + directory_at, 4);
    return image;
}

std::string import_descriptors_dll(std::uint32_t descriptors, std::size_t name_length)
{
    std::string name = std::string(name_length - 4, 'x') + ".dll";
    name.resize(align(name.size() + 1, 8), '\0');
    std::string descriptor(20, '\0');
    put(descriptor, 12, section_rva, 4);  // Name
    put(descriptor, 16, section_rva, 4);  // FirstThunk: any non-zero value
    std::string content = name;
    content.reserve(content.size() + (std::size_t{descriptors} + 1) * 20);
    for (std::uint32_t i = 0; i < descriptors; ++i) content += descriptor;
    content += std::string(20, '\0');
    std::string image = image_with_section(true, 1, content);
    put(image, 0x58 + 112 + 8, section_rva + name.size(), 4);  // the descriptors follow the name
    return image;
}

std::string shared_resource_tree(std::uint32_t data_rva, std::uint32_t data_size)
{
    constexpr std::uint32_t types = 41, names = 40, languages = 40;
    auto table = [](std::uint32_t count, std::uint32_t target) {
        std::string bytes(16, '\0');
        put(bytes, 14, count, 2);  // entries named by number
        for (std::uint32_t i = 0; i < count; ++i) bytes += little_endian(i + 1, 4) + little_endian(target, 4);
        return bytes;
    };
    const std::uint32_t name_table = 16 + 8 * types, language_table = name_table + 16 + 8 * names;
    const std::uint32_t data_entry = language_table + 16 + 8 * languages;
    return table(types, 0x80000000u | name_table) + table(names, 0x80000000u | language_table) + table(languages, data_entry) +
           little_endian(data_rva, 4) + little_endian(data_size, 4) + std::string(8, '\0');
}

std::string with_shared_resources(std::string image)
{
    std::istringstream in(image);
    const tavrin::pe_headers headers = tavrin::read_pe_headers(in, "image");
    const tavrin::pe_section* largest = &headers.sections.front();
    for (const auto& section : headers.sections)
        if (section.raw_size > largest->raw_size) largest = &section;
    const std::uint32_t size = std::min(largest->raw_size, largest->virtual_size ? largest->virtual_size : largest->raw_size);
    const auto tree_at = headers.file_offset(headers.directories[tavrin::pe_resource_directory].address, 1);
    const std::string tree = shared_resource_tree(largest->virtual_address, size);
    image.replace(static_cast<std::size_t>(*tree_at), tree.size(), tree);
    return image;
}

std::string png_image(std::uint32_t width, std::uint32_t height)
{
    std::string header = "IHDR" + std::string(8, '\0') + std::string("\x08\x06\0\0\0", 5);
    for (int i = 0; i < 4; ++i) {
        header[4 + i] = static_cast<char>(width >> (24 - 8 * i));
        header[8 + i] = static_cast<char>(height >> (24 - 8 * i));
    }
    return std::string("\x89PNG\r\n\x1a\n\0\0\0\x0d", 12) + header + std::string(4, '\0') +
           std::string("\0\0\0\0IEND\xae\x42\x60\x82", 12);
}

std::string ico_file(const std::vector<std::string>& images)
{
    std::string directory = little_endian(0, 2) + little_endian(1, 2) + little_endian(images.size(), 2), data;
    std::size_t offset = 6 + 16 * images.size();
    for (const auto& image : images) {
        directory += std::string("\x20\x20\0\0", 4) + little_endian(1, 2) + little_endian(32, 2) +
                     little_endian(image.size(), 4) + little_endian(offset, 4);
        offset += image.size();
        data += image;
    }
    return directory + data;
}

std::string overlapping_icon(std::size_t size, std::uint16_t images)
{
    std::string icon = little_endian(0, 2) + little_endian(1, 2) + little_endian(images, 2);
    for (std::uint16_t i = 0; i < images; ++i)
        icon += std::string("\x20\x20\0\0", 4) + little_endian(1, 2) + little_endian(32, 2) + little_endian(size, 4) + little_endian(0, 4);
    icon.resize(size, '\0');
    return icon;
}

}  // namespace crafted
