// Icons of a package: images read from .ico and .png files, and the icon resources (RT_ICON per
// image, one RT_GROUP_ICON directory) made of them or read back.
#ifndef TAVRIN_PACKER_ICONS_H
#define TAVRIN_PACKER_ICONS_H

#include <cstdint>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "packer/image/resource_section.h"

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

// The most images an .ico file may hold. Windows' own icons have a dozen or two (sizes from 16 to
// 256 pixels in a few colour depths); 64 leaves room for every size at every depth.
inline constexpr std::size_t icon_file_images_max = 64;
// The largest icon file read. Windows' icons are far smaller: an uncompressed 256x256 bitmap takes
// 264 KiB, a PNG image of that size a fraction of it.
inline constexpr std::uintmax_t icon_file_size_max = std::uintmax_t{16} << 20;

// The images of `bytes`, the content of an .ico file (every image, in its order) or of one PNG
// image, told apart by their first bytes whatever the file is called. `what` names the file in
// messages. Throws pack_error for anything else, a file cut short, an .ico of more than
// icon_file_images_max images, an image outside the file, over the icon directory or sharing bytes
// with another (so that the images never take more than the file's size), and an image larger than
// 256x256 pixels (Windows draws no larger icon; it is not scaled here).
std::vector<icon_image> parse_icon_file(const std::string& bytes, const std::string& what);
// The same for the file `file`, which must be a regular file (not a directory, a FIFO or a device,
// refused before anything is read) of at most icon_file_size_max bytes.
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

// The images of an icon group taken from an image's resources: `entries`, each naming by its id an
// icon of `icons` (every id is there; the caller looks first). They are held to the rules of an icon
// file (parse_icon_file, with its messages): at most icon_file_images_max images, none named twice
// (two images sharing bytes), at most icon_file_size_max bytes of images in all, each a PNG image or
// a bitmap of at most 256x256 pixels; so they never take more memory than such a file. Throws
// pack_error naming `what`.
std::vector<icon_image> icon_group_images(const std::vector<icon_group_entry>& entries,
                                          const std::map<std::uint32_t, const std::string*>& icons, const std::string& what);

}  // namespace tavrin

#endif
