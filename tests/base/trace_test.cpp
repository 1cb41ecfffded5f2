// The trace's own pieces: its formatting (UTF-8, the conversions it takes, a text of any length
// measured whole) and the rule that refuses a destination, including the links Wine 8 cannot show.
#include <gtest/gtest.h>

#include <string>

#include "base/trace.h"

TEST(TraceFormat, ConversionsAndUtf8)
{
    char out[256];
    const char* not_ours = "%5d%q";  // a width, an unknown conversion
    struct {
        std::string got, expected;
    } cases[] = {
        {(format_trace_text(out, sizeof out, "%s|%d|%u|%x|%%", "a", -42, 42u, 255u), out), "a|-42|42|ff|%"},
        {(format_trace_text(out, sizeof out, "%ld %lu %lld %llu %zu", -1L, 4294967295UL, -9223372036854775807LL - 1,
                            18446744073709551615ULL, size_t(7)),
          out),
         "-1 4294967295 -9223372036854775808 18446744073709551615 7"},
        // Wide text as UTF-8: two- and three-byte characters, a surrogate pair, a lone surrogate.
        {(format_trace_text(out, sizeof out, "%ls", L"C:\\\u00e9\u4e2d\U0001F600-\xD800!"), out),
         "C:\\\xC3\xA9\xE4\xB8\xAD\xF0\x9F\x98\x80-\xEF\xBF\xBD!"},
        {(format_trace_text(out, sizeof out, "%s %ls %c", static_cast<const char*>(nullptr), static_cast<const wchar_t*>(nullptr), 'z'),
          out),
         "(null) (null) z"},
        // Not one of its conversions: written as it stands, so that the mistake shows.
        {(format_trace_text(out, sizeof out, not_ours, 3), out), "%5d%q"},
    };
    for (const auto& c : cases) EXPECT_EQ(c.got, c.expected);
}

TEST(TraceFormat, ALongTextIsMeasuredWholeAndCutOnlyInTheBuffer)
{
    char small[8];
    const std::wstring path(3000, L'x');
    EXPECT_EQ(format_trace_text(small, sizeof small, "%ls!", path.c_str()), 3001u);
    EXPECT_STREQ(small, "xxxxxxx");
    EXPECT_EQ(format_trace_text(small, 1, "abc"), 3u);
    EXPECT_STREQ(small, "");
}

TEST(TraceDestination, OnlyARegularFileOnADisk)
{
    struct {
        const char* what;
        DWORD attributes, type;
        trace_refusal expected;
    } cases[] = {
        {"a file", FILE_ATTRIBUTE_ARCHIVE, FILE_TYPE_DISK, trace_file_usable},
        {"a file that does not exist yet", INVALID_FILE_ATTRIBUTES, FILE_TYPE_DISK, trace_file_usable},
        {"read-only (its open fails and says why)", FILE_ATTRIBUTE_READONLY, FILE_TYPE_DISK, trace_file_usable},
        // Windows shows a symbolic link to a file so, by its path and through a handle on the link;
        // Wine 8 shows it as the plain file it points to.
        {"a link to a file", FILE_ATTRIBUTE_ARCHIVE | FILE_ATTRIBUTE_REPARSE_POINT, FILE_TYPE_DISK, trace_refused_link},
        {"a link to a directory", FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT, FILE_TYPE_DISK, trace_refused_link},
        {"a directory", FILE_ATTRIBUTE_DIRECTORY, FILE_TYPE_DISK, trace_refused_directory},
        {"a device", FILE_ATTRIBUTE_DEVICE, FILE_TYPE_CHAR, trace_refused_device},
        {"a character device opened", FILE_ATTRIBUTE_NORMAL, FILE_TYPE_CHAR, trace_refused_not_regular},
        {"a pipe opened", FILE_ATTRIBUTE_NORMAL, FILE_TYPE_PIPE, trace_refused_not_regular},
        {"attributes unreadable through the handle", INVALID_FILE_ATTRIBUTES, FILE_TYPE_UNKNOWN, trace_refused_not_regular},
    };
    for (const auto& c : cases) EXPECT_EQ(trace_file_refusal(c.attributes, c.type), c.expected) << c.what;
}
