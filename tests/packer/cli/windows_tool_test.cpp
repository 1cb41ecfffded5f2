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

// cache-list and cache-clean over a product's kept trees of two versions, beside a directory the
// launcher did not make; a tree held open without delete sharing (as a running launcher holds it)
// is named and kept.
TEST(WindowsTool, ListsAndCleansAProductsKeptTrees)
{
    scratch_directory scratch;
    const std::wstring temp = (scratch.path() / "tmp").wstring(), product = temp + L"\\cache\\Cln";
    fs::create_directories(temp);
    testing_support::run_options options;
    options.env[L"TMP"] = temp;
    options.env[L"TEMP"] = temp;
    auto tool = [&](const std::vector<std::wstring>& arguments) {
        std::wstring line = testing_support::quote_argument(pack_tool().wstring());
        for (const auto& argument : arguments) line += L" " + testing_support::quote_argument(argument);
        return testing_support::run_process(pack_tool().wstring(), line, options);
    };
    std::map<std::wstring, std::wstring> packages;
    for (const wchar_t* version : {L"1.10.0.0", L"1.9.0.0"}) {
        const std::wstring exe = (scratch.path() / (std::wstring(L"v") + version + L".exe")).wstring();
        auto packed = tool({L"pack", widen(TAVRIN_HELLO_APP), L"-o", exe, L"--launcher", widen(TAVRIN_LAUNCHER_IMAGE), L"--cached",
                            L"--product", L"Cln", L"--app-version", version, L"--unpack-dir", L"{TEMP}\\cache\\{PRODUCT}\\{VERSION}"});
        ASSERT_EQ(packed.exit_code, 0u) << packed.err;
        // The higher version first: a run removes lower versions' trees itself.
        testing_support::run_options user = options;
        user.limited = true;
        auto run = testing_support::run_process(exe, testing_support::quote_argument(exe), user);
        ASSERT_EQ(run.exit_code, 0u) << run.out << run.err;
        packages[version] = exe;
    }
    auto tree_of = [&](const wchar_t* version) {
        const std::wstring folder = product + L"\\" + version;
        for (const auto& entry : fs::directory_iterator(folder)) return entry.path().wstring();
        return folder;
    };
    const std::wstring higher = tree_of(L"1.10.0.0"), lower = tree_of(L"1.9.0.0");
    const std::wstring foreign = product + L"\\1.8.0.0\\" + std::wstring(32, L'a');
    fs::create_directories(foreign);

    auto listed = tool({L"cache-list", packages[L"1.9.0.0"]});
    EXPECT_EQ(listed.exit_code, 0u) << listed.err;
    EXPECT_EQ(listed.out, narrow(higher) + "\r\n" + narrow(lower) + "  (this package)\r\n") << listed.err;

    HANDLE held = CreateFileW(higher.c_str(), FILE_LIST_DIRECTORY, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                              FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    ASSERT_NE(held, INVALID_HANDLE_VALUE);
    auto in_use = tool({L"cache-list", packages[L"1.9.0.0"]});
    EXPECT_NE(in_use.out.find(narrow(higher) + "  (in use)"), std::string::npos) << in_use.out;
    auto kept = tool({L"cache-clean", packages[L"1.9.0.0"]});
    EXPECT_EQ(kept.exit_code, 1u);
    EXPECT_NE(kept.err.find(narrow(higher) + " is in use: kept"), std::string::npos) << kept.err;
    CloseHandle(held);
    EXPECT_TRUE(fs::exists(higher) && fs::exists(lower));

    auto cleaned = tool({L"cache-clean", packages[L"1.9.0.0"]});
    EXPECT_EQ(cleaned.exit_code, 0u) << cleaned.err;
    EXPECT_EQ(cleaned.out, "removed " + narrow(higher) + "\r\n");
    EXPECT_TRUE(!fs::exists(higher) && fs::exists(lower));
    auto all = tool({L"cache-clean", packages[L"1.9.0.0"], L"--all"});
    EXPECT_EQ(all.exit_code, 0u) << all.err;
    EXPECT_FALSE(fs::exists(lower));
    EXPECT_TRUE(fs::exists(foreign)) << "a directory without the marker";
}
