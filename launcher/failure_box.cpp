// The failure box: shown by the instance that failed, or by the parent for its second instance
// through a shared section that the child writes and the parent reads once the child has ended.
#include "launcher/failure_box.h"

#include <stdint.h>
#include <stdio.h>
#include <string.h>
#include <wchar.h>

#include "base/process_state.h"
#include "base/trace.h"
#include "include/tavrin/onefile.h"
#include "launcher/cache.h"
#include "launcher/desktop.h"
#include "paths/environment.h"
#include "resources/version_strings.h"

namespace {

// The variable that names the section to the child: its handle value in decimal. The launcher's
// own: the child removes it before anything else reads its environment.
const wchar_t handover_variable[] = L"TAVRIN_ONEFILE_FAILURE_HANDOVER";

// The section's layout: the parent's header, then the child's text. The text is the message as
// the streams would have shown it, whole: the longest is two paths and the system's text, far
// below the capacity; one that does not fit is shown by the child itself.
const char handover_magic[16] = "tavrin-failure1";
enum { handover_capacity = 65536 };  // code units of text, terminator included
struct handover_section {
    char magic[16];
    uint32_t capacity;        // handover_capacity, written by the parent
    volatile uint32_t units;  // the text's length, written by the child after the text; 0: none
    wchar_t text[handover_capacity];
};

// This room's state. The parent's offer: the section's handle (inheritable while offered) and its
// view; the child's acceptance: the view it writes into and the inherited handle. Main thread
// only, but for the view that present_failure writes on a failing thread (the process ends then).
struct failure_box_state {
    HANDLE section;
    handover_section* view;
    bool offered;   // the parent's variable is set and its handle inheritable
    bool accepted;  // a second instance's: the view is its parent's section
};
failure_box_state box = {NULL, NULL, false, false};

bool no_dialog_requested() { return env_var_set(TAVRIN_ENV_ONEFILE_NO_DIALOG); }

// The box itself, after the checks of present_failure.
void show_box(const wchar_t* text)
{
    if (start_stage == start_cancelled) return;  // they closed the window: nothing to tell
    if (no_dialog_requested()) {
        trace("no message box: " TAVRIN_ENV_ONEFILE_NO_DIALOG " is set");
        return;
    }
    const char* why_not = NULL;
    const desktop_calls* calls = seen_desktop(&why_not);
    if (calls == NULL) {
        trace("no message box: %s", why_not);
        return;
    }
    // Nothing of the kept tree stays held while the box is open.
    release_kept_tree();
    wchar_t title[version_text_capacity];
    package_title(title, version_text_capacity);
    trace("the failure shown in a message box titled '%ls'", title);
    calls->message_box(NULL, text, title, MB_OK | MB_ICONERROR | MB_SETFOREGROUND);
}

// Whether the process has the standard handle `which` at all: no call to the system, so that the
// common start pays nothing for the hand-over. A handle that is set but closed or invalid counts as
// present: its failure then shows in the child's own box, the parent's directory still there
// meanwhile.
bool standard_stream_present(DWORD which)
{
    HANDLE handle = GetStdHandle(which);
    return handle != NULL && handle != INVALID_HANDLE_VALUE;
}

}  // namespace

void present_failure(const wchar_t* text)
{
    handover_section* view = box.view;
    if (box.accepted && view != NULL) {
        // A second instance: the parent shows it once its clean-up has run.
        const size_t units = wcslen(text);
        if (units < handover_capacity) {
            memcpy(view->text, text, (units + 1) * sizeof(wchar_t));
            MemoryBarrier();
            view->units = static_cast<uint32_t>(units);
            trace("the failure handed to the parent instance for its box");
            return;
        }
    }
    show_box(text);
}

void offer_failure_handover()
{
    if (box.offered || standard_stream_present(STD_OUTPUT_HANDLE) || standard_stream_present(STD_ERROR_HANDLE) ||
        no_dialog_requested())
        return;
    SECURITY_ATTRIBUTES inherited = {sizeof inherited, NULL, TRUE};
    if (box.section == NULL) {
        box.section = CreateFileMappingW(INVALID_HANDLE_VALUE, &inherited, PAGE_READWRITE, 0, sizeof(handover_section), NULL);
        if (box.section == NULL) return;
        box.view = static_cast<handover_section*>(MapViewOfFile(box.section, FILE_MAP_WRITE, 0, 0, 0));
        if (box.view == NULL) {
            CloseHandle(box.section);
            box.section = NULL;
            return;
        }
        memcpy(box.view->magic, handover_magic, sizeof handover_magic);
        box.view->capacity = handover_capacity;
        box.view->units = 0;
    } else {
        SetHandleInformation(box.section, HANDLE_FLAG_INHERIT, HANDLE_FLAG_INHERIT);
    }
    wchar_t value[24];
    swprintf(value, sizeof value / sizeof *value, L"%llu",
             static_cast<unsigned long long>(reinterpret_cast<uintptr_t>(box.section)));
    SetEnvironmentVariableW(handover_variable, value);
    box.offered = true;
    trace("no usable standard stream: the second instance hands a failure over for the box");
}

void withdraw_failure_handover()
{
    if (!box.offered) return;
    SetEnvironmentVariableW(handover_variable, NULL);
    SetHandleInformation(box.section, HANDLE_FLAG_INHERIT, 0);
    box.offered = false;
}

void show_handed_over_failure()
{
    withdraw_failure_handover();
    handover_section* view = box.view;
    if (view == NULL) return;
    // The child has ended: what it wrote is all there.
    const uint32_t units = view->units;
    if (units == 0 || units >= handover_capacity || view->text[units] != 0) return;
    show_box(view->text);
}

void accept_failure_handover()
{
    wchar_t value[24];
    const DWORD length = GetEnvironmentVariableW(handover_variable, value, sizeof value / sizeof *value);
    if (length == 0) return;
    // The application never sees it, whatever becomes of the rest.
    SetEnvironmentVariableW(handover_variable, NULL);
    if (length >= sizeof value / sizeof *value) return;
    unsigned long long number = 0;
    for (DWORD i = 0; i < length; ++i) {
        if (value[i] < L'0' || value[i] > L'9' || number > (UINT64_MAX - 9) / 10) return;
        number = number * 10 + static_cast<unsigned>(value[i] - L'0');
    }
    // Untrusted like all of the environment: only a section that carries the parent's header is
    // written to, and nothing else is done with the handle.
    HANDLE section = reinterpret_cast<HANDLE>(static_cast<uintptr_t>(number));
    handover_section* view = static_cast<handover_section*>(MapViewOfFile(section, FILE_MAP_WRITE, 0, 0, sizeof(handover_section)));
    if (view == NULL) return;
    if (memcmp(view->magic, handover_magic, sizeof handover_magic) != 0 || view->capacity != handover_capacity) {
        UnmapViewOfFile(view);
        return;
    }
    box.section = section;
    box.view = view;
    box.accepted = true;
}

void release_failure_handover()
{
    if (!box.accepted) return;
    // The handle was inherited: the application would pass it on to what it starts.
    box.accepted = false;
    UnmapViewOfFile(box.view);
    CloseHandle(box.section);
    box.section = NULL;
    box.view = NULL;
}
