// Unpacking to disk under Wine: where files land, the directories made for them and what that
// costs, content across piece boundaries, the two roles, the path bounds, write failures and
// damaged archives. Each case unpacks in a child copy of this executable.
#include <gtest/gtest.h>

#include <zstd.h>

#include <cstdio>
#include <random>
#include <set>
#include <thread>

#include "base/process_state.h"
#include "packer/archive/block_writer.h"
#include "paths/bounded.h"
#include "paths/directory_spec.h"
#include "format/format.h"
#include "payload/reader.h"
#include "payload/settings.h"
#include "payload/unpack.h"
#include "tests/support/packer_fixtures.h"
#include "tests/support/self_process.h"

namespace fs = std::filesystem;
using tavrin::archive_entry;
using testing_support::narrow;
using testing_support::read_file;
using testing_support::run_scenario;
using testing_support::temp_directory;
using testing_support::write_file;

namespace {

constexpr std::uint32_t abort_status = 0xC0000409;  // the bound abort, as a waiting parent sees it
const char decode_error[] = "Error, couldn't decode attached data.\r\n";

}  // namespace

// Arguments: BLOCK-FILE UNPACK-DIRECTORY parent|child. Prints "returned" and first_file_path once
// unpack_attached_data has returned.
TAVRIN_SCENARIO(unpack)
{
    std::string block = read_file(argv[1]);
    unsigned char* image = static_cast<unsigned char*>(malloc(block.size() + 1));
    memcpy(image, block.data(), block.size());
    copy_wide_bounded(directory_in_use, argv[2], wide_path_capacity);
    open_attached_data(image, block.size());
    unpack_attached_data(std::wstring(argv[3]) == L"child" ? role_child : role_parent);
    printf("returned\nfirst=%s\n", narrow(first_file_path).c_str());
    return 0;
}

// Arguments: BLOCK-FILE UNPACK-DIRECTORY WATCHED. Unpacks as a parent while another thread keeps
// trying to open WATCHED (a file of the archive) for writing and for reading; prints what it saw
// while the file existed: "write-refused" and "read-allowed" (each 0 or 1).
TAVRIN_SCENARIO(unpack_watched)
{
    std::string block = read_file(argv[1]);
    copy_wide_bounded(directory_in_use, argv[2], wide_path_capacity);
    std::wstring watched = argv[3];
    volatile LONG done = 0, write_refused = 0, read_allowed = 0;
    std::thread watcher([&] {
        const DWORD share_all = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
        while (done == 0) {
            HANDLE writer = CreateFileW(watched.c_str(), GENERIC_WRITE, share_all, nullptr, OPEN_EXISTING, 0, nullptr);
            if (writer == INVALID_HANDLE_VALUE && GetLastError() == ERROR_SHARING_VIOLATION) write_refused = 1;
            if (writer != INVALID_HANDLE_VALUE) CloseHandle(writer);
            HANDLE reader = CreateFileW(watched.c_str(), GENERIC_READ, share_all, nullptr, OPEN_EXISTING, 0, nullptr);
            if (reader != INVALID_HANDLE_VALUE) {
                read_allowed = 1;
                CloseHandle(reader);
            }
        }
    });
    open_attached_data(reinterpret_cast<const unsigned char*>(block.data()), block.size());
    unpack_attached_data(role_parent);
    done = 1;
    watcher.join();
    printf("write-refused=%ld read-allowed=%ld", write_refused, read_allowed);
    return 0;
}

