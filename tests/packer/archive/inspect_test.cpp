// Reading packages back: list, verify and extract on sound packages, and on damaged ones made from a
// sound block, each damage replayed through the library and the tavrin-pack command.
#define ZSTD_STATIC_LINKING_ONLY  // ZSTD_frameHeaderSize
#include <zstd.h>

#include <gtest/gtest.h>

#include <fstream>
#include <functional>

#include "packer/archive/inspect.h"
#include "packer/cli/report.h"
#include "packer/pack.h"
#include "format/format.h"
#include "tests/packer/pack_fixture.h"
#include "tests/support/packer_fixtures.h"

namespace {
using namespace packer_test;
using tavrin::archive_entry;
using tavrin::damage;
namespace fs = std::filesystem;

const std::string dll = entry_dll();

std::vector<archive_entry> sound_entries()
{
    return {packer_test::memory_entry(u"app.dll", dll), packer_test::memory_entry(u"readme.txt", "read me"),
            packer_test::memory_entry(u"data\\\u00e9t\u00e9.bin", std::string(70000, '\x01')),
            packer_test::memory_entry(u"data\\empty", "")};
}

std::string stream_of(const std::vector<archive_entry>& entries) { return packer_test::make_content_stream(entries); }
std::string block_of(const std::string& stream, const frame_settings& settings = {})
{
    return assemble_block(compress_frame(stream, settings));
}
std::string sound_block() { return packer_test::make_block(sound_entries(), {3, 1, 0}); }

std::string set_u64(std::string block, std::size_t at, std::uint64_t value)
{
    for (int i = 0; i < 8; ++i) block[at + i] = static_cast<char>((value >> (8 * i)) & 0xFF);
    return block;
}

// The frame of a block (between the magic and the tail).
std::string frame_of(const std::string& block) { return block.substr(3, block.size() - 15); }

// `frame` with a one-byte dictionary id added to its header.
std::string with_dictionary(std::string frame)
{
    const unsigned char descriptor = static_cast<unsigned char>(frame[4]);
    const bool single_segment = (descriptor & 0x20) != 0;
    frame[4] = static_cast<char>(descriptor | 0x01);
    frame.insert(5 + (single_segment ? 0 : 1), 1, '\x2A');
    return frame;
}

// `frame` with its first block's type set to the reserved value 3.
std::string with_reserved_block_type(std::string frame)
{
    std::size_t header = ZSTD_frameHeaderSize(frame.data(), frame.size());
    frame[header] = static_cast<char>(frame[header] | 0x06);
    return frame;
}

// What a damage stops besides verification.
enum class stops { verify, extract, everything };

struct damage_case {
    const char* title;
    damage kind;
    std::function<std::string()> image;  // the whole executable
    stops what;  // verify: only verification fails; extract: extraction too (a refused name);
                 // everything: reading fails, so list and extract fail as well
};

std::vector<damage_case> damage_cases()
{
    auto in_image = [](std::function<std::string()> block) { return [block] { return image_with_block(block()); }; };
    const std::string stream = stream_of(sound_entries());
    return {
        {"truncated image", damage::bad_image, [] { std::string image = image_with_block(sound_block()); return image.substr(0, image.size() - 700); }, stops::everything},
        {"block of 14 bytes", damage::block_too_short, in_image([] { return std::string("VQJ") + std::string(11, '\0'); }), stops::everything},
        {"wrong magic", damage::bad_magic, in_image([] { std::string b = sound_block(); b[1] = 'X'; return b; }), stops::everything},
        {"trailer off by one", damage::bad_trailer, in_image([] { std::string b = sound_block(); return set_u64(b, b.size() - 8, b.size() - 7); }), stops::everything},
        {"reserved byte set", damage::reserved_not_zero, in_image([] { std::string b = sound_block(); b[b.size() - 10] = 1; return b; }), stops::everything},
        {"no frame after the magic", damage::not_a_frame, in_image([] { return assemble_block("this is no Zstandard frame at all"); }), stops::everything},
        {"skippable frame", damage::not_a_frame, in_image([] { return assemble_block(std::string("\x50\x2A\x4D\x18\x04\x00\x00\x00" "abcd", 12)); }), stops::everything},
        {"window of 2^28", damage::window_too_large, in_image([stream] { return block_of(stream, {true, 28, false}); }), stops::everything},
        {"dictionary", damage::needs_dictionary, in_image([stream] { return assemble_block(with_dictionary(compress_frame(stream, {true, 0, false}))); }), stops::everything},
        {"frame cut short", damage::frame_cut_short, in_image([] { std::string f = frame_of(sound_block()); return assemble_block(f.substr(0, f.size() - 9)); }), stops::everything},
        {"two frames", damage::extra_data, in_image([stream] { return assemble_block(compress_frame(stream) + compress_frame("more")); }), stops::everything},
        {"padding after the frame", damage::extra_data, in_image([stream] { return assemble_block(compress_frame(stream) + std::string(3, '\0')); }), stops::everything},
        {"reserved block type", damage::corrupt_frame, in_image([stream] { return assemble_block(with_reserved_block_type(compress_frame(stream))); }), stops::everything},
        {"checksum flipped", damage::checksum_mismatch, in_image([] { std::string f = frame_of(sound_block()); f.back() ^= 0x10; return assemble_block(f); }), stops::everything},
        {"stream without end marker", damage::stream_cut_short, in_image([stream] { return block_of(stream.substr(0, stream.size() - 2)); }), stops::everything},
        {"stream ends inside content", damage::stream_cut_short, in_image([stream] { return block_of(stream.substr(0, stream.size() - 400)); }), stops::everything},
        {"content after the end marker", damage::data_after_end, in_image([stream] { return block_of(stream + "junk"); }), stops::everything},
        {"name without terminator", damage::name_too_long, in_image([] { return block_of(std::string(2 * entry_name_capacity + 20, 'n')); }), stops::everything},
        {"no checksum", damage::no_checksum, in_image([stream] { return block_of(stream, {false}); }), stops::verify},
        {"name climbing out", damage::bad_name, in_image([] { return block_of(stream_of({packer_test::memory_entry(u"app.dll", dll), packer_test::memory_entry(u"..\\evil.txt", "x")})); }), stops::extract},
        {"device name", damage::bad_name, in_image([] { return block_of(stream_of({packer_test::memory_entry(u"app.dll", dll), packer_test::memory_entry(u"logs\\CON.txt", "x")})); }), stops::extract},
        {"names differing in case", damage::name_clash, in_image([] { return block_of(stream_of({packer_test::memory_entry(u"app.dll", dll), packer_test::memory_entry(u"\u00c9t\u00e9.txt", "1"), packer_test::memory_entry(u"\u00e9T\u00c9.txt", "2")})); }), stops::verify},
        {"file where a directory goes", damage::name_clash, in_image([] { return block_of(stream_of({packer_test::memory_entry(u"app.dll", dll), packer_test::memory_entry(u"data", "1"), packer_test::memory_entry(u"data\\x", "2")})); }), stops::extract},
        {"no entries", damage::no_entries, in_image([] { return block_of(std::string(2, '\0')); }), stops::verify},
        {"first entry is text", damage::bad_entry, in_image([] { return block_of(stream_of({packer_test::memory_entry(u"readme.txt", "text")})); }), stops::verify},
        {"first entry without run_code", damage::bad_entry, in_image([] { return block_of(stream_of({packer_test::memory_entry(u"app.dll", entry_dll({"main"}))})); }), stops::verify},
    };
}

bool has_problem(const tavrin::verify_report& report, damage kind)
{
    for (const auto& problem : report.problems)
        if (problem.kind() == kind) return true;
    return false;
}

class Inspect : public testing::Test {
protected:
    fs::path put(const std::string& image, const std::string& name = "app.exe")
    {
        fs::path file = scratch_.path() / name;
        write_file(file, image);
        return file;
    }

