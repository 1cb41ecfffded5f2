// TAVRIN_ONEFILE_TRACE through the real launcher: the lines of both instances on standard error or
// appended to a file, a failure's cause before its message, and the destinations refused.
#include <gtest/gtest.h>

#include <windows.h>

#include <filesystem>
#include <functional>
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

// The index of the first line of `role` whose text starts with `start`, or -1.
int find_line(const std::vector<trace_line>& lines, const std::string& role, const std::string& start)
{
    for (std::size_t i = 0; i < lines.size(); ++i)
        if (lines[i].role == role && lines[i].text.rfind(start, 0) == 0) return static_cast<int>(i);
    return -1;
}

}  // namespace

// Both instances trace a working run on standard error, in order, each with its clock; what the
// application writes is unchanged.
TEST(Trace, AWorkingRunOnStandardError)
{
    temp_directory dir;
    const fs::path exe = dir.path() / L"traced.exe";
    make_package(exe, {packer_test::memory_entry(u"data\\a.txt", "abc")});
    run_options options;
    options.env[L"TAVRIN_ONEFILE_TRACE"] = L"1";
    auto run = start(exe, {L"--stdout", L"plain output", L"--exit", L"7"}, options);
    ASSERT_EQ(run.process.exit_code, 7u) << run.process.err;
    EXPECT_EQ(run.process.out, "plain output\r\n");
    const auto lines = trace_lines(run.process.err);
    const std::wstring directory = fs::path(one(run.facts, "first_file_path")).parent_path().wstring();
    const std::string parent_pid = std::to_string(lines.empty() ? 0 : lines.front().process);
    const std::string steps[][2] = {
        {"parent", "role: parent"},
        {"parent", "settings: temporary mode, DLL entry, spec {TEMP}\\onefile_{PID}_{TIME_US}_{RANDOM} (built in)"},
        {"parent", "unpack directory " + testing_support::narrow(directory)},
        {"parent", "unpack directory made and marked"},
        {"parent", "unpacked 2 files"},
        {"parent", "child instance resumed: process "},
        {"child", "role: child of the parent instance " + parent_pid},
        {"child", "loading " + testing_support::narrow(directory) + "\\probe.dll"},
        {"child", "run_code called"},
        {"child", "run_code returned 7"},
        {"parent", "child instance ended: exit code 7"},
        {"parent", "clean-up: deleting " + testing_support::narrow(directory) + " by the names written"},
        {"parent", "clean-up: " + testing_support::narrow(directory) + " deleted (1 attempt"},
    };
    int last = -1;
    for (const auto& step : steps) {
        const int at = find_line(lines, step[0], step[1]);
        EXPECT_GT(at, last) << "missing or out of order: " << step[0] << ": " << step[1] << "\n" << run.process.err;
        if (at > last) last = at;
    }
    // One clock per process, from its start: never backwards.
    std::map<unsigned long, double> clock;
    for (const auto& line : lines) {
        EXPECT_GE(line.ms, clock[line.process]) << line.text;
        clock[line.process] = line.ms;
    }
    EXPECT_EQ(clock.size(), 2u);
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
    struct {
        const char* what;
        std::function<void()> before;
        std::vector<std::string> verdicts;
    } runs[] = {
        {"the first run", [] {}, {"kept tree " + tree + ": none yet", "kept tree " + tree + ": a fresh tree moved into place"}},
        {"a later run", [] {}, {"kept tree " + tree + ": intact, used as it is"}},
        {"a file of the tree deleted",
         [&] { fs::remove(fs::path(testing_support::widen(tree)) / L"data" / L"a.txt"); },
         {"kept tree " + tree + ": damaged: ", "kept tree " + tree + ": the damaged tree retired",
          "kept tree " + tree + ": repaired, a fresh tree moved into place"}},
    };
    for (const auto& r : runs) {
        SCOPED_TRACE(r.what);
        r.before();
        auto run = start(exe, {L"--exit", L"3"}, options);
        EXPECT_EQ(run.process.exit_code, 3u);
        const auto lines = trace_lines(run.process.err);
        int last = -1;
        for (const auto& verdict : r.verdicts) {
            const int at = find_line(lines, "parent", verdict);
            EXPECT_GT(at, last) << verdict << "\n" << run.process.err;
            last = at > last ? at : last;
        }
        EXPECT_GT(find_line(lines, "parent", "run_code returned 3"), last) << run.process.err;
    }
}

