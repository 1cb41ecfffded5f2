// Bounded copies into fixed UTF-16 buffers. Every fixed-buffer copy in the launcher goes through
// these: a text that does not fit with its terminator ends the process (bound abort), never truncates.
// Capacities count UTF-16 code units and include the terminating NUL.
#ifndef TAVRIN_PATHS_BOUNDED_H
#define TAVRIN_PATHS_BOUNDED_H

#include <stddef.h>

// Copies `src` with its terminator into `dst`, which holds `capacity` code units. Copies from the
// front, so `src` may lie inside `dst` after its start (a move towards the start). Aborts when
// wcslen(src) + 1 > capacity; nothing is written past dst[capacity - 1].
void copy_wide_bounded(wchar_t* dst, const wchar_t* src, size_t capacity);

// Appends `src` to the NUL-terminated text in `dst` (capacity as above, counting the text already
// there). Aborts when the old text, `src` and the terminator do not fit.
void append_wide_bounded(wchar_t* dst, const wchar_t* src, size_t capacity);

// Appends the ASCII `text` to `dst`, each byte widened by the C runtime's multibyte conversion to
// exactly one code unit. Aborts when a byte does not widen to one unit or the result does not fit.
void append_ascii_widened(wchar_t* dst, const char* text, size_t capacity);

#endif
