// Cached mode's kept tree under Wine: the levels it accepts (also a lower version's), version texts
// compared, stale leftovers, a retired tree, each directory held until released, and the content
// compared through the held files and the marker.
#include <gtest/gtest.h>

#include <functional>
#include <string>

#include "launcher/cache.h"
#include "launcher/held_tree.h"
#include "base/process_state.h"
#include "packer/archive/block_writer.h"
#include "format/settings_record.h"
#include "payload/reader.h"
#include "tests/support/packer_fixtures.h"
#include "tests/support/self_process.h"

namespace fs = std::filesystem;
using testing_support::quote_argument;
using testing_support::read_file;
using testing_support::self_path;
using testing_support::temp_directory;
using testing_support::write_file;

TEST(CachedTree, OnlyPlainDirectoriesAreUsed)
{
    // Wine 8 makes no junctions or symbolic links, so the decision is tested on the attributes.
    EXPECT_TRUE(cache_level_acceptable(FILE_ATTRIBUTE_DIRECTORY));
    EXPECT_TRUE(cache_level_acceptable(FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_READONLY));
    EXPECT_FALSE(cache_level_acceptable(FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT));
    EXPECT_FALSE(cache_level_acceptable(FILE_ATTRIBUTE_REPARSE_POINT));
    EXPECT_FALSE(cache_level_acceptable(FILE_ATTRIBUTE_ARCHIVE));
}

TEST(CachedTree, VersionTextsAreComparedAsNumbers)
{
    // {candidate, own, whether the candidate's tree is a lower version's}
    const struct {
        const wchar_t *candidate, *own;
        bool lower;
    } cases[] = {
        {L"1.9.0.0", L"1.10.0.0", true},   {L"1.10.0.0", L"1.9.0.0", false}, {L"1.2.3.4", L"1.2.3.4", false},
        {L"1.2", L"1.2.0.1", true},         {L"1.2.0.0", L"1.2", false},      {L"0.0.0.9", L"1", true},
        {L"65535.0.0.0", L"99999", true},   {L"1.2.3.4.5", L"9", false},      {L"1..2", L"9", false},
        {L"1.2.", L"9", false},             {L".1", L"9", false},             {L"", L"9", false},
        {L"123456", L"999999", false},      {L"1a", L"9", false},             {L"1.0 beta", L"9", false},
        {L"1.0", L"latest", false},
    };
    for (const auto& row : cases)
        EXPECT_EQ(version_text_lower(row.candidate, row.own), row.lower)
            << testing::PrintToString(std::wstring(row.candidate)) << " against " << testing::PrintToString(std::wstring(row.own));
}

TEST(CachedTree, OnlyLeftoversOfEndedRunsAreStale)
{
    const FILETIME long_ago = {0, 0};
    EXPECT_FALSE(leftover_is_stale(GetCurrentProcessId(), long_ago)) << "our own";

    // A running process made before the leftover is its maker; one started after it is not.
    PROCESS_INFORMATION running = {};
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    std::wstring line = quote_argument(self_path()) + L" --scenario exit_after 60000 0";
    ASSERT_TRUE(CreateProcessW(self_path().c_str(), &line[0], NULL, NULL, FALSE, 0, NULL, NULL, &startup, &running));
    CloseHandle(running.hThread);
    Sleep(20);
    FILETIME now;
    GetSystemTimeAsFileTime(&now);
    EXPECT_FALSE(leftover_is_stale(running.dwProcessId, now));
    EXPECT_TRUE(leftover_is_stale(running.dwProcessId, long_ago)) << "the id was taken by a later process";
    TerminateProcess(running.hProcess, 0);
    WaitForSingleObject(running.hProcess, INFINITE);
    EXPECT_TRUE(leftover_is_stale(running.dwProcessId, now)) << "ended";
    CloseHandle(running.hProcess);
}

