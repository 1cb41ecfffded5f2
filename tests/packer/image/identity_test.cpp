// The package's identity: the manifest level, the neutral defaults and the description, from the
// options or a program entry's own.
#include <gtest/gtest.h>

#include <optional>

#include "packer/cli/report.h"
#include "tests/packer/pack_fixture.h"
#include "tests/support/packer_fixtures.h"

namespace {
using namespace packer_test;
namespace fs = std::filesystem;

// The package's manifest asks for the program entry's own execution level unless --manifest-level
// says otherwise; a DLL entry's default is asInvoker. The summary says which level and whence.
TEST_F(PackTest, TheManifestLevelIsTheProgramsUnlessGiven)
{
    image_spec spec = launcher_spec();
    spec.resources = {{tavrin::rt_manifest, 1, 0,
                       "<assembly><trustInfo><requestedExecutionLevel level=\"asInvoker\" uiAccess=\"false\"/></trustInfo></assembly>"}};
    write_file(launcher_, make_image(spec));
    auto manifest = [](const std::string& element) {
        return std::vector<tavrin::resource_entry>{{tavrin::rt_manifest, 1, 0x409, "<assembly><ms_asmv3:security>" + element + "</ms_asmv3:security></assembly>"}};
    };
    const struct {
        std::string program;  // empty: a DLL entry
        std::optional<tavrin::execution_level> given;
        const char* level;
        const char* source;
    } cases[] = {
        {program_image(3, manifest("<ms_asmv3:requestedExecutionLevel level=\"requireAdministrator\" uiAccess=\"false\"/>")),
         std::nullopt, "requireAdministrator", "the program's manifest"},
        {program_image(2, manifest("<requestedExecutionLevel uiAccess='false'\n  level = 'highestAvailable'/>")), std::nullopt,
         "highestAvailable", "the program's manifest"},
        {pe32_program(3, 0x1, manifest("<requestedExecutionLevel level=\"requireAdministrator\"/>")), std::nullopt,
         "requireAdministrator", "the program's manifest"},
        {program_image(3, manifest("<requestedExecutionLevel level=\"requireAdministrator\"/>")), tavrin::execution_level::as_invoker,
         "asInvoker", "--manifest-level"},
        {program_image(3, manifest("<requestedExecutionLevel level=\"root\"/>")), std::nullopt, "asInvoker", "the default"},
        {program_image(3), std::nullopt, "asInvoker", "the default"},
        {program_image(3), tavrin::execution_level::highest_available, "highestAvailable", "--manifest-level"},
        {"", std::nullopt, "asInvoker", "the default"},
    };
    for (const auto& each : cases) {
        SCOPED_TRACE(std::string(each.level) + " from " + each.source);
        fs::remove_all(app_);
        add(each.program.empty() ? "app.dll" : "prog.exe", each.program.empty() ? entry_dll() : each.program);
        auto opts = options();
        opts.identity.level = each.given;
        const tavrin::pack_result result = tavrin::pack_application(opts);
        EXPECT_EQ(tavrin::read_package_identity(output_).level, each.level);
        const std::string summary = tavrin::pack_summary(result, output_);
        EXPECT_NE(summary.find(std::string("\n  manifest   execution level ") + each.level + " (" + each.source + ")\n"), std::string::npos)
            << summary;
        const std::string manifest_bytes = read_file(output_);
        EXPECT_NE(manifest_bytes.find(std::string("level=\"") + each.level + "\" uiAccess=\"false\""), std::string::npos);
    }
    fs::remove_all(app_);
    add("prog.exe", program_image(3, manifest("<requestedExecutionLevel level=\"root\"/>")));
    const tavrin::pack_result result = tavrin::pack_application(options());
    ASSERT_EQ(result.warnings.size(), 1u);
    EXPECT_EQ(result.warnings.front(), "the program 'prog.exe': its manifest asks for the execution level 'root', which is none of "
                                       "asInvoker, highestAvailable and requireAdministrator; the package does not take it");
}

// Without identity options nothing of the launcher's own identity shows; the cached default spec
// leaves out the empty company.
TEST_F(PackTest, ANeutralFaceByDefault)
{
    add("app.dll", entry_dll());
    tavrin::pack_application(options());
    tavrin::package_identity identity = tavrin::read_package_identity(output_);
    ASSERT_TRUE(identity.version);
    EXPECT_EQ(version_text_of(identity, "CompanyName"), "");
    EXPECT_EQ(version_text_of(identity, "ProductName"), "app");
    EXPECT_EQ(version_text_of(identity, "FileDescription"), "app");
    EXPECT_EQ(version_text_of(identity, "InternalName"), "app");
    EXPECT_EQ(version_text_of(identity, "ProductVersion"), "0.0.0.0");
    for (auto [key, value] : identity.version->texts) {
        for (char& c : value) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        for (const char* ours : {"vx bench", "launcher", "tavrin"}) EXPECT_EQ(value.find(ours), std::string::npos) << key;
    }

    auto opts = options();
    opts.settings.cached = true;
    tavrin::pack_application(opts);
    EXPECT_EQ(tavrin::package_settings(output_)->unpack_spec, u"{CACHE_DIR}\\{PRODUCT}\\{VERSION}");
    opts.identity.company = "Acme";
    tavrin::pack_application(opts);
    EXPECT_EQ(tavrin::package_settings(output_)->unpack_spec, u"{CACHE_DIR}\\{COMPANY}\\{PRODUCT}\\{VERSION}");
    // A product made of the output's name reaches the path, and is checked as a name.
    fs::remove(output_);
    opts.output = out_dir_ / "trailing..exe";
    EXPECT_NE(refusal<tavrin::spec_error>(opts).find("ProductName"), std::string::npos);
}

// The description is the product's unless given: the product given, the program's, or the default's;
// a program's own description stays.
TEST_F(PackTest, TheDescriptionFollowsTheProduct)
{
    tavrin::version_identity named;
    named.product = "Named";
    const std::vector<tavrin::resource_entry> product_only = {{tavrin::rt_version, 1, 0x409, tavrin::write_version_block(named)}};
    struct description_case {
        std::string entry;  // "app.dll", else a program with these resources
        std::vector<tavrin::resource_entry> resources;
        std::optional<std::string> product, description;
        std::string expected;
    };
    const std::vector<description_case> cases = {
        {"app.dll", {}, std::nullopt, std::nullopt, "app"},
        {"app.dll", {}, "Mine", std::nullopt, "Mine"},
        {"app.dll", {}, "Mine", "Says", "Says"},
        {"prog.exe", product_only, std::nullopt, std::nullopt, "Named"},
        {"prog.exe", product_only, "Mine", std::nullopt, "Mine"},
        {"prog.exe", program_resources(), "Mine", std::nullopt, "Does things"},
    };
    for (const auto& each : cases) {
        fs::remove_all(app_);
        add(each.entry, each.entry == "app.dll" ? entry_dll() : program_image(3, each.resources));
        auto opts = options();
        opts.identity.product = each.product;
        opts.identity.description = each.description;
        tavrin::pack_application(opts);
        EXPECT_EQ(version_text_of(tavrin::read_package_identity(output_), "FileDescription"), each.expected)
            << each.entry << " " << each.product.value_or("-");
    }
}

}  // namespace
