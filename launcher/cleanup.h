// Shutdown and clean-up: end the child if it still runs, delete the directory in use with bounded
// retries; the console control handler that runs it on interrupt, close, logoff and shutdown.
#ifndef TAVRIN_LAUNCHER_CLEANUP_H
#define TAVRIN_LAUNCHER_CLEANUP_H

#include <windows.h>

// The child's process handle is kept in one slot that the main thread and the console control
// handler's thread share. Whoever takes the handle out of the slot (an interlocked exchange with
// NULL) owns it and closes it, so it is closed exactly once.

// Called just before the child first runs (created, or resumed when it was created suspended): from
// then on an interrupt (Ctrl-C, Ctrl-Break) is left to the child, which shares the console, and the
// parent keeps waiting for it. A child in the slot before this call has never run: the clean-up
// ends it at once, without the grace period.
void mark_child_starting();

// A thread that is creating the child (and puts it into the slot) while the main thread unpacks:
// register_child_creation records it (on the main thread, once, right after starting it; the
// handle stays open until the process ends); await_child_creation waits for it to finish, as the
// clean-up does before it takes the slot, so that no child is created after the clean-up looked.
void register_child_creation(HANDLE thread);
void await_child_creation();

// Puts `child` (a process handle from CreateProcessW) into the slot and returns a handle for the
// main thread to wait on: a duplicate of its own, or, when no duplicate can be made, the slot's
// handle taken back out. NULL when the handler took the only handle first. The caller closes it.
HANDLE hand_over_child(HANDLE child);

// Closes the slot's handle if it is still there (the child has ended; nothing else is done).
void release_child();

// Makes the fully qualified `path` the directory in use (base/process_state.h), its one writer. On
// the main thread only, and only while the clean-up may not delete: the console handler's thread
// reads the item once the clean-up may.
void use_directory(const wchar_t* path);

// Whether the clean-up may delete the directory in use, its one writer (the flag itself is this
// file's). The launch sequence allows it once the directory this run made has its identity recorded
// (and, held, its hold in the slot), just before the first entry is written: a temporary parent,
// and a cached parent for the sibling it unpacks into, then forbids it once the sibling is complete,
// and allows it again when it runs from that sibling. Nothing else is ever deleted by the clean-up.
void allow_cleanup_delete(bool allowed);

// Records the volume serial number and file id of the directory in use as it is now. Called once
// the directory exists and before anything is unpacked into it. When it is not a directory, is a
// link (a reparse point) or cannot be opened, nothing is recorded, and the clean-up deletes nothing.
void record_directory_in_use_identity();

// A handle that holds the directory in use open without delete sharing (an elevated parent's), in
// a slot like the child's: hold_directory_in_use puts it there before unpacking starts; the
// clean-up takes it out and closes it before it deletes the directory (which it could not open
// otherwise); take_directory_in_use_hold takes it back once unpacking is done and returns it, or
// NULL when the clean-up took it first. Whoever takes it out owns it.
void hold_directory_in_use(HANDLE directory);
HANDLE take_directory_in_use_hold();

// Writes the long ("\\?\") form of the fully qualified `path` into `out` (`capacity` code units,
// at most 32768) without a trailing backslash and returns its length; 0 when it does not fit.
size_t long_path_form(const wchar_t* path, wchar_t* out, size_t capacity);

// A directory's identity: its volume serial number and file id.
struct directory_identity {
    DWORD serial, index_high, index_low;
};

// The identity in what GetFileInformationByHandle read.
directory_identity identity_of(const BY_HANDLE_FILE_INFORMATION* info);

// Deletes the fully qualified directory `path` and its tree as the clean-up deletes the directory
// in use (links inside removed, never followed; one attempt, no retries), provided `path` is a
// directory and no link, and, when `expected` is not NULL, the directory of that identity (opened
// without following a link); otherwise nothing is deleted. True when nothing is left under `path`.
bool delete_directory_tree(const wchar_t* path, const directory_identity* expected);

// Takes the child's handle out of its slot (if any): waits up to 5 s (not at all for a child that
// was never resumed, mark_child_starting), ends the child with exit code 1 if it still runs,
// closes the handle. Then, when the clean-up may delete, deletes the directory
// in use and its tree (long paths included; links inside it are removed, not followed), at most
// 21 attempts with 100 ms pauses. The first attempt deletes the files that unpacking wrote by
// their names when their record is sealed and complete (payload/written_names.h) and
// TAVRIN_ONEFILE_SERIAL does not name the clean-up, and walks only what it finds added or changed;
// the other attempts walk the tree. Only while the directory still has the recorded identity: a link,
// or another directory, put in its place is left alone with all it leads to. Inside the tree,
// entries are handled as choose_cleanup_action says. Once the directory is gone, its marker goes
// too (leftovers.h); when it is still there after the last attempt, report_left_behind names it
// once, with the reason the last attempt met. Safe to run from the main thread and the handler
// thread at once.
void cleanup_child_and_directory();

// What the clean-up does with one entry, from the attributes and the link count read through the
// entry's own handle (opened without following a link).
enum cleanup_action {
    cleanup_descend,            // a directory that is no reparse point: its read-only attribute
                                // cleared, its entries deleted, then itself
    cleanup_delete,             // a file, or a reparse point of any kind: the entry itself goes
    cleanup_clear_then_delete,  // read-only with one link: the attribute is cleared, then it goes
    cleanup_delete_as_is        // read-only with more links: its attributes are never changed; it
                                // goes only where the system deletes a read-only file as it is
};
cleanup_action choose_cleanup_action(DWORD attributes, DWORD links);

// Interrupt and break (0, 1): TRUE once the child is starting (it answers them itself); before
// that, the clean-up and FALSE. Close, logoff and shutdown (2, 5, 6): the clean-up and FALSE. Others:
// nothing, FALSE.
BOOL WINAPI console_ctrl_handler(DWORD event);

// The handler of an instance in the child role that starts a program entry and waits for it.
// Interrupt and break (0, 1): TRUE, so that it keeps waiting; the program, on the same console, gets
// them too and decides. A handler routine is not inherited, whereas the "ignore" state of
// SetConsoleCtrlHandler(NULL, TRUE) would be, and the program would ignore interrupts. Others: FALSE.
BOOL WINAPI waiting_ctrl_handler(DWORD event);

#endif
