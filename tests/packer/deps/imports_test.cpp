// The imports check: the DLLs Windows provides, and imports found in the package where the loader
// looks.
#include <gtest/gtest.h>

#include "packer/deps/imports.h"
#include "tests/packer/pack_fixture.h"
#include "tests/support/packer_fixtures.h"

namespace {
using namespace packer_test;
namespace fs = std::filesystem;

TEST(SystemDlls, WindowsProvidesTheseButNoRuntimeOfACompiler)
{
    for (const char* name : {"kernel32.dll", "KERNEL32.DLL", "Kernel32", "ws2_32.dll", "ucrtbase.dll", "d3d11.dll", "winspool.drv",
                             "api-ms-win-core-synch-l1-2-0.dll", "API-MS-WIN-CRT-STDIO-L1-1-0.DLL", "ext-ms-win-ntuser-window-l1-1-0.dll"})
        EXPECT_TRUE(tavrin::is_system_dll(name)) << name;
    for (const char* name : {"vcruntime140.dll", "vcruntime140_1.dll", "msvcp140.dll", "libstdc++-6.dll", "libgcc_s_seh-1.dll",
                             "libwinpthread-1.dll", "d3dx9_43.dll", "xinput1_3.dll", "vulkan-1.dll", "kernel32.dll.bak"})
        EXPECT_FALSE(tavrin::is_system_dll(name)) << name;
}

TEST_F(PackTest, ImportsAreFoundInThePackageWhereTheLoaderLooksOrInWindows)
{
    image_spec app;
    app.dll = true;
    app.exports = {"run_code"};
    app.imports = {"KERNEL32.dll", "msvcrt.dll", "api-ms-win-crt-runtime-l1-1-0.dll", "Helper.DLL", "libstdc++-6.dll", "vcruntime140.dll"};
    image_spec plugin;
    plugin.dll = true;
    plugin.imports = {"USER32.dll", "sibling.dll", "missing-helper.dll"};
    plugin.delay_imports = {"later.dll"};
    image_spec dll;
    dll.dll = true;
    add("app.dll", make_image(app));
    add("helper.dll", make_image(dll));
    add("plugins/one/plugin.bin", make_image(plugin));  // an image by its content, whatever its name
    add("plugins/one/SIBLING.DLL", make_image(dll));
    add("plugins/two/missing-helper.dll", make_image(dll));
    add("plugins/one/damaged.dll", make_image(dll).substr(0, file_alignment));  // its section cut off

    std::string refused = refusal<tavrin::import_error>(options());
    for (const char* part :
         {"3 DLLs that the application imports are missing:\n", "\n  'app.dll' imports 'libstdc++-6.dll'\n",
          "\n  'app.dll' imports 'vcruntime140.dll'\n",
          "\n  'plugins\\one\\plugin.bin' imports 'missing-helper.dll' (the package has it as 'plugins\\two\\missing-helper.dll', "
          "where the loader does not look)\n",
          "-static", "Visual C++ runtime", "--allow-missing NAME"})
        EXPECT_NE(refused.find(part), std::string::npos) << part << "\n" << refused;
    for (const char* found : {"KERNEL32", "msvcrt", "api-ms-win", "Helper", "USER32", "sibling", "later.dll"})
        EXPECT_EQ(refused.find(found), std::string::npos) << found << "\n" << refused;

    auto opts = options();
    opts.allowed_missing = {"LIBSTDC++-6.DLL", "vcruntime140.dll", "Missing-Helper.dll"};
    std::vector<std::string> told;
    opts.warning = [&](const std::string& warning) { told.push_back(warning); };
    EXPECT_EQ(tavrin::pack_application(opts).warnings, told);
    ASSERT_EQ(told.size(), 2u);
    EXPECT_EQ(told[0].rfind("'plugins\\one\\damaged.dll': damaged PE image", 0), 0u) << told[0];
    EXPECT_NE(told[0].find("imports are not checked"), std::string::npos) << told[0];
    EXPECT_EQ(told[1].rfind("'plugins\\one\\plugin.bin' delay-loads 'later.dll', which is neither", 0), 0u) << told[1];
}

}  // namespace
