// PE32+ images: the headers and exports the packer reads, the images it refuses, and the section it
// adds, checked field by field at their offsets and, where the tool is installed, by objdump.
#include <gtest/gtest.h>

#include <cstdlib>
#include <optional>
#include <regex>
#include <sstream>

#include "packer/base/helpers.h"
#include "packer/image/pe_image.h"
#include "packer/image/resource_section.h"
#include "packer/image/version_block.h"
#include "resources/version_strings.h"
#include "tests/support/packer_fixtures.h"

namespace {
using namespace packer_test;

tavrin::pe_headers headers_of(const std::string& image)
{
    std::istringstream in(image);
    return tavrin::read_pe_headers(in, "test image");
}

// The message of the image_error that `action` throws; empty (and a failure) when it throws none.
template <typename Action>
std::string image_error_of(Action action)
{
    try {
        action();
    } catch (const tavrin::image_error& error) {
        return error.what();
    }
    ADD_FAILURE() << "no image_error";
    return {};
}

// `image` with a section holding `content` added by the packer.
std::string attach(const std::string& image, const std::string& content)
{
    std::istringstream in(image);
    auto headers = tavrin::read_pe_headers(in, "test image");
    std::stringstream out;
    std::uint64_t length = tavrin::write_image_with_section(in, headers, out, [&](std::ostream& stream) { stream << content; });
    EXPECT_EQ(length, content.size());
    return out.str();
}

TEST(PeHeaders, ReadsTheLayoutOfAnImage)
{
    image_spec spec;
    spec.extra_sections = {".rdata", ".data"};
    const std::string image = make_image(spec);
    auto headers = headers_of(image);
    EXPECT_FALSE(headers.is_dll());
    EXPECT_EQ(headers.file_size, image.size());
    EXPECT_EQ(headers.end_of_raw_data(), image.size());
    EXPECT_EQ(headers.end_of_sections(), 0x4000u);
    EXPECT_EQ(headers.section_table_offset, section_table_at);
    EXPECT_EQ(headers.spare_section_headers, 1u);
    ASSERT_EQ(headers.sections.size(), 3u);
    EXPECT_EQ(headers.sections[2].name, ".data");
    EXPECT_EQ(headers.sections[2].virtual_address, 0x3000u);
    EXPECT_EQ(headers.sections[2].raw_offset, 0x600u);
    EXPECT_EQ(headers.file_offset(0x3010, 0x10), std::optional<std::uint64_t>(0x610));
    EXPECT_EQ(headers.file_offset(0x3000, 0x201), std::nullopt) << "beyond the section's raw data";
    EXPECT_EQ(headers.file_offset(0x8000, 1), std::nullopt);

    spec.dll = true;
    EXPECT_TRUE(headers_of(make_image(spec)).is_dll());
}

TEST(PeHeaders, RefusesWhatIsNotPe32PlusForX86_64)
{
    const std::string good = make_image({});
    auto refused = [](std::string image) { return image_error_of([&] { headers_of(image); }); };

    EXPECT_NE(refused("just text, no image at all, but long enough to hold a DOS header .....").find("no MZ header"),
              std::string::npos);
    EXPECT_NE(refused(good.substr(0, 0x50)).find("beyond the end"), std::string::npos);
    std::string no_signature = good;
    no_signature[nt_offset] = 'X';
    EXPECT_NE(refused(no_signature).find("no PE signature"), std::string::npos);

    image_spec i386;
    i386.machine = 0x14C;
    EXPECT_NE(refused(make_image(i386)).find("built for 32-bit x86 (machine 0x014c), not for x86-64"), std::string::npos);
    image_spec pe32;
    pe32.optional_magic = 0x10B;
    EXPECT_NE(refused(make_image(pe32)).find("32-bit PE32"), std::string::npos);

    std::string cut = good.substr(0, good.size() - 0x100);  // the last section runs past the end
    EXPECT_NE(refused(cut).find("beyond the end of the file"), std::string::npos);
    std::string bad_alignment = good;
    bad_alignment[optional_at + 36] = 0x30;  // file alignment 0x230
    EXPECT_NE(refused(bad_alignment).find("alignment"), std::string::npos);
}

// A program may be an IL-only AnyCPU .NET image (PE32 for 32-bit x86), which Windows runs as
// x86-64; any other 32-bit image is refused in read_pe_headers' words, and only programs are read so.
TEST(PeHeaders, AnAnyCpuDotNetProgramIsTakenForX86_64)
{
    const std::string x86 = "built for 32-bit x86 (machine 0x014c), not for x86-64 (0x8664)";
    const struct {
        std::optional<std::uint32_t> clr_flags;
        bool any_cpu;
    } cases[] = {
        {0x1, true},                // IL only, AnyCPU
        {0x1 | 0x8, true},          // and strong-name signed
        {0x20000 | 0x1, true},      // 32BITPREFERRED means nothing without 32BITREQUIRED
        {0x1 | 0x2, false},         // x86 only
        {0x1 | 0x2 | 0x20000, false},  // AnyCPU, 32-bit preferred: runs as a 32-bit process
        {0x0, false},               // mixed mode (C++/CLI): native 32-bit code
        {std::nullopt, false},      // no CLR header: a native 32-bit program
    };
    for (const auto& each : cases) {
        SCOPED_TRACE(each.clr_flags ? std::to_string(*each.clr_flags) : "native");
        std::istringstream in(pe32_program(3, each.clr_flags, {{tavrin::rt_manifest, 1, 0, "<x/>"}}));
        if (!each.any_cpu) {
            EXPECT_EQ(image_error_of([&] { tavrin::read_program_headers(in, "p"); }), "p: " + x86);
            continue;
        }
        const tavrin::pe_headers headers = tavrin::read_program_headers(in, "p");
        EXPECT_TRUE(headers.any_cpu);
        EXPECT_EQ(headers.subsystem, 3);
        EXPECT_EQ(headers.image_base, 0x400000u);
        EXPECT_EQ(tavrin::read_resources(in, headers, "p").at(0).data, "<x/>");
        EXPECT_EQ(image_error_of([&] { tavrin::read_pe_headers(in, "p"); }), "p: " + x86);
    }
    std::istringstream native(make_image({}));
    EXPECT_FALSE(tavrin::read_program_headers(native, "p").any_cpu);
}

TEST(PeExports, FindsANameInTheNameTable)
{
    image_spec spec;
    spec.dll = true;
    const std::string bare = make_image(spec);
    auto exports = [](const std::string& image, std::string_view name) {
        std::istringstream in(image);
        return tavrin::exports_name(in, headers_of(image), "dll", name);
    };
    EXPECT_FALSE(exports(bare, "run_code"));

    spec.exports = {"other", "run_code", "run_code_too"};
    const std::string image = make_image(spec);
    EXPECT_TRUE(exports(image, "run_code"));
    EXPECT_TRUE(exports(image, "run_code_too"));
    EXPECT_FALSE(exports(image, "run_cod"));

    // A name table that points outside the file is a damaged image, not a crash.
    std::string damaged = image;
    const std::uint32_t edata_raw = u32_at(image, section_table_at + 40 + 20);
    damaged[edata_raw + 35] = '\x7F';  // AddressOfNames far beyond the image
    EXPECT_NE(image_error_of([&] { exports(damaged, "run_code"); }).find("outside the file"), std::string::npos);
}

TEST(PeImports, ListsBothTablesAsTheLoaderWalksThem)
{
    image_spec spec;
    spec.dll = true;
    const std::string bare = make_image(spec);
    std::istringstream bare_in(bare);
    auto none = tavrin::read_imports(bare_in, headers_of(bare), "dll");
    EXPECT_TRUE(none.load_time.empty() && none.delay_loaded.empty());

    spec.imports = {"KERNEL32.dll", "helper.dll"};
    spec.delay_imports = {"later.dll"};
    const std::string image = make_image(spec);
    auto imports_of = [](const std::string& bytes) {
        std::istringstream in(bytes);
        return tavrin::read_imports(in, headers_of(bytes), "dll");
    };
    auto imports = imports_of(image);
    EXPECT_EQ(imports.load_time, spec.imports);
    EXPECT_EQ(imports.delay_loaded, spec.delay_imports);

    // The old delay-load form holds an address (of an image based below 4 GiB), not an RVA.
    const std::uint32_t idata = u32_at(image, section_table_at + 40 + 20), didat = u32_at(image, section_table_at + 80 + 20);
    std::string addresses = image;
    addresses.replace(optional_at + 24, 8, tavrin::little_endian_bytes(0x10000000, 8));
    addresses.replace(didat, 8, tavrin::little_endian_bytes(0, 4) + tavrin::little_endian_bytes(0x10000000 + u32_at(image, didat + 4), 4));
    EXPECT_EQ(imports_of(addresses).delay_loaded, spec.delay_imports);

    // A descriptor without an import address table ends the walk; a name outside the file is damage.
    std::string ended = image;
    ended.replace(idata + 20 + 16, 4, std::string(4, '\0'));
    EXPECT_EQ(imports_of(ended).load_time, std::vector<std::string>{"KERNEL32.dll"});
    std::string damaged = image;
    damaged[idata + 20 + 15] = '\x7F';
    EXPECT_NE(image_error_of([&] { imports_of(damaged); }).find("outside the file"), std::string::npos);

    // Names are kept as long as they are, and never more of them than the file holds, whatever
    // number of descriptors points at one.
    EXPECT_EQ(imports_of(import_descriptors_dll(300, 10)).load_time.size(), 300u);
    EXPECT_NE(image_error_of([&] { imports_of(import_descriptors_dll(300, 1000)); })
                  .find("its imported DLL names add up to more bytes than the file holds"),
              std::string::npos);

    // Images are recognised by their content.
    std::istringstream text("MZ followed by text, long enough for a DOS header, but no PE signature ......");
    EXPECT_EQ(tavrin::pe_machine(text), std::nullopt);
    image_spec i386;
    i386.machine = 0x14C;
    std::istringstream other(make_image(i386));
    EXPECT_EQ(tavrin::pe_machine(other), std::optional<std::uint16_t>(0x14C));
}

TEST(AttachSection, TheNewSectionFieldByField)
{
    image_spec spec;
    spec.extra_sections = {".rdata"};
    const std::string image = make_image(spec);
    const std::string content(1000, '\xA5');
    const std::string out = attach(image, content);
    // The data starts at the next page boundary of the file, so that it can be mapped, not copied.
    const std::size_t data_at = (image.size() + 4095) / 4096 * 4096;
    ASSERT_GT(data_at, image.size());

    const std::uint32_t header = section_table_at + 2 * 40;
    EXPECT_EQ(out.substr(header, 8), std::string(".tavrin\0", 8));
    EXPECT_EQ(u32_at(out, header + 8), 1000u) << "virtual size: the content's exact length";
    EXPECT_EQ(u32_at(out, header + 12), 0x3000u) << "right after the last section in memory";
    EXPECT_EQ(u32_at(out, header + 16), 1024u) << "raw size: rounded up to the file alignment";
    EXPECT_EQ(u32_at(out, header + 20), data_at) << "raw data: the first page boundary after the image";
    EXPECT_EQ(out.substr(header + 24, 12), std::string(12, '\0'));
    EXPECT_EQ(u32_at(out, header + 36), 0x40000040u) << "initialized data, read-only";

    EXPECT_EQ(u16_at(out, number_of_sections_at), 3u);
    EXPECT_EQ(u32_at(out, size_of_image_at), 0x4000u);
    EXPECT_EQ(u32_at(out, size_of_initialized_data_at), u32_at(image, size_of_initialized_data_at) + 1024);
    EXPECT_EQ(u32_at(out, checksum_at), 0u);

    ASSERT_EQ(out.size(), data_at + 1024) << "nothing after the new section's raw data";
    EXPECT_EQ(out.substr(image.size(), data_at - image.size()), std::string(data_at - image.size(), '\0'));
    EXPECT_EQ(out.substr(data_at, 1000), content);
    EXPECT_EQ(out.substr(data_at + 1000), std::string(24, '\0'));

    // Apart from the patched fields and the new header, the image is copied unchanged.
    std::string original = out.substr(0, image.size());
    for (std::size_t at : {std::size_t{number_of_sections_at}}) original.replace(at, 2, image, at, 2);
    for (std::size_t at : {std::size_t{size_of_image_at}, std::size_t{size_of_initialized_data_at}, std::size_t{checksum_at}})
        original.replace(at, 4, image, at, 4);
    original.replace(header, 40, image, header, 40);
    EXPECT_TRUE(original == image);

    // Read back as the launcher's table walk would find it.
    auto headers = headers_of(out);
    auto section = tavrin::find_attached_section(headers);
    ASSERT_TRUE(section);
    EXPECT_EQ(section->file_offset, data_at);
    EXPECT_EQ(section->length, 1000u);
    EXPECT_EQ(headers.end_of_raw_data(), out.size());
}

TEST(AttachSection, AlignedContentNeedsNoPadding)
{
    const std::string image = make_image({});
    const std::string out = attach(image, std::string(2 * file_alignment, 'z'));
    EXPECT_EQ(out.size(), (image.size() + 4095) / 4096 * 4096 + 2 * file_alignment);
    EXPECT_EQ(u32_at(out, section_table_at + 40 + 16), 2 * file_alignment);
    EXPECT_EQ(u32_at(out, size_of_image_at), 0x3000u);
    EXPECT_THROW(attach(image, ""), tavrin::image_error);
}

TEST(AttachSection, ObjdumpReadsTheResult)
{
#ifdef _WIN32
    GTEST_SKIP() << "host tool check";
#else
    if (std::system("command -v x86_64-w64-mingw32-objdump >/dev/null 2>&1") != 0)
        GTEST_SKIP() << "x86_64-w64-mingw32-objdump is not installed";
    scratch_directory scratch;
    image_spec spec;
    spec.extra_sections = {".rdata"};
    write_file(scratch.path() / "out.exe", attach(make_image(spec), std::string(5000, 'b')));
    const std::string command = "x86_64-w64-mingw32-objdump -h -p '" + (scratch.path() / "out.exe").string() + "' > '" +
                                (scratch.path() / "dump").string() + "' 2>&1";
    EXPECT_EQ(std::system(command.c_str()), 0);
    const std::string dump = read_file(scratch.path() / "dump");
    // Size 0x1388 at 0x140003000, file offset 0x1000 (a page boundary), read-only data.
    EXPECT_TRUE(std::regex_search(dump, std::regex(" \\.tavrin +00001388 +0000000140003000 +0000000140003000 +00001000 .*\\n"
                                                   " +CONTENTS, ALLOC, LOAD, READONLY, DATA\\n")))
        << dump;
    EXPECT_NE(dump.find("SizeOfImage\t\t00005000"), std::string::npos) << dump;
    EXPECT_NE(dump.find("CheckSum\t\t00000000"), std::string::npos) << dump;
#endif
}

TEST(AttachSection, RefusedLauncherImages)
{
    auto refused = [](const image_spec& spec) {
        return image_error_of([&] { tavrin::check_launcher_image(headers_of(make_image(spec)), "launcher"); });
    };
    EXPECT_NO_THROW(tavrin::check_launcher_image(headers_of(make_image({})), "launcher"));

    image_spec dll;
    dll.dll = true;
    EXPECT_NE(refused(dll).find("DLL"), std::string::npos);
    image_spec packed;
    packed.extra_sections = {".tavrin"};
    EXPECT_NE(refused(packed).find("already holds an application"), std::string::npos);
    image_spec overlay;
    overlay.overlay = "symbols";
    EXPECT_NE(refused(overlay).find("7 bytes follow the last section"), std::string::npos);
    image_spec signed_image;
    signed_image.certificate = true;
    EXPECT_NE(refused(signed_image).find("signed"), std::string::npos);
    image_spec full;  // four section headers leave 24 bytes before the first section's data at 0x200
    full.extra_sections = {".a", ".b", ".c"};
    EXPECT_NE(refused(full).find("no room"), std::string::npos);
    image_spec one_slot;  // three leave room for one, and the packer adds two
    one_slot.extra_sections = {".a", ".b"};
    EXPECT_NE(refused(one_slot).find("no room for two"), std::string::npos);
    image_spec bound;
    bound.bound_imports_after_table = true;
    EXPECT_NE(refused(bound).find("no room"), std::string::npos);

    // A launcher that already went through the packer is refused a second time.
    EXPECT_NE(image_error_of([&] {
                  tavrin::check_launcher_image(headers_of(attach(make_image({}), "block")), "launcher");
              }).find("already holds"),
              std::string::npos);
}

}  // namespace

