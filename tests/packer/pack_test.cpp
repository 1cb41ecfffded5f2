// Packing a directory: archive order, entry choice and refusals, names Windows could not hold, the
// output never half-written, the same bytes from the same files, and the tavrin-pack command.
#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>

#include "packer/pack.h"
#include "packer/pe_image.h"
#include "tests/packer/support.h"

#ifndef _WIN32
#include <sys/wait.h>
#endif

namespace {
using namespace packer_test;
namespace fs = std::filesystem;

std::string entry_dll(std::vector<std::string> exports = {"run_code"})
{
    image_spec spec;
    spec.dll = true;
    spec.exports = std::move(exports);
    return make_image(spec);
}

class PackTest : public testing::Test {
protected:
    PackTest()
    {
        fs::create_directories(app_);
        fs::create_directories(out_dir_);
        write_file(launcher_, make_image({}));
    }

    void add(const fs::path& relative, const std::string& content) { write_file(app_ / relative, content); }

    tavrin::pack_options options(const fs::path& app_dir) const
    {
        tavrin::pack_options options;
        options.app_dir = app_dir;
        options.output = output_;
        options.launcher = launcher_;
        options.block.level = 3;
        return options;
    }
    tavrin::pack_options options() const { return options(app_); }

    std::vector<unpacked_entry> packed_entries() const { return unpack_block(tavrin::read_attached_block(output_)); }

    // The message of the `Error` that packing with `opts` throws, and that the output dir stays empty.
    template <typename Error>
    std::string refusal(const tavrin::pack_options& opts)
    {
        std::string message;
        try {
            tavrin::pack_application(opts);
            ADD_FAILURE() << "packed without complaint";
        } catch (const Error& error) {
            message = error.what();
        }
        EXPECT_TRUE(scratch_directory::listing(out_dir_).empty()) << message;
        return message;
    }

