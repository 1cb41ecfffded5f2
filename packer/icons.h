// Icons of a package: images read from .ico and .png files, and the icon resources (RT_ICON per
// image, one RT_GROUP_ICON directory) made of them or read back.
#ifndef TAVRIN_PACKER_ICONS_H
#define TAVRIN_PACKER_ICONS_H

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "packer/resource_section.h"

namespace tavrin {

// One image of an icon, its bytes as they were given (a PNG file, or a DIB from an .ico file).
struct icon_image {
    std::uint8_t width = 0;    // 0 stands for 256 or more
    std::uint8_t height = 0;
    std::uint8_t colors = 0;
    std::uint16_t planes = 0;
    std::uint16_t bit_count = 0;
    std::string data;
};

// The images of `bytes`, the content of an .ico file (every image, in its order) or of one PNG
// image, told apart by their first bytes whatever the file is called. `what` names the file in
// messages. Throws pack_error for anything else, a file cut short, or an image outside the file.
std::vector<icon_image> parse_icon_file(const std::string& bytes, const std::string& what);
std::vector<icon_image> read_icon_file(const std::filesystem::path& file);

// Icon resources for `images`: RT_ICON ids 1 to N in their order and the RT_GROUP_ICON directory 1
// that lists them, all language neutral. Throws pack_error beyond 256 images.
std::vector<resource_entry> icon_resources(const std::vector<icon_image>& images);

// An entry of an icon group directory.
struct icon_group_entry {
    icon_image image;   // width, height, colors, planes, bit count; data empty
    std::uint32_t size = 0;
    std::uint16_t id = 0;
};
// The entries of an RT_GROUP_ICON resource. Throws pack_error when it is malformed.
std::vector<icon_group_entry> read_icon_group(const std::string& group);

}  // namespace tavrin

#endif
