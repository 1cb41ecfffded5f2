// The packing tests' fixture, shared by the packer's rooms: an application directory, an output
// directory and a launcher image in a scratch directory of their own, and the options that pack them.
#ifndef TAVRIN_TESTS_PACK_FIXTURE_H
#define TAVRIN_TESTS_PACK_FIXTURE_H

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "packer/image/identity.h"
#include "packer/pack.h"
#include "tests/support/packer_fixtures.h"

namespace packer_test {
namespace fs = std::filesystem;

class PackTest : public testing::Test {
protected:
    PackTest()
    {
        fs::create_directories(app_);
        fs::create_directories(out_dir_);
        write_file(launcher_, make_image(launcher_spec()));
    }

    // A launcher image as the launcher's build leaves it: with its settings record.
    static image_spec launcher_spec()
    {
        image_spec spec;
        spec.settings_record = true;
        return spec;
    }

    void add(const fs::path& relative, const std::string& content) { write_file(app_ / relative, content); }

    // A DLL that imports `imports`; an entry (exporting run_code) when `entry`.
    static image_spec dll_spec(std::vector<std::string> imports = {}, bool entry = false)
    {
        image_spec spec;
        spec.dll = true;
        spec.imports = std::move(imports);
        if (entry) spec.exports = {"run_code"};
        return spec;
    }

    tavrin::pack_options options(const fs::path& app_dir) const
    {
        tavrin::pack_options options;
        options.app_dir = app_dir;
        options.output = output_;
        options.launcher = launcher_;
        options.block.level = 3;
        options.collect.toolchain = nullptr;  // the packing machine's compiler stays out of these tests
        return options;
    }
    tavrin::pack_options options() const { return options(app_); }

    std::vector<unpacked_entry> packed_entries() const { return unpack_block(packer_test::read_attached_block(output_)); }

    // The message of the `Error` that packing with `opts` throws, and that the output dir stays empty.
    template <typename Error>
    std::string refusal(const tavrin::pack_options& opts)
    {
        std::string message;
        try {
            tavrin::pack_application(opts);
            ADD_FAILURE() << "packed without complaint";
        } catch (const Error& error) {
            message = error.what();
        }
        EXPECT_TRUE(scratch_directory::listing(out_dir_).empty()) << message;
        return message;
    }

    scratch_directory scratch_;
    fs::path app_ = scratch_.path() / "app";
    fs::path out_dir_ = scratch_.path() / "out";
    fs::path output_ = out_dir_ / "app.exe";
    fs::path launcher_ = scratch_.path() / "tavrin-launcher.exe";
};

// A console program with a version block and an icon group of its own: group 7 listing icons 5 and 6.
inline std::vector<tavrin::resource_entry> program_resources()
{
    tavrin::version_identity version;
    version.company = "Prog Co";
    version.product = "Prog";
    version.description = "Does things";
    version.original_filename = "prog.exe";
    version.version = {1, 2, 3, 4};
    version.product_version = {1, 2, 0, 0};
    std::vector<tavrin::icon_image> images;
    for (std::uint32_t side : {16, 32}) images.push_back(tavrin::parse_icon_file(png_image(side, side), "png").front());
    std::vector<tavrin::resource_entry> resources = tavrin::icon_resources(images);
    for (auto& resource : resources) {
        if (resource.type == tavrin::rt_icon) resource.name += 4;
        if (resource.type != tavrin::rt_group_icon) continue;
        resource.name = 7;
        for (std::size_t i = 0; i < 2; ++i) resource.data[6 + 14 * i + 12] = static_cast<char>(5 + i);
    }
    resources.push_back({tavrin::rt_version, 1, 0x409, tavrin::write_version_block(version)});
    return resources;
}

inline std::string version_text_of(const tavrin::package_identity& identity, const std::string& key)
{
    for (const auto& [text_key, value] : identity.version->texts)
        if (text_key == key) return value;
    return "<none>";
}

}  // namespace packer_test

#endif
