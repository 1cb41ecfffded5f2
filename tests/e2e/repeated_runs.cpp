// Many runs of one package, for the test that runs them as another user (runs_as_user.sh): each
// run's full exit code and output are checked, and the runs that differ are printed whole.
#include <algorithm>
#include <atomic>
#include <mutex>
#include <thread>

#include "tests/support/package_support.h"

using namespace testing_support;

// Arguments: OUT. Writes a package of the probe to OUT.
TAVRIN_SCENARIO(make_probe_package)
{
    package_support::make_package(argv[1]);
    return 0;
}

// Arguments: PACKAGE COUNT. Runs PACKAGE COUNT times, two at a time, asking the probe for exit code 3
// and one line on each stream; prints every run that ended otherwise and a summary. Exit code 0 when
// every run ended as asked and no unpack directory was left, 1 otherwise.
TAVRIN_SCENARIO(repeated_runs)
{
    const std::wstring package = argv[1], line = quote_argument(package) + L" --stdout out --stderr err --exit 3";
    const int count = _wtoi(argv[2]);
    const auto before = package_support::unpack_directories();
    std::atomic<int> next{0};
    int failed = 0, left = 0;
    std::mutex report;
    auto work = [&] {
        for (int run = next++; run < count; run = next++) {
            run_options options;
            options.timeout_ms = 120000;
            const process_result result = run_process(package, line, options);
            if (!result.timed_out && result.exit_code == 3 && result.out == "out\r\n" && result.err == "err\r\n") continue;
            std::lock_guard<std::mutex> hold(report);
            ++failed;
            printf("run %d: exit code 0x%08lx%s\n--- standard output:\n%s\n--- standard error:\n%s\n---\n", run,
                   static_cast<unsigned long>(result.exit_code), result.timed_out ? ", ended after the time limit" : "",
                   result.out.c_str(), result.err.c_str());
            fflush(stdout);
        }
    };
    std::thread second(work);
    work();
    second.join();
    for (const auto& name : package_support::unpack_directories())
        if (std::find(before.begin(), before.end(), name) == before.end()) {
            printf("left behind: %s\n", narrow(name).c_str());
            ++left;
        }
    printf("%d runs, %d failed, %d unpack directories left\n", count, failed, left);
    return failed == 0 && left == 0 ? 0 : 1;
}