    scratch_directory scratch_;
    fs::path app_ = scratch_.path() / "app";
    fs::path out_dir_ = scratch_.path() / "out";
    fs::path output_ = out_dir_ / "app.exe";
    fs::path launcher_ = scratch_.path() / "tavrin-launcher.exe";
};

TEST_F(PackTest, EntryFirstThenTopLevelThenTheRestByName)
{
    const std::string dll = entry_dll();
    add("zeta.txt", "z");
    add("hello.dll", dll);
    add("Alpha.txt", "A");
    add("_under.txt", "_");
    add(u8"\u00e9t\u00e9.txt", "e");
    add("b/x.txt", "bx");
    add("a/y.txt", "ay");
    add("a/b/z.txt", "abz");
    add("a/empty", "");

    tavrin::pack_result result = tavrin::pack_application(options());
    const std::vector<std::u16string> expected{u"hello.dll", u"Alpha.txt", u"_under.txt", u"zeta.txt", u"\u00e9t\u00e9.txt",
                                               u"a\\b\\z.txt", u"a\\empty", u"a\\y.txt", u"b\\x.txt"};
    EXPECT_EQ(result.names, expected);
    auto entries = packed_entries();
    EXPECT_EQ(names_of(entries), expected);
    ASSERT_EQ(entries.size(), expected.size());
    EXPECT_EQ(entries[0].content, dll);
    EXPECT_EQ(entries[5].content, "abz");
    EXPECT_EQ(entries[6].content, "");
    EXPECT_EQ(result.content_bytes, dll.size() + 11);
    EXPECT_EQ(result.output_size, fs::file_size(output_));
    EXPECT_EQ(result.block_size, tavrin::read_attached_block(output_).size());
    EXPECT_EQ(scratch_directory::listing(out_dir_), std::vector<std::string>{"app.exe"}) << "no temporary file left";
}

TEST_F(PackTest, ChoosingTheEntry)
{
    add("sub/deep.dll", entry_dll());
    add("readme.txt", "r");
    EXPECT_NE(refusal<tavrin::entry_error>(options()).find("no entry"), std::string::npos)
        << "a DLL below the top level is never taken on its own";

    auto opts = options();
    opts.entry = u"sub\\deep.dll";
    tavrin::pack_application(opts);
    EXPECT_EQ(names_of(packed_entries()).front(), u"sub\\deep.dll");
    fs::remove(output_);

    add("one.dll", entry_dll());
    add("helper.dll", entry_dll({"helper"}));  // a DLL without run_code is no candidate
    tavrin::pack_application(options());
    EXPECT_EQ(names_of(packed_entries()).front(), u"one.dll");
    fs::remove(output_);

    add("TWO.DLL", entry_dll({"other", "run_code"}));
    EXPECT_NE(refusal<tavrin::entry_error>(options()).find("several"), std::string::npos);
    opts.entry = u"TWO.DLL";
    tavrin::pack_application(opts);
    EXPECT_EQ(names_of(packed_entries()), (std::vector<std::u16string>{u"TWO.DLL", u"helper.dll", u"one.dll", u"readme.txt",
                                                                       u"sub\\deep.dll"}));
}

TEST_F(PackTest, RefusedEntries)
{
    image_spec i386;
    i386.dll = true;
    i386.machine = 0x14C;
    i386.exports = {"run_code"};
    add("program.exe", make_image({}));
    add("plain.dll", entry_dll({"something_else"}));
    add("x86.dll", make_image(i386));
    add("notes.dll", "not an image, only text pretending to be one by its name ...........");

    const std::pair<std::u16string, std::string> cases[] = {
        {u"program.exe", "not a DLL"},
        {u"plain.dll", "does not export run_code"},
        {u"x86.dll", "not for x86-64"},
        {u"notes.dll", "no MZ header"},
        {u"missing.dll", "not a file of the application directory"},
    };
    for (const auto& [entry, message] : cases) {
        auto opts = options();
        opts.entry = entry;
        EXPECT_NE(refusal<tavrin::entry_error>(opts).find(message), std::string::npos) << message;
    }
    // Without --entry, the reasons why no top-level DLL qualifies are listed.
    std::string none = refusal<tavrin::entry_error>(options());
    EXPECT_NE(none.find("plain.dll"), std::string::npos) << none;
    EXPECT_NE(none.find("x86.dll"), std::string::npos) << none;
}

TEST_F(PackTest, RefusedNames)
{
    std::vector<std::pair<fs::path, std::string>> cases = {
        {"what?.txt", "cannot hold"},
        {"sub/trailing.", "ending in '.'"},
        {"Readme.TXT", "differs only in case"},
        {fs::path(std::string(250, 'd')) / std::string(250, 'e') / std::string(250, 'f') / std::string(250, 'g') /
             std::string(250, 'h') / "file",
         "longer than 1023"},
    };
#ifndef _WIN32
    cases.push_back({"back\\slash", "backslash"});
#endif
    for (const auto& [name, message] : cases) {
        SCOPED_TRACE(message);
        fs::path app = scratch_.path() / "names";
        fs::remove_all(app);
        write_file(app / "app.dll", entry_dll());
        write_file(app / "readme.txt", "r");
        write_file(app / name, "x");
        EXPECT_NE(refusal<tavrin::name_error>(options(app)).find(message), std::string::npos);
    }
}

TEST_F(PackTest, AFailureLeavesTheOutputAsItWas)
{
    add("app.dll", entry_dll());
    add("data.bin", std::string(1 << 20, 'd'));
    auto opts = options();
    opts.progress = [](const tavrin::block_progress& state) {
        if (state.files_done == 1) throw tavrin::pack_error("interrupted");
    };

    EXPECT_THROW(tavrin::pack_application(opts), tavrin::pack_error);
    EXPECT_TRUE(scratch_directory::listing(out_dir_).empty());

    write_file(output_, "the previous build");
    EXPECT_THROW(tavrin::pack_application(opts), tavrin::pack_error);
    EXPECT_EQ(read_file(output_), "the previous build");
    EXPECT_EQ(scratch_directory::listing(out_dir_), std::vector<std::string>{"app.exe"});

    // A complete run replaces it.
    tavrin::pack_application(options());
    EXPECT_EQ(names_of(packed_entries()).size(), 2u);
}

TEST_F(PackTest, SameFilesSameBytes)
{
    // Two directories with the same files, created in opposite orders.
    const std::vector<std::pair<fs::path, std::string>> files = {
        {"app.dll", entry_dll()}, {"c.txt", "c"}, {"a.txt", "a"}, {"d/b.txt", "db"}, {"d/a.txt", "da"}, {"b/z", "bz"}};
    fs::path second = scratch_.path() / "second";
    for (const auto& [name, content] : files) add(name, content);
    for (auto it = files.rbegin(); it != files.rend(); ++it) write_file(second / it->first, it->second);

    auto opts = options();
    opts.block.level = 19;
    tavrin::pack_application(opts);
    const std::string first = read_file(output_);
    tavrin::pack_application(opts);
    EXPECT_TRUE(read_file(output_) == first);
    opts.app_dir = second;
    opts.block.threads = 1;
    tavrin::pack_application(opts);
    EXPECT_TRUE(read_file(output_) == first);
}

TEST_F(PackTest, RefusedPlacesAndLaunchers)
{
    add("app.dll", entry_dll());
    auto inside = options();
    inside.output = out_dir_ / ".." / "app" / "app.exe";
    EXPECT_NE(refusal<tavrin::pack_error>(inside).find("inside the application directory"), std::string::npos);
    EXPECT_FALSE(fs::exists(app_ / "app.exe"));

    auto nowhere = options();
    nowhere.output = scratch_.path() / "no" / "such" / "app.exe";
    EXPECT_NE(refusal<tavrin::pack_error>(nowhere).find("does not exist"), std::string::npos);

    image_spec unstripped;
    unstripped.overlay = std::string(100, 's');
    write_file(launcher_, make_image(unstripped));
    EXPECT_NE(refusal<tavrin::image_error>(options()).find("follow the last section"), std::string::npos);
}

void set_variable(const char* name, const std::string& value)
{
#ifdef _WIN32
    _putenv_s(name, value.c_str());
#else
    if (value.empty())
        unsetenv(name);
    else
        setenv(name, value.c_str(), 1);
#endif
}

TEST_F(PackTest, FindingTheLauncherImage)
{
    const fs::path tool_dir = scratch_.path() / "bin";
    const fs::path beside = tool_dir / tavrin::launcher_file_name;
    write_file(beside, "image");
    set_variable(tavrin::launcher_variable, "");

    EXPECT_EQ(tavrin::find_launcher_image(launcher_, tool_dir), launcher_);
    EXPECT_THROW(tavrin::find_launcher_image(scratch_.path() / "missing.exe", tool_dir), tavrin::pack_error);
    EXPECT_EQ(tavrin::find_launcher_image({}, tool_dir), beside);
    set_variable(tavrin::launcher_variable, launcher_.u8string());
    EXPECT_EQ(tavrin::find_launcher_image({}, tool_dir), launcher_);
    set_variable(tavrin::launcher_variable, (scratch_.path() / "missing.exe").u8string());
    EXPECT_THROW(tavrin::find_launcher_image({}, tool_dir), tavrin::pack_error) << "a wrong variable is not skipped";
    set_variable(tavrin::launcher_variable, "");
    fs::remove(beside);
    EXPECT_THROW(tavrin::find_launcher_image({}, tool_dir), tavrin::pack_error);
}

#ifndef _WIN32
struct tool_run {
    int code = -1;
    std::string out;
    std::string err;
};

tool_run run_tool(const fs::path& scratch, const std::string& arguments)
{
    const fs::path out = scratch / "stdout", err = scratch / "stderr";
    std::string command = "env -u TAVRIN_LAUNCHER '" TAVRIN_PACK_TOOL "' " + arguments + " >'" + out.string() + "' 2>'" +
                          err.string() + "' </dev/null";
    int status = std::system(command.c_str());
    tool_run run;
    run.code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    run.out = read_file(out);
    run.err = read_file(err);
    return run;
}

TEST_F(PackTest, CommandLineExitCodes)
{
    add("app.dll", entry_dll());
    add("plain.dll", entry_dll({"other"}));
    const std::string app = "'" + app_.string() + "'", out = "'" + output_.string() + "'";
    const std::string launcher = " --launcher '" + launcher_.string() + "'";

    tool_run version = run_tool(scratch_.path(), "--version");
    EXPECT_EQ(version.code, 0);
    EXPECT_EQ(version.out, "tavrin-pack 1.4.2.0\n");
    tool_run help = run_tool(scratch_.path(), "--help");
    EXPECT_EQ(help.code, 0);
    EXPECT_NE(help.out.find("Exit codes"), std::string::npos);

    for (const std::string& usage : {std::string(), "-o " + out, app, app + " -o", app + " -o " + out + " --bogus",
                                     app + " -o " + out + " --level 0", app + " -o " + out + " --level x",
                                     app + " " + app + " -o " + out}) {
        tool_run run = run_tool(scratch_.path(), usage + launcher);
        EXPECT_EQ(run.code, 2) << usage << "\n" << run.err;
        EXPECT_NE(run.err.find("--help"), std::string::npos) << usage;
    }
    EXPECT_FALSE(fs::exists(output_));

    tool_run no_run_code = run_tool(scratch_.path(), app + " -o " + out + launcher + " --entry plain.dll");
    EXPECT_EQ(no_run_code.code, 1);
    EXPECT_NE(no_run_code.err.find("does not export run_code"), std::string::npos) << no_run_code.err;
    tool_run no_launcher = run_tool(scratch_.path(), app + " -o " + out);
    EXPECT_EQ(no_launcher.code, 1) << "the tool's own directory holds no launcher image";
    EXPECT_FALSE(fs::exists(output_));

    tool_run packed = run_tool(scratch_.path(), "pack " + app + " --output=" + out + " --level=1" + launcher);
    EXPECT_EQ(packed.code, 0) << packed.err;
    EXPECT_EQ(names_of(packed_entries()), (std::vector<std::u16string>{u"app.dll", u"plain.dll"}));
}
#endif

}  // namespace
