// The child command line: the quoting of single arguments, random argument lists through the
// system's split in-process and through real child processes (the system's split and the C
// runtime's), argument 0 replaced, empty arguments kept, and the 32,767-unit bound; a program entry's
// line, the typed one with argument 0 replaced.
#include <gtest/gtest.h>

#include <windows.h>
#include <shellapi.h>

#include <cstdio>
#include <random>

#include "launcher/command_line.h"
#include "paths/system_paths.h"
#include "base/process_state.h"
#include "tests/support/self_process.h"

using testing_support::run_process;
using testing_support::self_path;
using testing_support::system_split;

namespace {

// append_quoted_argument behind whatever `line` already holds.
void append_argument(wchar_t* line, const wchar_t* argument, size_t capacity)
{
    size_t length = wcslen(line);
    append_quoted_argument(line, &length, argument, capacity);
}

std::wstring quoted(const std::wstring& argument)
{
    std::vector<wchar_t> line(256, L'\0');
    append_argument(line.data(), argument.c_str(), line.size());
    return line.data();
}

// UTF-16 code units as hex, so that any argument passes the standard output unchanged.
std::string hex(const std::wstring& text)
{
    std::string out;
    char unit[8];
    for (wchar_t c : text) {
        snprintf(unit, sizeof unit, "%04x", static_cast<unsigned>(c));
        out += unit;
    }
    return out;
}

std::wstring unhex(const std::string& text)
{
    std::wstring out;
    for (std::size_t i = 0; i + 4 <= text.size(); i += 4)
        out.push_back(static_cast<wchar_t>(std::stoul(text.substr(i, 4), nullptr, 16)));
    return out;
}

struct reported_arguments {
    std::vector<std::wstring> runtime;  // the C runtime's parse (__wargv)
    std::vector<std::wstring> system;   // CommandLineToArgvW on GetCommandLineW
    std::wstring rebuilt;               // build_child_command_line
};

reported_arguments parse_report(const std::string& out)
{
    reported_arguments report;
    std::size_t at = 0;
    while (at < out.size()) {
        std::size_t end = out.find("\r\n", at);
        std::string line = out.substr(at, end - at);
        at = end + 2;
        std::size_t blank = line.find(' ');
        std::string kind = line.substr(0, blank);
        std::wstring value = unhex(blank == std::string::npos ? "" : line.substr(blank + 1));
        if (kind == "runtime") report.runtime.push_back(value);
        else if (kind == "system") report.system.push_back(value);
        else if (kind == "rebuilt") report.rebuilt = value;
    }
    return report;
}

}  // namespace

// Prints this process's arguments as the C runtime and the system split them, and the rebuilt line.
TAVRIN_SCENARIO(report_arguments)
{
    for (int i = 0; i < __argc; ++i) printf("runtime %s\n", hex(__wargv[i]).c_str());
    for (const auto& argument : system_split(GetCommandLineW())) printf("system %s\n", hex(argument).c_str());
    printf("rebuilt %s\n", hex(build_child_command_line(own_executable_path(false))).c_str());
    return 0;
}

// Arguments: APPLICATION-PATH (or "-" for the own path) ... Prints the rebuilt line.
TAVRIN_SCENARIO(rebuild_line)
{
    const wchar_t* application = std::wstring(argv[1]) != L"-" ? argv[1] : own_executable_path(false);
    printf("%s", hex(build_child_command_line(application)).c_str());
    return 0;
}

TAVRIN_SCENARIO(rebuilt_length)
{
    printf("%u", static_cast<unsigned>(wcslen(build_child_command_line(own_executable_path(false)))));
    return 0;
}

