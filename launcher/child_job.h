// The job that ties the process the parent starts (its second instance, or a program entry) to the
// parent's life: when the parent ends, for any reason, the system ends that process too.
#ifndef TAVRIN_LAUNCHER_CHILD_JOB_H
#define TAVRIN_LAUNCHER_CHILD_JOB_H

#include <windows.h>

// Puts the process `process`, created suspended, into this process's child job (made on first use,
// never inheritable, held until this process ends); the caller resumes it. The job ends its
// processes when its last handle closes (JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE): this process ending in
// any way, TerminateProcess included, closes it. Processes that the child starts are not in the job
// (JOB_OBJECT_LIMIT_SILENT_BREAKAWAY_OK): they live on as they would next to the plain program.
// Where no job can be made or the process cannot be put into one (this process runs in a job that
// allows neither nesting nor assignment), it runs without.
void put_in_child_job(HANDLE process);

// The limits the child job is given.
const DWORD child_job_limits = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE | JOB_OBJECT_LIMIT_SILENT_BREAKAWAY_OK;

#endif