namespace {

// `image` written by the packer with a new resource section of `resources` and `subsystem`.
std::string attach_with_resources(const std::string& image, const std::vector<tavrin::resource_entry>& resources,
                                  std::uint16_t subsystem)
{
    std::istringstream in(image);
    auto headers = tavrin::read_pe_headers(in, "test image");
    tavrin::image_edits edits;
    edits.subsystem = subsystem;
    edits.resources = [&](std::uint32_t rva) { return tavrin::write_resource_section(resources, rva); };
    std::stringstream out;
    tavrin::write_image_with_section(in, headers, out, [](std::ostream& stream) { stream << "block"; }, edits);
    return out.str();
}

std::vector<tavrin::resource_entry> resources_of(const std::string& image)
{
    std::istringstream in(image);
    return tavrin::read_resources(in, headers_of(in.str()), "test image");
}

}  // namespace

TEST(AttachSection, NewResourcesReplaceTheOldAndKeepEveryAddress)
{
    const std::vector<tavrin::resource_entry> first = {
        {24, 1, 0, "<manifest/>"}, {3, 2, 0, std::string(300, 'b')}, {3, 1, 0, "icon one"}, {16, 1, 0, "v"}, {3, 1, 1033, "other language"}};
    const std::string once = attach_with_resources(make_image({}), first, tavrin::pe_subsystem_console);
    auto headers = headers_of(once);
    EXPECT_EQ(headers.subsystem, tavrin::pe_subsystem_console);
    auto read = resources_of(once);
    ASSERT_EQ(read.size(), first.size());
    // Sorted by type, name and language, the data as given.
    EXPECT_EQ(read[0].type, 3u);
    EXPECT_EQ(read[0].name, 1u);
    EXPECT_EQ(read[0].data, "icon one");
    EXPECT_EQ(read[1].language, 1033u);
    EXPECT_EQ(read[2].data, std::string(300, 'b'));
    EXPECT_EQ(read[4].data, "<manifest/>");
    EXPECT_THROW(tavrin::write_resource_section({{3, 1, 0, "a"}, {3, 1, 0, "b"}}, 0x1000), tavrin::image_error);

    // The new resource section comes before the attached data, whose data stays on a page boundary.
    ASSERT_EQ(headers.sections.size(), 3u);
    const tavrin::pe_section resources = headers.sections[1];
    EXPECT_EQ(resources.name, ".rsrc");
    EXPECT_EQ(headers.directories[tavrin::pe_resource_directory].address, resources.virtual_address);
    EXPECT_EQ(tavrin::find_attached_section(headers)->file_offset % 4096, 0u);

    // Without its attached data, that image is a launcher with resources. Packed again, its old
    // resource section keeps its addresses without data (the real launcher's .reloc, after it,
    // moves down: tests/integration/check_identity.py).
    std::string launcher = once.substr(0, resources.raw_offset + resources.raw_size);
    launcher.replace(section_table_at + 2 * 40, 40, std::string(40, '\0'));
    launcher.replace(number_of_sections_at, 2, std::string("\x02\x00", 2));
    EXPECT_NO_THROW(tavrin::check_launcher_image(headers_of(launcher), "launcher"));
    const std::string twice = attach_with_resources(launcher, {{16, 1, 0, "n"}}, tavrin::pe_subsystem_windows);
    auto again = headers_of(twice);
    EXPECT_EQ(again.subsystem, tavrin::pe_subsystem_windows);
    ASSERT_EQ(again.sections.size(), 4u);
    EXPECT_EQ(again.sections[1].name, ".oldrsrc");
    EXPECT_EQ(again.sections[1].virtual_address, resources.virtual_address);
    EXPECT_EQ(again.sections[1].raw_size, 0u);
    EXPECT_EQ(again.sections[2].name, ".rsrc");
    EXPECT_EQ(again.sections[2].raw_offset, resources.raw_offset) << "in the old resources' place in the file";
    EXPECT_GT(again.sections[2].virtual_address, resources.virtual_address);
    auto twice_read = resources_of(twice);
    ASSERT_EQ(twice_read.size(), 1u);
    EXPECT_EQ(twice_read[0].data, "n");
    EXPECT_EQ(twice.substr(0x200, 0x200), once.substr(0x200, 0x200)) << ".text stays as it was";
}

