// A launcher failure that no standard stream can take (a package started from Explorer or a
// shortcut has neither) shown in a system message box, once the clean-up has run; the second
// instance hands its failure to the parent, which shows it after its own clean-up, once.
#ifndef TAVRIN_LAUNCHER_FAILURE_BOX_H
#define TAVRIN_LAUNCHER_FAILURE_BOX_H

#include <windows.h>

// The undelivered failure handler (base/errors.h), set first thing in either role. In a second
// instance that accepted a hand-over it writes `text` there for the parent; otherwise it shows the
// box: the error icon, an OK button, the package's title (desktop.h), `text`. No box after a
// cancelled start, with TAVRIN_ONEFILE_NO_DIALOG set (any value), without an interactive desktop,
// or where user32 cannot be loaded: the run then ends as it would after the box. Before the box
// the kept tree of cached mode is let go, so that a box left open holds nothing of it.
void present_failure(const wchar_t* text);

// The parent, just before it creates its own second instance: when a box could be due (it has
// neither standard stream, TAVRIN_ONEFILE_NO_DIALOG unset), offers the hand-over: a shared
// section of its own, inheritable, named to the child in an environment variable. Otherwise, and
// when the section cannot be made, nothing: the child then shows its box itself.
void offer_failure_handover();

// The parent, once the second instance is created (or could not be): the variable removed and the
// section no longer inheritable, so that nothing else gets them. Idempotent.
void withdraw_failure_handover();

// The parent after its clean-up, the second instance ended with exit code 2: shows the failure it
// handed over, if any, as present_failure would have.
void show_handed_over_failure();

// The second instance, right after it took the child role: takes the hand-over its parent offered
// (the variable removed from its environment at once; a section that does not hold the parent's
// header is not used). Before the application's code runs, release_failure_handover closes it:
// the application and what it starts never get it.
void accept_failure_handover();
void release_failure_handover();

#endif
