// The launcher's messages against docs/messages.md: the document's table lists exactly the rows of
// format/launcher_messages.h (text, stream, exit code, when), and names every value they take.
#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "format/launcher_messages.h"

namespace {

std::string document()
{
    std::ifstream file(TAVRIN_DOCS_DIR "/messages.md", std::ios::binary);
    std::ostringstream text;
    text << file.rdbuf();
    return text.str();
}

// The row as the document's table shows it.
std::string table_line(const launcher_message& message)
{
    static const char* const streams[] = {"standard output", "standard error", "standard error only"};
    static const char* const endings[] = {"2", "0xC0000409", "none: the run goes on"};
    return std::string("| `") + message.text + "` | " + streams[message.stream] + " | " + endings[message.ending] +
           " | " + message.what + " |";
}

}  // namespace

TEST(LauncherMessages, TheDocumentListsExactlyTheTable)
{
    const std::string text = document();
    ASSERT_FALSE(text.empty()) << "docs/messages.md not read";
    std::set<std::string> documented;
    std::istringstream lines(text);
    for (std::string line; std::getline(lines, line);) {
        if (line.rfind("| `", 0) == 0) {
            EXPECT_TRUE(documented.insert(line).second) << "listed twice: " << line;
        }
    }
    std::set<std::string> table;
    for (const launcher_message& message : launcher_messages) table.insert(table_line(message));
    for (const std::string& line : table) EXPECT_EQ(documented.count(line), 1u) << "missing from the document: " << line;
    for (const std::string& line : documented) EXPECT_EQ(table.count(line), 1u) << "not in the table: " << line;
}

TEST(LauncherMessages, EveryValueIsExplained)
{
    const std::string text = document();
    for (const launcher_message& message : launcher_messages) {
        SCOPED_TRACE(message.text);
        // Each "<name>" closes before the next opens, and the document says what it stands for.
        for (const char* at = message.text; (at = strchr(at, '<')) != nullptr; ++at) {
            const char* close = strchr(at, '>');
            ASSERT_NE(close, nullptr);
            const std::string name(at, close + 1);
            EXPECT_EQ(name.find('<', 1), std::string::npos) << name;
            EXPECT_NE(text.find("`" + name + "`"), std::string::npos) << name;
        }
        EXPECT_GT(std::string(message.what).size(), 0u);
    }
    for (int fault = name_empty; fault <= name_reserved_device; ++fault)
        EXPECT_NE(text.find(std::string("`") + name_fault_reason(static_cast<name_fault>(fault)) + "`"), std::string::npos)
            << fault;
    for (int refusal = trace_refused_device; refusal <= trace_refused_not_regular; ++refusal)
        EXPECT_NE(text.find(std::string("`") + trace_refusal_reason(static_cast<trace_refusal>(refusal)) + "`"),
                  std::string::npos)
            << refusal;
    EXPECT_NE(text.find("`" TAVRIN_NO_SYSTEM_TEXT "`"), std::string::npos);
}
