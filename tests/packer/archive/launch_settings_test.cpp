// The unpack directory (--unpack-dir) as the packer checks it, the values that draw warnings, and
// the record's flags written and read back.
#include <gtest/gtest.h>

#include <sstream>

#include "packer/archive/launch_settings.h"
#include "format/settings_record.h"
#include "tests/packer/pack_fixture.h"
#include "tests/support/packer_fixtures.h"

#ifndef _WIN32
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <cstring>
#endif

namespace {
using namespace packer_test;
namespace fs = std::filesystem;

TEST_F(PackTest, UnpackDirectorySpecsAreChecked)
{
    struct spec_case {
        std::u16string spec;
        bool cached;
        const char* refusal;  // nullptr: accepted
    };
    const spec_case cases[] = {
        {u"{TEMP}\\app_{RANDOM}", false, nullptr},
        {u"{temp}\\app_{pid}", false, nullptr},
        {u"C:\\Apps\\x{TIME_US}", false, nullptr},
        {u"\\\\server\\share\\{TIME}", false, nullptr},
        {u"{CACHE_DIR}\\{COMPANY}\\{PRODUCT}", true, nullptr},
        {u"{HOME}\\.cache\\{PRODUCT}-{VERSION}", true, nullptr},
        {u"{EXE_DIR}\\cache", true, nullptr},
        {u"{TEMP}\\nul_{PID}", false, nullptr},
        {u"{TEMP}\\app", false, "same for every run"},
        {u"{TEMP}\\app_{RANDOM}", true, "changes from run to run"},
        {u"{TEMP}\\{NOPE}{PID}", false, "unknown placeholder {NOPE}"},
        {u"{TEMP}\\{RAN{DOM}", false, "'{' inside a placeholder"},
        {u"{TEMP}\\a}{PID}", false, "'}' without its '{'"},
        {u"{TEMP}\\a{PID", false, "never closed"},
        {u"app\\{RANDOM}", false, "not absolute"},
        {u"{PROGRAM_DIR}\\{RANDOM}", false, "not absolute"},
        {u"\\\\server{PID}", false, "not absolute"},
        {u"{TEMP}{PID}", false, "separate its root"},
        {u"{TEMP}\\..\\{PID}", false, "'..' component"},
        {u"{TEMP}\\a\\\\{PID}", false, "empty"},
        {u"{TEMP}/a{PID}", false, "cannot hold"},
        {u"{TEMP}\\a?{PID}", false, "cannot hold"},
        {u"{TEMP}\\a:b{PID}", false, "':' after its root"},
        {u"{TEMP}\\{PID}" + std::u16string(600, u'a'), false, "longer than 511"},
        // Components Windows would not keep as written, a placeholder counting as a name character.
        {u"{TEMP}\\CON\\{PID}", false, "for a device"},
        {u"{TEMP}\\nul.txt_{PID}", false, "for a device"},
        {u"{TEMP}\\a.\\{PID}", false, "ending in '.' or ' '"},
        {u"{TEMP}\\{PID}.", false, "ending in '.' or ' '"},
        {u"{TEMP}\\{PID} ", false, "ending in '.' or ' '"},
        {u"{TEMP}\\{HOME}{PID}", false, "can only start a spec"},
    };
    for (const auto& each : cases) {
        SCOPED_TRACE(tavrin::to_utf8(each.spec));
        try {
            tavrin::check_unpack_spec(each.spec, each.cached);
            EXPECT_EQ(each.refusal, nullptr) << "accepted";
        } catch (const tavrin::spec_error& error) {
            ASSERT_NE(each.refusal, nullptr) << error.what();
            EXPECT_NE(std::string(error.what()).find(each.refusal), std::string::npos) << error.what();
        }
    }

    // The whole unpack path within the launcher's buffer: "C:\", the value, "\" and a one-unit name
    // within 4095 units; cached mode adds 60.
    for (bool cached : {false, true}) {
        const std::size_t fitting = cached ? 4030 : 4090;
        for (std::size_t length : {fitting, fitting + 1}) {
            const tavrin::known_value company{"COMPANY", std::u16string(length, u'c'), "--company"};
            try {
                tavrin::check_unpack_directory({cached, u"C:\\{COMPANY}", ""}, {company}, {u"n"});
                EXPECT_EQ(length, fitting) << cached;
            } catch (const tavrin::spec_error& error) {
                EXPECT_EQ(length, fitting + 1) << cached << error.what();
            }
        }
    }

    // On the command line a refused spec is a usage error, and nothing is written.
    add("app.dll", entry_dll());
    tool_run refused = run_tool(scratch_.path(), {arg(app_), "-o", arg(output_), "--launcher", arg(launcher_), "--unpack-dir", "{TEMP}\\x"});
    EXPECT_EQ(refused.code, 2) << refused.err;
    EXPECT_NE(refused.err.find("same for every run"), std::string::npos) << refused.err;
    EXPECT_FALSE(fs::exists(output_));
    // So are a version text that is no name in the spec or makes the path too long, and text that
    // is not UTF-8 (on Windows the command line is UTF-16 already); the message names the option.
    std::vector<std::pair<std::vector<std::string>, std::string>> usage_errors = {
        {{"--company", "..\\..\\..\\..\\..", "--product", "Public", "--cached"}, ""},
        {{"--product", "..", "--cached"}, ""},
        {{"--product", "What? <Pro>", "--cached"}, ""},
        {{"--company", "Acme Inc.", "--cached"}, ""},
        {{"--product", "", "--cached"}, ""},
        {{"--company", std::string(1000, 'a'), "--unpack-dir", "{TEMP}\\{COMPANY}{COMPANY}{COMPANY}{COMPANY}{COMPANY}_{RANDOM}"}, ""},
    };
#ifndef _WIN32
    for (const char* text : {"{TEMP}\\\xff{RANDOM}", "{TEMP}\\\xed\xa0\x80{RANDOM}", "{TEMP}\\\xc0\xae{RANDOM}"})
        usage_errors.push_back({{"--unpack-dir", text}, ": the text is not valid UTF-8"});
    usage_errors.push_back({{"--company", "\xed\xa0\x80"}, ": the text is not valid UTF-8"});
    usage_errors.push_back({{"--entry", "\xc0\xae.dll"}, ": the text is not valid UTF-8"});
#endif
    for (const auto& [extra, says] : usage_errors) {
        SCOPED_TRACE(extra[0] + " " + extra[1].substr(0, 20));
        std::vector<std::string> arguments = {arg(app_), "-o", arg(output_), "--launcher", arg(launcher_), "-q"};
        arguments.insert(arguments.end(), extra.begin(), extra.end());
        tool_run run = run_tool(scratch_.path(), arguments);
        EXPECT_EQ(run.code, 2) << run.err;
        EXPECT_EQ(run.err.rfind("tavrin-pack: " + extra[0] + says, 0), 0u) << run.err;
        EXPECT_FALSE(fs::exists(output_));
    }
}

TEST_F(PackTest, SpecsThatRunsCanTripOverDrawWarnings)
{
    add("app.dll", entry_dll());
    auto warnings_for = [&](const std::u16string& spec) {
        auto opts = options();
        opts.settings.unpack_spec = spec;
        std::string all;
        for (const auto& warning : tavrin::pack_application(opts).warnings) all += warning + "\n";
        return all;
    };
    EXPECT_EQ(warnings_for(u"{TEMP}\\app_{RANDOM}"), "");
    EXPECT_NE(warnings_for(u"{TEMP}\\app_{PID}").find("has no {RANDOM}"), std::string::npos);
    EXPECT_NE(warnings_for(u"{TEMP}\\{PROGRAM_BASE}_{RANDOM}").find("started by a full path"), std::string::npos);
}

// Each flag lands on its own bit of the record, which the launcher reads, and comes back alone.
TEST(LaunchSettingsRecord, FlagsRoundTripIndependently)
{
    struct flags_case {
        bool cached, exe_entry, no_progress;
        std::uint32_t word;  // the record's flags as the launcher reads them
    };
    const flags_case cases[] = {
        {false, false, false, 1}, {false, false, true, 9}, {true, false, false, 3},
        {false, true, false, 5},  {true, true, false, 7},  {true, true, true, 15},
    };
    for (const auto& each : cases) {
        SCOPED_TRACE(each.word);
        tavrin::launch_settings settings{each.cached, each.cached ? u"{CACHE_DIR}\\app" : u"", each.cached ? "0123abcd" : "",
                                         each.exe_entry, each.no_progress};
        const std::string bytes = tavrin::launch_settings_bytes(settings);
        std::uint32_t word = 0;
        for (int i = 3; i >= 0; --i) word = word << 8 | static_cast<unsigned char>(bytes[launch_settings_flags_offset + i]);
        EXPECT_EQ(word, each.word);

        std::istringstream image("lead" + bytes);
        const auto read = tavrin::read_launch_settings(image, 4);
        ASSERT_TRUE(read);
        EXPECT_EQ(read->cached, each.cached);
        EXPECT_EQ(read->exe_entry, each.exe_entry);
        EXPECT_EQ(read->no_progress, each.no_progress);
    }
}

}  // namespace
