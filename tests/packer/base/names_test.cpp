// Windows name rules: every kind of name Windows cannot create, its case-insensitive comparison
// beyond ASCII, clashes between names, and the long-path warning's threshold.
#include <gtest/gtest.h>

#include "packer/archive/block_writer.h"
#include "packer/base/names.h"
#include "format/entry_names.h"

namespace {

std::string problem(std::u16string_view component) { return tavrin::windows_name_problem(component); }

TEST(WindowsNames, ReservedDeviceNamesInAnyCaseAndWithAnyExtension)
{
    const std::u16string_view reserved[] = {
        u"CON", u"con", u"Prn", u"AUX", u"nul", u"NUL.txt", u"nul.tar.gz", u"con .txt", u"CONIN$", u"conout$.log",
        u"COM1", u"com9", u"COM0", u"LPT1", u"lpt5.dat", u"LPT9", u"COM\u00B9", u"lpt\u00B2.x", u"COM\u00B3",
    };
    for (auto name : reserved) {
        std::string why = problem(name);
        EXPECT_NE(why.find("reserved device name"), std::string::npos) << tavrin::to_utf8(std::u16string(name)) << ": " << why;
    }
    // Names that only look like them are fine.
    const std::u16string_view allowed[] = {
        u"CONSOLE", u"icon", u"com10", u"LPT", u"COMA", u"null", u"x.con", u"aux_file", u".nul", u"COM\u2074", u"con-1.txt",
    };
    for (auto name : allowed) EXPECT_EQ(problem(name), "") << tavrin::to_utf8(std::u16string(name));

    // tavrin-pack.exe's output: a path Windows takes for a device is refused by its form alone.
    for (std::u16string_view device : {u"NUL", u"con.exe", u"C:\\out\\Com1", u"out/lpt\u00b9.log", u"aux .txt", u"C:nul",
                                       u"x\\CONOUT$:stream", u"\\\\.\\pipe\\x", u"//./C:", u"\\\\?\\GLOBALROOT\\Device\\Null"})
        EXPECT_NE(tavrin::windows_device_problem(device), "") << tavrin::to_utf8(std::u16string(device));
    for (std::u16string_view file : {u"app.exe", u"C:\\nul\\app.exe", u"console.exe", u"COM10", u"\\\\?\\C:\\out\\app.exe",
                                     u"\\\\.\\D:\\app.exe", u"\\\\?\\UNC\\server\\share\\app.exe", u"\\\\server\\share\\app.exe"})
        EXPECT_EQ(tavrin::windows_device_problem(file), "") << tavrin::to_utf8(std::u16string(file));
}

TEST(WindowsNames, CharactersAndEndings)
{
    for (char16_t unit : std::u16string(u"<>:\"|?*")) {
        std::u16string name = u"a" + std::u16string(1, unit) + u"b";
        EXPECT_NE(problem(name).find("cannot hold"), std::string::npos) << static_cast<char>(unit);
    }
    EXPECT_NE(problem(u"tab\there").find("control character"), std::string::npos);
    EXPECT_NE(problem(std::u16string(u"\x1F" u"x")).find("control character"), std::string::npos);
    EXPECT_NE(problem(u"back\\slash").find("backslash"), std::string::npos);
    EXPECT_NE(problem(u"trailing.").find("ending in '.'"), std::string::npos);
    EXPECT_NE(problem(u"trailing ").find("ending in '.'"), std::string::npos);
    EXPECT_NE(problem(u"").find("empty"), std::string::npos);
    for (std::u16string_view fine : {u"a b.txt", u".hidden", u"..x", u"x.y.z", u"\u00e9t\u00e9", u"\u6587\u4ef6", u"a;b,c=d+e[f]"})
        EXPECT_EQ(problem(fine), "") << tavrin::to_utf8(std::u16string(fine));
}

TEST(WindowsNames, EntryNamesAreCheckedComponentByComponent)
{
    EXPECT_NO_THROW(tavrin::check_windows_entry_name(u"bin\\x64\\app.dll"));
    for (std::u16string_view refused : {u"logs\\nul\\today.txt", u"data\\what?\\x", u"dir.\\x", u"a\\..\\b", u"\\abs", u"c:x"}) {
        try {
            tavrin::check_windows_entry_name(std::u16string(refused));
            ADD_FAILURE() << "accepted " << tavrin::to_utf8(std::u16string(refused));
        } catch (const tavrin::name_error& error) {
            // The message names the whole name, not only the component at fault.
            EXPECT_NE(std::string(error.what()).find(tavrin::to_utf8(std::u16string(refused))), std::string::npos) << error.what();
        }
    }
}

// The decision the launcher shares, called directly: COM1 and LPT1 are tested here only, never
// unpacked (under Wine they are the machine's ports).
TEST(WindowsNames, TheLaunchersDecisionOnWholeNames)
{
    auto fault = [](std::u16string_view name, std::size_t* at = nullptr) { return entry_name_fault(name.data(), name.size(), at); };
    std::size_t at = 99;
    EXPECT_EQ(fault(u"COM1", &at), name_reserved_device);
    EXPECT_EQ(at, 0u);
    EXPECT_EQ(fault(u"bin\\lpt1.txt\\x", &at), name_reserved_device);
    EXPECT_EQ(at, 4u) << "the faulty component starts after 'bin\\'";
    EXPECT_EQ(fault(u"a\\Com\u00B3"), name_reserved_device);
    EXPECT_EQ(fault(u"sub\\a."), name_trailing_dot_or_space);
    EXPECT_EQ(fault(u"b \\x"), name_trailing_dot_or_space);
    EXPECT_EQ(fault(u"a\\..\\b"), name_dot_component);
    EXPECT_EQ(fault(u"\\abs"), name_empty_component);
    EXPECT_EQ(fault(u"a\\"), name_empty_component);
    EXPECT_EQ(fault(u""), name_empty);
    EXPECT_EQ(fault(u"c:x"), name_colon);
    EXPECT_EQ(fault(u"a/b"), name_separator);
    EXPECT_EQ(fault(u"a\\w?\\b"), name_forbidden_character);
    EXPECT_EQ(fault(std::u16string_view(u"a\0b", 3)), name_control_character);
    for (std::u16string_view fine : {u"app.dll", u"com10\\LPT\\console.x", u"..a\\.hidden\\a b.c", u"COM\u2074"})
        EXPECT_EQ(fault(fine), name_ok) << tavrin::to_utf8(std::u16string(fine));
    // Any 16-bit or wider unit type: the launcher's wchar_t, the packer's char16_t.
    EXPECT_EQ(entry_name_fault(L"sub\\nul.txt", 11), name_reserved_device);
    // The packer's checks take the same decision and keep their messages.
    EXPECT_NE(tavrin::entry_name_problem(u"logs\\COM1.log").find("'COM1.log' is a reserved device name"), std::string::npos);
    EXPECT_THROW(tavrin::check_entry_name(u"LPT1"), tavrin::name_error);
    EXPECT_THROW(tavrin::check_windows_entry_name(u"a\\b."), tavrin::name_error);
}

TEST(WindowsCase, UpperCaseBeyondAscii)
{
    const std::pair<char16_t, char16_t> pairs[] = {
        {u'a', u'A'},           {u'z', u'Z'},           {u'\u00e9', u'\u00c9'}, {u'\u00ff', u'\u0178'},  // é, ÿ
        {u'\u0101', u'\u0100'}, {u'\u017e', u'\u017d'}, {u'\u03b1', u'\u0391'}, {u'\u03c9', u'\u03a9'},  // ā, ž, α, ω
        {u'\u03c2', u'\u03a3'}, {u'\u0436', u'\u0416'}, {u'\u0451', u'\u0401'}, {u'\u0561', u'\u0531'},  // ς, ж, ё, ա
        {u'\u1e01', u'\u1e00'}, {u'\u2170', u'\u2160'}, {u'\u24d0', u'\u24b6'}, {u'\uff41', u'\uff21'},  // ḁ, ⅰ, ⓐ, ａ
        {u'\u10d0', u'\u1c90'}, {u'\u2c30', u'\u2c00'}, {u'\uab70', u'\u13a0'},                            // Georgian, Glagolitic, Cherokee
    };
    for (auto [lower, upper] : pairs) {
        EXPECT_EQ(tavrin::windows_upper(lower), upper) << std::hex << lower;
        EXPECT_EQ(tavrin::windows_upper(upper), upper) << std::hex << upper;
    }
    // Within alternating ranges only every other unit is a lower-case letter.
    EXPECT_EQ(tavrin::windows_upper(u'\u0100'), u'\u0100');
    // No one-to-several mappings, nothing for characters without case.
    for (char16_t same : {u'\u00df', u'1', u'_', u'\u6587', u'\u0660', static_cast<char16_t>(0xD83D)})
        EXPECT_EQ(tavrin::windows_upper(same), same) << std::hex << same;
    EXPECT_EQ(tavrin::windows_case_key(u"Stra\u00dfe\\\u00e9t\u00e9.TXT"), u"STRA\u00dfE\\\u00c9T\u00c9.TXT");
}

TEST(WindowsCase, NameClashes)
{
    auto clashes = tavrin::find_name_clashes({u"readme.txt", u"docs\\\u00e9t\u00e9.md", u"README.TXT", u"DOCS\\\u00c9T\u00c9.md",
                                              u"docs\\other.md", u"Docs\\more.md", u"\u0436\\x", u"\u0416\\y"});
    ASSERT_EQ(clashes.size(), 2u) << "a directory in two spellings is no clash: both files land in it";
    EXPECT_EQ(clashes[0].first, u"readme.txt");
    EXPECT_EQ(clashes[0].second, u"README.TXT");
    EXPECT_FALSE(clashes[0].file_as_directory);
    EXPECT_EQ(clashes[1].second, u"DOCS\\\u00c9T\u00c9.md");
    EXPECT_NE(tavrin::describe(clashes[0]).find("differ only in letter case"), std::string::npos);

    auto directory = tavrin::find_name_clashes({u"Data", u"data\\x.txt", u"lib\\a", u"lib\\a\\b\\c"});
    ASSERT_EQ(directory.size(), 2u);
    EXPECT_TRUE(directory[0].file_as_directory);
    EXPECT_EQ(directory[0].first, u"Data");
    EXPECT_EQ(directory[0].second, u"data\\x.txt");
    EXPECT_EQ(directory[1].first, u"lib\\a");
    EXPECT_NE(tavrin::describe(directory[0]).find("needs a directory"), std::string::npos);

    auto twice = tavrin::find_name_clashes({u"x", u"x"});
    ASSERT_EQ(twice.size(), 1u);
    EXPECT_NE(tavrin::describe(twice[0]).find("occurs twice"), std::string::npos);
    EXPECT_TRUE(tavrin::find_name_clashes({u"a", u"b\\a", u"ab", u"a.b"}).empty());
}

TEST(LongPaths, WarningThreshold)
{
    // C:\Users\ + 20 + \AppData\Local\Temp\ + onefile_ + 6 + _ + 6 + _ + 11 + \ .
    EXPECT_EQ(tavrin::typical_unpack_prefix.size(), 9u + 20 + 20 + 8 + 6 + 1 + 6 + 1 + 11 + 1);
    EXPECT_EQ(tavrin::long_name_threshold, 176u);
    EXPECT_EQ(tavrin::long_path_warning(std::u16string(tavrin::long_name_threshold, u'n')), "");
    std::string warning = tavrin::long_path_warning(u"deep\\" + std::u16string(tavrin::long_name_threshold - 4, u'n'));
    EXPECT_NE(warning.find("260 characters"), std::string::npos) << warning;
    EXPECT_NE(warning.find("'deep\\nnn"), std::string::npos) << "the warning names the file";
}

TEST(Directories, CountedOnceEach)
{
    EXPECT_EQ(tavrin::count_directories({}), 0u);
    EXPECT_EQ(tavrin::count_directories({u"app.dll", u"a.txt"}), 0u);
    EXPECT_EQ(tavrin::count_directories({u"app.dll", u"a\\b\\c.txt", u"a\\d.txt", u"a\\b\\e.txt", u"f\\g"}), 3u);
}

}  // namespace
