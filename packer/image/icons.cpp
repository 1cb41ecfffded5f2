// Reading .ico and .png files into icon images, and the icon resources made of them.
#include "packer/image/icons.h"

#include <algorithm>
#include <fstream>

#include "packer/base/errors.h"
#include "packer/base/helpers.h"

namespace tavrin {
namespace {

constexpr char png_signature[] = "\x89PNG\r\n\x1a\n";
constexpr std::size_t png_signature_size = 8;
constexpr std::size_t icon_header_size = 6;
constexpr std::size_t icon_file_entry_size = 16;
constexpr std::size_t icon_group_entry_size = 14;
constexpr std::size_t icon_images_max = 256;
constexpr std::uint32_t icon_side_max = 256;  // pixels: the largest icon Windows draws
constexpr std::size_t dib_header_size = 40;   // BITMAPINFOHEADER

// "a directory", "a FIFO", ... for a message about what is not a regular file.
const char* kind_of(std::filesystem::file_type type)
{
    switch (type) {
    case std::filesystem::file_type::directory: return "a directory";
    case std::filesystem::file_type::fifo: return "a FIFO";
    case std::filesystem::file_type::character: return "a character device";
    case std::filesystem::file_type::block: return "a block device";
    case std::filesystem::file_type::socket: return "a socket";
    default: return "not a regular file";
    }
}

// Refuses an image larger than Windows' icons: `width` and `height` in pixels.
void check_icon_size(std::uint64_t width, std::uint64_t height, const std::string& what)
{
    if (width > icon_side_max || height > icon_side_max)
        throw pack_error(what + " is " + std::to_string(width) + "x" + std::to_string(height) +
                         " pixels; Windows' icons have at most 256x256 (scale it down)");
}

std::uint32_t big_endian(const std::string& bytes, std::size_t at)
{
    std::uint32_t value = 0;
    for (std::size_t i = 0; i < 4; ++i) value = value << 8 | static_cast<unsigned char>(bytes[at + i]);
    return value;
}

bool is_png(const std::string& bytes) { return bytes.compare(0, png_signature_size, png_signature, png_signature_size) == 0; }

// A PNG image: the signature, an IHDR chunk first and an IEND chunk last.
icon_image png_image(const std::string& bytes, const std::string& what)
{
    constexpr std::size_t ihdr_end = png_signature_size + 8 + 13 + 4;
    constexpr char iend[] = "\0\0\0\0IEND\xae\x42\x60\x82";
    if (bytes.size() < ihdr_end + 12 || bytes.compare(png_signature_size + 4, 4, "IHDR") != 0 ||
        big_endian(bytes, png_signature_size) != 13)
        throw pack_error(what + ": a PNG image without its header chunk (cut short?)");
    if (bytes.compare(bytes.size() - 12, 12, iend, 12) != 0) throw pack_error(what + ": a PNG image that does not end with IEND (cut short?)");
    std::uint32_t width = big_endian(bytes, 16), height = big_endian(bytes, 20);
    unsigned depth = static_cast<unsigned char>(bytes[24]), colour = static_cast<unsigned char>(bytes[25]);
    unsigned channels = colour == 6 ? 4 : colour == 2 ? 3 : colour == 4 ? 2 : 1;
    if (width == 0 || height == 0) throw pack_error(what + ": a PNG image of no pixels");
    check_icon_size(width, height, what + ": the PNG image");
    icon_image image;
    image.width = static_cast<std::uint8_t>(width >= 256 ? 0 : width);
    image.height = static_cast<std::uint8_t>(height >= 256 ? 0 : height);
    image.bit_count = static_cast<std::uint16_t>(depth * channels);
    image.data = bytes;
    return image;
}

// The magnitude of the signed 32-bit field at `at`: a bitmap's height is negative when it is stored
// top-down.
std::uint64_t dib_extent(const std::string& bytes, std::size_t at)
{
    const auto value = static_cast<std::int64_t>(static_cast<std::int32_t>(read_little_endian(bytes, at, 4)));
    return static_cast<std::uint64_t>(value < 0 ? -value : value);
}

std::vector<icon_image> ico_images(const std::string& bytes, const std::string& what)
{
    std::size_t count = static_cast<std::size_t>(read_little_endian(bytes, 4, 2));
    if (count == 0) throw pack_error(what + ": an icon file without images");
    if (count > icon_file_images_max)
        throw pack_error(what + ": " + std::to_string(count) + " images; an icon file may hold at most " +
                         std::to_string(icon_file_images_max));
    const std::size_t directory_end = icon_header_size + count * icon_file_entry_size;
    if (directory_end > bytes.size()) throw pack_error(what + ": the icon directory is cut short");

    // Every image's bytes lie after the directory, inside the file and apart from the others', so
    // that the images together are never larger than the file: checked before any is copied.
    struct extent {
        std::uint64_t offset, end;
        std::size_t image;
    };
    std::vector<extent> extents;
    for (std::size_t i = 0; i < count; ++i) {
        std::size_t at = icon_header_size + i * icon_file_entry_size;
        std::uint64_t size = read_little_endian(bytes, at + 8, 4), offset = read_little_endian(bytes, at + 12, 4);
        std::string where = what + ": image " + std::to_string(i + 1);
        if (size == 0 || offset + size > bytes.size()) throw pack_error(where + " lies beyond the end of the file (cut short?)");
        if (offset < directory_end) throw pack_error(where + " overlaps the icon directory");
        extents.push_back({offset, offset + size, i});
    }
    // Images at one offset stay in their order, so that the first two of them are named.
    std::sort(extents.begin(), extents.end(),
              [](const extent& a, const extent& b) { return a.offset != b.offset ? a.offset < b.offset : a.image < b.image; });
    for (std::size_t k = 1; k < extents.size(); ++k)
        if (extents[k - 1].end > extents[k].offset)
            throw pack_error(what + ": images " + std::to_string(std::min(extents[k - 1].image, extents[k].image) + 1) + " and " +
                             std::to_string(std::max(extents[k - 1].image, extents[k].image) + 1) + " share bytes");

    std::vector<icon_image> images;
    for (std::size_t i = 0; i < count; ++i) {
        std::size_t at = icon_header_size + i * icon_file_entry_size;
        std::uint64_t size = read_little_endian(bytes, at + 8, 4), offset = read_little_endian(bytes, at + 12, 4);
        std::string where = what + ": image " + std::to_string(i + 1);
        icon_image image;
        image.width = static_cast<std::uint8_t>(bytes[at]);
        image.height = static_cast<std::uint8_t>(bytes[at + 1]);
        image.colors = static_cast<std::uint8_t>(bytes[at + 2]);
        image.planes = static_cast<std::uint16_t>(read_little_endian(bytes, at + 4, 2));
        image.bit_count = static_cast<std::uint16_t>(read_little_endian(bytes, at + 6, 2));
        image.data = bytes.substr(static_cast<std::size_t>(offset), static_cast<std::size_t>(size));
        if (is_png(image.data))
            png_image(image.data, where);  // checked whole
        else if (image.data.size() < dib_header_size || read_little_endian(image.data, 0, 4) < dib_header_size)
            throw pack_error(where + " is neither a PNG image nor a bitmap");
        else  // the bitmap's height counts its mask too
            check_icon_size(dib_extent(image.data, 4), dib_extent(image.data, 8) / 2, where);
        images.push_back(std::move(image));
    }
    return images;
}

}  // namespace

std::vector<icon_image> parse_icon_file(const std::string& bytes, const std::string& what)
{
    if (is_png(bytes)) return {png_image(bytes, what)};
    if (bytes.size() >= icon_header_size && read_little_endian(bytes, 0, 2) == 0 && read_little_endian(bytes, 2, 2) == 1)
        return ico_images(bytes, what);
    throw pack_error(what + ": not an icon (.ico) or a PNG image");
}

std::vector<icon_image> read_icon_file(const std::filesystem::path& file)
{
    const std::string what = "the icon '" + file.u8string() + "'";
    // Whatever it is, it is looked at before it is read: a FIFO or a device could give bytes forever.
    std::error_code error;
    const std::filesystem::file_status status = std::filesystem::status(file, error);
    if (error || !std::filesystem::exists(status)) throw pack_error("cannot open " + what);
    if (!std::filesystem::is_regular_file(status)) throw pack_error(what + " is " + kind_of(status.type()) + ", not an icon file");
    const std::uintmax_t size = std::filesystem::file_size(file, error);
    if (error) throw pack_error("cannot read " + what);
    if (size > icon_file_size_max)
        throw pack_error(what + " is " + std::to_string(size) + " bytes; an icon file may have at most " +
                         std::to_string(icon_file_size_max >> 20) + " MiB");

    std::ifstream in(file, std::ios::binary);
    if (!in) throw pack_error("cannot open " + what);
    // One byte more than it had: a file that grew since is refused too, not read on.
    std::string bytes(static_cast<std::size_t>(size) + 1, '\0');
    in.read(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    if (in.bad()) throw pack_error("cannot read " + what);
    if (static_cast<std::uintmax_t>(in.gcount()) != size) throw pack_error(what + " changed while it was read");
    bytes.resize(static_cast<std::size_t>(size));
    return parse_icon_file(bytes, "icon '" + file.u8string() + "'");
}

std::vector<resource_entry> icon_resources(const std::vector<icon_image>& images)
{
    if (images.size() > icon_images_max) throw pack_error("more than 256 icon images");
    std::vector<resource_entry> resources;
    std::string group = little_endian_bytes(0, 2) + little_endian_bytes(1, 2) + little_endian_bytes(images.size(), 2);
    for (std::size_t i = 0; i < images.size(); ++i) {
        const icon_image& image = images[i];
        std::uint32_t id = static_cast<std::uint32_t>(i + 1);
        group += std::string{static_cast<char>(image.width), static_cast<char>(image.height), static_cast<char>(image.colors), '\0'};
        group += little_endian_bytes(image.planes, 2) + little_endian_bytes(image.bit_count, 2) +
                 little_endian_bytes(image.data.size(), 4) + little_endian_bytes(id, 2);
        resources.push_back({rt_icon, id, 0, image.data});
    }
    resources.push_back({rt_group_icon, 1, 0, group});
    return resources;
}

std::vector<icon_group_entry> read_icon_group(const std::string& group)
{
    if (group.size() < icon_header_size || read_little_endian(group, 0, 2) != 0 || read_little_endian(group, 2, 2) != 1)
        throw pack_error("the icon group has no icon directory header");
    std::size_t count = static_cast<std::size_t>(read_little_endian(group, 4, 2));
    if (icon_header_size + count * icon_group_entry_size > group.size())
        throw pack_error("the icon group lists " + std::to_string(count) + " images but is cut short");
    std::vector<icon_group_entry> entries;
    for (std::size_t i = 0; i < count; ++i) {
        std::size_t at = icon_header_size + i * icon_group_entry_size;
        icon_group_entry entry;
        entry.image.width = static_cast<std::uint8_t>(group[at]);
        entry.image.height = static_cast<std::uint8_t>(group[at + 1]);
        entry.image.colors = static_cast<std::uint8_t>(group[at + 2]);
        entry.image.planes = static_cast<std::uint16_t>(read_little_endian(group, at + 4, 2));
        entry.image.bit_count = static_cast<std::uint16_t>(read_little_endian(group, at + 6, 2));
        entry.size = static_cast<std::uint32_t>(read_little_endian(group, at + 8, 4));
        entry.id = static_cast<std::uint16_t>(read_little_endian(group, at + 12, 2));
        entries.push_back(entry);
    }
    return entries;
}

std::vector<icon_image> icon_group_images(const std::vector<icon_group_entry>& entries,
                                          const std::map<std::uint32_t, const std::string*>& icons, const std::string& what)
{
    // The group is laid out as the icon file it stands for, each icon's bytes once: an icon named
    // by several entries gives images that share bytes, which parse_icon_file refuses as it does in
    // a file. Its count is checked first, and the bytes' sum before any is copied.
    if (entries.empty()) return {};
    if (entries.size() > icon_file_images_max)
        throw pack_error(what + ": " + std::to_string(entries.size()) + " images; an icon file may hold at most " +
                         std::to_string(icon_file_images_max));
    std::map<std::uint32_t, std::uint64_t> placed;  // an icon's id: its bytes' offset in the file
    std::uint64_t end = icon_header_size + entries.size() * icon_file_entry_size;
    for (const auto& entry : entries)
        if (placed.emplace(entry.id, end).second) end += icons.at(entry.id)->size();
    if (end > icon_file_size_max)
        throw pack_error(what + ": its images add up to " + std::to_string(end) + " bytes; an icon file may have at most " +
                         std::to_string(icon_file_size_max >> 20) + " MiB");
    std::string file = little_endian_bytes(0, 2) + little_endian_bytes(1, 2) + little_endian_bytes(entries.size(), 2);
    for (const auto& entry : entries) {
        const icon_image& image = entry.image;
        file += std::string{static_cast<char>(image.width), static_cast<char>(image.height), static_cast<char>(image.colors), '\0'};
        file += little_endian_bytes(image.planes, 2) + little_endian_bytes(image.bit_count, 2) +
                little_endian_bytes(icons.at(entry.id)->size(), 4) + little_endian_bytes(placed.at(entry.id), 4);
    }
    std::map<std::uint64_t, std::uint32_t> in_order;  // offset: id
    for (const auto& [id, offset] : placed) in_order.emplace(offset, id);
    for (const auto& [offset, id] : in_order) file += *icons.at(id);
    return parse_icon_file(file, what);
}

}  // namespace tavrin
