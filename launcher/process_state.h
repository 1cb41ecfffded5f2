// Process-wide state shared by the launch sequence, unpacking and clean-up. Fixed in size, alive
// until the process ends; written by the main thread as each declaration says.
#ifndef TAVRIN_LAUNCHER_PROCESS_STATE_H
#define TAVRIN_LAUNCHER_PROCESS_STATE_H

#include "paths/bounded.h"

enum instance_role { role_parent = 0, role_child = 1 };

// The unpack directory: zero-filled at start, written by expand_spec and made fully qualified by
// qualify_unpack_directory, then only read (unpacking, the child's DLL directory, the clean-up).
extern wchar_t unpack_directory[wide_path_capacity];

// The launcher's own executable path (GetModuleFileNameW), filled by whichever of the launch
// sequence or build_child_command_line needs it first; empty until then.
extern wchar_t child_application_path[wide_path_capacity];

// The child's process handle, NULL when there is none. Shared by the main thread and the console
// control handler's thread: whoever takes it out of the slot (an interlocked exchange with NULL)
// owns it and closes it, so it is closed exactly once.
extern void* volatile child_process_handle;

// 1 once the attached data has been opened, just before the first entry is read; the clean-up
// deletes the unpack directory only then.
extern volatile unsigned char unpack_started;

#endif
