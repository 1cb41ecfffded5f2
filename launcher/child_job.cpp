// The child job: made once, the child put into it while still suspended, then resumed.
#include "launcher/child_job.h"

namespace {

// The job's handle: NULL until it is made (or when it could not be). Never closed: the system
// closes it when this process ends, which is what ends the child.
HANDLE child_job;

// A job with child_job_limits; NULL when the system would not make or limit one.
HANDLE make_child_job()
{
    // No security attributes: the handle is not inheritable, so no process started by the child
    // (or by the application) can keep the job, and with it the child, alive after this process.
    HANDLE job = CreateJobObjectW(NULL, NULL);
    if (job == NULL) return NULL;
    JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits;
    ZeroMemory(&limits, sizeof limits);
    limits.BasicLimitInformation.LimitFlags = child_job_limits;
    if (!SetInformationJobObject(job, JobObjectExtendedLimitInformation, &limits, sizeof limits)) {
        CloseHandle(job);
        return NULL;
    }
    return job;
}

}  // namespace

void put_in_child_job(HANDLE process)
{
    if (child_job == NULL) child_job = make_child_job();
    // A job of our own inside the one this process runs in needs nesting (Windows 8 and later) or
    // breakaway; a job that allows neither refuses the assignment. The child then runs as it did
    // before jobs were used, and this run is not failed for it. The job stays as it is: closing it
    // would end whatever it already holds.
    if (child_job != NULL) AssignProcessToJobObject(child_job, process);
}