TEST(ChildCommandLine, SingleArgumentsAreQuotedOnlyWhereNeeded)
{
    struct {
        std::wstring argument, expected;
    } cases[] = {
        {L"word", L"word"},
        {L"C:\\Program\\app.exe", L"C:\\Program\\app.exe"},
        {L"C:\\dir\\", L"C:\\dir\\"},
        {L"two words", L"\"two words\""},
        {L"say\"hi", L"\"say\\\"hi\""},
        {L"a\\\"b", L"\"a\\\\\\\"b\""},
        {L"C:\\my dir\\", L"\"C:\\my dir\\\\\""},
        {L"a\\\\b c", L"\"a\\\\b c\""},
        {L"tab\there", L"\"tab\there\""},
        {L"line\nfeed", L"\"line\nfeed\""},
        {L"vertical\vtab", L"\"vertical\vtab\""},
        {L"\"", L"\"\\\"\""},
        {L"end\\\\ ", L"\"end\\\\ \""},
        {L"\u65e5\u672c \U0001F600", L"\"\u65e5\u672c \U0001F600\""},
        // An empty argument is kept as "", so that the child still sees it.
        {L"", L"\"\""},
    };
    for (const auto& c : cases) EXPECT_EQ(quoted(c.argument), c.expected) << testing_support::narrow(c.argument);

    // Appended behind what the line already holds.
    std::vector<wchar_t> line(64, L'\0');
    wcscpy(line.data(), L"app.exe ");
    append_argument(line.data(), L"x y", line.size());
    EXPECT_EQ(std::wstring(line.data()), L"app.exe \"x y\"");
}

namespace {

// Arguments built from pieces that the quoting must get right: blanks, quotes, runs of backslashes
// before quotes and at the end, empty arguments, characters outside ASCII and outside the BMP.
std::vector<std::wstring> random_arguments(std::mt19937& generator)
{
    static const std::wstring pieces[] = {L"a",  L"bc", L" ",  L"\t",     L"\"",      L"\\",     L"\\\\",
                                          L"\\\\\\", L"\\\"", L"\\\\\"", L"\u00e9", L"\u65e5\u672c", L"\U0001F600",
                                          L"\n", L"\v", L"-x", L"=",  L"''"};
    std::vector<std::wstring> arguments(generator() % 7);
    for (auto& argument : arguments) {
        if (generator() % 6 == 0) continue;  // empty
        for (unsigned n = 1 + generator() % 6; n > 0; --n)
            argument += pieces[generator() % (sizeof pieces / sizeof pieces[0])];
    }
    return arguments;
}

}  // namespace

TEST(ChildCommandLine, RandomArgumentListsSurviveTheSystemSplit)
{
    std::mt19937 generator(20240611);
    std::vector<wchar_t> line(command_line_capacity);
    for (int round = 0; round < 3000; ++round) {
        auto arguments = random_arguments(generator);
        wcscpy(line.data(), L"C:\\apps\\tool.exe");
        for (const auto& argument : arguments) {
            wcscat(line.data(), L" ");
            append_argument(line.data(), argument.c_str(), line.size());
        }
        auto split = system_split(line.data());
        ASSERT_EQ(split.size(), arguments.size() + 1) << testing_support::narrow(line.data());
        EXPECT_EQ(std::vector<std::wstring>(split.begin() + 1, split.end()), arguments)
            << testing_support::narrow(line.data());
    }
}

TEST(ChildCommandLine, RebuiltLineGivesARealChildTheSameArguments)
{
    // The test starts a process with the arguments (quoted by the test support's own quoting); that
    // process rebuilds its line; a second process started with the rebuilt line must see the same
    // arguments in both the C runtime's and the system's parse, and rebuild the same line again.
    std::mt19937 generator(7);
    const std::wstring self = self_path();
    for (int round = 0; round < 40; ++round) {
        auto arguments = random_arguments(generator);
        if (round == 0) arguments = {L"", L"x", L""};  // tool.exe "" x "" keeps both empty ones

        auto first = parse_report(testing_support::run_scenario(L"report_arguments", arguments).out);
        ASSERT_FALSE(first.rebuilt.empty());
        auto second_process = run_process(self, first.rebuilt);
        ASSERT_EQ(second_process.exit_code, 0u);
        auto second = parse_report(second_process.out);

        std::vector<std::wstring> expected = {self, L"--scenario", L"report_arguments"};
        expected.insert(expected.end(), arguments.begin(), arguments.end());
        EXPECT_EQ(second.runtime, expected) << testing_support::narrow(first.rebuilt);
        EXPECT_EQ(second.system, expected) << testing_support::narrow(first.rebuilt);
        EXPECT_EQ(second.rebuilt, first.rebuilt);
    }
}