TEST(CachedTree, ARetiredTreeIsDeletedOnlyWhenItIsTheOneChecked)
{
    temp_directory temp;
    const std::wstring tree = temp.wstr() + L"\\tree", checked_away = temp.wstr() + L"\\checked";
    fs::create_directory(tree);
    HANDLE open = CreateFileW(tree.c_str(), FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, NULL,
                              OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, NULL);
    BY_HANDLE_FILE_INFORMATION info = {};
    ASSERT_TRUE(GetFileInformationByHandle(open, &info));
    CloseHandle(open);
    const directory_identity checked = identity_of(&info);
    // Between the check and the rename another directory took the tree's place: never deleted.
    ASSERT_TRUE(MoveFileExW(tree.c_str(), checked_away.c_str(), 0));
    fs::create_directory(tree);
    write_file(tree + L"\\other.txt", "other");
    EXPECT_FALSE(retire_tree(tree.c_str(), (temp.wstr() + L"\\away1").c_str(), &checked, NULL, false));
    EXPECT_EQ(read_file(tree + L"\\other.txt"), "other") << "moved back, never deleted";
    EXPECT_FALSE(fs::exists(temp.path() / L"away1"));
    fs::rename(tree, temp.path() / L"other");
    ASSERT_TRUE(MoveFileExW(checked_away.c_str(), tree.c_str(), 0));
    EXPECT_TRUE(retire_tree(tree.c_str(), (temp.wstr() + L"\\away2").c_str(), &checked, NULL, false));
    EXPECT_FALSE(fs::exists(temp.path() / L"away2"));
}

namespace {

// The directory `tree` opened as cached mode opens the tree it walks.
HANDLE open_tree_root(const std::wstring& tree)
{
    return CreateFileW(tree.c_str(), FILE_LIST_DIRECTORY | FILE_READ_ATTRIBUTES | SYNCHRONIZE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                       NULL, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, NULL);
}

}  // namespace

TEST(CachedTree, EveryDirectoryIsCountedOnceAndHeldUntilReleased)
{
    // Wide and deep enough that every walker gets directories: 60 of them, files at every level;
    // and 300 files of 180-unit names at the top, more than one 64 KiB listing holds.
    temp_directory temp;
    const std::wstring tree = temp.wstr() + L"\\tree";
    tree_summary expected = {0, 0, 0};
    fs::create_directories(tree);
    for (int i = 0; i < 300; ++i) {
        const std::wstring file = std::to_wstring(1000 + i) + std::wstring(176, L'n');
        write_file(tree + L"\\" + file, "x");
        add_to_summary(&expected, file.c_str(), 1);
    }
    for (int top = 0; top < 6; ++top) {
        std::wstring relative = L"t" + std::to_wstring(top);
        for (int level = 0; level < 10; ++level, relative += L"\\d" + std::to_wstring(level)) {
            fs::create_directories(tree + L"\\" + relative);
            const std::wstring file = relative + L"\\f" + std::to_wstring(level) + L".bin";
            write_file(tree + L"\\" + file, std::string(static_cast<size_t>(top * 10 + level), 'x'));
            add_to_summary(&expected, file.c_str(), static_cast<uint64_t>(top * 10 + level));
        }
    }
    HANDLE root = open_tree_root(tree);
    ASSERT_NE(root, INVALID_HANDLE_VALUE);
    const std::wstring deep = tree + L"\\t5\\d1\\d2\\d3";
    for (int round = 0; round < 20; ++round) {
        const bool open_files = round % 2 == 1;
        tree_summary summary;
        ASSERT_TRUE(walk_held_tree(root, open_files, walk_record, &summary)) << round;
        EXPECT_EQ(summary.files, expected.files) << round;
        EXPECT_EQ(summary.bytes, expected.bytes) << round;
        EXPECT_EQ(summary.fingerprint, expected.fingerprint) << round;
        EXPECT_FALSE(MoveFileExW(deep.c_str(), (deep + L".old").c_str(), 0)) << "a held directory renamed, round " << round;
        release_held_tree();
    }
    EXPECT_TRUE(MoveFileExW(deep.c_str(), (deep + L".old").c_str(), 0)) << "still held after the release";
    CloseHandle(root);
}

