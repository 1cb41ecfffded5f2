// TAVRIN_ONEFILE_TRACE through the real launcher: the lines of both instances on standard error or
// appended to a file, a failure's cause before its message, and the destinations refused.
#include <gtest/gtest.h>

#include <windows.h>

#include <filesystem>
#include <map>
#include <regex>
#include <sstream>

#include "tests/support/package_support.h"

namespace fs = std::filesystem;
using namespace package_support;
using testing_support::read_file;
using testing_support::run_options;
using testing_support::temp_directory;
using testing_support::write_file;

namespace {

struct trace_line {
    unsigned long process;
    std::string role;
    double ms;
    std::string text;
};

// The trace's lines in `text` (CR LF each); other lines are left out.
std::vector<trace_line> trace_lines(const std::string& text)
{
    static const std::regex form(R"(tavrin-onefile\[(\d+)\] (parent|child) (\d+\.\d) ms: (.*)\r)");
    std::vector<trace_line> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) {
        std::smatch match;
        if (std::regex_match(line, match, form))
            lines.push_back({std::stoul(match[1]), match[2], std::stod(match[3]), match[4]});
    }
    return lines;
}

// Expects the lines of `text` to hold, in this order, a line of each role starting with each text.
void expect_in_order(const std::string& text, const std::vector<std::pair<std::string, std::string>>& steps)
{
    const auto lines = trace_lines(text);
    std::size_t next = 0;
    for (const auto& [role, start] : steps) {
        while (next < lines.size() && (lines[next].role != role || lines[next].text.rfind(start, 0) != 0)) ++next;
        EXPECT_LT(next, lines.size()) << "missing or out of order: " << role << ": " << start << "\n" << text;
        if (next == lines.size()) return;
        ++next;
    }
}

}  // namespace

// Both instances trace a working run, appended to a file, in order, each with its own clock; a
// failure's cause comes before the clean-up and the message, on standard error here; what the
// application and the launcher print otherwise is unchanged.
TEST(Trace, BothInstancesInOrderToAFileOrStandardError)
{
    temp_directory dir;
    const fs::path working = dir.path() / L"traced.exe", damaged = dir.path() / L"damaged.exe",
                   trace = dir.path() / L"trace.txt";
    make_package(working, {packer_test::memory_entry(u"data\\a.txt", "abc")});
    make_package(damaged);
    damage_attached_data(damaged);
    write_file(trace, "kept\r\n");

    run_options to_file;
    to_file.env[L"TAVRIN_ONEFILE_TRACE"] = trace.wstring();
    auto run = start(working, {L"--stdout", L"plain output", L"--exit", L"7"}, to_file);
    ASSERT_EQ(run.process.exit_code, 7u);
    EXPECT_EQ(run.process.out, "plain output\r\n");
    EXPECT_EQ(run.process.err, "") << "the trace goes to the file only";
    const std::string text = read_file(trace);
    EXPECT_EQ(text.rfind("kept\r\n", 0), 0u) << "the file was truncated";
    const auto lines = trace_lines(text);
    const std::string directory = testing_support::narrow(fs::path(one(run.facts, "first_file_path")).parent_path().wstring());
    expect_in_order(text, {{"parent", "role: parent"},
                           {"parent", "settings: temporary mode, DLL entry, spec {TEMP}\\onefile_{PID}_{TIME_US}_{RANDOM} (built in)"},
                           {"parent", "unpack directory " + directory},
                           {"parent", "unpack directory made and marked"},
                           {"parent", "unpacked 2 files"},
                           {"parent", "child instance resumed: process "},
                           {"child", "role: child of the parent instance " + std::to_string(lines.empty() ? 0 : lines[0].process)},
                           {"child", "loading " + directory + "\\probe.dll"},
                           {"child", "run_code called"},
                           {"child", "run_code returned 7"},
                           {"parent", "child instance ended: exit code 7"},
                           {"parent", "clean-up: deleting " + directory + " by the names written"},
                           {"parent", "clean-up: " + directory + " deleted (1 attempt"}});
    // One clock per process, from its start: never backwards.
    std::map<unsigned long, double> clock;
    for (const auto& line : lines) {
        EXPECT_GE(line.ms, clock[line.process]) << line.text;
        clock[line.process] = line.ms;
    }
    EXPECT_EQ(clock.size(), 2u);

    run_options to_stderr;
    to_stderr.env[L"TAVRIN_ONEFILE_TRACE"] = L"1";
    auto failed = start(damaged, {}, to_stderr);
    EXPECT_EQ(failed.process.exit_code, 2u);
    EXPECT_EQ(failed.process.out, "Error, couldn't decode attached data.\r\n");
    expect_in_order(failed.process.err, {{"parent", "decoding failed: "},
                                         {"parent", "clean-up: "},
                                         {"parent", "failure: Error, couldn't decode attached data."}});
}

