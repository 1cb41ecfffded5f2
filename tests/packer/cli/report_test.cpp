// What tavrin-pack shows: numbers for people, the progress bar on a terminal and the plain lines
// elsewhere, driven with chosen times, and the summary after packing.
#include <gtest/gtest.h>

#include <sstream>

#include "packer/cli/report.h"

namespace {

tavrin::block_progress progress(std::size_t files_done, std::uint64_t bytes_done)
{
    tavrin::block_progress state;
    state.files_total = 10;
    state.files_done = files_done;
    state.bytes_total = 10 << 20;
    state.bytes_done = bytes_done;
    return state;
}

TEST(Numbers, ForPeople)
{
    EXPECT_EQ(tavrin::format_count(0), "0");
    EXPECT_EQ(tavrin::format_count(999), "999");
    EXPECT_EQ(tavrin::format_count(1000), "1,000");
    EXPECT_EQ(tavrin::format_count(151869935), "151,869,935");
    EXPECT_EQ(tavrin::format_size(1), "1 byte");
    EXPECT_EQ(tavrin::format_size(1023), "1,023 bytes");
    EXPECT_EQ(tavrin::format_size(1536), "1.5 KiB");
    EXPECT_EQ(tavrin::format_size(128ull << 20), "128.0 MiB");
    EXPECT_EQ(tavrin::format_size(3ull << 40), "3.0 TiB");
    EXPECT_EQ(tavrin::format_ratio(151869935, 38124384), "3.98:1");
    EXPECT_EQ(tavrin::format_ratio(5, 0), "-");
}

TEST(Progress, BarOnATerminalRedrawsInPlaceAtMostTenTimesASecond)
{
    std::ostringstream out;
    tavrin::progress_display display(out, true);
    display.update(progress(0, 0), 0.0);
    display.update(progress(1, 1 << 20), 0.05);  // too soon after the last drawing
    display.update(progress(5, 5 << 20), 0.5);
    const std::string text = out.str();
    EXPECT_EQ(text.find('\n'), std::string::npos) << "one line, redrawn";
    EXPECT_EQ(std::count(text.begin(), text.end(), '\r'), 2);
    EXPECT_NE(text.find("[##########..........]  50%  5/10 files  5.0/10.0 MiB  10.0 MiB/s"), std::string::npos) << text;
    EXPECT_EQ(text.find("1/10 files"), std::string::npos) << text;

    display.update(progress(10, 10 << 20), 0.51);  // the last state is always drawn
    EXPECT_NE(out.str().find("100%  10/10 files"), std::string::npos) << out.str();
    display.finish();
    const std::string cleared = out.str().substr(out.str().rfind('\r', out.str().size() - 2));
    EXPECT_EQ(cleared.find_first_not_of(" \r"), std::string::npos) << "the bar is wiped before the summary";
}

TEST(Progress, PlainLinesAtEachTenthOnceASecondHasPassed)
{
    std::ostringstream out;
    tavrin::progress_display display(out, false);
    display.update(progress(2, 3 << 20), 0.9);  // quick so far: nothing
    EXPECT_EQ(out.str(), "");
    display.update(progress(3, 3 << 20), 1.5);
    display.update(progress(3, (3 << 20) + 10), 1.6);  // the same tenth
    display.update(progress(9, 9 << 20), 3.0);
    display.update(progress(10, 10 << 20), 3.5);
    display.finish();
    EXPECT_EQ(out.str(), "tavrin-pack: 30% (3/10 files, 3.0/10.0 MiB, 2.0 MiB/s)\n"
                         "tavrin-pack: 90% (9/10 files, 9.0/10.0 MiB, 3.0 MiB/s)\n"
                         "tavrin-pack: 100% (10/10 files, 10.0/10.0 MiB, 2.9 MiB/s)\n");
}

TEST(Summary, NamesEverythingAboutThePacking)
{
    tavrin::pack_result result;
    result.names = {u"app.dll", u"a\\b.txt", u"c.txt"};
    result.directories = 1;
    result.content_bytes = 151869935;
    result.block_size = 38124384;
    result.output_size = 38330368;
    result.level = 19;
    result.threads = 2;
    result.window_size = 1 << 27;
    result.seconds = 61.234;
    result.subsystem = 2;
    result.subsystem_source = "a DLL entry's default; --console for a console program";
    EXPECT_EQ(tavrin::pack_summary(result, "out/app.exe"),
              "Packed out/app.exe: 3 files, 1 directory; entry app.dll\n"
              "  bytes in   151,869,935 (144.8 MiB)\n"
              "  bytes out  38,124,384 (36.4 MiB) of attached data, ratio 3.98:1; executable 38,330,368 bytes\n"
              "  settings   level 19, window 128.0 MiB, 2 threads\n"
              "  time       61.23 s\n"
              "  subsystem  windowed (a DLL entry's default; --console for a console program)\n"
              "  progress   a window when a start takes over 400 ms (--no-progress turns it off)\n"
              "  manifest   execution level asInvoker (the default)\n");

    // Only a windowed package shows the launcher's progress window (--no-progress: the command's test).
    result.subsystem = 3;
    const std::string console = tavrin::pack_summary(result, "out/app.exe");
    EXPECT_NE(console.find("\n  progress   none: a console package\n  manifest "), std::string::npos) << console;
}

}  // namespace
