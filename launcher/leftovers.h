// Temporary mode's left-behind unpack directories: each is marked when it is made, and a later run
// of any package deletes the marked ones whose owner has ended.
#ifndef TAVRIN_LAUNCHER_LEFTOVERS_H
#define TAVRIN_LAUNCHER_LEFTOVERS_H

#include <stddef.h>
#include <stdint.h>

// What follows a directory's name in its marker's name: "<TEMP>\onefile_..._<token>.tavrin" marks
// "<TEMP>\onefile_..._<token>".
extern const wchar_t leftover_marker_suffix[];

// The process id in `name` (its first `length` code units) when they are exactly the built-in
// unpack directory's name, "onefile_<pid>_<time_us>_<token>" (a pid of 1 to 10 digits, not 0 and
// at most 32 bits, a time of 1 to 20 digits, a token of 11 base64 characters with '-' and '_');
// otherwise 0.
uint32_t unpack_name_process(const wchar_t* name, size_t length);

// The process id that a leftover's name holds at `*at`, up to `end`: 1 to 10 decimal digits, not 0
// and at most 32 bits; `*at` is moved past the digits. 0 (with `*at` anywhere) when there is none.
uint32_t read_process_id(const wchar_t** at, const wchar_t* end);

// Called by the parent in temporary mode once it has made the unpack directory: when that lies
// directly in the temporary directory (GetTempPathW) under a name that unpack_name_process
// accepts, writes an empty marker file beside it (never over anything that exists). The
// application sees nothing of it in its own directory.
void mark_unpack_directory();

// Whether this run marked its unpack directory (a later run then deletes what it leaves).
bool unpack_directory_marked();

// Deletes this run's marker; called once the unpack directory is gone.
void remove_unpack_marker();

// Deletes the directories in the temporary directory that a run left behind: each must have a name
// that unpack_name_process accepts, be a directory and no link (none is followed), have its marker
// (a plain file, no link), be owned by this user (handle_has_own_owner) and its process must have
// ended (leftover_is_stale, with the directory's creation time). Its marker goes after it. A
// marker whose directory is gone and whose process has ended goes too. Everything else is left as
// it is; failures are silent (a later run tries again).
void remove_left_unpack_directories();

#endif
