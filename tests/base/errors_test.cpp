// Error reporting: each message byte-exact on its stream (CR LF from text mode) with its exit code;
// the system-error line; the bound abort ending with no output.
#include <gtest/gtest.h>

#include <cstdlib>

#include "base/errors.h"
#include "tests/support/self_process.h"

using testing_support::run_scenario;

namespace {

constexpr std::uint32_t fail_fast_status = 0xC0000409;  // what a waiting parent sees (Wine 8, Windows)

}  // namespace

TAVRIN_SCENARIO(message_exit)
{
    exit_with_message(message_entry_point_missing);
}
TAVRIN_SCENARIO(decode_failed) { exit_decode_failed(); }
TAVRIN_SCENARIO(header_missing) { exit_header_missing(); }
TAVRIN_SCENARIO(out_of_memory) { exit_out_of_memory(); }
TAVRIN_SCENARIO(launch_failed) { exit_launch_failed(2); }
TAVRIN_SCENARIO(unpack_failed)
{
    SetLastError(5);
    exit_unpack_failed();
}
TAVRIN_SCENARIO(system_error)
{
    exit_with_system_error(message_dll_load_failed, static_cast<std::uint32_t>(wcstoul(argv[1], nullptr, 0)));
}
TAVRIN_SCENARIO(report_then_return)
{
    report_left_behind(L"C:\\x", 2, false);
    fputs("after\n", stderr);
    return 7;
}
TAVRIN_SCENARIO(cannot_open) { exit_cannot_open_output(argv[1]); }
TAVRIN_SCENARIO(not_own_image) { exit_not_own_image(argv[1], argv[2]); }
TAVRIN_SCENARIO(spec_abort) { abort_spec_expansion(argv[1]); }
TAVRIN_SCENARIO(bound_abort)
{
    fputs("buffered", stdout);  // never flushed: the abort runs no exit handlers
    abort_bound();
}

TEST(ErrorMessages, PlainMessagesGoToStandardOutputWithExitCode2)
{
    struct {
        const wchar_t* scenario;
        const char* text;
    } cases[] = {
        {L"message_exit", "Error, DLL entry point not found.\r\n"},
        {L"decode_failed", "Error, couldn't decode attached data.\r\n"},
        {L"header_missing", "Error, couldn't find attached data header.\r\n"},
        {L"out_of_memory", "Error, couldn't allocate memory.\r\n"},
    };
    for (const auto& c : cases) {
        auto result = run_scenario(c.scenario);
        EXPECT_EQ(result.exit_code, 2u) << testing_support::narrow(c.scenario);
        EXPECT_EQ(result.out, c.text);
        EXPECT_EQ(result.err, "");
    }
}

TEST(ErrorMessages, SystemErrorsGoToStandardErrorWithCodeAndText)
{
    auto launch = run_scenario(L"launch_failed");
    EXPECT_EQ(launch.exit_code, 2u);
    EXPECT_EQ(launch.out, "");
    EXPECT_EQ(launch.err, "Error, couldn't launch child ([Error 2] File not found.)\r\n");

    auto unpack = run_scenario(L"unpack_failed");
    EXPECT_EQ(unpack.exit_code, 2u);
    EXPECT_EQ(unpack.err, "Error, couldn't unpack file to target path. ([Error 5] Access denied.)\r\n");
}

TEST(ErrorMessages, SystemErrorLineForms)
{
    // A code at or above 0x80000000 prints negative.
    auto negative = run_scenario(L"system_error", {L"0x80070005"});
    EXPECT_EQ(negative.exit_code, 2u);
    EXPECT_EQ(negative.err.rfind("Error, load DLL. ([Error -2147024891] ", 0), 0u) << negative.err;

    // A code without a system text still gives the whole line, with our stand-in text.
    auto unknown = run_scenario(L"system_error", {L"0x2a5f3c1"});
    EXPECT_EQ(unknown.err,
              "Error, load DLL. ([Error 44430273] no description available for this error code)\r\n");

    // Every line ends with exactly one newline after the closing parenthesis; the CR/LF that the
    // system text carries is stripped.
    auto known = run_scenario(L"system_error", {L"2"});
    EXPECT_EQ(known.err, "Error, load DLL. ([Error 2] File not found.)\r\n");

    auto returned = run_scenario(L"report_then_return");
    EXPECT_EQ(returned.exit_code, 7u);
    EXPECT_EQ(returned.err, "Note, unpack directory 'C:\\x' was left behind ([Error 2] File not found.).\r\nafter\r\n");
}

