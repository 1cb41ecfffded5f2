// Bounded copies into fixed UTF-16 buffers. Every fixed-buffer copy in the launcher goes through
// these: a text that does not fit with its terminator ends the process (bound abort), never truncates.
#ifndef TAVRIN_PATHS_BOUNDED_H
#define TAVRIN_PATHS_BOUNDED_H

#include <stddef.h>

// Capacities count UTF-16 code units and include the terminating NUL.
enum {
    wide_path_capacity = 4096,        // unpack directory, output_path, first_file_path, ...
    own_path_capacity = 4097,         // the own-executable-path caches
    candidate_path_capacity = 2048,   // image path of a candidate parent process
    placeholder_name_capacity = 1024, // a placeholder name in a directory spec
    env_name_capacity = 40,           // an environment-variable name
    command_line_capacity = 32768     // the child command line
};

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
