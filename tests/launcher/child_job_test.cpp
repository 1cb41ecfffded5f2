// The child's job under Wine: a process that cannot join it runs without it. The child is this
// executable's exit_after scenario (cleanup_test.cpp).
#include <gtest/gtest.h>

#include <string>

#include "launcher/child_job.h"
#include "tests/support/self_process.h"

using testing_support::quote_argument;
using testing_support::self_path;

TEST(ChildJob, AProcessThatCannotJoinTheJobRunsWithoutIt)
{
    // Under Wine 8 a job nests in another, so a refused assignment is made here with a process handle
    // that lacks the rights to put the process into a job.
    for (bool joinable : {true, false}) {
        SCOPED_TRACE(joinable ? "joinable" : "refused");
        std::wstring line = quote_argument(self_path()) + L" --scenario exit_after 0 42";
        STARTUPINFOW startup = {};
        startup.cb = sizeof startup;
        PROCESS_INFORMATION child = {};
        ASSERT_TRUE(CreateProcessW(self_path().c_str(), &line[0], nullptr, nullptr, FALSE, CREATE_SUSPENDED, nullptr,
                                   nullptr, &startup, &child));
        HANDLE given = child.hProcess;
        if (!joinable) {
            ASSERT_TRUE(DuplicateHandle(GetCurrentProcess(), child.hProcess, GetCurrentProcess(), &given,
                                        PROCESS_QUERY_LIMITED_INFORMATION | SYNCHRONIZE, FALSE, 0));
        }
        put_in_child_job(given);
        EXPECT_NE(ResumeThread(child.hThread), static_cast<DWORD>(-1));
        BOOL in_job = FALSE;
        EXPECT_TRUE(IsProcessInJob(child.hProcess, nullptr, &in_job));
        EXPECT_EQ(in_job != FALSE, joinable);
        const DWORD waited = WaitForSingleObject(child.hProcess, 60000);
        EXPECT_EQ(waited, WAIT_OBJECT_0) << "never resumed";
        if (waited != WAIT_OBJECT_0) TerminateProcess(child.hProcess, 1);
        DWORD code = 0;
        GetExitCodeProcess(child.hProcess, &code);
        EXPECT_EQ(code, 42u);
        if (given != child.hProcess) CloseHandle(given);
        CloseHandle(child.hThread);
        CloseHandle(child.hProcess);
    }
}
