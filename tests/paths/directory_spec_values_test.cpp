// Computed placeholder values from fixed inputs: the random token's seed, states and text, and the
// two system-time texts.
#include <gtest/gtest.h>

#include <cwchar>
#include <string>

#include "paths/directory_spec_values.h"

TEST(RandomToken, SeedFromCounterProcessIdAndAddress)
{
    EXPECT_EQ(random_seed(4242, 0x123456789abcdef0ull, 0x110038), 0x88999822u);
    // Both halves of the address count.
    EXPECT_EQ(random_seed(0, 0, 0x0000000100000000ull), 1u);
    EXPECT_EQ(random_seed(0, 0, 0x0000000300000000ull), 3u);
    // A seed that comes out 0 becomes 1.
    EXPECT_EQ(random_seed(0, 0, 0), 1u);
    EXPECT_EQ(random_seed(0x1092, 0x0000109200000000ull, 0), 1u);
}

TEST(RandomToken, WorkedExamples)
{
    wchar_t token[random_token_capacity];
    make_random_token(0x88999822u, token);
    EXPECT_STREQ(token, L"bHyD3nVd5eE");

    const uint32_t states[] = {0x42021,    0x4080601,  0x9dcca8c5, 0x1255994f,
                               0x8ef917d1, 0x2c6f5bd0, 0x25b2331a, 0x19f91cb2};
    uint32_t state = random_seed(0, 0, 0);
    for (uint32_t expected : states) {
        state = xorshift_step(state);
        EXPECT_EQ(state, expected);
    }
    make_random_token(1, token);
    EXPECT_STREQ(token, L"IQHFT9HQGrI");
}

TEST(RandomToken, UsesTheUrlSafeAlphabet)
{
    // Over many seeds all 64 characters show: '-' and '_' in place of '+' and '/', never '='.
    std::wstring seen;
    for (uint32_t seed = 1; seed < 2000; ++seed) {
        wchar_t token[random_token_capacity];
        make_random_token(seed * 2654435761u, token);
        ASSERT_EQ(wcslen(token), 11u);
        for (const wchar_t* unit = token; *unit != 0; ++unit)
            if (seen.find(*unit) == std::wstring::npos) seen += *unit;
    }
    EXPECT_EQ(seen.size(), 64u);
    EXPECT_EQ(seen.find_first_not_of(L"ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_"),
              std::wstring::npos);
}

TEST(TimeTexts, WorkedExamples)
{
    wchar_t text[value_text_capacity];
    format_start_time(133000000012345678ll, text, value_text_capacity);
    EXPECT_STREQ(text, L"133000000012345678");
    format_time_us(133000000012345678ll, text, value_text_capacity);
    EXPECT_STREQ(text, L"234567");
    // 42 microseconds (and some 100-ns units) into a second.
    format_time_us(133000000000000000ll + 425, text, value_text_capacity);
    EXPECT_STREQ(text, L"000042");
    format_time_us(133000000000000000ll, text, value_text_capacity);
    EXPECT_STREQ(text, L"000000");
}
