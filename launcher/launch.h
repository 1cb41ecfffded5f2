// The launch sequence and the two instance roles.
#ifndef TAVRIN_LAUNCHER_LAUNCH_H
#define TAVRIN_LAUNCHER_LAUNCH_H

#include "base/process_state.h"

// Everything the process entry does; returns the process exit code.
int run_launcher();

#endif
