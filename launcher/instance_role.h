// Which role an instance takes: the parent marker, the cached placeholder values and, in an elevated
// process, the process tree are checked before any of them is trusted.
#ifndef TAVRIN_LAUNCHER_INSTANCE_ROLE_H
#define TAVRIN_LAUNCHER_INSTANCE_ROLE_H

#include <stdint.h>

#include "launcher/process_state.h"

// Child when all of these hold, parent otherwise: TAVRIN_ONEFILE_PARENT is 1 to 10 digits naming a
// process id other than our own; the cached placeholder values that are set have their formats
// (TAVRIN_ONEFILE_RANDOM 11 characters of the token alphabet, TAVRIN_ONEFILE_TIME_US 6 digits,
// TAVRIN_ONEFILE_START digits); that process runs this executable (recognise_own_executable); and,
// when this process is elevated, that process is one of its ancestors.
instance_role detect_child_instance();

// 0 when process `process_id` runs this executable: its image path, normalised as our own resolved
// path is (both in buffers of own_path_capacity; a path that fills its buffer aborts), equals ours
// exactly. Otherwise the system error that stopped the test, or ERROR_BAD_PATHNAME when the paths
// differ.
uint32_t recognise_own_executable(uint32_t process_id);

// Whether `process_id` is the parent, grandparent, ... of this process, by the process ids the
// system reports (at most 64 generations; a cycle from reused ids ends the walk).
bool is_ancestor_process(uint32_t process_id);

#endif
