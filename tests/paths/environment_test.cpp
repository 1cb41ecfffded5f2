// Environment variables by ASCII name: values read as stored, empty ones read as absent, the name
// bound of 39 characters, removal.
#include <gtest/gtest.h>

#include <windows.h>

#include <cstdlib>
#include <string>

#include "paths/environment.h"
#include "tests/support/self_process.h"

using testing_support::run_scenario;

namespace {

constexpr std::uint32_t fail_fast_status = 0xC0000409;

// The value as a std::wstring ("<absent>" for NULL); the heap copy is released.
std::wstring read_variable(const char* name)
{
    wchar_t* value = get_env_var(name);
    if (value == nullptr) return L"<absent>";
    std::wstring copy = value;
    free(value);
    return copy;
}

}  // namespace

// argv: operation (get, set, unset), ASCII name. Exit code 3 when get finds the variable.
TAVRIN_SCENARIO(env_by_name)
{
    std::string name = testing_support::narrow(argv[2]);
    std::wstring operation = argv[1];
    if (operation == L"set") set_env_var(name.c_str(), L"v");
    if (operation == L"unset") unset_env_var(name.c_str());
    if (operation == L"get") {
        wchar_t* value = get_env_var(name.c_str());
        return value != nullptr ? 3 : 0;
    }
    return 0;
}

TEST(Environment, SetReadAndRemove)
{
    const wchar_t value[] = L"C:\\P\u00e4th \u65e5\u672c\\x";
    EXPECT_NE(set_env_var("TAVRIN_TEST_VALUE", value), 0);
    EXPECT_EQ(read_variable("TAVRIN_TEST_VALUE"), value);
    wchar_t* by_wide_name = get_env_var_w(L"TAVRIN_TEST_VALUE");
    ASSERT_NE(by_wide_name, nullptr);
    EXPECT_STREQ(by_wide_name, value);
    free(by_wide_name);

    unset_env_var("TAVRIN_TEST_VALUE");
    EXPECT_EQ(read_variable("TAVRIN_TEST_VALUE"), L"<absent>");
    unset_env_var("TAVRIN_TEST_VALUE");  // removing an absent variable is harmless
    EXPECT_EQ(read_variable("TAVRIN_TEST_VALUE"), L"<absent>");
}

TEST(Environment, EmptyReadsAsAbsent)
{
    set_env_var("TAVRIN_TEST_EMPTY", L"");
    EXPECT_EQ(read_variable("TAVRIN_TEST_EMPTY"), L"<absent>");
    EXPECT_FALSE(env_var_set("TAVRIN_TEST_EMPTY"));
    set_env_var("TAVRIN_TEST_EMPTY", L"0");
    EXPECT_TRUE(env_var_set("TAVRIN_TEST_EMPTY"));
    unset_env_var("TAVRIN_TEST_EMPTY");
    EXPECT_FALSE(env_var_set("TAVRIN_TEST_EMPTY"));

    // An empty variable that a process receives in its environment block.
    testing_support::run_options empty;
    empty.env[L"TAVRIN_TEST_EMPTY"] = L"";
    EXPECT_EQ(run_scenario(L"env_by_name", {L"get", L"TAVRIN_TEST_EMPTY"}, empty).exit_code, 0u);
    empty.env[L"TAVRIN_TEST_EMPTY"] = L"x";
    EXPECT_EQ(run_scenario(L"env_by_name", {L"get", L"TAVRIN_TEST_EMPTY"}, empty).exit_code, 3u);
}

TEST(Environment, LongValueIsReadWhole)
{
    // Windows reads back 32767 units through the 32768-unit buffer. Wine 8 returns a value of 32767
    // units cut to 32766 with success (and fails outright for larger buffers), so 32766 is the
    // longest value it hands over whole.
    std::wstring large(32766, L'v');
    large.front() = L'<';
    large.back() = L'>';
    set_env_var("TAVRIN_TEST_LARGE", large.c_str());
    EXPECT_EQ(read_variable("TAVRIN_TEST_LARGE"), large);
    unset_env_var("TAVRIN_TEST_LARGE");
}

TEST(Environment, NamesOf40CharactersAbort)
{
    const std::wstring name39(39, L'N');
    const std::wstring name40(40, L'N');
    for (const wchar_t* operation : {L"get", L"set", L"unset"}) {
        SCOPED_TRACE(testing_support::narrow(operation));
        testing_support::run_options with_variable;
        with_variable.env[name39] = L"x";
        auto fits = run_scenario(L"env_by_name", {operation, name39}, with_variable);
        EXPECT_EQ(fits.exit_code, std::wstring(operation) == L"get" ? 3u : 0u);
        auto overlong = run_scenario(L"env_by_name", {operation, name40});
        EXPECT_EQ(overlong.exit_code, fail_fast_status);
        EXPECT_EQ(overlong.out + overlong.err, "");
    }
}
