// Directory spec expansion: a UTF-16 path template with {NAME} placeholders becomes a concrete path.
#ifndef TAVRIN_PATHS_DIRECTORY_SPEC_H
#define TAVRIN_PATHS_DIRECTORY_SPEC_H

#include <stddef.h>
#include <stdint.h>

// The unpack directory's spec, built into the launcher.
extern const wchar_t builtin_unpack_spec[];

// Expands `spec` into `out` (`size` code units, terminator included); `out` is always terminated.
// True: the whole spec was expanded. False: a literal did not fit, a placeholder name is unknown, or
// {HOME}/{CACHE_DIR} cannot be resolved; `out` then holds a partial result. A placeholder value that
// does not fit, {PROGRAM} without argument 0, or TAVRIN_ONEFILE_PARENT holding a non-digit abort. A
// text of the version block that cannot be a file name ends the process (version_values.h).
// May store TAVRIN_ONEFILE_RANDOM, TAVRIN_ONEFILE_TIME_US and TAVRIN_ONEFILE_START.
bool expand_spec(wchar_t* out, const wchar_t* spec, size_t size);

// The argument 0 that {PROGRAM}, {PROGRAM_BASE} and {PROGRAM_DIR} expand. NULL (the start) means
// the runtime's argument vector; the child instance sets the parent's argument 0 here, so that both
// arrive at one directory whatever the user typed. The caller keeps the text alive for the process.
void set_program_argument(const wchar_t* argument);

// The length of the root of `path`, which `spec` expanded to: the value of the spec's first
// placeholder when that is a root ({TEMP}, {HOME}, {CACHE_DIR}, {EXE_DIR}) and `path` starts with
// it up to a backslash or its end; otherwise the drive ("C:") or "\\server\share" of `path`, else 0.
size_t spec_root_length(const wchar_t* spec, const wchar_t* path);

// When `spec` starts with {EXE_DIR}: ends the process with "Error, the executable's folder '<folder>'
// is not writable." and the system's text for `error` (exit_folder_not_writable). Otherwise returns.
// For the parent, when the unpack directory (or cached mode's sibling) cannot be made.
void refuse_unwritable_executable_folder(const wchar_t* spec, uint32_t error);

#endif