    scratch_directory scratch_;
};

TEST_F(Inspect, SoundPackageListedVerifiedAndExtracted)
{
    const fs::path file = put(image_with_block(sound_block()));
    tavrin::package_contents contents = tavrin::read_package(file);
    ASSERT_EQ(contents.entries.size(), 4u);
    EXPECT_EQ(contents.entries[2].name, u"data\\\u00e9t\u00e9.bin");
    EXPECT_EQ(contents.entries[2].size, 70000u);
    EXPECT_EQ(contents.entries[3].size, 0u);
    EXPECT_EQ(contents.content_bytes, dll.size() + 7 + 70000);
    EXPECT_EQ(contents.stream_bytes, packer_test::make_content_stream(sound_entries()).size());
    EXPECT_EQ(contents.layout.block_size, sound_block().size());
    EXPECT_EQ(contents.layout.frame_size, sound_block().size() - attached_overhead);
    EXPECT_TRUE(contents.layout.checksum);
    EXPECT_EQ(contents.layout.content_size, contents.stream_bytes);

    tavrin::verify_report report = tavrin::verify_package(file);
    EXPECT_TRUE(report.ok()) << (report.problems.empty() ? "" : report.problems.front().what());

    const fs::path out = scratch_.path() / "out";
    tavrin::extract_result extracted = tavrin::extract_package(file, out);
    EXPECT_EQ(extracted.files, 4u);
    EXPECT_EQ(extracted.directories, 1u);
    EXPECT_EQ(extracted.bytes, contents.content_bytes);
    for (const auto& entry : sound_entries()) {
        std::string relative = tavrin::to_utf8(entry.name);
        std::replace(relative.begin(), relative.end(), '\\', '/');
        EXPECT_EQ(read_file(out / fs::u8path(relative)), *entry.data) << relative;
    }
    EXPECT_EQ(scratch_directory::listing(out), (std::vector<std::string>{"app.dll", "data", "readme.txt"}));
}

TEST_F(Inspect, ExtractReplacesFilesAndKeepsToTheLaunchersLimits)
{
    const fs::path out = scratch_.path() / "out";
    write_file(out / "readme.txt", "an older and longer text that is replaced");
    write_file(out / "unrelated.txt", "stays");
    tavrin::extract_package(put(image_with_block(sound_block())), out);
    EXPECT_EQ(read_file(out / "readme.txt"), "read me");
    EXPECT_EQ(read_file(out / "unrelated.txt"), "stays");

    // A file that cannot be opened stops the extraction; what stands in its place is not removed.
    fs::remove(out / "readme.txt");
    fs::create_directories(out / "readme.txt");
    tavrin::extract_result written;
    EXPECT_THROW(tavrin::extract_package(put(image_with_block(sound_block())), out, &written), tavrin::pack_error);
    EXPECT_EQ(written.names, std::vector<std::u16string>{u"app.dll"});
    EXPECT_EQ(written.removed, u"");
    EXPECT_TRUE(fs::is_directory(out / "readme.txt"));

    // The launcher's full path holds 4095 code units: the directory, one separator, the name.
    const std::u16string long_name = u"d\\" + std::u16string(1000, u'n');
    const fs::path long_file = put(image_with_block(block_of(stream_of({packer_test::memory_entry(u"app.dll", dll),
                                                                        packer_test::memory_entry(long_name, "x")}))),
                                   "long.exe");
    fs::path deep = scratch_.path();
    while (deep.u16string().size() + 1 + long_name.size() <= tavrin::launcher_path_limit) deep /= "level";
    try {
        tavrin::extract_package(long_file, deep);
        ADD_FAILURE() << "extracted a path the launcher cannot write";
    } catch (const tavrin::pack_error& error) {
        EXPECT_NE(std::string(error.what()).find("4095"), std::string::npos) << error.what();
    }
}

TEST_F(Inspect, EachDamageIsFoundAndNamed)
{
    for (const auto& test : damage_cases()) {
        SCOPED_TRACE(test.title);
        const fs::path file = put(test.image());
        tavrin::verify_report report = tavrin::verify_package(file);
        EXPECT_TRUE(has_problem(report, test.kind)) << "expected " << tavrin::damage_name(test.kind) << ", found "
                                                    << (report.problems.empty() ? "nothing" : report.problems.front().what());
        if (test.what == stops::everything) {
            try {
                tavrin::read_package(file);
                ADD_FAILURE() << "read without complaint";
            } catch (const tavrin::package_error& error) {
                EXPECT_EQ(error.kind(), test.kind) << error.what();
                EXPECT_EQ(std::string(error.what()).rfind(tavrin::damage_name(test.kind), 0), 0u) << error.what();
            }
        }
    }
}

TEST_F(Inspect, DamageStopsBeforeLaterEntriesAndKeepsEarlierOnes)
{
    const std::string stream = stream_of(sound_entries());
    const fs::path file = put(image_with_block(block_of(stream.substr(0, stream.size() - 100))));
    tavrin::package_contents partial;
    EXPECT_THROW(tavrin::read_package(file, nullptr, &partial), tavrin::package_error);
    ASSERT_EQ(partial.entries.size(), 3u) << "the cut falls inside the third entry's content";
    EXPECT_EQ(partial.entries[1].name, u"readme.txt");

    // Extraction keeps the files it wrote whole, removes the one it was writing, and never writes a
    // refused name.
    const fs::path out = scratch_.path() / "out";
    tavrin::extract_result written;
    EXPECT_THROW(tavrin::extract_package(file, out, &written), tavrin::package_error);
    EXPECT_EQ(written.names, (std::vector<std::u16string>{u"app.dll", u"readme.txt"}));
    EXPECT_EQ(written.removed, u"data\\\u00e9t\u00e9.bin");
    EXPECT_EQ(scratch_directory::listing(out), (std::vector<std::string>{"app.dll", "data", "readme.txt"}));
    EXPECT_TRUE(scratch_directory::listing(out / "data").empty());
    const fs::path evil = put(image_with_block(block_of(stream_of(
                                  {packer_test::memory_entry(u"app.dll", dll), packer_test::memory_entry(u"..\\evil.txt", "x")}))),
                              "evil.exe");
    EXPECT_THROW(tavrin::extract_package(evil, out), tavrin::package_error);
    EXPECT_TRUE(fs::exists(out / "app.dll"));
    EXPECT_FALSE(fs::exists(scratch_.path() / "evil.txt"));
}

TEST_F(Inspect, TheCommandNamesEachDamageAndFails)
{
    for (const auto& test : damage_cases()) {
        SCOPED_TRACE(test.title);
        const fs::path file = put(test.image());
        const std::string name = tavrin::damage_name(test.kind);
        tool_run verify = run_tool(scratch_.path(), {"verify", arg(file)});
        EXPECT_EQ(verify.code, 1);
        EXPECT_NE(verify.err.find(name + ": "), std::string::npos) << verify.err;

        tool_run list = run_tool(scratch_.path(), {"list", arg(file)});
        const fs::path out = scratch_.path() / "extracted";
        fs::remove_all(out);
        tool_run extract = run_tool(scratch_.path(), {"extract", arg(file), arg(out)});
        if (test.what != stops::verify) {
            EXPECT_EQ(extract.code, 1);
            EXPECT_NE(extract.err.find(name), std::string::npos) << extract.err;
        } else {
            EXPECT_EQ(extract.code, 0) << extract.err;
        }
        if (test.what == stops::everything) {
            EXPECT_EQ(list.code, 1);
            EXPECT_NE(list.err.find(name), std::string::npos) << list.err;
        } else {
            EXPECT_EQ(list.code, 0) << list.err;
        }
    }
}

TEST_F(Inspect, TheCommandOnASoundPackage)
{
    const fs::path file = put(image_with_block(sound_block()));
    tool_run list = run_tool(scratch_.path(), {"list", arg(file)});
    EXPECT_EQ(list.code, 0) << list.err;
    auto line = [](std::uint64_t size, const std::string& name) {
        std::string digits = tavrin::format_count(size);
        return std::string(6 - digits.size(), ' ') + digits + "  " + name + "\n";
    };
    EXPECT_EQ(list.out.substr(0, list.out.find("4 files")), "  size  name\n" + line(dll.size(), "app.dll") + line(7, "readme.txt") +
                                                                line(70000, tavrin::to_utf8(u"data\\\u00e9t\u00e9.bin")) +
                                                                line(0, "data\\empty"));
    EXPECT_NE(list.out.find("4 files, 1 directory, "), std::string::npos) << list.out;

    tool_run verify = run_tool(scratch_.path(), {"verify", arg(file)});
    EXPECT_EQ(verify.code, 0) << verify.err;
    EXPECT_EQ(verify.out.rfind("OK ", 0), 0u) << verify.out;
    EXPECT_NE(verify.out.find("checksum verified"), std::string::npos) << verify.out;
    tool_run quiet = run_tool(scratch_.path(), {"verify", "--quiet", arg(file)});
    EXPECT_EQ(quiet.code, 0);
    EXPECT_EQ(quiet.out, "");

    tool_run extract = run_tool(scratch_.path(), {"extract", arg(file), arg(scratch_.path() / "x")});
    EXPECT_EQ(extract.code, 0) << extract.err;
    EXPECT_EQ(read_file(scratch_.path() / "x" / "readme.txt"), "read me");

    for (const std::vector<std::string>& usage : std::vector<std::vector<std::string>>{
             {"list"}, {"list", arg(file), "more"}, {"verify"}, {"extract", arg(file)}, {"list", "--level", "3", arg(file)}}) {
        tool_run run = run_tool(scratch_.path(), usage);
        EXPECT_EQ(run.code, 2) << usage.front() << " " << usage.size() << "\n" << run.err;
    }
    tool_run missing = run_tool(scratch_.path(), {"verify", arg(scratch_.path() / "missing.exe")});
    EXPECT_EQ(missing.code, 1);
    EXPECT_NE(missing.err.find("cannot open '" + arg(scratch_.path() / "missing.exe")), std::string::npos) << missing.err;
}

TEST_F(Inspect, FilesThatAreNoPackagesAreCalledSo)
{
    const fs::path directory = scratch_.path() / "folder.exe";
    fs::create_directories(directory);
    const fs::path out = scratch_.path() / "out";
    std::vector<fs::path> files{put("just some notes\n", "notes.txt"), put(make_image({}), "program.exe"),
                                put("MZ but nothing else of an image", "stub.exe"), directory};
    // Nor are a FIFO (which would block a reader) and a device (which might never end), and these
    // are named so by cache-dir too.
    std::string not_made;
#ifndef _WIN32
    for (node_kind kind : {node_kind::fifo, node_kind::character_device}) {
        const fs::path node = scratch_.path() / (kind == node_kind::fifo ? "fifo.exe" : "device.exe");
        const std::string why = make_node(kind, node);
        if (why.empty()) files.push_back(node);
        else not_made += node.filename().u8string() + ": " + why + "; ";
    }
#endif
    for (const fs::path& file : files) {
        SCOPED_TRACE(file.filename().u8string());
        EXPECT_THROW(tavrin::verify_package(file), tavrin::not_a_package_error);
        for (std::vector<std::string> command : std::vector<std::vector<std::string>>{{"list"}, {"verify"}, {"extract"}, {"cache-dir"}}) {
            if (command.front() == "cache-dir" && fs::is_regular_file(file)) continue;  // it reads the settings record only
            command.push_back(arg(file));
            if (command.front() == "extract") command.push_back(arg(out));
            tool_run run = run_tool(scratch_.path(), command);
            EXPECT_EQ(run.code, 1) << command.front();
            EXPECT_NE(run.err.find("'" + arg(file) + "' is not a package: "), std::string::npos) << run.err;
            EXPECT_EQ(run.err.find("damaged"), std::string::npos) << run.err;
            EXPECT_EQ(run.out, "");
        }
        EXPECT_FALSE(fs::exists(out));
    }
    if (!not_made.empty()) GTEST_SKIP() << "not made here, so not tried: " << not_made;
}

#ifndef _WIN32
// Extract writes nothing outside its directory: a link or a hard link where a file goes is replaced,
// a linked directory below it refused, and a FIFO where a file goes stops it and stays a FIFO.
// (Windows under Wine can make none of these.)
TEST_F(Inspect, ExtractNeverWritesOutsideItsDirectory)
{
    const fs::path file = put(image_with_block(sound_block()));
    const fs::path outside = scratch_.path() / "outside", out = scratch_.path() / "out", again = scratch_.path() / "again";
    write_file(outside / "secret.txt", "kept");
    fs::create_directories(out);
    make_node(node_kind::link, out / "readme.txt", outside / "secret.txt");
    fs::create_hard_link(outside / "secret.txt", out / "app.dll");
    make_node(node_kind::link, out / "data", outside);
    tool_run linked = run_tool(scratch_.path(), {"extract", arg(file), arg(out)});
    EXPECT_EQ(linked.code, 1);
    EXPECT_NE(linked.err.find("'" + arg(out / "data") + "' is a symbolic link: extract does not follow links"), std::string::npos)
        << linked.err;
    EXPECT_EQ(scratch_directory::listing(outside), std::vector<std::string>{"secret.txt"});
    EXPECT_EQ(read_file(outside / "secret.txt"), "kept");
    EXPECT_EQ(read_file(out / "readme.txt"), "read me");
    EXPECT_EQ(read_file(out / "app.dll"), dll);

    fs::create_directories(again);
    ASSERT_EQ(make_node(node_kind::fifo, again / "readme.txt"), "");
    const std::string fifo = node_identity(again / "readme.txt");
    tool_run blocked = run_tool(scratch_.path(), {"extract", arg(file), arg(again)});
    EXPECT_EQ(blocked.code, 1);
    EXPECT_NE(blocked.err.find("'" + arg(again / "readme.txt") + "' is a FIFO"), std::string::npos) << blocked.err;
    EXPECT_NE(blocked.err.find("1 file written whole"), std::string::npos) << blocked.err;
    EXPECT_EQ(node_identity(again / "readme.txt"), fifo);
}
#endif

TEST_F(PackTest, ListAndVerifySayWhatTheEntryIs)
{
    add("prog.exe", program_image(3));
    add("app.dll", entry_dll());
    auto pack = [&](const char* entry) {
        return run_tool(scratch_.path(), {arg(app_), "-o", arg(output_), "--launcher", arg(launcher_), "--entry", entry, "-q"});
    };
    auto flag = [&](bool program) {
        std::fstream image(output_, std::ios::in | std::ios::out | std::ios::binary);
        const std::uint64_t at = tavrin::find_launch_settings(image, tavrin::read_pe_headers(image, "package"), "package");
        tavrin::launch_settings settings = *tavrin::read_launch_settings(image, at);
        settings.exe_entry = program;
        tavrin::write_launch_settings(image, at, settings);
    };
    auto bad_entry = [&](const char* command) {
        tool_run run = run_tool(scratch_.path(), {command, arg(output_)});
        EXPECT_EQ(run.code, 1) << command;
        const std::size_t at = run.err.find("bad-entry: ");
        return at == std::string::npos ? run.err : run.err.substr(at + 11, run.err.find('\n', at) - at - 11);
    };
    tool_run packed = pack("prog.exe");
    ASSERT_EQ(packed.code, 0) << packed.err;
    EXPECT_NE(run_tool(scratch_.path(), {"list", arg(output_)}).out.find("\nentry prog.exe: an x86-64 console program\n"),
              std::string::npos);
    // (The launcher fixture has no manifest, which verify reports on its own: bad-resources.)
    EXPECT_EQ(run_tool(scratch_.path(), {"verify", arg(output_)}).err.find("bad-entry"), std::string::npos);
    flag(false);
    EXPECT_EQ(bad_entry("verify").rfind("entry 'prog.exe': a program, but the launch settings say the entry is a DLL", 0), 0u);
    EXPECT_NE(run_tool(scratch_.path(), {"list", arg(output_)}).out.find("\nentry prog.exe: bad-entry: entry 'prog.exe': a program"),
              std::string::npos);

    ASSERT_EQ(pack("app.dll").code, 0);
    EXPECT_NE(run_tool(scratch_.path(), {"list", arg(output_)}).out.find("\nentry app.dll: an x86-64 DLL that exports run_code\n"),
              std::string::npos);
    flag(true);
    EXPECT_EQ(bad_entry("verify"), "entry 'app.dll': the launch settings say the entry is a program, but it is a DLL");
}

}  // namespace
