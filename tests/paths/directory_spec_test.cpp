// Directory spec expansion: literal and name mode, the placeholder table, the strip flag, values
// cached in the environment, {PID} from the parent marker, {PROGRAM*} from argument 0, and the
// bound aborts. Cases that depend on the environment or argument 0 run in a child process.
#include <gtest/gtest.h>

#include <windows.h>
#include <fcntl.h>
#include <io.h>

#include <cstdio>
#include <cstdlib>
#include <optional>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "base/process_state.h"
#include "paths/bounded.h"
#include "paths/environment.h"
#include "paths/directory_spec.h"
#include "tests/support/self_process.h"

using testing_support::narrow;
using testing_support::quote_argument;
using testing_support::run_options;

namespace {

constexpr std::uint32_t fail_fast_status = 0xC0000409;
const wchar_t* const cached_variables[] = {L"TAVRIN_ONEFILE_RANDOM", L"TAVRIN_ONEFILE_TIME_US",
                                           L"TAVRIN_ONEFILE_START", L"TAVRIN_ONEFILE_PARENT"};

wchar_t out_buffer[wide_path_capacity];

std::pair<bool, std::wstring> expand(const std::wstring& spec, size_t size = wide_path_capacity)
{
    bool ok = expand_spec(out_buffer, spec.c_str(), size);
    return {ok, out_buffer};
}

std::wstring variable_text(const char* name)
{
    wchar_t* value = get_env_var(name);
    std::wstring text = value != nullptr ? value : L"<absent>";
    free(value);
    return text;
}

long long system_time_now()
{
    FILETIME now;
    GetSystemTimeAsFileTime(&now);
    return static_cast<long long>((static_cast<unsigned long long>(now.dwHighDateTime) << 32) | now.dwLowDateTime);
}

void print_line(const std::wstring& text)
{
    std::string line = narrow(text) + "\n";
    fwrite(line.data(), 1, line.size(), stdout);
}

// What the "expand" scenario reports, one line each.
struct child_expansion {
    std::uint32_t exit_code = 0;
    std::string output;  // everything, for a death case
    std::string result, out, again, pid, random, time_us, start;
    long long clock_before = 0, clock_after = 0;
};

// Runs the "expand" scenario on `spec` with argument 0 `argv0` (this executable when empty), the
// variables of `env` set or removed, the cached ones removed unless `env` names them.
child_expansion expand_in_child(const std::wstring& spec, std::map<std::wstring, std::optional<std::wstring>> env = {},
                                const std::wstring& size = std::to_wstring(wide_path_capacity),
                                const std::wstring& argv0 = {})
{
    run_options options;
    for (const wchar_t* name : cached_variables) options.env[name] = std::nullopt;
    for (const auto& [name, value] : env) options.env[name] = value;
    std::wstring self = testing_support::self_path();
    std::wstring line = quote_argument(argv0.empty() ? self : argv0) + L" --scenario expand " +
                        quote_argument(spec) + L" " + size;
    auto process = testing_support::run_process(self, line, options);
    child_expansion result;
    result.exit_code = process.exit_code;
    result.output = process.out + process.err;
    std::vector<std::string> lines;
    std::istringstream in(process.out);
    for (std::string text; std::getline(in, text);) lines.push_back(text);
    if (lines.size() == 9) {
        result.result = lines[0];
        result.out = lines[1];
        result.again = lines[2];
        result.pid = lines[3];
        result.random = lines[4];
        result.time_us = lines[5];
        result.start = lines[6];
        result.clock_before = std::stoll(lines[7]);
        result.clock_after = std::stoll(lines[8]);
    }
    return result;
}

bool all_digits(const std::string& text)
{
    return !text.empty() && text.find_first_not_of("0123456789") == std::string::npos;
}

}  // namespace

// argv: spec, size ("+N": the length of the own process id plus N). Expands twice and prints the result, both outputs, the own process id, the three
// cached variables afterwards and the system time before and after.
TAVRIN_SCENARIO(expand)
{
    _setmode(_fileno(stdout), _O_BINARY);
    size_t size = wcstoul(argv[2], nullptr, 10);
    if (argv[2][0] == L'+') size += std::to_wstring(GetCurrentProcessId()).size();
    long long before = system_time_now();
    bool ok = expand_spec(out_buffer, argv[1], size);
    std::wstring first = out_buffer;
    expand_spec(out_buffer, argv[1], size);
    long long after = system_time_now();
    print_line(ok ? L"true" : L"false");
    print_line(first);
    print_line(out_buffer);
    print_line(std::to_wstring(GetCurrentProcessId()));
    print_line(variable_text("TAVRIN_ONEFILE_RANDOM"));
    print_line(variable_text("TAVRIN_ONEFILE_TIME_US"));
    print_line(variable_text("TAVRIN_ONEFILE_START"));
    print_line(std::to_wstring(before));
    print_line(std::to_wstring(after));
    return 0;
}