TEST(CachedTree, TheContentIsComparedThroughTheHeldFiles)
{
    // An elevated run compares a sealed tree this way; Wine 8 shows no tree sealed, so the launcher
    // never gets there under Wine.
    temp_directory temp;
    const std::wstring tree = temp.wstr() + L"\\tree";
    fs::create_directories(tree + L"\\sub");
    write_file(tree + L"\\app.dll", "application");
    write_file(tree + L"\\sub\\data.txt", "data");
    write_file(tree + L"\\" + std::wstring(L"" TAVRIN_CACHE_MARKER_NAME), "marker text");
    HANDLE root = open_tree_root(tree);
    ASSERT_NE(root, INVALID_HANDLE_VALUE);
    using packer_test::memory_entry;
    const std::pair<std::vector<tavrin::archive_entry>, bool> cases[] = {
        {{memory_entry(u"app.dll", "application"), memory_entry(u"sub\\data.txt", "data")}, true},
        {{memory_entry(u"app.dll", "application"), memory_entry(u"sub\\data.txt", "DATA")}, false},
        {{memory_entry(u"app.dll", "application")}, false},  // a file that no entry names
        {{memory_entry(u"app.dll", "application"), memory_entry(u"sub\\data.txt", "data"), memory_entry(u"sub\\more", "")}, false},
    };
    for (const auto& [entries, same] : cases) {
        tree_summary summary;
        ASSERT_TRUE(walk_held_tree(root, true, walk_record, &summary));
        EXPECT_EQ(summary.files, 2u) << "the marker is not counted";
        std::ostringstream block;
        tavrin::write_block(entries, block);
        const std::string bytes = block.str();
        open_attached_data(reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size());
        EXPECT_EQ(held_files_match_attached_data(), same) << entries.size() << " entries";
        release_held_tree();
    }
    CloseHandle(root);
}

