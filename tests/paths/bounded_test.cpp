// Bounded copies: results in place, exactly-fitting texts accepted, one code unit more ending the
// process through the bound abort with no output.
#include <gtest/gtest.h>

#include <cwchar>

#include "paths/bounded.h"
#include "tests/support/self_process.h"

using testing_support::run_scenario;

namespace {

constexpr std::uint32_t fail_fast_status = 0xC0000409;

}  // namespace

// argv: operation (copy, append, ascii), text, capacity. Appends go onto "ab".
TAVRIN_SCENARIO(bounded)
{
    wchar_t buffer[64] = L"ab";
    size_t capacity = wcstoul(argv[3], nullptr, 10);
    std::wstring operation = argv[1];
    if (operation == L"copy") copy_wide_bounded(buffer, argv[2], capacity);
    if (operation == L"append") append_wide_bounded(buffer, argv[2], capacity);
    if (operation == L"ascii") append_ascii_widened(buffer, testing_support::narrow(argv[2]).c_str(), capacity);
    return 0;
}

TEST(BoundedCopy, ResultsAndMovesWithinOneBuffer)
{
    wchar_t buffer[16];
    wmemset(buffer, L'#', 16);
    copy_wide_bounded(buffer, L"abcd", 5);
    EXPECT_STREQ(buffer, L"abcd");
    EXPECT_EQ(buffer[5], L'#');  // nothing past the terminator

    append_wide_bounded(buffer, L"ef", 7);
    EXPECT_STREQ(buffer, L"abcdef");
    append_ascii_widened(buffer, "gh", 9);
    EXPECT_STREQ(buffer, L"abcdefgh");

    // A source inside the destination moves towards its start.
    copy_wide_bounded(buffer, buffer + 3, 16);
    EXPECT_STREQ(buffer, L"defgh");
}

TEST(BoundedCopy, ExactFitAcceptedOneUnitMoreAbortsSilently)
{
    struct {
        const wchar_t* operation;
        const wchar_t* text;
        unsigned fitting_capacity;  // text (after "ab" for appends) and terminator
    } cases[] = {{L"copy", L"abcd", 5}, {L"append", L"cd", 5}, {L"ascii", L"cd", 5}, {L"append", L"", 3}};
    for (const auto& c : cases) {
        SCOPED_TRACE(testing_support::narrow(c.operation) + " capacity " + std::to_string(c.fitting_capacity));
        auto fits = run_scenario(L"bounded", {c.operation, c.text, std::to_wstring(c.fitting_capacity)});
        EXPECT_EQ(fits.exit_code, 0u);
        auto overflows = run_scenario(L"bounded", {c.operation, c.text, std::to_wstring(c.fitting_capacity - 1)});
        EXPECT_EQ(overflows.exit_code, fail_fast_status);
        EXPECT_EQ(overflows.out + overflows.err, "");
    }
}
