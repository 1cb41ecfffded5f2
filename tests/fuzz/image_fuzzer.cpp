// libFuzzer target over the packer's image and icon parsers: arbitrary bytes read as a PE32+ image
// (headers, export names, imports, resources, the identity, the resource section written anew, debug
// information dropped) and as an icon file. Built with TAVRIN_FUZZ_SEEDS, the same file is a program
// that writes seed inputs.
#include <cstdint>
#include <sstream>
#include <string>

#include "packer/deps/imports.h"
#include "packer/image/debug_strip.h"
#include "packer/image/icons.h"
#include "packer/image/identity.h"
#include "packer/image/pe_image.h"
#include "packer/image/resource_section.h"
#include "tests/support/packer_fixtures.h"

#ifndef TAVRIN_FUZZ_SEEDS

// Runs `step`: damage and refusals end in pack_error; anything else that escapes, every sanitizer
// report and every input that takes more memory than the run allows is a finding.
template <typename Step>
void refused_or_done(Step step)
{
    try {
        step();
    } catch (const tavrin::pack_error&) {
    }
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const std::string bytes(reinterpret_cast<const char*>(data), size);
    refused_or_done([&] {
        std::istringstream in(bytes);
        const tavrin::pe_headers headers = tavrin::read_pe_headers(in, "image");
        refused_or_done([&] { (void)tavrin::exports_name(in, headers, "image", "run_code"); });
        // As packing takes the launcher's resources into the package.
        refused_or_done([&] { (void)tavrin::write_resource_section(tavrin::read_resources(in, headers, "image"), 0x10000); });
        (void)tavrin::read_package_identity(in, "image");
    });
    // Reads the import tables as packing does, for an image among the application's files.
    tavrin::collect_options no_collection;
    no_collection.enabled = false;
    refused_or_done([&] { (void)tavrin::check_imports({{u"app.dll", {}, bytes}}, {}, no_collection); });
    // As a collected DLL is packed.
    refused_or_done([&] {
        std::istringstream in(bytes);
        (void)tavrin::strip_debug_information(in, "image");
    });
    refused_or_done([&] { (void)tavrin::icon_resources(tavrin::parse_icon_file(bytes, "icon")); });
    return 0;
}

#else

using namespace packer_test;

// image_fuzz_seeds SMALL_DIR CRAFTED_DIR: small seeds to fuzz from, a few bytes to 64 KiB each, and
// the crafted inputs at full size (up to 4 MB), which a parser holding memory out of proportion
// turns into hundreds of megabytes to gigabytes.
int main(int argc, char** argv)
{
    if (argc != 3) return 2;
    // A resource section as a package's holds: icons, version block, manifest.
    std::vector<tavrin::resource_entry> resources = tavrin::icon_resources(tavrin::parse_icon_file(png_image(16, 16), "icon"));
    resources.push_back({tavrin::rt_version, 1, 0, tavrin::write_version_block(tavrin::default_version_identity())});
    resources.push_back({tavrin::rt_manifest, 1, 0, "<requestedExecutionLevel level=\"asInvoker\"/>"});
    auto shared_resources = [](std::uint32_t size) {
        std::string tree = shared_resource_tree(data_rva, size);
        tree.resize(size, '\0');
        return image_with_data(false, tree, tavrin::pe_resource_directory);
    };
    const std::pair<const char*, std::string> small[] = {
        {"exports.dll", export_names_dll(3)},
        {"imports.dll", import_descriptors_dll(3)},
        {"resources.exe", image_with_data(false, tavrin::write_resource_section(resources, data_rva), tavrin::pe_resource_directory)},
        {"resources-shared.exe", shared_resources(4 << 10)},
        {"icon.png", png_image(48, 48)},
        {"icon.ico", ico_file({png_image(32, 32), png_image(16, 16)})},
        {"icon-overlapping.ico", overlapping_icon(64 << 10)},
    };
    const std::pair<const char*, std::string> full_size[] = {
        {"exports-million.dll", export_names_dll()},
        {"imports-2mb.dll", import_descriptors_dll()},
        {"resources-shared.exe", shared_resources(64 << 10)},
        {"icon-overlapping.ico", overlapping_icon()},
    };
    for (const auto& [name, bytes] : small) write_file(std::string(argv[1]) + "/" + name, bytes);
    for (const auto& [name, bytes] : full_size) write_file(std::string(argv[2]) + "/" + name, bytes);
    return 0;
}

#endif