// Cached mode's verdicts on its kept tree, run by run: none yet, intact, damaged and repaired.
TEST(Trace, TheKeptTreesVerdicts)
{
    temp_directory dir;
    const fs::path exe = dir.path() / L"cached.exe";
    make_package(exe, {packer_test::memory_entry(u"data\\a.txt", "abc")});
    const auto settings = set_launch_settings(exe, {true, u"{EXE_DIR}\\kept", "", false});
    const std::string tree = testing_support::narrow((dir.path() / L"kept").wstring()) + "\\" + settings.archive_identity;
    run_options options;
    options.limited = true;  // as a user starts it: an elevated run uses only sealed trees
    options.env[L"TAVRIN_ONEFILE_TRACE"] = L"1";
    const std::string verdicts[][3] = {
        {"none yet", "a fresh tree moved into place", ""},
        {"intact, used as it is", "", ""},
        {"damaged: ", "the damaged tree retired", "repaired, a fresh tree moved into place"},
    };
    for (int i = 0; i < 3; ++i) {
        SCOPED_TRACE(verdicts[i][0]);
        if (i == 2) fs::remove(fs::path(testing_support::widen(tree)) / L"data" / L"a.txt");
        auto run = start(exe, {L"--exit", L"3"}, options);
        EXPECT_EQ(run.process.exit_code, 3u);
        std::vector<std::pair<std::string, std::string>> steps;
        for (const std::string& verdict : verdicts[i])
            if (!verdict.empty()) steps.push_back({"parent", "kept tree " + tree + ": " + verdict});
        steps.push_back({"parent", "run_code returned 3"});
        expect_in_order(run.process.err, steps);
    }
}

// A destination that must not be written is refused with a note on standard error (the parent's
// only), and no line is written anywhere; the run is otherwise the same. "1" with no standard
// error traces nowhere.
TEST(Trace, DestinationsRefused)
{
    temp_directory dir;
    const fs::path exe = dir.path() / L"refused.exe", folder = dir.path() / L"folder", link = dir.path() / L"link";
    make_package(exe);
    fs::create_directory(folder);
    // A Linux symbolic link to a directory, which Wine 8 shows as a link by its path (a link to a
    // file it shows as the file: trace_test.cpp in tests/base holds the rule for it).
    ASSERT_TRUE(make_unix_link(folder, link));
    const std::string in_folder = "Note, trace file '" + testing_support::narrow(folder.wstring());
    struct {
        const char* what;
        std::wstring value;
        std::string note;  // standard error, whole when it ends in a newline, else its start
        bool without_stderr;
    } cases[] = {
        {"a directory", folder.wstring(), in_folder + "' refused: it is a directory; no trace is written.\r\n", false},
        {"a link", link.wstring(), "Note, trace file '" + testing_support::narrow(link.wstring()) + "' refused: it is a link; no trace is written.\r\n", false},
        // Never opened: the names Windows takes for devices, and the device namespace.
        {"NUL", L"NUL", "Note, trace file 'NUL' refused: it names a device; no trace is written.\r\n", false},
        {"a device name in a folder", folder.wstring() + L"\\con.txt", in_folder + "\\con.txt' refused: it names a device; no trace is written.\r\n", false},
        {"the device namespace", L"\\\\.\\pipe\\tavrin-trace", "Note, trace file '\\\\.\\pipe\\tavrin-trace' refused: it names a device; no trace is written.\r\n", false},
        {"a missing folder", folder.wstring() + L"\\missing\\trace.txt",
         in_folder + "\\missing\\trace.txt' cannot be opened for appending ([Error 3] ", false},
        {"standard error, where there is none", L"1", "", true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        run_options options;
        options.without_stderr = c.without_stderr;
        options.env[L"TAVRIN_ONEFILE_TRACE"] = c.value;
        auto run = start(exe, {L"--stdout", L"x", L"--exit", L"5"}, options);
        EXPECT_EQ(run.process.exit_code, 5u);
        EXPECT_EQ(run.process.out, "x\r\n");
        if (c.note.empty() || c.note.back() == '\n') EXPECT_EQ(run.process.err, c.note);
        else EXPECT_EQ(run.process.err.rfind(c.note, 0), 0u) << run.process.err;
    }
    EXPECT_TRUE(remove_unix_link(link));
    EXPECT_TRUE(fs::is_empty(folder)) << "something was written in the folder";
}