namespace {

struct unpack_result {
    testing_support::process_result process;
    bool returned = false;
    std::wstring first;
};

unpack_result unpack(const std::string& block, const std::wstring& directory, const wchar_t* role = L"parent")
{
    temp_directory holder;
    fs::path block_path = holder.path() / L"block";
    write_file(block_path, block);
    unpack_result result;
    result.process = run_scenario(L"unpack", {block_path.wstring(), directory, role});
    const std::string& out = result.process.out;
    result.returned = out.rfind("returned\r\n", 0) == 0;
    std::size_t first = out.find("first=");
    if (result.returned && first != std::string::npos)
        result.first = testing_support::widen(out.substr(first + 6, out.find("\r\n", first) - first - 6));
    return result;
}

archive_entry entry(std::u16string name, std::string data) { return packer_test::memory_entry(name, data); }

std::string random_bytes(std::size_t size, unsigned seed)
{
    std::mt19937 generator(seed);
    std::string bytes(size, '\0');
    for (auto& byte : bytes) byte = static_cast<char>(generator() & 0xFF);
    return bytes;
}

// A block around a content stream written by hand, for streams the packer refuses to make.
std::string block_from_stream(const std::string& stream)
{
    std::string frame(ZSTD_compressBound(stream.size()), '\0');
    std::size_t size = ZSTD_compress(frame.data(), frame.size(), stream.data(), stream.size(), 3);
    EXPECT_FALSE(ZSTD_isError(size));
    frame.resize(size);
    return packer_test::assemble_block(frame);
}

std::u16string u16(const std::wstring& text) { return std::u16string(text.begin(), text.end()); }

std::set<std::wstring> names_in(const fs::path& directory)
{
    std::set<std::wstring> names;
    for (const auto& item : fs::directory_iterator(directory)) names.insert(item.path().filename().wstring());
    return names;
}

}  // namespace

TEST(Unpack, FilesLandUnderTheUnpackDirectoryWithTheirDirectoriesMadeOnDemand)
{
    temp_directory temp;
    fs::path root = temp.path() / L"u";  // missing: made for the first entry
    std::vector<archive_entry> entries = {
        entry(u"app.dll", random_bytes(5000, 1)),
        entry(u"readme.txt", "top level"),
        entry(u"a\\b\\c\\deep.txt", "three levels down"),
        entry(u"a\\b\\sibling.txt", "known directory"),
        entry(u"a\\x\\other.txt", "one new level"),
    };
    // Sizes around the 32 KiB pieces, exact multiples among them.
    unsigned seed = 10;
    for (std::size_t size : {0u, 32767u, 32768u, 32769u, 98304u, 300001u})
        entries.push_back(entry(u16(L"size" + std::to_wstring(size)), random_bytes(size, seed++)));
    auto result = unpack(packer_test::make_block(entries), root.wstring());
    ASSERT_TRUE(result.returned) << result.process.out << result.process.err;
    EXPECT_EQ(result.process.exit_code, 0u);
    EXPECT_EQ(result.first, root.wstring() + L"\\app.dll");
    for (const auto& e : entries) {
        fs::path file = root / std::wstring(e.name.begin(), e.name.end());
        EXPECT_TRUE(read_file(file) == *e.data) << file;
    }
    EXPECT_EQ(names_in(root).size(), 3u + 6u);
}

// The directory walk on its own: what ends it, and what it reports.
TAVRIN_SCENARIO(walk)
{
    wchar_t home[wide_path_capacity];
    if (!expand_spec(home, L"{HOME}", wide_path_capacity)) return 3;
    bool home_exists = ensure_directory(home);
    bool drive_exists = ensure_directory(L"Q:");
    bool no_separator = create_containing_directories(L"f");
    // Q: is not mapped: every level fails, and the walk stops at the bare drive.
    bool unmapped = create_containing_directories(L"Q:\\x\\y\\f");
    printf("%d %d %d %d", home_exists, drive_exists, no_separator, unmapped);
    return 0;
}

TEST(Unpack, WalkStopsAtTheHomeDirectoryAndAtBareDrives)
{
    auto result = run_scenario(L"walk");
    ASSERT_EQ(result.exit_code, 0u) << result.err;
    // Home and "Q:" count as existing; under the unmapped drive the parent never comes to exist.
    EXPECT_EQ(result.out, "1 1 1 0");
}

