// Entry of every Windows test executable: a scenario when asked for one, GoogleTest otherwise.
#include <gtest/gtest.h>

#include "tests/support/self_process.h"

int wmain(int argc, wchar_t** argv)
{
    int code = 0;
    if (testing_support::run_requested_scenario(argc, argv, &code)) return code;
    testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
