// The launch sequence and the two instance roles.
#ifndef TAVRIN_LAUNCHER_LAUNCH_H
#define TAVRIN_LAUNCHER_LAUNCH_H

#include "launcher/process_state.h"

// Child when TAVRIN_ONEFILE_PARENT names a running process whose executable, normalised, equals this
// process's own resolved path; parent otherwise.
instance_role detect_child_instance();

// Everything the process entry does; returns the process exit code.
int run_launcher();

#endif
