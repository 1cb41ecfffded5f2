// The process-wide items that more than one file of the launcher reads or writes, declared together
// with their one writer, when it writes and who reads; and the fixed sizes of the launcher's buffers.
#ifndef TAVRIN_BASE_PROCESS_STATE_H
#define TAVRIN_BASE_PROCESS_STATE_H

#include <stdint.h>

#include "format/format.h"

// Capacities count UTF-16 code units and include the terminating NUL. The path buffers hold
// wide_path_capacity (the archive format's path limit); the others:
enum {
    own_path_capacity = 4097,         // the own-executable-path caches
    env_name_capacity = 40,           // an environment-variable name
    command_line_capacity = 32768     // the child command line
};

enum instance_role { role_parent = 0, role_child = 1 };

// Every item is zero-filled at start and lives until the process ends. Besides the main thread, the
// console handler's thread (launcher/cleanup.cpp) reads directory_in_use, once the clean-up may
// delete (cleanup.h: allow_cleanup_delete), and the progress window's thread
// (launcher/progress_window.cpp) reads start_stage (and changes it, interlocked), unpacked_bytes
// and unpack_total_bytes, each through one volatile access; everything else is main-thread only.

// The launch settings the packer stored (payload/settings.h), read once.
//   writer  read_launch_settings (payload/settings.cpp), at the start of either role, before the
//           unpack directory is expanded;
//   readers the launch sequence (launcher/launch.cpp), cached mode (launcher/cache.cpp), unpacking
//           (payload/unpack.cpp: only a temporary parent records the names it writes).
// unpack_spec: the spec the unpack directory is expanded from (the stored one or the built-in one);
// cached_mode: the packer chose cached mode; program_entry: the entry is a program to start, not
// a DLL to load.
extern const wchar_t* unpack_spec;
extern bool cached_mode;
extern bool program_entry;
// no_progress_window: the packer turned the progress window off (--no-progress); read by the
// progress window (launcher/progress_window.cpp).
extern bool no_progress_window;

// Steps that TAVRIN_ONEFILE_SERIAL (include/tavrin/onefile.h) asks to do one after the other, a
// mask of serial_step bits; 0, the default, overlaps them all. Untrusted but harmless: any value
// gives the same outcome, only the order of the work changes.
//   writer  read_launch_settings (payload/settings.cpp), with the settings above;
//   readers unpacking (payload/unpack.cpp: whether the reader decodes ahead), the launch sequence
//           (launch.cpp: when the child is created), the clean-up (cleanup.cpp: deleting by the
//           names written).
enum serial_step { serial_decode = 1, serial_child = 2, serial_cleanup = 4 };
extern unsigned serial_steps;

// The unpack directory: the expansion of unpack_spec, fully qualified, in cached mode with a
// backslash and the archive identity appended (the kept tree's place). Never pointed elsewhere.
//   writer  expand_unpack_directory (launcher/launch.cpp), at the start of either role, and again
//           when a temporary parent finds the name it chose taken (a new token);
//   readers the launch sequence (making the directory, checking its names), cached mode (the kept
//           tree's path, its siblings' names), temporary mode's leftover marker
//           (launcher/leftovers.cpp: the directory it made, which is the directory in use).
extern wchar_t unpack_directory[wide_path_capacity];

// The directory in use for this run: what is unpacked into, the DLL directory of the instance that
// loads the entry, and what the clean-up deletes. The unpack directory itself in temporary mode; in
// cached mode the kept tree there, or this run's own private sibling "<tree>.tmp-<pid>-<token>"
// while the parent unpacks into it and when it runs from it (its child then uses the same sibling).
//   writer  use_directory (launcher/cleanup.cpp), on the main thread only and only while the
//           clean-up may not delete: after each expansion (launch.cpp), for the parent's sibling
//           and back (cache.cpp), for a cached child's parent copy (cache.cpp);
//   readers unpacking (payload/unpack.cpp), the DLL load (launch.cpp), the clean-up (cleanup.cpp).
// Not volatile: the console handler's thread reads it only after it has seen the clean-up's
// volatile flag set, which allow_cleanup_delete stores behind a barrier after this item.
extern wchar_t directory_in_use[wide_path_capacity];

// Full path of the first entry (the application's DLL or program); empty until the first entry has
// been read.
//   writer  unpack_attached_data and locate_first_entry (payload/unpack.cpp), while unpacking and
//           when a cached parent finds its tree's entry anew;
//   readers the launch sequence (launch.cpp: the DLL load, the program started, run_code's argument).
extern wchar_t first_file_path[wide_path_capacity];

// How far the start of the application has come, one of start_stage; changed only by an
// interlocked compare-exchange from start_preparing, so that exactly one of the two writers wins:
//   writers the progress window's thread (launcher/progress_window.cpp: to start_cancelled when
//           the person at the desktop closes the window), the launch sequence (launcher/launch.cpp:
//           to start_application_started just before the application's code can first run, which
//           ends the process with exit_start_cancelled when the window won), every fatal exit
//           (base/errors.cpp: to start_failed, before its clean-up);
//   readers unpacking (payload/unpack.cpp: a cancelled start ends before its next piece is
//           written), the progress window's thread (which shows nothing, or closes, once the start
//           failed).
enum start_stage { start_preparing = 0, start_cancelled = 1, start_application_started = 2, start_failed = 3 };
extern volatile long start_stage;

// When a windowed start that is still unpacking is due to show its progress window: the value of
// the performance counter (QueryPerformanceCounter) from which on, 0 while none is armed; and what
// then shows it. Looked at between the pieces that unpacking writes, so that a start that needs no
// window makes no thread, no event and no call for it.
//   writer  arm_progress_window (launcher/progress_window.cpp), before unpacking starts; unpacking
//           (payload/unpack.cpp) back to 0 once it is due, just before it runs the hook, once;
//   reader  unpacking, on the main thread.
extern long long progress_due_at;
extern void (*progress_due_hook)();

// What unpacking has done, for the progress window: the bytes of the content stream read so far
// (names, sizes and contents) against the frame's declared content size (0 when the frame does
// not declare it). Each a single aligned 64-bit store, so the other thread reads whole values.
//   writer  unpack_attached_data (payload/unpack.cpp), in the parent, once per piece;
//   reader  the progress window's thread (launcher/progress_window.cpp).
extern volatile uint64_t unpacked_bytes;
extern volatile uint64_t unpack_total_bytes;

#endif
