// Shutdown and clean-up: the child is given 5 s and then ended, the unpack directory is deleted with
// bounded retries; the console control handler runs the same on interrupt, close, logoff, shutdown.
#include "launcher/cleanup.h"

#include <shellapi.h>
#include <wchar.h>

#include "launcher/process_state.h"
#include "paths/bounded.h"

volatile LONG cleanup_delete_requests;
volatile LONG cleanup_existence_tests;
volatile LONG cleanup_handles_closed;

namespace {

enum {
    child_grace_ms = 5000,
    delete_retries = 20,  // after the first attempt: 21 attempts, at most 20 pauses
    delete_pause_ms = 100
};

// One delete request for the directory named in `list` (its path and a second NUL), filled anew
// for every call.
void request_delete(const wchar_t* list)
{
    SHFILEOPSTRUCTW request;
    request.hwnd = NULL;
    request.wFunc = FO_DELETE;
    request.pFrom = list;
    request.pTo = L"";
    request.fFlags = FOF_SILENT | FOF_NOCONFIRMATION | FOF_NOERRORUI;  // nothing to the recycle bin
    request.fAnyOperationsAborted = FALSE;
    request.hNameMappings = NULL;
    request.lpszProgressTitle = L"";
    InterlockedIncrement(&cleanup_delete_requests);
    SHFileOperationW(&request);
}

bool directory_still_there()
{
    InterlockedIncrement(&cleanup_existence_tests);
    DWORD attributes = GetFileAttributesW(unpack_directory);
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

}  // namespace

void cleanup_child_and_directory()
{
    // The main thread and the handler thread may both get here. Whoever takes the handle out of the
    // slot owns it; the other finds NULL and never touches it, so it is closed exactly once. The
    // main thread waits on a handle of its own, never on the slot's.
    HANDLE child = InterlockedExchangePointer(&child_process_handle, NULL);
    if (child != NULL) {
        // Also a failed wait ends the child: it must not keep files in the directory open.
        if (WaitForSingleObject(child, child_grace_ms) != WAIT_OBJECT_0) TerminateProcess(child, 0);
        CloseHandle(child);
        InterlockedIncrement(&cleanup_handles_closed);
    }

    if (unpack_started == 0) return;

    // On the stack, not shared: both threads may be deleting at once. The path fills at most 4095
    // code units of its buffer, so the list needs one unit more than a path buffer.
    wchar_t list[wide_path_capacity + 1];
    copy_wide_bounded(list, unpack_directory, wide_path_capacity);
    list[wcslen(list) + 1] = 0;

    request_delete(list);
    // Files still held open (by a child that is only now going away, a virus scanner, an indexer)
    // keep the directory for a moment; it is asked for again while it is still there.
    for (int retry = 0; retry < delete_retries; ++retry) {
        if (!directory_still_there()) return;
        Sleep(delete_pause_ms);
        request_delete(list);
    }
}

BOOL WINAPI console_ctrl_handler(DWORD event)
{
    switch (event) {
    case CTRL_C_EVENT:
    case CTRL_BREAK_EVENT:
    case CTRL_CLOSE_EVENT:
    case CTRL_LOGOFF_EVENT:
    case CTRL_SHUTDOWN_EVENT:
        cleanup_child_and_directory();
        break;
    default:
        break;
    }
    // Never handled here: the next handler, by default the system's, still ends the process.
    return FALSE;
}