TEST(ChildCommandLine, ArgumentZeroIsReplacedByTheApplicationPath)
{
    const std::wstring self = self_path();
    // The user's argument 0 is dropped; a path with a blank is quoted.
    const std::wstring application = L"C:\\Program Files\\Tool\\tool.exe";
    auto given = run_process(self, L"user-argv0 --scenario rebuild_line \"" + application + L"\"");
    EXPECT_EQ(given.exit_code, 0u);
    EXPECT_EQ(unhex(given.out), L"\"" + application + L"\" --scenario rebuild_line \"" + application + L"\"");

    // Filled from the module path when empty; arguments separated by single blanks, "" kept.
    auto filled = run_process(self, L"tool.exe  --scenario\trebuild_line -   \"\" x");
    EXPECT_EQ(filled.exit_code, 0u);
    ASSERT_EQ(self.find_first_of(L" \t\""), std::wstring::npos);
    EXPECT_EQ(unhex(filled.out), self + L" --scenario rebuild_line - \"\" x");
}

TEST(ChildCommandLine, LineOfMoreThan32767UnitsIsRefusedWithAMessage)
{
    const std::wstring self = self_path();
    ASSERT_EQ(self.find_first_of(L" \t\""), std::wstring::npos);
    // Rebuilt: self, " --scenario rebuilt_length ", the filler. Started as "x ..." so that the
    // line we start with stays well inside the system's own limit.
    const std::size_t fixed = self.size() + std::wstring(L" --scenario rebuilt_length ").size();
    const std::size_t room = 32767 - fixed;
    const std::string refused = "Error, command line too long: the application's would pass 32767 characters.\r\n";

    auto exact = run_process(self, L"x --scenario rebuilt_length " + std::wstring(room, L'a'));
    EXPECT_EQ(exact.exit_code, 0u);
    EXPECT_EQ(exact.out, "32767");

    auto over = run_process(self, L"x --scenario rebuilt_length " + std::wstring(room + 1, L'a'));
    EXPECT_EQ(over.exit_code, 2u);
    EXPECT_EQ(over.out + over.err, refused);

    // The last argument's closing quote is the unit that does not fit.
    std::wstring blank_inside = L"a " + std::wstring(room - 3, L'b');  // quoted: room + 1 units
    auto quoted_over = run_process(self, L"x --scenario rebuilt_length \"" + blank_inside + L"\"");
    EXPECT_EQ(quoted_over.exit_code, 2u);
    EXPECT_EQ(quoted_over.out + quoted_over.err, refused);
    blank_inside.pop_back();
    auto quoted_exact = run_process(self, L"x --scenario rebuilt_length \"" + blank_inside + L"\"");
    EXPECT_EQ(quoted_exact.exit_code, 0u);
    EXPECT_EQ(quoted_exact.out, "32767");
}

// Arguments: APPLICATION-PATH ... Prints the program entry's line built from this process's own.
TAVRIN_SCENARIO(program_line)
{
    printf("%s", hex(build_program_command_line(argv[1])).c_str());
    return 0;
}

TEST(ProgramCommandLine, OnlyArgumentZeroIsReplacedTheRestStaysAsTyped)
{
    const std::wstring self = self_path();
    ASSERT_EQ(self.find_first_of(L" \t\""), std::wstring::npos);
    const std::wstring application = L"C:\\Program Files\\Tool\\tool.exe", scenario = L" --scenario program_line \"" + application + L"\"";
    // Argument 0 as typed, and the tail that must follow the quoted application path unchanged.
    const std::vector<std::pair<std::wstring, std::wstring>> cases = {
        {self, scenario + L" \"a\"\"b\" c"},
        {L"\"" + self + L"\"", scenario + L"  \"\"\"\" x  "},
        {L"\"C:\\some dir\\x.exe\"", scenario + L"\t\"a\"\"\"\"b\" trailing\\"},
        {L"x.exe", scenario},
    };
    for (const auto& [typed, tail] : cases) {
        auto built = run_process(self, typed + tail);
        EXPECT_EQ(built.exit_code, 0u) << built.out << built.err;
        EXPECT_EQ(unhex(built.out), L"\"" + application + L"\"" + tail) << testing_support::narrow(typed + tail);
    }
    // The same bound as the second instance's line, with the same message: a typed line of 32,766
    // units, the most the system takes, whose argument 0 is shorter than the application's path.
    const std::wstring filler(32766 - (scenario.size() + 2), L'a');
    auto over = run_process(self, L"x" + scenario + L" " + filler);
    EXPECT_EQ(over.exit_code, 2u);
    EXPECT_EQ(over.out, "Error, command line too long: the application's would pass 32767 characters.\r\n");
}