TEST(Unpack, AFileBeingWrittenIsSharedForReadingOnly)
{
    // Nobody may write a file between the parent's write and the child's load. 64 MiB of zeros keep
    // the file open long enough to be met while it is written.
    temp_directory temp;
    fs::path root = temp.path() / L"u";
    fs::create_directories(root);
    fs::path block_path = temp.path() / L"block";
    write_file(block_path, packer_test::make_block({entry(u"app.dll", "dll"), entry(u"big.bin", std::string(64 << 20, '\0'))},
                                                    {1, 1, 0}));
    auto result = run_scenario(L"unpack_watched", {block_path.wstring(), root.wstring(), (root / L"big.bin").wstring()});
    ASSERT_EQ(result.exit_code, 0u) << result.out << result.err;
    EXPECT_EQ(result.out, "write-refused=1 read-allowed=1");
}

TEST(Unpack, ExistingDirectoriesAndFilesAreTakenOver)
{
    temp_directory temp;
    fs::path root = temp.path() / L"u";
    fs::create_directories(root / L"a");
    write_file(root / L"a" / L"keep.txt", "left alone");
    write_file(root / L"old.txt", "an older and longer content");
    write_file(root / L"empty.txt", "to be truncated");

    auto result = unpack(packer_test::make_block({entry(u"old.txt", "new"), entry(u"a\\n.txt", "into an old directory"),
                                             entry(u"a\\m.txt", "again"), entry(u"empty.txt", "")}),
                         root.wstring());
    ASSERT_TRUE(result.returned) << result.process.out << result.process.err;
    EXPECT_EQ(read_file(root / L"old.txt"), "new");
    EXPECT_EQ(read_file(root / L"a" / L"n.txt"), "into an old directory");
    EXPECT_EQ(read_file(root / L"a" / L"m.txt"), "again");
    EXPECT_EQ(read_file(root / L"a" / L"keep.txt"), "left alone");
    EXPECT_TRUE(fs::exists(root / L"empty.txt"));
    EXPECT_EQ(fs::file_size(root / L"empty.txt"), 0u);
}

TEST(Unpack, ChildRoleReadsOnlyTheFirstNameAndWritesNothing)
{
    temp_directory temp;
    fs::path root = temp.path() / L"u";
    std::string block = packer_test::make_block(
        {entry(u"app.dll", random_bytes(1 << 20, 3)), entry(u"lib\\more.dll", random_bytes(1000, 4))});
    // Cut far behind the first name: what the child needs is still there, the rest is not.
    std::string cut = block.substr(0, block.size() / 2);

    auto child = unpack(cut, root.wstring(), L"child");
    ASSERT_TRUE(child.returned) << child.process.out << child.process.err;
    EXPECT_EQ(child.first, root.wstring() + L"\\app.dll");
    EXPECT_FALSE(fs::exists(root));

    // The parent has to read on, and fails.
    auto parent = unpack(cut, root.wstring(), L"parent");
    EXPECT_FALSE(parent.returned);
    EXPECT_EQ(parent.process.exit_code, 2u);
    EXPECT_EQ(parent.process.out, decode_error);
}

TEST(Unpack, ArchiveWithoutEntriesWritesNothing)
{
    temp_directory temp;
    fs::path root = temp.path() / L"u";
    for (const wchar_t* role : {L"parent", L"child"}) {
        auto result = unpack(packer_test::make_block({}), root.wstring(), role);
        ASSERT_TRUE(result.returned) << result.process.out << result.process.err;
        EXPECT_EQ(result.first, L"");
        EXPECT_FALSE(fs::exists(root));
    }
}

