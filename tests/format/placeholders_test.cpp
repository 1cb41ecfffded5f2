// The placeholder table and the split of a directory text into pieces, as the launcher and the
// packer both use them: names matched in any ASCII case and nothing else, every text split whole.
#include <gtest/gtest.h>

#include <cstring>
#include <set>
#include <string>
#include <vector>

#include "format/placeholders.h"
#include "resources/version_strings.h"

namespace {

// The pieces of `text` as "<kind>:<text as written>", walked as both sides walk them.
template <typename unit>
std::vector<std::string> pieces_of(const std::basic_string<unit>& text)
{
    static const char* const kinds[] = {"lit", "ph", "close", "cut", "open"};
    std::vector<std::string> shown;
    std::size_t at = 0;
    while (at < text.size()) {
        const text_piece piece = next_text_piece(text.data(), text.size(), at);
        EXPECT_EQ(piece.start, at);
        EXPECT_GT(piece.length, 0u);
        std::string written;
        for (std::size_t i = piece.start; i < piece.start + piece.length; ++i) written += static_cast<char>(text[i]);
        shown.push_back(std::string(kinds[piece.kind]) + ":" + written);
        at += piece.length;
    }
    EXPECT_EQ(at, text.size());
    return shown;
}

}  // namespace

TEST(Placeholders, TextsSplitIntoPiecesWhole)
{
    struct {
        std::u16string text;
        std::vector<std::string> pieces;
    } cases[] = {
        {u"", {}},
        {u"{TEMP}\\onefile_{PID}", {"ph:{TEMP}", "lit:\\onefile_", "ph:{PID}"}},
        {u"a}b", {"lit:a", "close:}", "lit:b"}},
        {u"{a}}", {"ph:{a}", "close:}"}},
        {u"{X{PID}", {"cut:{X", "ph:{PID}"}},
        {u"{{", {"cut:{", "open:{"}},
        {u"abc{TEMP", {"lit:abc", "open:{TEMP"}},
        {u"{}x", {"ph:{}", "lit:x"}},
    };
    for (const auto& each : cases) {
        EXPECT_EQ(pieces_of(each.text), each.pieces);
        // The launcher's wchar_t texts split the same way.
        EXPECT_EQ(pieces_of(std::wstring(each.text.begin(), each.text.end())), each.pieces);
    }
}

TEST(Placeholders, NamesMatchInAnyAsciiCaseAndNothingElse)
{
    struct {
        std::u16string name;
        placeholder_id id;
    } cases[] = {
        {u"TEMP", placeholder_temp},
        {u"temp", placeholder_temp},
        {u"Time_Us", placeholder_time_us},
        {u"TIME", placeholder_time},
        {u"PRODUCT_VERSION", placeholder_product_version},
        {u"TIM", placeholder_unknown},       // a prefix of one
        {u"TIMES", placeholder_unknown},     // one and more
        {u"", placeholder_unknown},
        {u"\u0154EMP", placeholder_unknown},  // 'T' only in its low byte
        {std::u16string(u"TEMP\0", 5), placeholder_unknown},
        {u"CACHE-DIR", placeholder_unknown},
    };
    for (const auto& each : cases) {
        SCOPED_TRACE(std::string(each.name.begin(), each.name.end()));
        EXPECT_EQ(find_placeholder(each.name.data(), each.name.size()), each.id);
    }
    // Every row is found by its own name, also in lower case.
    for (const placeholder_info& row : placeholders) {
        std::u16string lower;
        for (const char* c = row.name; *c != 0; ++c) lower += static_cast<char16_t>(*c >= 'A' && *c <= 'Z' ? *c + 32 : *c);
        EXPECT_EQ(find_placeholder(lower.data(), lower.size()), row.id) << row.name;
    }
}

TEST(Placeholders, RowsAreConsistent)
{
    std::set<std::string> names;
    for (const placeholder_info& row : placeholders) {
        SCOPED_TRACE(row.name);
        EXPECT_TRUE(names.insert(row.name).second) << "named twice";
        for (const char* c = row.name; *c != 0; ++c) EXPECT_TRUE((*c >= 'A' && *c <= 'Z') || *c == '_');
        // A root names a whole folder: it is counted as a path, and cannot change from run to run.
        if (row.root) {
            EXPECT_EQ(row.allowance, static_cast<unsigned>(placeholder_path_allowance));
            EXPECT_FALSE(row.per_run);
        }
        // A text of the version block has a key, and the launcher's own block a text for it.
        EXPECT_EQ(row.source == from_version_block, row.version_key != nullptr);
        if (row.version_key != nullptr) {
            EXPECT_NE(version_fallback_text(row.version_key), nullptr);
        }
        EXPECT_GT(row.allowance, 0u);
    }
    EXPECT_EQ(version_fallback_text("Comments"), nullptr);
}
