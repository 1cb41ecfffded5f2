// Instance roles: an instance recognises itself and not another executable, and sees its ancestors
// through the process tree (the elevated case of role detection; the environment checks run end
// to end in the launcher's tests).
#include <gtest/gtest.h>

#include <string>

#include "launcher/instance_role.h"
#include "tests/support/self_process.h"

using testing_support::run_scenario;

// Arguments: PID [nested]. Prints whether PID is an ancestor and whether the process's parent is;
// with "nested", runs itself once more below and prints that run's answer instead.
TAVRIN_SCENARIO(ancestors)
{
    if (argc > 2) {
        auto nested = run_scenario(L"ancestors", {argv[1]});
        printf("%s", nested.out.c_str());
        return static_cast<int>(nested.exit_code);
    }
    uint32_t id = wcstoul(argv[1], nullptr, 10);
    printf("%d %d %d", is_ancestor_process(id), is_ancestor_process(GetCurrentProcessId()),
           is_ancestor_process(0x7FFFFFF0u));
    return 0;
}

TEST(InstanceRole, AnInstanceRecognisesItsOwnExecutableOnly)
{
    uint32_t error = 0;
    EXPECT_EQ(recognise_own_executable(GetCurrentProcessId(), &error), recognised);
    EXPECT_EQ(recognise_own_executable(0x7FFFFFF0u, &error), open_failed);  // no such process
    EXPECT_EQ(error, static_cast<uint32_t>(ERROR_INVALID_PARAMETER));

    // Another executable, held suspended so that it is there to be asked.
    wchar_t line[] = L"C:\\windows\\system32\\cmd.exe /c exit";
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION other = {};
    ASSERT_TRUE(CreateProcessW(nullptr, line, nullptr, nullptr, FALSE, CREATE_SUSPENDED, nullptr, nullptr, &startup,
                               &other));
    EXPECT_EQ(recognise_own_executable(other.dwProcessId, &error), other_executable);
    TerminateProcess(other.hProcess, 0);
    CloseHandle(other.hThread);
    CloseHandle(other.hProcess);
}

TEST(InstanceRole, AncestorsAreFoundThroughTheGenerations)
{
    const std::wstring self = std::to_wstring(GetCurrentProcessId());
    // A child and a grandchild of this process both find it; neither counts itself, nor a process
    // that does not exist.
    EXPECT_EQ(run_scenario(L"ancestors", {self}).out, "1 0 0");
    EXPECT_EQ(run_scenario(L"ancestors", {self, L"nested"}).out, "1 0 0");
}