TEST(Unpack, DirectoriesBeyondTheRememberedOnesAreStillMade)
{
    temp_directory temp;
    fs::path root = temp.path() / L"u";
    std::vector<archive_entry> entries;
    for (int i = 0; i < 1100; ++i) {
        wchar_t name[32];
        swprintf(name, 32, L"d%04d\\f", i);
        entries.push_back(entry(u16(name), std::to_string(i)));
    }
    entries.push_back(entry(u"d1099\\g", "not remembered"));
    entries.push_back(entry(u"d0000\\g", "remembered"));
    auto result = unpack(packer_test::make_block(entries, {3}), root.wstring());
    ASSERT_TRUE(result.returned) << result.process.out << result.process.err;
    EXPECT_EQ(names_in(root).size(), 1100u);
    EXPECT_EQ(read_file(root / L"d0000" / L"f"), "0");
    EXPECT_EQ(read_file(root / L"d1099" / L"f"), "1099");
    EXPECT_EQ(read_file(root / L"d1099" / L"g"), "not remembered");
    EXPECT_EQ(read_file(root / L"d0000" / L"g"), "remembered");
}

TEST(Unpack, NamesAndFullPathsUpToTheirBoundsAreAccepted)
{
    temp_directory temp;
    fs::path root = temp.path() / L"u";

    // A name of 1023 code units, in components short enough for the file system.
    std::u16string longest;
    while (longest.size() + 201 <= 1023) longest += std::u16string(200, u'n') + u"\\";
    longest += std::u16string(1023 - longest.size(), u'e');
    ASSERT_EQ(longest.size(), 1023u);
    auto accepted = unpack(packer_test::make_block({entry(longest, "longest name")}), root.wstring());
    ASSERT_TRUE(accepted.returned) << accepted.process.out << accepted.process.err;
    EXPECT_EQ(read_file(root / std::wstring(longest.begin(), longest.end())), "longest name");
    // std::filesystem::remove_all left a tree this deep in place (mingw-w64 12 on Wine 8): the file
    // and its directories go one by one.
    std::wstring level = root.wstring() + L"\\" + std::wstring(longest.begin(), longest.end());
    EXPECT_TRUE(DeleteFileW(level.c_str()));
    for (std::size_t cut; (cut = level.rfind(L'\\')) > root.wstring().size();)
        EXPECT_TRUE(RemoveDirectoryW((level = level.substr(0, cut)).c_str()));

    // One more unit: the packer refuses it, so the stream is made by hand.
    std::u16string too_long = longest + u"x";
    auto refused = unpack(block_from_stream(packer_test::make_content_stream({entry(u"first", "1"), entry(too_long, "2")})),
                          (temp.path() / L"v").wstring());
    EXPECT_EQ(refused.process.exit_code, abort_status);
    EXPECT_EQ(refused.process.out + refused.process.err, "");
    EXPECT_EQ(read_file(temp.path() / L"v" / L"first"), "1");
    EXPECT_EQ(names_in(temp.path() / L"v"), std::set<std::wstring>{L"first"});
}

TEST(Unpack, FullPathOf4095UnitsIsWrittenAnd4096Aborts)
{
    // Wine 8 opens a file through a Unix path (the prefix's drive link, then the path), which must
    // stay within 4096 bytes: no path near 4095 units opens. So the unpack directory is padded with
    // "." components, which the system drops when it opens the path: the launcher's buffers see the
    // whole length, the file system a short path.
    temp_directory temp;
    std::wstring root = (temp.path() / L"u").wstring();
    fs::create_directories(root);
    std::wstring padded = root;
    while (padded.size() + 2 + 1 + 8 <= 4095) padded += L"\\.";
    std::wstring name(4095 - padded.size() - 1, L'f');
    ASSERT_GE(name.size(), 6u);
    ASSERT_EQ(padded.size() + 1 + name.size(), 4095u);

    auto child = unpack(packer_test::make_block({entry(u16(name), "x")}), padded, L"child");
    ASSERT_TRUE(child.returned) << child.process.out << child.process.err;
    EXPECT_EQ(child.first.size(), 4095u);
    EXPECT_EQ(child.first, padded + L"\\" + name);

    auto parent = unpack(packer_test::make_block({entry(u"first", "1"), entry(u16(name), "exactly at the bound")}), padded);
    ASSERT_TRUE(parent.returned) << parent.process.out << parent.process.err;
    EXPECT_EQ(read_file(fs::path(root) / name), "exactly at the bound");

    // One unit more, in either role: the bound abort, before anything is written for that entry.
    std::wstring longer = name + L"g";
    auto child_refused = unpack(packer_test::make_block({entry(u16(longer), "x")}), padded, L"child");
    EXPECT_EQ(child_refused.process.exit_code, abort_status);
    EXPECT_EQ(child_refused.process.out + child_refused.process.err, "");

    fs::remove(fs::path(root) / L"first");
    auto refused = unpack(packer_test::make_block({entry(u"first", "1"), entry(u16(longer), "too long")}), padded);
    EXPECT_EQ(refused.process.exit_code, abort_status);
    EXPECT_EQ(refused.process.out + refused.process.err, "");
    EXPECT_EQ(names_in(root), (std::set<std::wstring>{L"first", name}));
}

