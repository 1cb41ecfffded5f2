// Shutdown and clean-up: end the child if it still runs, delete the unpack directory with bounded
// retries; the console control handler that runs it on interrupt, close, logoff and shutdown.
#ifndef TAVRIN_LAUNCHER_CLEANUP_H
#define TAVRIN_LAUNCHER_CLEANUP_H

#include <windows.h>

// The child's process handle is kept in one slot that the main thread and the console control
// handler's thread share. Whoever takes the handle out of the slot (an interlocked exchange with
// NULL) owns it and closes it, so it is closed exactly once.

// Called just before the child is created: from then on an interrupt (Ctrl-C, Ctrl-Break) is left
// to the child, which shares the console, and the parent keeps waiting for it.
void mark_child_starting();

// Puts `child` (a process handle from CreateProcessW) into the slot and returns a handle for the
// main thread to wait on: a duplicate of its own, or, when no duplicate can be made, the slot's
// handle taken back out. NULL when the handler took the only handle first. The caller closes it.
HANDLE hand_over_child(HANDLE child);

// Closes the slot's handle if it is still there (the child has ended; nothing else is done).
void release_child();

// Takes the child's handle out of its slot (if any): waits up to 5 s, ends the child with exit code
// 1 if it still runs, closes the handle. Then, when unpack_started is 1, deletes the unpack
// directory and its tree (long paths included; links inside it are removed, not followed), at most
// 21 attempts with 100 ms pauses. Safe to run from the main thread and the handler thread at once.
void cleanup_child_and_directory();

// Interrupt and break (0, 1): TRUE once the child is starting (it answers them itself); before
// that, the clean-up and FALSE. Close, logoff and shutdown (2, 5, 6): the clean-up and FALSE. Others:
// nothing, FALSE.
BOOL WINAPI console_ctrl_handler(DWORD event);

#endif
