// Which role an instance takes: the parent marker, the cached placeholder values and, in an elevated
// process, the process tree are checked before any of them is trusted.
#ifndef TAVRIN_LAUNCHER_INSTANCE_ROLE_H
#define TAVRIN_LAUNCHER_INSTANCE_ROLE_H

#include <stdint.h>

#include "base/process_state.h"

// Child when all of these hold, parent otherwise: TAVRIN_ONEFILE_PARENT is 1 to 10 digits naming a
// process id other than our own; the cached placeholder values that are set have their formats
// (TAVRIN_ONEFILE_RANDOM 11 characters of the token alphabet, TAVRIN_ONEFILE_TIME_US 6 digits,
// TAVRIN_ONEFILE_START digits); that process runs this executable (recognise_own_executable); and,
// when this process is elevated, that process is one of its ancestors.
// A marked process that exists and is one of our ancestors but whose image path cannot be read ends
// the process ("Error, couldn't read the parent instance's image path: <call> failed" with the
// system error) instead of giving the parent role: it is most likely the parent instance.
instance_role detect_child_instance();

// How recognise_own_executable ended. For the two failures its `*error` holds the system error;
// ERROR_INVALID_PARAMETER from OpenProcess means that no such process exists.
enum recognition { recognised, other_executable, open_failed, query_failed };

// Whether process `process_id` runs this executable: OpenProcess (PROCESS_QUERY_LIMITED_INFORMATION)
// and QueryFullProcessImageNameW, which reads the system's record of the image, not the process's
// memory; the path normalised as our own resolved path is (both in buffers of own_path_capacity; a
// path that does not fit aborts) and compared exactly.
recognition recognise_own_executable(uint32_t process_id, uint32_t* error);

// The parent's check before it creates the child: this instance must recognise itself as its child
// will recognise it. Returns when it does; otherwise ends the process with the reason: "Error,
// couldn't launch child: <call> on this process failed" with the system error, or the two paths
// (exit_not_own_image).
void require_self_recognition();

// Whether `process_id` is the parent, grandparent, ... of this process, by the process ids the
// system reports (at most 64 generations; a cycle from reused ids ends the walk).
bool is_ancestor_process(uint32_t process_id);

#endif