// A failure's cause comes before its message, in the trace and then on its stream as always; a
// file receives the lines of both instances, appended to what it held.
TEST(Trace, AFailingRunAppendedToAFile)
{
    temp_directory dir;
    const fs::path exe = dir.path() / L"damaged.exe", trace = dir.path() / L"trace.txt";
    make_package(exe);
    damage_attached_data(exe);
    write_file(trace, "kept\r\n");
    run_options options;
    options.env[L"TAVRIN_ONEFILE_TRACE"] = trace.wstring();
    auto run = start(exe, {}, options);
    EXPECT_EQ(run.process.exit_code, 2u);
    EXPECT_EQ(run.process.out, "Error, couldn't decode attached data.\r\n");
    EXPECT_EQ(run.process.err, "") << "the trace goes to the file only";
    const std::string text = read_file(trace);
    EXPECT_EQ(text.rfind("kept\r\n", 0), 0u) << "the file was truncated";
    const auto lines = trace_lines(text);
    const int cause = find_line(lines, "parent", "decoding failed: ");
    const int failure = find_line(lines, "parent", "failure: Error, couldn't decode attached data.");
    EXPECT_GE(cause, 0) << text;
    EXPECT_GT(failure, cause) << text;
    EXPECT_GT(find_line(lines, "parent", "clean-up: "), cause) << "the clean-up runs before the message\n" << text;

    // A working run appends both instances' lines after the failing run's.
    const fs::path working = dir.path() / L"working.exe";
    make_package(working);
    auto second = start(working, {}, options);
    EXPECT_EQ(second.process.exit_code, 0u);
    const auto all_lines = trace_lines(read_file(trace));
    EXPECT_GT(all_lines.size(), lines.size());
    EXPECT_GE(find_line(all_lines, "child", "run_code returned 0"), static_cast<int>(lines.size()));
}

// A destination that must not be written is refused with a note on standard error, and no line is
// written anywhere; the run is otherwise the same. "1" with no standard error traces nowhere.
TEST(Trace, DestinationsRefused)
{
    temp_directory dir;
    const fs::path exe = dir.path() / L"refused.exe";
    make_package(exe);
    const fs::path folder = dir.path() / L"folder";
    fs::create_directory(folder);
    struct {
        const char* what;
        std::wstring value;
        std::string note;  // the start of the note on standard error
    } cases[] = {
        {"a directory", folder.wstring(), "Note, trace file '" + testing_support::narrow(folder.wstring()) +
                                              "' refused: it is a directory; no trace is written.\r\n"},
        // Never opened: the device namespace and the names Windows takes for devices.
        {"NUL", L"NUL", "Note, trace file 'NUL' refused: it names a device; no trace is written.\r\n"},
        {"a device name in a folder", folder.wstring() + L"\\con.txt",
         "Note, trace file '" + testing_support::narrow(folder.wstring()) + "\\con.txt' refused: it names a device"},
        {"the device namespace", L"\\\\.\\pipe\\tavrin-trace", "Note, trace file '\\\\.\\pipe\\tavrin-trace' refused: it names a device"},
        {"a missing folder", folder.wstring() + L"\\missing\\trace.txt",
         "Note, trace file '" + testing_support::narrow(folder.wstring()) + "\\missing\\trace.txt' cannot be opened for appending ([Error 3] "},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        run_options options;
        options.env[L"TAVRIN_ONEFILE_TRACE"] = c.value;
        auto run = start(exe, {L"--exit", L"5"}, options);
        EXPECT_EQ(run.process.exit_code, 5u);
        EXPECT_EQ(run.process.err.rfind(c.note, 0), 0u) << run.process.err;
        EXPECT_TRUE(trace_lines(run.process.err).empty()) << run.process.err;
    }
    EXPECT_TRUE(fs::is_empty(folder)) << "something was written in the folder";

    // A Linux symbolic link to a directory, which Wine 8 shows as a link by its path (a link to a
    // file it shows as the file: trace_test.cpp in tests/base holds the rule for it).
    const fs::path link = dir.path() / L"link";
    ASSERT_TRUE(make_unix_link(folder, link));
    run_options options;
    options.env[L"TAVRIN_ONEFILE_TRACE"] = link.wstring();
    auto linked = start(exe, {}, options);
    EXPECT_TRUE(remove_unix_link(link));
    EXPECT_EQ(linked.process.err.rfind("Note, trace file '" + testing_support::narrow(link.wstring()) + "' refused: it is a link", 0), 0u)
        << linked.process.err;

    // Standard error asked for, but there is none: nothing anywhere, the run unchanged.
    run_options no_stderr;
    no_stderr.without_stderr = true;
    no_stderr.env[L"TAVRIN_ONEFILE_TRACE"] = L"1";
    auto run = start(exe, {L"--stdout", L"x"}, no_stderr);
    EXPECT_EQ(run.process.exit_code, 0u);
    EXPECT_EQ(run.process.out, "x\r\n");
}
