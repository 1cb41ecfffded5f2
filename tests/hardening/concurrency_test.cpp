// Several instances of one packaged executable started at the same moment (their creations follow
// one another within milliseconds, and every application sleeps long enough for all of them to run
// together): each unpacks into a directory of its own, runs its own application with its own
// arguments, ends with its own code, and removes only its own directory.
#include <gtest/gtest.h>

#include <atomic>
#include <set>

#include "tests/support/hardening_support.h"

using namespace testing_support;
using namespace package_support;
using namespace hardening;

TEST(HardeningConcurrency, InstancesStartedTogetherKeepToTheirOwnDirectories)
{
    temp_directory dir;
    auto exe = dir.path() / L"app.exe";
    make_package(exe, {packer_test::memory_entry(u"data\\readme.txt", std::string(100000, 'r')),
                       packer_test::memory_entry(u"top.txt", "top")});
    for (int count : {2, 8}) {
        SCOPED_TRACE(std::to_string(count) + " instances");
        temp_directory temp;  // shared by all of them
        std::vector<run> runs(count);
        std::vector<std::thread> starters;
        std::atomic<int> ready{0};
        for (int i = 0; i < count; ++i)
            starters.emplace_back([&, i] {
                ++ready;
                while (ready.load() < count) std::this_thread::yield();
                // Each application sleeps a little, so that all of them run at the same time.
                runs[i] = start(exe, {L"--sleep", L"500", L"--exit", std::to_wstring(20 + i)}, with_temp(temp.wstr()));
            });
        for (auto& starter : starters) starter.join();

        std::set<std::wstring> directories, parents;
        for (int i = 0; i < count; ++i) {
            SCOPED_TRACE("instance " + std::to_string(i));
            const auto& result = runs[i];
            ASSERT_FALSE(result.process.timed_out);
            EXPECT_EQ(result.process.exit_code, static_cast<std::uint32_t>(20 + i)) << result.process.out
                                                                                     << result.process.err;
            auto argv = all(result.facts, "argv");
            ASSERT_EQ(argv.size(), 5u);
            EXPECT_EQ(argv[4], std::to_wstring(20 + i));
            fs::path first = one(result.facts, "first_file_path");
            EXPECT_EQ(first.parent_path().parent_path(), temp.path());
            directories.insert(first.parent_path().wstring());
            parents.insert(one(result.facts, "env.TAVRIN_ONEFILE_PARENT"));
            auto files = all(result.facts, "file");
            std::sort(files.begin(), files.end());
            EXPECT_EQ(files, (std::vector<std::wstring>{L"data", L"probe.dll", L"top.txt"}));
        }
        EXPECT_EQ(directories.size(), static_cast<std::size_t>(count));
        EXPECT_EQ(parents.size(), static_cast<std::size_t>(count));
        EXPECT_EQ(names_in(temp.path()), std::vector<std::wstring>{});
    }
}