// A process whose runtime argument vector has no argument 0.
TAVRIN_SCENARIO(no_argument_zero)
{
    __argc = 0;
    expand_spec(out_buffer, L"{PROGRAM}", wide_path_capacity);
    return 0;
}

TEST(ExpandSpec, Literals)
{
    EXPECT_EQ(expand(L""), std::make_pair(true, std::wstring()));
    EXPECT_EQ(expand(L"C:\\plain path\\x"), std::make_pair(true, std::wstring(L"C:\\plain path\\x")));
    // A '}' that closes nothing is kept as a literal.
    EXPECT_EQ(expand(L"a}b}"), std::make_pair(true, std::wstring(L"a}b}")));

    // 4095 literal units and the terminator fill 4096; one more is an ordinary failure, with the
    // output holding what fitted.
    EXPECT_EQ(expand(std::wstring(4095, L'a')), std::make_pair(true, std::wstring(4095, L'a')));
    EXPECT_EQ(expand(std::wstring(4096, L'a')), std::make_pair(false, std::wstring(4095, L'a')));
    EXPECT_EQ(expand(L"abc", 3), std::make_pair(false, std::wstring(L"ab")));
}

TEST(ExpandSpec, PlaceholderNames)
{
    const std::wstring pid = std::to_wstring(GetCurrentProcessId());
    unset_env_var("TAVRIN_ONEFILE_PARENT");
    EXPECT_EQ(expand(L"{company}|{PRODUCT}|{Version}|{file_version}|{PRODUCT_VERSION}"),
              std::make_pair(true, std::wstring(L"VX BENCH|VX BENCH|1.4.2.0|1.4.2.0|1.4.2.0")));
    // A second '{' drops the name so far; an open placeholder at the end is dropped.
    EXPECT_EQ(expand(L"{X{PID}"), std::make_pair(true, pid));
    EXPECT_EQ(expand(L"abc{TEMP"), std::make_pair(true, std::wstring(L"abc")));

    for (const wchar_t* unknown : {L"{}", L"{TMP}", L"a{TIM}", L"{TIMES}", L"{PROGRAM_}", L"{ PID}", L"{P\u0130D}"}) {
        EXPECT_FALSE(expand(unknown).first) << narrow(unknown);
    }
    EXPECT_EQ(expand(L"a{TMP}"), std::make_pair(false, std::wstring(L"a")));

    // Names of 1023 units and beyond: unrecognised when closed, dropped when a '{' or the end follows.
    EXPECT_FALSE(expand(L"{" + std::wstring(1023, L'N') + L"}").first);
    EXPECT_FALSE(expand(L"{" + std::wstring(5000, L'N') + L"}").first);
    EXPECT_EQ(expand(L"{" + std::wstring(5000, L'N') + L"{COMPANY}"), std::make_pair(true, std::wstring(L"VX BENCH")));
    EXPECT_EQ(expand(L"x{" + std::wstring(5000, L'N')), std::make_pair(true, std::wstring(L"x")));
}

TEST(ExpandSpec, FolderPlaceholdersLoseTrailingBackslashes)
{
    wchar_t temp[MAX_PATH + 1];
    std::wstring temp_path(temp, GetTempPathW(MAX_PATH + 1, temp));
    ASSERT_EQ(temp_path.back(), L'\\');
    temp_path.pop_back();
    for (const wchar_t* spec : {L"{TEMP}", L"{temp}", L"{Temp}"})
        EXPECT_EQ(expand(spec), std::make_pair(true, temp_path)) << narrow(spec);
    EXPECT_EQ(expand(L"{TEMP}\\x\\"), std::make_pair(true, temp_path + L"\\x\\"));

    // A temporary path that does not fit adds nothing, and the strip then eats the literal backslash.
    EXPECT_EQ(expand(L"X\\{TEMP}", 5), std::make_pair(true, std::wstring(L"X")));
    EXPECT_EQ(expand(L"X\\\\{TEMP}Y", 6), std::make_pair(true, std::wstring(L"XY")));

    wchar_t profile[1024], local[1024];
    GetEnvironmentVariableW(L"USERPROFILE", profile, 1024);
    GetEnvironmentVariableW(L"LOCALAPPDATA", local, 1024);
    EXPECT_EQ(expand(L"{HOME}"), std::make_pair(true, std::wstring(profile)));
    EXPECT_EQ(expand(L"{CACHE_DIR}\\x"), std::make_pair(true, std::wstring(local) + L"\\x"));
}