TEST(ErrorMessages, AMessageWhoseStreamIsMissingGoesToTheOther)
{
    // A program started with one stream only (a windowed program run as "app.exe > log.txt"): the
    // one it has still says why the run failed. (Without standard output: e2e LauncherFailures.)
    testing_support::run_options no_stderr;
    no_stderr.without_stderr = true;
    auto launch = run_scenario(L"launch_failed", {}, no_stderr);
    EXPECT_EQ(launch.exit_code, 2u);
    EXPECT_EQ(launch.out, "Error, couldn't launch child ([Error 2] File not found.)\r\n");
    auto path = run_scenario(L"cannot_open", {L"C:\\x"}, no_stderr);
    EXPECT_EQ(path.out, "Error, failed to open 'C:\\x' for writing.\r\n");
}

TEST(ErrorMessages, PathMessagesArePrintedWhole)
{
    auto plain = run_scenario(L"cannot_open", {L"C:\\Temp\\onefile_1\\app.dll"});
    EXPECT_EQ(plain.exit_code, 2u);
    EXPECT_EQ(plain.out, "");
    EXPECT_EQ(plain.err, "Error, failed to open 'C:\\Temp\\onefile_1\\app.dll' for writing.\r\n");

    // Characters the narrow stream cannot show are replaced, never cut: the text after them arrives.
    std::wstring wide = L"C:\\Temp\\\u65e5\u672c\\\U0001F600\\x";
    auto unusual = run_scenario(L"cannot_open", {wide});
    EXPECT_EQ(unusual.exit_code, 2u);
    const std::string prefix = "Error, failed to open 'C:\\Temp\\";
    const std::string suffix = "\\x' for writing.\r\n";
    ASSERT_GE(unusual.err.size(), prefix.size() + suffix.size() + 3);
    EXPECT_EQ(unusual.err.substr(0, prefix.size()), prefix);
    EXPECT_EQ(unusual.err.substr(unusual.err.size() - suffix.size()), suffix);

    // The parent's check of itself shows both paths (Wine 8 cannot make them differ end to end).
    auto image = run_scenario(L"not_own_image", {L"C:\\a\\x.exe", L"C:\\b\\x.exe"});
    EXPECT_EQ(image.exit_code, 2u);
    EXPECT_EQ(image.err, "Error, couldn't launch child: this process's image 'C:\\a\\x.exe' is not its own executable "
                         "'C:\\b\\x.exe'\r\n");

    // A long path is not truncated.
    std::wstring long_path = L"C:\\" + std::wstring(4000, L'a');
    auto longer = run_scenario(L"cannot_open", {long_path});
    EXPECT_EQ(longer.err, "Error, failed to open 'C:\\" + std::string(4000, 'a') + "' for writing.\r\n");
}

TEST(ErrorMessages, SpecAbortPrintsTheSpecAndEndsAbnormally)
{
    auto result = run_scenario(L"spec_abort", {L"{HOME}"});
    EXPECT_EQ(result.exit_code, fail_fast_status);
    EXPECT_EQ(result.out, "");
    EXPECT_EQ(result.err, "Error, couldn't runtime expand spec '{HOME}'.\r\n");
}

TEST(ErrorMessages, BoundAbortEndsWithoutAnyOutput)
{
    auto result = run_scenario(L"bound_abort");
    EXPECT_EQ(result.exit_code, fail_fast_status);
    EXPECT_EQ(result.out, "");
    EXPECT_EQ(result.err, "");
}
