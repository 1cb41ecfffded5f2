// Directory spec expansion: a UTF-16 path template with {NAME} placeholders becomes a concrete path.
#ifndef TAVRIN_PATHS_DIRECTORY_SPEC_H
#define TAVRIN_PATHS_DIRECTORY_SPEC_H

#include <stddef.h>

// The unpack directory's spec, built into the launcher.
extern const wchar_t builtin_unpack_spec[];

// Expands `spec` into `out` (`size` code units, terminator included); `out` is always terminated.
// True: the whole spec was expanded. False: a literal did not fit, a placeholder name is unknown, or
// {HOME}/{CACHE_DIR} cannot be resolved; `out` then holds a partial result. A placeholder value that
// does not fit, {PROGRAM} without argument 0, or TAVRIN_ONEFILE_PARENT holding a non-digit abort.
// May store TAVRIN_ONEFILE_RANDOM, TAVRIN_ONEFILE_TIME_US and TAVRIN_ONEFILE_START.
bool expand_spec(wchar_t* out, const wchar_t* spec, size_t size);

#endif
