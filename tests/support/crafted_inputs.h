// Inputs for the image and icon parsers' tests and fuzz seeds, built at run time (no test framework
// needed): small sound icons, and inputs crafted to make a careless parser hold far more memory
// than their size: huge counts in small files, tables pointing many entries at the same bytes.
#ifndef TAVRIN_TESTS_CRAFTED_INPUTS_H
#define TAVRIN_TESTS_CRAFTED_INPUTS_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace crafted {

// Where image_with_section puts its section in memory.
constexpr std::uint32_t section_rva = 0x1000;

// A PE32+ image for x86-64 (a DLL when `dll`): 0x200 bytes of headers with room for more section
// headers, then one section holding `content` at section_rva; data directory `directory` (an index
// of the optional header's table, or -1 for none) points at the section's start with its size.
std::string image_with_section(bool dll, int directory, const std::string& content);

// A DLL of about 4 MB whose export name table has `names` entries (a million by default), all
// pointing at one name of 4,000 characters that 4 KiB of file follow.
std::string export_names_dll(std::uint32_t names = 1000000);

// A DLL with `descriptors` import descriptors (2 MB of them by default) that all name one DLL, whose
// name has `name_length` characters ("x.dll" by default, else "xxx...x.dll").
std::string import_descriptors_dll(std::uint32_t descriptors = 2 * 1024 * 1024 / 20, std::size_t name_length = 5);

// A resource tree of 1,032 bytes, its offsets relative to its start: 41 type entries share one name
// table of 40 entries, which share one language table of 40 entries, whose entries all name one
// data entry of `data_size` bytes at `data_rva`: 65,600 resources pointing at the same bytes.
std::string shared_resource_tree(std::uint32_t data_rva, std::uint32_t data_size);
// `image`, a PE32+ image with at least 1,032 bytes of resources from its resource directory on,
// with shared_resource_tree written over the directory, its data being the image's largest section.
std::string with_shared_resources(std::string image);

// A PNG image `width` by `height` pixels as far as the packer reads one: signature, header chunk
// (8-bit RGBA), end chunk; no pixels and no checksums.
std::string png_image(std::uint32_t width, std::uint32_t height);
// An .ico file holding `images` (PNG images or bitmaps) in order, each after the directory and
// apart from the others; the directory says 32x32 at 32 bits for each.
std::string ico_file(const std::vector<std::string>& images);

// An .ico file of `size` bytes whose directory lists `images` 32x32 images, each covering the whole
// file.
std::string overlapping_icon(std::size_t size = 1 << 20, std::uint16_t images = 256);

}  // namespace crafted

#endif
