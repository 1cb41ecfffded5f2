// The Windows tavrin-pack.exe at work under Wine: it packs the hello example into an executable with
// a Unicode name that verifies, lists and extracts as packed, and runs the application; it packs a
// console C++ program as the entry, which runs; it reads the imports of DLLs as mingw-w64's linker
// writes them; its console handler deletes the output it is writing.
#include <gtest/gtest.h>

#include "packer/base/interrupt_cleanup.h"
#include "tests/support/packer_fixtures.h"
#include "tests/support/self_process.h"

namespace {
using namespace packer_test;
using testing_support::narrow;
using testing_support::widen;
namespace fs = std::filesystem;

TEST(WindowsTool, PacksAnApplicationThatRuns)
{
    scratch_directory scratch;
    const fs::path output = scratch.path() / fs::u8path(u8"h\u00e9llo \u4f60\u597d.exe");  // a name beyond the code page
    tool_run packed = run_tool(scratch.path(), {"pack", TAVRIN_HELLO_APP, "-o", arg(output), "--launcher", TAVRIN_LAUNCHER_IMAGE,
                                                "--level", "9"});
    ASSERT_EQ(packed.code, 0) << packed.err;
    EXPECT_NE(packed.out.find("3 files, 1 directory; entry hello.dll"), std::string::npos) << packed.out;

    tool_run verified = run_tool(scratch.path(), {"verify", arg(output)});
    EXPECT_EQ(verified.code, 0) << verified.err;
    tool_run listed = run_tool(scratch.path(), {"list", arg(output)});
    EXPECT_NE(listed.out.find("  hello.dll\n"), std::string::npos) << listed.out;
    EXPECT_NE(listed.out.find("  data\\about.txt\n"), std::string::npos) << listed.out;

    const std::wstring exe = output.wstring();
    testing_support::process_result run =
        testing_support::run_process(exe, testing_support::quote_argument(exe) + L" \"two words\" --exit 7");
    EXPECT_FALSE(run.timed_out);
    EXPECT_EQ(run.exit_code, 7u) << run.out << run.err;
    EXPECT_NE(run.out.find("argv[1] = [two words]"), std::string::npos) << run.out;
    EXPECT_NE(run.out.find("greeting: Hello"), std::string::npos) << run.out;
    EXPECT_NE(run.out.find("data\\about.txt"), std::string::npos) << run.out;

    // What extract writes is what was packed.
    tool_run extracted = run_tool(scratch.path(), {"extract", arg(output), arg(scratch.path() / "files")});
    EXPECT_EQ(extracted.code, 0) << extracted.err;
    for (const char* name : {"hello.dll", "greeting.txt", "data/about.txt"})
        EXPECT_TRUE(read_file(scratch.path() / "files" / name) == read_file(fs::path(TAVRIN_HELLO_APP) / name)) << name;
}

// A console C++ program packed with --entry alone: the package is a console program that shows the
// program's version texts, lists and verifies as such, and runs it beside its file, passing the
// arguments and the exit code on.
TEST(WindowsTool, PacksAProgramAsTheEntry)
{
    scratch_directory scratch;
    const fs::path app = scratch.path() / "app", output = scratch.path() / "pies.exe";
    fs::create_directories(app);
    fs::copy_file(TAVRIN_CPP_APP, app / "cpp_app.exe");
    write_file(app / "greeting.txt", "hello from beside the program\n");
    tool_run packed =
        run_tool(scratch.path(), {"pack", arg(app), "-o", arg(output), "--launcher", TAVRIN_LAUNCHER_IMAGE, "--entry", "cpp_app.exe"});
    ASSERT_EQ(packed.code, 0) << packed.err;
    EXPECT_NE(packed.out.find("; entry cpp_app.exe (an x86-64 console program)\n"), std::string::npos) << packed.out;

    tool_run verified = run_tool(scratch.path(), {"verify", arg(output)});
    EXPECT_EQ(verified.code, 0) << verified.err;
    EXPECT_NE(verified.out.find("  entry cpp_app.exe: an x86-64 console program\n  console (subsystem 3);"), std::string::npos)
        << verified.out;
    tool_run listed = run_tool(scratch.path(), {"list", arg(output)});
    for (const char* line : {"  company      Pi Works\n", "  product      Pi Counter\n", "  version      3.1.4.1 (file), 3.1.0.0 (product)\n"})
        EXPECT_NE(listed.out.find(line), std::string::npos) << listed.out;

    const std::wstring exe = output.wstring();
    testing_support::process_result run =
        testing_support::run_process(exe, testing_support::quote_argument(exe) + L" 3221225477 \"two words\"");
    EXPECT_FALSE(run.timed_out);
    EXPECT_EQ(run.exit_code, 3221225477u) << run.out << run.err;
    EXPECT_EQ(run.out, "args: 3221225477 two words\r\ngreeting: hello from beside the program\r\n");
}

TEST(WindowsTool, ChecksTheImportsOfLinkedDlls)
{
    scratch_directory scratch;
    const fs::path app = scratch.path() / "app";
    fs::create_directories(app / "plugins");
    fs::copy_file(fs::path(TAVRIN_HELLO_APP) / "hello.dll", app / "hello.dll");
    fs::copy_file(TAVRIN_PLUGIN_DLL, app / "plugins" / "plugin.dll");  // imports plugin_helper.dll
    const std::vector<std::string> pack{"pack", arg(app), "-o", arg(scratch.path() / "app.exe"), "--launcher", TAVRIN_LAUNCHER_IMAGE,
                                        "--level", "1", "--quiet"};

    tool_run missing = run_tool(scratch.path(), pack);
    EXPECT_EQ(missing.code, 1);
    EXPECT_NE(missing.err.find("\n  'plugins\\plugin.dll' imports 'plugin_helper.dll'\n"), std::string::npos) << missing.err;
    EXPECT_EQ(missing.err.find("hello.dll"), std::string::npos) << "its imports are the system's: " << missing.err;
    EXPECT_FALSE(fs::exists(scratch.path() / "app.exe"));

    fs::copy_file(TAVRIN_PLUGIN_HELPER_DLL, app / "plugins" / "PLUGIN_HELPER.DLL");
    tool_run found = run_tool(scratch.path(), pack);
    EXPECT_EQ(found.code, 0) << found.err;
    EXPECT_EQ(found.err, "");
}

// tavrin-pack.exe's console handler while the output is being written, called as the system calls
// it on Ctrl-C, Ctrl-Break or the console's close. (Wine 8 delivers no event from a test here:
// GenerateConsoleCtrlEvent fails, with or without a console of the test's own.)
TAVRIN_SCENARIO(interrupted_output)
{
    const DWORD event = std::wcstoul(argv[1], nullptr, 10);
    const fs::path file(argv[2]);
    tavrin::install_interrupt_cleanup();
    tavrin::interruptible_output out(file);
    tavrin::remove_on_interrupt(file);
    out.stream() << std::string(1 << 20, 'x') << std::flush;
    tavrin::interrupt_console_handler(event);
    return 3;
}

TEST(WindowsTool, TheConsoleHandlerDeletesTheOutputBeingWritten)
{
    scratch_directory scratch;
    const fs::path file = scratch.path() / ".app.exe.1.tmp";
    for (DWORD event : {CTRL_C_EVENT, CTRL_BREAK_EVENT, CTRL_CLOSE_EVENT}) {
        testing_support::process_result run =
            testing_support::run_scenario(L"interrupted_output", {std::to_wstring(event), file.wstring()});
        EXPECT_EQ(run.exit_code, 0xC000013Au) << event << run.err;
        EXPECT_FALSE(fs::exists(file)) << event;
    }
}

}  // namespace
