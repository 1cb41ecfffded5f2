// libFuzzer target over the packer's image and icon parsers: arbitrary bytes read as a PE32+ image
// (headers, the export name check, the import tables and the imports check, the resource tree, the
// identity read from it and the resource section written from it) and as an icon file (.ico or PNG,
// and the icon resources made of it). Built with TAVRIN_FUZZ_SEEDS, the same file is a small
// program that writes seed inputs instead: small sound ones, and the crafted ones at full size.
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "packer/icons.h"
#include "packer/identity.h"
#include "packer/imports.h"
#include "packer/pe_image.h"
#include "packer/resource_section.h"
#include "tests/support/crafted_inputs.h"

#ifndef TAVRIN_FUZZ_SEEDS

// Damage and refusals end in pack_error; anything else that escapes, every sanitizer report and
// every input that takes more memory than the run allows is a finding.
extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const std::string bytes(reinterpret_cast<const char*>(data), size);
    try {
        std::istringstream in(bytes);
        const tavrin::pe_headers headers = tavrin::read_pe_headers(in, "image");
        try {
            (void)tavrin::exports_name(in, headers, "image", "run_code");
        } catch (const tavrin::image_error&) {
        }
        try {
            // As packing takes the launcher's resources into the package.
            (void)tavrin::write_resource_section(tavrin::read_resources(in, headers, "image"), 0x10000);
        } catch (const tavrin::image_error&) {
        }
        (void)tavrin::read_package_identity(in, "image");
    } catch (const tavrin::pack_error&) {
    }
    try {
        // Reads the import tables as packing does, for an image among the application's files.
        (void)tavrin::check_imports({{u"app.dll", {}, bytes}}, {});
    } catch (const tavrin::pack_error&) {
    }
    try {
        (void)tavrin::icon_resources(tavrin::parse_icon_file(bytes, "icon"));
    } catch (const tavrin::pack_error&) {
    }
    return 0;
}

#else

namespace {

// A PNG image of `side` pixels square as far as the packer reads one: signature, IHDR, IEND.
std::string png(std::uint32_t side)
{
    std::string bytes("\x89PNG\r\n\x1a\n\0\0\0\x0dIHDR", 16);
    for (int shift : {24, 16, 8, 0}) bytes += static_cast<char>(side >> shift);
    for (int shift : {24, 16, 8, 0}) bytes += static_cast<char>(side >> shift);
    bytes += std::string("\x08\x06\0\0\0", 5) + std::string(4, '\0');  // 8-bit RGBA; the CRC is not read
    return bytes + std::string("\0\0\0\0IEND\xae\x42\x60\x82", 12);
}

// An .ico file holding `image` once.
std::string ico_of(const std::string& image)
{
    std::string icon("\0\0\1\0\1\0\x20\x20\0\0\1\0\x20\0", 14);
    for (int shift : {0, 8, 16, 24}) icon += static_cast<char>(image.size() >> shift);
    return icon + std::string("\x16\0\0\0", 4) + image;
}

// An image whose resource section holds what a package's does: version block, manifest, icon.
std::string image_with_resources()
{
    std::vector<tavrin::resource_entry> resources = tavrin::icon_resources(tavrin::parse_icon_file(png(16), "icon"));
    resources.push_back({tavrin::rt_version, 1, 0, tavrin::write_version_block(tavrin::default_version_identity())});
    resources.push_back({tavrin::rt_manifest, 1, 0, "<requestedExecutionLevel level=\"asInvoker\"/>"});
    return crafted::image_with_section(false, tavrin::pe_resource_directory,
                                       tavrin::write_resource_section(resources, crafted::section_rva));
}

void write_seed(const std::filesystem::path& file, const std::string& bytes)
{
    std::ofstream out(file, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

}  // namespace

// image_fuzz_seeds OUT_DIR: the seeds, each a few bytes to 4 MB.
int main(int argc, char** argv)
{
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s OUT_DIR\n", argv[0]);
        return 2;
    }
    const std::filesystem::path out = argv[1];
    std::filesystem::create_directories(out);
    constexpr std::uint32_t shared_data = 64 << 10;
    std::string shared = crafted::shared_resource_tree(crafted::section_rva, shared_data);
    shared.resize(shared_data, '\0');
    const std::pair<const char*, std::string> seeds[] = {
        {"exports-few.dll", crafted::export_names_dll(3)},
        {"exports-million.dll", crafted::export_names_dll()},
        {"imports-few.dll", crafted::import_descriptors_dll(3)},
        {"imports-2mb.dll", crafted::import_descriptors_dll()},
        {"resources.exe", image_with_resources()},
        {"resources-shared.exe", crafted::image_with_section(false, tavrin::pe_resource_directory, shared)},
        {"icon.png", png(48)},
        {"icon.ico", ico_of(png(32))},
        {"icon-overlapping.ico", crafted::overlapping_icon()},
    };
    for (const auto& [name, bytes] : seeds) write_seed(out / name, bytes);
    return 0;
}

#endif
