// Missing DLLs collected from --dll-path and the toolchain, what cannot be collected refused, and a
// collected DLL that would clash with the application's names.
#include <gtest/gtest.h>

#include "packer/base/helpers.h"
#include "packer/cli/report.h"
#include "packer/deps/imports.h"
#include "packer/image/pe_image.h"
#include "tests/packer/pack_fixture.h"
#include "tests/support/packer_fixtures.h"

namespace {
using namespace packer_test;
namespace fs = std::filesystem;

// A DLL that nothing provides is collected from the --dll-path directories in order, then from the
// toolchain's: beside its importer unless the loader finds it at the top, without its debug
// information (a signed one as it is), its own imports resolved in turn.
TEST_F(PackTest, MissingDllsAreCollected)
{
    image_spec own = dll_spec();
    own.debug_sections = {".debug_info"};
    add("app.dll", make_image(dll_spec({"kernel32.dll", "LIBFOO.DLL", "libsigned.dll"}, true)));
    add("plugins/plugin.dll", make_image(dll_spec({"libfoo.dll", "libplug.dll"})));
    add("own.dll", make_image(own));
    const fs::path first = scratch_.path() / "first", second = scratch_.path() / "second", toolchain = scratch_.path() / "toolchain";
    image_spec i386 = own;
    i386.machine = 0x14C;
    write_file(first / "libfoo.dll", make_image(i386));
    image_spec foo = own;
    foo.imports = {"libbar.dll"};
    foo.debug_sections = {".debug_info", ".debug_line"};
    const std::string foo_image = make_image(foo);
    write_file(second / "libfoo.dll", foo_image);
    image_spec signed_dll = foo;
    signed_dll.certificate = true;
    write_file(second / "libsigned.dll", make_image(signed_dll));
    write_file(second / "libplug.dll", make_image(dll_spec()));
    write_file(toolchain / "libbar.dll", make_image(dll_spec()));

    auto opts = options();
    opts.collect.dll_path = {first, second};
    opts.collect.toolchain = [&] { return tavrin::toolchain_runtime{"x86_64-w64-mingw32-g++-posix", {toolchain}}; };
    const tavrin::pack_result result = tavrin::pack_application(opts);
    const std::vector<unpacked_entry> entries = packed_entries();
    EXPECT_EQ(names_of(entries), (std::vector<std::u16string>{u"app.dll", u"libbar.dll", u"libfoo.dll", u"libsigned.dll", u"own.dll",
                                                              u"plugins\\libplug.dll", u"plugins\\plugin.dll"}));
    auto content = [&](const std::u16string& name) {
        for (const auto& entry : entries)
            if (entry.name == name) return entry.content;
        return std::string();
    };
    EXPECT_TRUE(content(u"own.dll") == make_image(own)) << "the application's own files are packed as they are";
    EXPECT_TRUE(content(u"libsigned.dll") == make_image(signed_dll)) << "a signed DLL is never altered";

    // The stripped copy: the same headers and sections up to the debug sections, which are gone with
    // the symbol and string tables; still an image whose imports read.
    const std::string stripped = content(u"libfoo.dll");
    std::istringstream in(stripped);
    const tavrin::pe_headers headers = tavrin::read_pe_headers(in, "stripped");
    EXPECT_EQ(headers.sections.size(), 2u);
    EXPECT_EQ(headers.symbol_table_offset, 0u);
    EXPECT_EQ(headers.symbol_count, 0u);
    EXPECT_EQ(stripped.size(), headers.end_of_raw_data());
    EXPECT_EQ(headers.size_of_image, headers.sections.back().virtual_address + section_alignment);
    EXPECT_TRUE(stripped.substr(headers.size_of_headers) == foo_image.substr(headers.size_of_headers, stripped.size() - headers.size_of_headers));
    EXPECT_EQ(tavrin::read_imports(in, headers, "stripped").load_time, std::vector<std::string>{"libbar.dll"});

    const std::string summary = tavrin::pack_summary(result, output_);
    for (const std::string& line : std::vector<std::string>{
         "\n  collected  libfoo.dll (" + tavrin::format_size(stripped.size()) + ", debug information dropped) from " + second.u8string() + "\n",
          "\n  collected  libsigned.dll (" + tavrin::format_size(make_image(signed_dll).size()) + ", packed as it is: signed) from " +
              second.u8string() + "\n",
          "\n  collected  libbar.dll (1.0 KiB) from " + toolchain.u8string() + "\n",
          "\n  collected  plugins\\libplug.dll (1.0 KiB) from " + second.u8string() + "\n"})
        EXPECT_NE(summary.find(line), std::string::npos) << line << summary;
}

// What nothing provides is refused, naming the copies passed over; so is a file of the package for
// another machine that an x86-64 image imports. --no-collect and --allow-missing collect nothing.
TEST_F(PackTest, WhatCannotBeCollectedIsRefused)
{
    image_spec i386 = dll_spec();
    i386.machine = 0x14C;
    add("app.dll", make_image(dll_spec({"libstdc++-6.dll", "helper32.dll", "libgood.dll"}, true)));
    add("helper32.dll", make_image(i386));
    const fs::path libs = scratch_.path() / "libs";
    write_file(libs / "libstdc++-6.dll", make_image(i386));
    write_file(libs / "libgood.dll", make_image(dll_spec()));

    auto opts = options();
    opts.collect.dll_path = {libs};
    std::string refused = refusal<tavrin::import_error>(opts);
    for (const std::string& part : std::vector<std::string>{
         "2 DLLs that the application imports are built for another machine:\n",
          "\n  'app.dll' imports 'libstdc++-6.dll' (found only a 32-bit (i386) copy at '" + (libs / "libstdc++-6.dll").u8string() + "')\n",
          "\n  'helper32.dll' is built for 32-bit x86 (machine 0x014c), not x86-64; 'app.dll' imports it\n",
          "Collection looked in '" + libs.u8string() + "' (--dll-path)", "--dll-path DIR (DLL_PATH in tavrin_add_onefile)"})
        EXPECT_NE(refused.find(part), std::string::npos) << part << "\n" << refused;
    EXPECT_EQ(refused.find("libgood"), std::string::npos) << refused;
    EXPECT_EQ(refused.find("--allow-missing"), std::string::npos) << "accepted, they would stop every start\n" << refused;

    // Without collection the runtime is missing, not built for another machine: only it may be accepted.
    opts.collect.enabled = false;
    refused = refusal<tavrin::import_error>(opts);
    EXPECT_EQ(refused.rfind("a DLL that the application imports is built for another machine:\n", 0), 0u) << refused;
    EXPECT_NE(refused.find("\n2 DLLs that the application imports are missing:\n"), std::string::npos) << refused;
    EXPECT_NE(refused.find("'app.dll' imports 'libgood.dll'\n"), std::string::npos) << refused;
    EXPECT_NE(refused.find("leave out --no-collect"), std::string::npos) << refused;
    EXPECT_NE(refused.find("accept each missing one knowingly with --allow-missing NAME"), std::string::npos) << refused;

    opts.collect.enabled = true;
    opts.allowed_missing = {"LIBSTDC++-6.DLL", "helper32.dll"};
    tavrin::pack_application(opts);
    EXPECT_EQ(names_of(packed_entries()), (std::vector<std::u16string>{u"app.dll", u"helper32.dll", u"libgood.dll"}));
}

// A collected DLL is named where its importer's loader looks; a name of the application's that
// Windows would take for the same path refuses the packing before anything is written.
TEST_F(PackTest, ACollectedDllMayNotClashWithTheApplicationsNames)
{
    const fs::path libs = scratch_.path() / "libs";
    write_file(libs / "libstdc++-6.dll", make_image(dll_spec()));
    write_file(libs / "libfoo.dll", make_image(dll_spec()));
    const struct {
        std::string directory;  // of the application's, holding x.txt
        std::string file, dll;  // the names that clash
    } cases[] = {
        {"libstdc++-6.dll", "libstdc++-6.dll", "libstdc++-6.dll\\x.txt"},
        {"LIBSTDC++-6.DLL", "libstdc++-6.dll", "LIBSTDC++-6.DLL\\x.txt"},
        {"plugins/LibFoo.dll", "plugins\\libfoo.dll", "plugins\\LibFoo.dll\\x.txt"},
    };
    for (const auto& each : cases) {
        SCOPED_TRACE(each.directory);
        fs::remove_all(app_);
        add("app.dll", make_image(dll_spec({"libstdc++-6.dll"}, true)));
        add("plugins/plugin.dll", make_image(dll_spec({"libfoo.dll"})));
        add(fs::path(each.directory) / "x.txt", "x");
        auto opts = options();
        opts.collect.dll_path = {libs};
        const std::string refused = refusal<tavrin::name_error>(opts);
        EXPECT_NE(refused.find("the file '" + each.file + "' stands where '" + each.dll + "' needs a directory"), std::string::npos)
            << refused;
        EXPECT_NE(refused.find("'" + each.file + "' is a DLL collected for the application"), std::string::npos) << refused;
    }
    // Without the clash the same DLLs are collected.
    fs::remove_all(app_);
    add("app.dll", make_image(dll_spec({"libstdc++-6.dll"}, true)));
    auto opts = options();
    opts.collect.dll_path = {libs};
    EXPECT_EQ(tavrin::pack_application(opts).collected.size(), 1u);
}

}  // namespace
