// Bounded copy and append into fixed UTF-16 buffers.
#include "paths/bounded.h"

#include <stdlib.h>
#include <wchar.h>

#include "base/errors.h"

void copy_wide_bounded(wchar_t* dst, const wchar_t* src, size_t capacity)
{
    // Measure first: nothing is written unless the whole text and its terminator fit.
    size_t length = 0;
    while (src[length] != 0) {
        ++length;
        if (length >= capacity) abort_bound();
    }
    if (length + 1 > capacity) abort_bound();
    // Front to back, so that a source inside the destination (after its start) moves safely.
    for (size_t i = 0; i <= length; ++i) dst[i] = src[i];
}

void append_wide_bounded(wchar_t* dst, const wchar_t* src, size_t capacity)
{
    size_t used = 0;
    while (used < capacity && dst[used] != 0) ++used;
    if (used >= capacity) abort_bound();
    copy_wide_bounded(dst + used, src, capacity - used);
}

void append_ascii_widened(wchar_t* dst, const char* text, size_t capacity)
{
    size_t used = 0;
    while (used < capacity && dst[used] != 0) ++used;
    if (used >= capacity) abort_bound();
    for (const char* p = text; *p != 0; ++p) {
        wchar_t unit = 0;
        if (mbtowc(&unit, p, 1) != 1) abort_bound();
        if (used + 2 > capacity) abort_bound();
        dst[used++] = unit;
        dst[used] = 0;
    }
}
