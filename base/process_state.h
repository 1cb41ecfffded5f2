// Process-wide state shared by the launch sequence, unpacking and clean-up, and the fixed sizes of
// the launcher's buffers. Fixed in size, alive until the process ends; written as each says.
#ifndef TAVRIN_BASE_PROCESS_STATE_H
#define TAVRIN_BASE_PROCESS_STATE_H

#include "format/format.h"

// Capacities count UTF-16 code units and include the terminating NUL. The path buffers hold
// wide_path_capacity (the archive format's path limit); the others:
enum {
    own_path_capacity = 4097,         // the own-executable-path caches
    placeholder_name_capacity = 1024, // a placeholder name in a directory spec
    env_name_capacity = 40,           // an environment-variable name
    command_line_capacity = 32768     // the child command line
};

enum instance_role { role_parent = 0, role_child = 1 };

// The unpack directory: zero-filled at start, written by expand_spec and made fully qualified by
// qualify_unpack_directory (in cached mode the archive identity appended), then only read
// (unpacking, the child's DLL directory, the clean-up); except that a parent in cached mode points
// it at the private sibling it unpacks into, and back once unpacking is done (launcher/cache.h).
extern wchar_t unpack_directory[wide_path_capacity];

// 1 once the attached data has been opened, just before the first entry is read; the clean-up
// deletes the unpack directory only then. In cached mode only while a sibling is being unpacked.
extern volatile unsigned char unpack_started;

#endif