TEST(ExpandSpec, BuiltinSpecWithTheParentsValues)
{
    auto child = expand_in_child(builtin_unpack_spec, {{L"TMP", L"C:\\Temp\\"},
                                                       {L"TEMP", L"C:\\Temp\\"},
                                                       {L"TAVRIN_ONEFILE_PARENT", L"4242"},
                                                       {L"TAVRIN_ONEFILE_TIME_US", L"123456"},
                                                       {L"TAVRIN_ONEFILE_RANDOM", L"bHyD3nVd5eE"}});
    ASSERT_EQ(child.exit_code, 0u) << child.output;
    EXPECT_EQ(child.result, "true");
    EXPECT_EQ(child.out, "C:\\Temp\\onefile_4242_123456_bHyD3nVd5eE");
    EXPECT_EQ(child.random, "bHyD3nVd5eE");
    EXPECT_EQ(child.time_us, "123456");
    EXPECT_EQ(child.start, "<absent>");
}

TEST(ExpandSpec, FreshValuesAreStoredAndReused)
{
    auto child = expand_in_child(builtin_unpack_spec, {{L"TMP", L"C:\\Temp\\"}, {L"TEMP", L"C:\\Temp\\"}});
    ASSERT_EQ(child.exit_code, 0u) << child.output;
    EXPECT_EQ(child.result, "true");
    // The stored values are the ones in the path, and a second expansion gives the same path.
    EXPECT_EQ(child.out, "C:\\Temp\\onefile_" + child.pid + "_" + child.time_us + "_" + child.random);
    EXPECT_EQ(child.again, child.out);
    EXPECT_EQ(child.time_us.size(), 6u);
    EXPECT_TRUE(all_digits(child.time_us)) << child.time_us;
    EXPECT_EQ(child.random.size(), 11u);
    EXPECT_EQ(child.random.find_first_not_of("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_"),
              std::string::npos);
    EXPECT_EQ(child.start, "<absent>");  // not in the spec, not stored

    auto time = expand_in_child(L"{TIME}");
    ASSERT_TRUE(all_digits(time.out)) << time.out;
    EXPECT_EQ(time.start, time.out);
    EXPECT_EQ(time.again, time.out);
    EXPECT_LE(time.clock_before, std::stoll(time.out));
    EXPECT_GE(time.clock_after, std::stoll(time.out));
}

TEST(ExpandSpec, CachedValuesUsedAsStoredEmptyOnesReplaced)
{
    auto cached = expand_in_child(L"{RANDOM}|{TIME_US}|{TIME}", {{L"TAVRIN_ONEFILE_RANDOM", L"any text \u00e9"},
                                                                 {L"TAVRIN_ONEFILE_TIME_US", L"x"},
                                                                 {L"TAVRIN_ONEFILE_START", L"-1"}});
    EXPECT_EQ(cached.out, "any text \xc3\xa9|x|-1");
    EXPECT_EQ(cached.random, "any text \xc3\xa9");
    EXPECT_EQ(cached.time_us, "x");
    EXPECT_EQ(cached.start, "-1");

    auto empty = expand_in_child(L"{RANDOM}|{TIME_US}|{TIME}", {{L"TAVRIN_ONEFILE_RANDOM", L""},
                                                                {L"TAVRIN_ONEFILE_TIME_US", L""},
                                                                {L"TAVRIN_ONEFILE_START", L""}});
    EXPECT_EQ(empty.out, empty.random + "|" + empty.time_us + "|" + empty.start);
    EXPECT_EQ(empty.again, empty.out);
    EXPECT_EQ(empty.random.size(), 11u);
    EXPECT_EQ(empty.time_us.size(), 6u);
    EXPECT_TRUE(all_digits(empty.start)) << empty.start;
}