TEST(AttachSection, DamagedResourceTreesAreRefused)
{
    const std::string good = attach_with_resources(make_image({}), {{16, 1, 0, "version"}, {24, 1, 0, "manifest"}}, 0);
    auto headers = headers_of(good);
    const std::uint32_t tree = headers.sections[1].raw_offset;
    auto damaged = [&](std::size_t at, std::uint32_t value) {
        std::string image = good;
        image.replace(tree + at, 4, std::string{static_cast<char>(value), static_cast<char>(value >> 8),
                                               static_cast<char>(value >> 16), static_cast<char>(value >> 24)});
        return image_error_of([&] { resources_of(image); });
    };
    EXPECT_EQ(resources_of(good).size(), 2u);
    EXPECT_NE(damaged(16 + 4, 0x8000F000u).find("outside the resource section"), std::string::npos);  // a table far away
    EXPECT_NE(damaged(16, 0x80000010u).find("named by text"), std::string::npos);
    EXPECT_NE(damaged(16 + 4, 0x00000000u).find("three levels"), std::string::npos);  // data at the type level
    EXPECT_NE(damaged(12, 0xFFFF0000u).find("outside the resource section"), std::string::npos);  // 65,535 entries
}

TEST(VersionBlock, WrittenAndReadBackAsTheLauncherReadsIt)
{
    tavrin::version_identity identity = tavrin::default_version_identity();
    identity.company = "Acme \xe2\x80\x94 \xf0\x9f\x98\x80";  // beyond the BMP too
    identity.original_filename = "Tool.EXE";
    identity.version = identity.product_version = tavrin::parse_version_numbers("2.3");
    const std::string block = tavrin::write_version_block(identity);
    const auto* bytes = reinterpret_cast<const unsigned char*>(block.data());
    auto text = [&](const char* key, std::size_t size) {
        wchar_t value[version_text_capacity];
        if (!find_version_text(bytes, size, key, value)) return std::u16string(u"<none>");
        std::u16string units;
        for (const wchar_t* unit = value; *unit != 0; ++unit) units.push_back(static_cast<char16_t>(*unit));
        return units;
    };
    EXPECT_EQ(text("CompanyName", block.size()), u"Acme \u2014 \U0001F600");
    EXPECT_EQ(text("FileVersion", block.size()), u"2.3.0.0");
    EXPECT_EQ(text("InternalName", block.size()), u"Tool");
    EXPECT_EQ(text("Company", block.size()), u"<none>");
    auto contents = tavrin::read_version_block(block);
    EXPECT_EQ(contents.product_version, (tavrin::version_numbers{2, 3, 0, 0}));
    EXPECT_EQ(contents.texts.size(), 8u);

    // Cut short anywhere, or a node longer than its parent: the value is not found, never read
    // from beyond the block.
    for (std::size_t size = 0; size < block.size(); ++size) EXPECT_EQ(text("LegalCopyright", size), u"<none>") << size;
    std::string longer = block;
    longer[0x5C] = longer[0x5D] = '\xFF';  // StringFileInfo's length
    bytes = reinterpret_cast<const unsigned char*>(longer.data());
    EXPECT_EQ(text("CompanyName", longer.size()), u"<none>");

    EXPECT_THROW(tavrin::parse_version_numbers("1.2.3.4.5"), tavrin::pack_error);
    identity.product = "\xff";
    EXPECT_THROW(tavrin::write_version_block(identity), tavrin::pack_error);
    identity.product = std::string(1024, 'p');
    EXPECT_THROW(tavrin::write_version_block(identity), tavrin::pack_error);
    identity.product = std::string(1023, 'p');
    EXPECT_NO_THROW(tavrin::write_version_block(identity));
}
