// Shutdown and clean-up: end the child if it still runs, delete the unpack directory with bounded
// retries; the console control handler that runs it on interrupt, close, logoff and shutdown.
#ifndef TAVRIN_LAUNCHER_CLEANUP_H
#define TAVRIN_LAUNCHER_CLEANUP_H

#include <windows.h>

// Takes child_process_handle out of its slot (if any): waits up to 5 s, terminates with 0 if the
// child still runs, closes it. Then, when unpack_started is 1, deletes the unpack directory and its
// tree (long paths included; links inside it are removed, not followed), at most 21 attempts with
// 100 ms pauses. Safe to run from the main thread and the handler thread at once.
void cleanup_child_and_directory();

// Runs the clean-up for events 0, 1, 2, 5 and 6, nothing for others; always returns FALSE.
BOOL WINAPI console_ctrl_handler(DWORD event);

// Diagnostics for tests, counted since the process started: delete attempts,
// GetFileAttributesW existence tests, and child handles closed by the clean-up.
extern volatile LONG cleanup_delete_requests;
extern volatile LONG cleanup_existence_tests;
extern volatile LONG cleanup_handles_closed;

#endif