TEST(ExpandSpec, ProcessIdFromTheParentMarker)
{
    EXPECT_EQ(expand_in_child(L"{PID}", {{L"TAVRIN_ONEFILE_PARENT", L"0042"}}).out, "0042");
    auto own = expand_in_child(L"{PID}");
    EXPECT_EQ(own.out, own.pid);
    auto empty = expand_in_child(L"{PID}", {{L"TAVRIN_ONEFILE_PARENT", L""}});
    EXPECT_EQ(empty.out, empty.pid);

    // 12a, and a digit of another script that a locale-aware test would accept.
    for (const wchar_t* marker : {L"12a", L"4\u0662"}) {
        auto bad = expand_in_child(L"{PID}", {{L"TAVRIN_ONEFILE_PARENT", marker}});
        EXPECT_EQ(bad.exit_code, fail_fast_status) << narrow(marker);
        EXPECT_EQ(bad.output, "");
    }
}

TEST(ExpandSpec, ProgramPlaceholdersFromArgumentZero)
{
    struct {
        const wchar_t* argv0;
        const wchar_t* spec;
        const char* expected;
    } cases[] = {
        {L"C:\\Apps\\Tool.EXE", L"{PROGRAM}", "C:\\Apps\\Tool.EXE"},
        {L"C:\\Apps\\Tool.EXE", L"{PROGRAM_BASE}", "C:\\Apps\\Tool"},
        {L"C:\\Apps\\Tool.EXE", L"{PROGRAM_DIR}", "C:\\Apps"},
        {L"tool.exe", L"{PROGRAM_BASE}", "tool"},
        {L"tool.exe", L"{PROGRAM_DIR}", "tool.exe"},
        {L"a.exe.exe", L"{program_base}", "a.exe"},
        {L"exe", L"{PROGRAM_BASE}", "exe"},
        {L"C:/Apps/Tool.exe", L"{PROGRAM_DIR}", "C:/Apps/Tool.exe"},
        // Only the appended value is cut, never the output before it.
        {L"tool", L"a\\b.exe_{PROGRAM_DIR}", "a\\b.exe_tool"},
        {L"tool", L"a.exe{PROGRAM_BASE}", "a.exetool"},
        {L"d\\tool.exe", L"x.exe\\{PROGRAM_BASE}|{PROGRAM_DIR}", "x.exe\\d\\tool|d"},
    };
    for (const auto& c : cases) {
        auto child = expand_in_child(c.spec, {}, L"4096", c.argv0);
        EXPECT_EQ(child.result, "true");
        EXPECT_EQ(child.out, c.expected) << narrow(c.argv0) << " " << narrow(c.spec);
    }
    auto none = testing_support::run_scenario(L"no_argument_zero");
    EXPECT_EQ(none.exit_code, fail_fast_status);
    EXPECT_EQ(none.out + none.err, "");
}

TEST(ExpandSpec, ValuesThatDoNotFitAbort)
{
    struct {
        const wchar_t* spec;
        const wchar_t* parent;  // TAVRIN_ONEFILE_PARENT, or nullptr
        size_t fitting_size;
    } cases[] = {
        {L"ab{COMPANY}", nullptr, 11},
        {L"{PID}", L"12345", 6},
        {L"{RANDOM}", nullptr, 12},
        {L"x{PROGRAM}", nullptr, 2 + testing_support::self_path().size()},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(narrow(c.spec));
        std::map<std::wstring, std::optional<std::wstring>> env;
        if (c.parent != nullptr) env[L"TAVRIN_ONEFILE_PARENT"] = c.parent;
        auto fits = expand_in_child(c.spec, env, std::to_wstring(c.fitting_size));
        EXPECT_EQ(fits.exit_code, 0u);
        EXPECT_EQ(fits.result, "true");
        auto overflows = expand_in_child(c.spec, env, std::to_wstring(c.fitting_size - 1));
        EXPECT_EQ(overflows.exit_code, fail_fast_status);
        EXPECT_EQ(overflows.output, "");
    }
    // The own process id, widened unit by unit, at the bound.
    auto own_fits = expand_in_child(L"x{PID}", {}, L"+2");
    EXPECT_EQ(own_fits.out, "x" + own_fits.pid);
    auto own_overflows = expand_in_child(L"xx{PID}", {}, L"+2");
    EXPECT_EQ(own_overflows.exit_code, fail_fast_status);
    EXPECT_EQ(own_overflows.output, "");
}