TEST(Unpack, UnwritableTargetNamesTheFullPath)
{
    temp_directory temp;
    fs::path root = temp.path() / L"u";
    fs::create_directories(root / L"sub");  // a directory where the file should go
    auto result = unpack(packer_test::make_block({entry(u"first.dll", "1"), entry(u"sub", "2")}), root.wstring());
    EXPECT_FALSE(result.returned);
    EXPECT_EQ(result.process.exit_code, 2u);
    EXPECT_EQ(result.process.out, "");
    EXPECT_EQ(result.process.err, "Error, failed to open '" + narrow(root.wstring()) + "\\sub' for writing.\r\n");
    EXPECT_EQ(read_file(root / L"first.dll"), "1");
}

TEST(Unpack, NonAsciiNamesAreWrittenExactly)
{
    temp_directory temp;
    fs::path root = temp.path() / L"u";
    const std::wstring cjk_directory = L"\u65e5\u672c\u8a9e", cjk_file = L"\u6587\u4ef6.txt";
    const std::wstring surrogate_file = L"\U0001F600 \u00e9t\u00e9.bin";  // a pair: D83D DE00
    ASSERT_EQ(surrogate_file[0], 0xD83D);
    auto result = unpack(packer_test::make_block({entry(u16(surrogate_file), "pair"),
                                             entry(u16(cjk_directory + L"\\" + cjk_file), "cjk")}),
                         root.wstring());
    ASSERT_TRUE(result.returned) << result.process.out << result.process.err;
    EXPECT_EQ(result.first, root.wstring() + L"\\" + surrogate_file);
    EXPECT_EQ(names_in(root), (std::set<std::wstring>{surrogate_file, cjk_directory}));
    EXPECT_EQ(names_in(root / cjk_directory), std::set<std::wstring>{cjk_file});
    EXPECT_EQ(read_file(root / surrogate_file), "pair");
    EXPECT_EQ(read_file(root / cjk_directory / cjk_file), "cjk");
}

TEST(Unpack, DamagedArchiveFailsBeforeUnpackingReturns)
{
    temp_directory temp;
    std::vector<archive_entry> entries = {entry(u"app.dll", random_bytes(70000, 5)), entry(u"b\\c.txt", "c")};

    // The frame's checksum (its last four bytes, before the reserved bytes and the trailer) no
    // longer matches: every entry decodes, and only the check after the end marker can tell.
    std::string block = packer_test::make_block(entries);
    std::string bad_checksum = block;
    bad_checksum[block.size() - attached_trailer_size - attached_reserved_size - 1] ^= 0x01;
    auto checksum = unpack(bad_checksum, (temp.path() / L"u").wstring());
    EXPECT_FALSE(checksum.returned);
    EXPECT_EQ(checksum.process.exit_code, 2u);
    EXPECT_EQ(checksum.process.out, decode_error);

    // Bytes after the end marker: the stream is not what it claims to be.
    std::string stream = packer_test::make_content_stream(entries) + "xy";
    auto trailing = unpack(block_from_stream(stream), (temp.path() / L"v").wstring());
    EXPECT_FALSE(trailing.returned);
    EXPECT_EQ(trailing.process.exit_code, 2u);
    EXPECT_EQ(trailing.process.out, decode_error);
    // What was written before the failure stays.
    EXPECT_EQ(read_file(temp.path() / L"v" / L"b" / L"c.txt"), "c");

    // Ends inside an entry.
    std::string short_stream = packer_test::make_content_stream(entries);
    short_stream.resize(short_stream.size() - 4);
    auto truncated = unpack(block_from_stream(short_stream), (temp.path() / L"w").wstring());
    EXPECT_FALSE(truncated.returned);
    EXPECT_EQ(truncated.process.exit_code, 2u);
    EXPECT_EQ(truncated.process.out, decode_error);
}

