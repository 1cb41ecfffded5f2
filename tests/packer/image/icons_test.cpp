// Icons: a program entry's icon group and the --icon files held to the same rules, and images beyond
// what Windows uses refused.
#include <gtest/gtest.h>

#include <algorithm>

#include "packer/image/icons.h"
#include "tests/packer/pack_fixture.h"
#include "tests/support/packer_fixtures.h"

namespace {
using namespace packer_test;
namespace fs = std::filesystem;

// An icon group taken from a program is held to the rules of an --icon file, whatever it lists:
// refused with the file's words and a pointer to --icon, unless --icon replaces it.
TEST_F(PackTest, AProgramsIconGroupKeepsTheRulesOfAnIconFile)
{
    // Group 1 listing `ids`, each naming one of `icons` (id 1 upwards).
    auto program = [](const std::vector<std::uint16_t>& ids, const std::vector<std::string>& icons) {
        std::string group = tavrin::little_endian_bytes(0, 2) + tavrin::little_endian_bytes(1, 2) + tavrin::little_endian_bytes(ids.size(), 2);
        for (std::uint16_t id : ids)
            group += std::string("\x20\x20\0\0", 4) + tavrin::little_endian_bytes(1, 2) + tavrin::little_endian_bytes(32, 2) +
                     tavrin::little_endian_bytes(icons.at(id - 1).size(), 4) + tavrin::little_endian_bytes(id, 2);
        std::vector<tavrin::resource_entry> resources{{tavrin::rt_group_icon, 1, 0, group}};
        for (std::size_t i = 0; i < icons.size(); ++i) resources.push_back({tavrin::rt_icon, static_cast<std::uint32_t>(i + 1), 0, icons[i]});
        return program_image(3, resources);
    };
    const std::string small = png_image(32, 32);
    // A PNG image of 9 MiB: ancillary bytes between its header and its end.
    const std::string large = small.substr(0, small.size() - 12) + std::string(9 << 20, 'p') + small.substr(small.size() - 12);
    std::vector<std::uint16_t> many;
    std::vector<std::string> many_icons;
    for (std::uint16_t id = 1; id <= 65; ++id) {
        many.push_back(id);
        many_icons.push_back(png_image(id, id));
    }
    const std::string what = "the icon group of the program 'prog.exe': ";
    const struct {
        std::string image;
        std::string says;
    } cases[] = {
        {program({1, 1}, {small}), what + "images 1 and 2 share bytes"},
        {program({1, 2, 1}, {small, small}), what + "images 1 and 3 share bytes"},
        {program(many, many_icons), what + "65 images; an icon file may hold at most 64"},
        {program({1}, {png_image(512, 512)}), what + "image 1: the PNG image is 512x512 pixels"},
        {program({1, 2}, {large, large}), what + "its images add up to " + std::to_string(6 + 2 * 16 + 2 * large.size()) +
                                              " bytes; an icon file may have at most 16 MiB"},
    };
    const fs::path icon = scratch_.path() / "given.ico";
    write_file(icon, ico_file({small}));
    for (const auto& each : cases) {
        SCOPED_TRACE(each.says);
        add("prog.exe", each.image);
        const std::string refused = refusal<tavrin::pack_error>(options());
        EXPECT_EQ(refused.rfind(each.says, 0), 0u) << refused;
        const std::string hint = "; give the package its icon with --icon";
        EXPECT_EQ(refused.substr(refused.size() - std::min(refused.size(), hint.size())), hint);
        // With --icon the program's group is not taken, nor read.
        auto opts = options();
        opts.identity.icons = {icon};
        tavrin::pack_application(opts);
        EXPECT_EQ(tavrin::read_package_identity(output_).icons.size(), 1u);
        fs::remove(output_);
    }
}

TEST_F(PackTest, IconsBeyondWhatWindowsUsesAreRefused)
{
    // Each refused by name with exit code 1, before the output is written: more images than an icon
    // file may hold, images sharing bytes or lying over the directory, images above 256x256, what is
    // not a regular file (looked at, never read), a file above the size cap (sparse: not read either).
    add("app.dll", entry_dll());
    auto pack_with = [&](const fs::path& icon) {
        return run_tool(scratch_.path(), {arg(app_), "-o", arg(output_), "--launcher", arg(launcher_), "--icon", arg(icon), "-q"});
    };
    auto refused = [&](const fs::path& icon, const std::string& reason) {
        tool_run run = pack_with(icon);
        EXPECT_EQ(run.code, 1) << icon;
        EXPECT_NE(run.err.find("'" + arg(icon) + "'"), std::string::npos) << run.err;
        EXPECT_NE(run.err.find(reason), std::string::npos) << run.err;
        EXPECT_FALSE(fs::exists(output_)) << icon;
    };
    const std::string png = png_image(32, 32);
    std::string shared = ico_file({png, png});
    shared.replace(6 + 16 + 12, 4, shared, 6 + 12, 4);  // the second image at the first one's offset
    std::string over_directory = ico_file({png});
    over_directory[6 + 12] = 6;
    // A BITMAPINFOHEADER: 512 wide, 1,024 high with its mask.
    const std::string bitmap = std::string("\x28\0\0\0\0\x02\0\0\0\x04\0\0", 12) + std::string(92, '\0');
    for (const auto& [name, bytes, reason] : std::vector<std::tuple<std::string, std::string, std::string>>{
             {"many.ico", ico_file(std::vector<std::string>(65, png)), "65 images; an icon file may hold at most 64"},
             {"shared.ico", shared, "images 1 and 2 share bytes"},
             {"over.ico", over_directory, "image 1 overlaps the icon directory"},
             {"large.png", png_image(512, 256), "the PNG image is 512x256 pixels; Windows' icons have at most 256x256"},
             {"tall.ico", ico_file({png_image(256, 257)}), "image 1: the PNG image is 256x257 pixels"},
             {"bitmap.ico", ico_file({bitmap}), "image 1 is 512x512 pixels"}}) {
        write_file(scratch_.path() / name, bytes);
        refused(scratch_.path() / name, reason);
    }
    const fs::path directory = scratch_.path() / "icons.ico";
    fs::create_directories(directory);
    refused(directory, "is a directory, not an icon file");
#ifndef _WIN32
    for (const auto& [kind, what] : {std::pair(node_kind::fifo, "a FIFO"), std::pair(node_kind::character_device, "a character device")})
        if (make_node(kind, scratch_.path() / what).empty()) refused(scratch_.path() / what, std::string("is ") + what + ", not an icon file");
#endif
    const fs::path huge = scratch_.path() / "huge.ico";
    write_file(huge, ico_file({png}));
    fs::resize_file(huge, (16 << 20) + 1);
    refused(huge, "is 16777217 bytes; an icon file may have at most 16 MiB");

    write_file(scratch_.path() / "full.ico", ico_file(std::vector<std::string>(64, png_image(256, 256))));
    tool_run full = pack_with(scratch_.path() / "full.ico");
    EXPECT_EQ(full.code, 0) << full.err;
}

}  // namespace
