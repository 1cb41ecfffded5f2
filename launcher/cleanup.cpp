// Shutdown and clean-up: the child is given 5 s and then ended, the unpack directory is deleted with
// bounded retries; the console control handler runs the same on interrupt, close, logoff, shutdown.
#include "launcher/cleanup.h"

#include <wchar.h>

#include "launcher/process_state.h"
#include "paths/bounded.h"

namespace {

// The child's process handle, NULL when there is none; see cleanup.h for who owns it.
void* volatile child_process_handle;
// 1 from just before the child is created: interrupts are then the application's to answer.
volatile LONG child_starting;

enum {
    child_grace_ms = 5000,
    delete_retries = 20,  // after the first attempt: 21 attempts, at most 20 pauses
    delete_pause_ms = 100
};

// Longest path the system's wide file calls take with the "\\?\" prefix, terminator included.
enum { long_path_capacity = 32768 };
// How deep the walk goes below the unpack directory. Each level holds one search on the stack; the
// launcher writes at most some 2000 levels (4095 code units), deeper trees are the application's.
enum { deepest_level = 4096 };

// Appends `name` and a terminator at path[length]; false when it does not fit.
bool extend_path(wchar_t* path, size_t length, const wchar_t* name)
{
    size_t units = wcslen(name);
    if (length + units + 1 > long_path_capacity) return false;
    for (size_t i = 0; i <= units; ++i) path[length + i] = name[i];
    return true;
}

// Deletes everything below the directory `path` (of `length` code units, "\\?\" form), then the
// directory itself. Whatever cannot be deleted (a file held open) stays, and so do the directories
// above it; the caller tries again. A link to another directory is removed as a link, never
// followed: nothing outside the tree is touched.
void delete_tree(wchar_t* path, size_t length, int level)
{
    if (level < deepest_level && extend_path(path, length, L"\\*")) {
        WIN32_FIND_DATAW found;
        HANDLE search = FindFirstFileW(path, &found);
        if (search != INVALID_HANDLE_VALUE) {
            do {
                const wchar_t* name = found.cFileName;
                if (name[0] == L'.' && (name[1] == 0 || (name[1] == L'.' && name[2] == 0))) continue;
                path[length] = L'\\';
                if (!extend_path(path, length + 1, name)) continue;
                bool directory = (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
                bool link = (found.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
                if (found.dwFileAttributes & FILE_ATTRIBUTE_READONLY)
                    SetFileAttributesW(path, found.dwFileAttributes & ~FILE_ATTRIBUTE_READONLY);
                if (directory && !link) delete_tree(path, length + 1 + wcslen(name), level + 1);
                else if (directory) RemoveDirectoryW(path);
                else DeleteFileW(path);
            } while (FindNextFileW(search, &found));
            FindClose(search);
        }
    }
    path[length] = 0;
    RemoveDirectoryW(path);
}

// One delete attempt on the unpack directory and everything in it. SHFileOperationW is not used:
// it works only within MAX_PATH, and under Wine 8, past MAX_PATH, it walks on with an empty path and
// deletes the files of the current directory instead. Each call has its own path buffer: both
// threads may be deleting at once.
void request_delete()
{
    wchar_t path[long_path_capacity];
    // The unpack directory is fully qualified: a drive path or a \\server\share path.
    const wchar_t* prefix = L"\\\\?\\";
    const wchar_t* rest = unpack_directory;
    if (unpack_directory[0] == L'\\' && unpack_directory[1] == L'\\') {
        if (unpack_directory[2] == L'?' || unpack_directory[2] == L'.') {
            prefix = L"";  // already in the long form
        } else {
            prefix = L"\\\\?\\UNC\\";
            rest = unpack_directory + 2;
        }
    }
    path[0] = 0;
    if (!extend_path(path, 0, prefix) || !extend_path(path, wcslen(path), rest)) return;
    size_t length = wcslen(path);
    while (length > 0 && path[length - 1] == L'\\') path[--length] = 0;
    delete_tree(path, length, 0);
}

bool directory_still_there()
{
    DWORD attributes = GetFileAttributesW(unpack_directory);
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

}  // namespace

void mark_child_starting() { InterlockedExchange(&child_starting, 1); }

HANDLE hand_over_child(HANDLE child)
{
    // The console handler may take the slot's handle at any moment, wait for the child, end it and
    // close the handle. The main thread therefore waits on a handle of its own, so that neither
    // thread ever uses a handle the other has closed.
    HANDLE own = NULL;
    DuplicateHandle(GetCurrentProcess(), child, GetCurrentProcess(), &own, 0, FALSE, DUPLICATE_SAME_ACCESS);
    child_process_handle = child;
    if (own != NULL) return own;
    // Without a handle of its own the main thread takes the slot's back (or finds it taken).
    return InterlockedExchangePointer(&child_process_handle, NULL);
}

void release_child()
{
    HANDLE left = InterlockedExchangePointer(&child_process_handle, NULL);
    if (left != NULL) CloseHandle(left);
}

void cleanup_child_and_directory()
{
    // The main thread and the handler thread may both get here. Whoever takes the handle out of the
    // slot owns it; the other finds NULL and never touches it, so it is closed exactly once. The
    // main thread waits on a handle of its own, never on the slot's.
    HANDLE child = InterlockedExchangePointer(&child_process_handle, NULL);
    if (child != NULL) {
        // Also a failed wait ends the child: it must not keep files in the directory open.
        // Ended from outside, it must not look like a success: exit code 1.
        if (WaitForSingleObject(child, child_grace_ms) != WAIT_OBJECT_0) TerminateProcess(child, 1);
        CloseHandle(child);
    }

    if (unpack_started == 0) return;

    request_delete();
    // Files still held open (by a child that is only now going away, a virus scanner, an indexer)
    // keep the directory for a moment; it is asked for again while it is still there.
    for (int retry = 0; retry < delete_retries; ++retry) {
        if (!directory_still_there()) return;
        Sleep(delete_pause_ms);
        request_delete();
    }
}

BOOL WINAPI console_ctrl_handler(DWORD event)
{
    switch (event) {
    case CTRL_C_EVENT:
    case CTRL_BREAK_EVENT:
        // The child shares the console and gets the same event: it decides what an interrupt means
        // (an interactive interpreter survives it, a script may take its time to shut down). The
        // parent keeps waiting; the normal clean-up runs when the child ends.
        if (child_starting != 0) return TRUE;
        cleanup_child_and_directory();
        break;
    case CTRL_CLOSE_EVENT:
    case CTRL_LOGOFF_EVENT:
    case CTRL_SHUTDOWN_EVENT:
        // The system ends the process after these whatever the handler answers.
        cleanup_child_and_directory();
        break;
    default:
        break;
    }
    // Not handled here: the next handler, by default the system's, ends the process.
    return FALSE;
}