TEST(Unpack, NamesThatWouldLeaveTheUnpackDirectoryOrReachADeviceAreTakenForDamage)
{
    // The packer never writes these; met in an archive they come from damage that the frame's
    // checksum has not shown yet, and nothing is written for them, inside the directory, outside it
    // or to a device. Only devices harmless if opened all the same (NUL, the console); not AUX or
    // PRN, which Wine maps to COM1 and LPT1, the machine's ports.
    temp_directory temp;
    const std::u16string names[] = {u"..\\escaped.txt", u"a\\..\\..\\escaped.txt", u".", u"a\\.\\b", u"...",
                                    u"a\\ . \\b", u"\\escaped.txt", u"a\\\\b", u"a\\", u"C:escaped.txt",
                                    u"a:stream", u"a/../../escaped.txt",
                                    u"NUL", u"nul.txt", u"sub\\nul.txt", u"CON", u"conout$", u"Con.txt", u"a.", u"b ",
                                    u"sub\\x?y"};
    int index = 0;
    for (const auto& name : names) {
        SCOPED_TRACE(tavrin::to_utf8(name));
        fs::path base = temp.path() / std::to_wstring(index++);
        fs::create_directories(base / L"in");
        std::string stream = packer_test::make_content_stream({entry(u"app.dll", "dll"), entry(name, "escaped")});
        auto result = unpack(block_from_stream(stream), (base / L"in" / L"u").wstring());
        EXPECT_FALSE(result.returned);
        EXPECT_EQ(result.process.exit_code, 2u);
        EXPECT_EQ(result.process.out, decode_error);
        EXPECT_EQ(names_in(base), std::set<std::wstring>{L"in"});
        EXPECT_EQ(names_in(base / L"in" / L"u"), std::set<std::wstring>{L"app.dll"});
    }
    // Dots and blanks inside a component are ordinary characters.
    fs::path base = temp.path() / L"ok";
    std::string stream = packer_test::make_content_stream({entry(u"app.dll", "dll"), entry(u"a..b\\.hidden\\x y", "ok")});
    auto result = unpack(block_from_stream(stream), (base / L"u").wstring());
    EXPECT_TRUE(result.returned) << result.process.out;
    EXPECT_EQ(read_file(base / L"u" / L"a..b" / L".hidden" / L"x y"), "ok");
}

// TAVRIN_ONEFILE_SERIAL names steps by exact words, in any order and number; anything else
// names none.
TEST(Settings, SerialStepsAreNamedByTheirWordsOnly)
{
    const struct {
        const wchar_t* value;
        unsigned steps;
    } cases[] = {{nullptr, 0},
                 {L"", 0},
                 {L"decode", serial_decode},
                 {L"cleanup,child", serial_cleanup | serial_child},
                 {L"child,,decode,", serial_child | serial_decode},
                 {L"all", serial_decode | serial_child | serial_cleanup},
                 {L"Decode, child,childish,decod", 0},
                 {L"everything", 0}};
    for (const auto& c : cases)
        EXPECT_EQ(parse_serial_steps(c.value), c.steps) << (c.value != nullptr ? narrow(c.value) : "unset");
}