TEST(CachedTree, OnlyTheArchivesListedFilesCountAndTheMarkerIsReadAsUntrusted)
{
    // A tree as a run unpacked it, its marker written from the recording walk; then what the
    // application may add (ignored) and what damages the tree (refused), each on a fresh copy.
    temp_directory temp;
    const std::string identity = "0123456789abcdef0123456789abcdef";
    const std::wstring tree = temp.wstr() + L"\\tree", marker = tree + L"\\" + std::wstring(L"" TAVRIN_CACHE_MARKER_NAME);
    auto lay_out = [&] {
        fs::remove_all(tree);
        fs::create_directories(tree + L"\\sub\\deep");
        write_file(tree + L"\\app.dll", "application");
        write_file(tree + L"\\sub\\data.txt", "data");
        write_file(tree + L"\\sub\\deep\\caf\u00e9 100%.txt", "deep");
        HANDLE root = open_tree_root(tree);
        tree_summary summary;
        EXPECT_TRUE(walk_held_tree(root, false, walk_record, &summary));
        release_held_tree();
        CloseHandle(root);
        size_t length = 0;
        const char* text = format_tree_marker(identity.c_str(), &summary, &length);
        write_file(marker, std::string(text, length));
    };
    // Whether the tree passes the later run's check: its marker loaded, then the listed names walked.
    auto passes = [&](bool open_files) {
        HANDLE root = open_tree_root(tree);
        tree_summary stated, found;
        bool sound = load_tree_marker(root, identity.c_str(), &stated) && walk_held_tree(root, open_files, walk_listed, &found) &&
                     found.files == stated.files && found.bytes == stated.bytes && found.fingerprint == stated.fingerprint;
        release_held_tree();
        CloseHandle(root);
        return sound;
    };
    lay_out();
    const std::string written = read_file(marker);
    EXPECT_EQ(written.rfind("tavrin-onefile cache 2\nidentity " + identity + "\nfiles 3 bytes 19 fingerprint ", 0), 0u) << written;
    EXPECT_NE(written.find("\n4 sub\\deep\\caf%00e9 100%0025.txt\n"), std::string::npos) << written;

    struct change {
        const char* what;
        std::function<void()> apply;
        bool passes;
    };
    const change changes[] = {
        {"as unpacked", [] {}, true},
        {"a file added at the top", [&] { write_file(tree + L"\\settings.ini", "runs 3"); }, true},
        {"files added in a listed directory and a new one",
         [&] {
             write_file(tree + L"\\sub\\log.txt", "log");
             fs::create_directories(tree + L"\\cache\\more");
             write_file(tree + L"\\cache\\more\\app.dll", "not the archive's");
         },
         true},
        {"an archived file rewritten at its size", [&] { write_file(tree + L"\\sub\\data.txt", "DATA"); }, true},
        {"an archived file resized", [&] { write_file(tree + L"\\sub\\data.txt", "data, longer"); }, false},
        {"an archived file deleted", [&] { fs::remove(tree + L"\\app.dll"); }, false},
        {"an archived file replaced by a directory",
         [&] {
             fs::remove(tree + L"\\app.dll");
             fs::create_directory(tree + L"\\app.dll");
         },
         false},
        {"a listed directory replaced by a file",
         [&] {
             fs::remove_all(tree + L"\\sub\\deep");
             write_file(tree + L"\\sub\\deep", "");
         },
         false},
        {"no marker", [&] { fs::remove(marker); }, false},
        {"the marker of version 1", [&] { write_file(marker, "tavrin-onefile cache 1\nidentity " + identity + "\nfiles 3 bytes 19 fingerprint 0000000000000000\n"); }, false},
        {"the marker of another archive", [&] { write_file(marker, std::string(written).replace(32, 1, "1")); }, false},
        {"a listed file left out of the marker", [&] { write_file(marker, written.substr(0, written.rfind('\n', written.size() - 2) + 1)); }, false},
        {"the marker cut in a line", [&] { write_file(marker, written.substr(0, written.size() - 3)); }, false},
        {"a line added to the marker", [&] { write_file(marker, written + "0 sub\\extra\n"); }, false},
        {"the marker's last line without its newline", [&] { write_file(marker, written.substr(0, written.size() - 1)); }, false},
    };
    for (const auto& each : changes) {
        SCOPED_TRACE(each.what);
        lay_out();
        each.apply();
        EXPECT_EQ(passes(false), each.passes);
        EXPECT_EQ(passes(true), each.passes) << "with the listed files opened";
    }

    // Untrusted text: each of these is refused whole (the summary line made to match where it can).
    const std::string head = "tavrin-onefile cache 2\nidentity " + identity + "\n";
    auto with_summary = [&](const std::vector<std::pair<std::wstring, uint64_t>>& files, const std::string& lines) {
        tree_summary summary = {0, 0, 0};
        for (const auto& [name, size] : files) add_to_summary(&summary, name.c_str(), size);
        char line[128];
        snprintf(line, sizeof line, "files %llu bytes %llu fingerprint %016llx\n", static_cast<unsigned long long>(summary.files),
                 static_cast<unsigned long long>(summary.bytes), static_cast<unsigned long long>(summary.fingerprint));
        return head + line + lines;
    };
    const std::pair<const char*, std::string> malformed[] = {
        {"a name twice", with_summary({{L"a", 1}, {L"a", 1}}, "1 a\n1 a\n")},
        {"a file below a file", with_summary({{L"a", 1}, {L"a\\b", 1}}, "1 a\n1 a\\b\n")},
        {"a name that leaves the tree", with_summary({{L"..\\a", 1}}, "1 ..\\a\n")},
        {"a device name", with_summary({{L"nul.txt", 1}}, "1 nul.txt\n")},
        {"an escape cut short", with_summary({{L"a", 1}}, "1 %00\n")},
        {"an escape that is no hexadecimal", with_summary({{L"a", 1}}, "1 %00zz\n")},
        {"a byte outside printable ASCII", with_summary({{L"a", 1}}, "1 \xc3\xa9\n")},
        {"a NUL byte", with_summary({{L"a", 1}}, std::string("1 a\0b\n", 6))},
        {"a size beyond 64 bits", head + "files 1 bytes 0 fingerprint 0000000000000000\n99999999999999999999 a\n"},
        {"no size", with_summary({{L"a", 0}}, " a\n")},
        {"a name too long", with_summary({{std::wstring(1100, L'n'), 1}}, "1 " + std::string(1100, 'n') + "\n")},
        {"a short fingerprint", head + "files 0 bytes 0 fingerprint 0\n"},
    };
    for (const auto& [what, text] : malformed) {
        SCOPED_TRACE(what);
        lay_out();
        write_file(marker, text);
        HANDLE root = open_tree_root(tree);
        tree_summary stated;
        EXPECT_FALSE(load_tree_marker(root, identity.c_str(), &stated));
        EXPECT_TRUE(MoveFileExW(marker.c_str(), (marker + L".old").c_str(), 0)) << "the marker is held no longer";
        CloseHandle(root);
    }
}
