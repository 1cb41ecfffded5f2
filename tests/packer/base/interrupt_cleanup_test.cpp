// An interrupted tavrin-pack removes its temporary output and ends by the signal.
#include <gtest/gtest.h>

#include <random>

#include "tests/packer/pack_fixture.h"
#include "tests/support/packer_fixtures.h"

#ifndef _WIN32
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <cstring>
#endif

namespace {
using namespace packer_test;
namespace fs = std::filesystem;

#ifndef _WIN32
// Interrupted while it writes (SIGINT, SIGTERM, SIGHUP), the tool removes its temporary file, leaves
// an existing output as it was and ends by the signal.
TEST_F(PackTest, AnInterruptedCommandLeavesNothingBehind)
{
    add("app.dll", entry_dll());
    std::string noise(24 << 20, '\0');  // incompressible: seconds of work at level 19
    std::mt19937 random(7);
    for (char& byte : noise) byte = static_cast<char>(random());
    add("noise.bin", noise);
    write_file(output_, "the previous build");
    for (int number : {SIGINT, SIGTERM, SIGHUP}) {
        SCOPED_TRACE(strsignal(number));
        pid_t child = start_tool(scratch_.path(), {arg(app_), "-o", arg(output_), "--launcher", arg(launcher_), "--level", "19", "-q"});
        bool temporary = false;
        for (int wait = 0; wait < 3000 && !temporary; ++wait) {
            temporary = scratch_directory::listing(out_dir_).size() > 1;
            if (!temporary) usleep(20000);
        }
        kill(child, temporary ? number : SIGKILL);
        int status = 0;
        tool_run run = finish_tool(scratch_.path(), child, &status);
        ASSERT_TRUE(temporary) << "no temporary file appeared beside the output\n" << run.err;
        EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == number) << "status " << status << "\n" << run.err;
        EXPECT_EQ(scratch_directory::listing(out_dir_), std::vector<std::string>{"app.exe"});
        EXPECT_EQ(read_file(output_), "the previous build");
    }
}
#endif

}  // namespace
