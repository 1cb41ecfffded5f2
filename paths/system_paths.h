// Path services over the system: the launcher's own executable path, final-path and short-path
// normalisation, the fully qualified unpack directory, shell folders.
#ifndef TAVRIN_PATHS_SYSTEM_PATHS_H
#define TAVRIN_PATHS_SYSTEM_PATHS_H

#include <stddef.h>
#include <stdint.h>

// The launcher's own path from a process-wide cache of 4097 code units per variant, filled on the
// first request for that variant and never refreshed; the only place the path is asked for. Plain:
// as GetModuleFileNameW reports it (a failed or cut-off query aborts). Resolved: the plain path
// through normalise_executable_path. Not to be freed.
const wchar_t* own_executable_path(bool resolved);

// The form in which two executable paths are compared: resolve_final_path (resolve true), then
// shorten_directory_part, in place in `path` (`capacity` code units). Aborts when a step does not fit.
void normalise_executable_path(wchar_t* path, size_t capacity);

// Copies `src` to `dst` (`capacity` code units, terminator included; the two may be one buffer) and,
// when `resolve` is true and the file opens, replaces it with the file's final path: drive-letter
// paths lose their "\\?\" prefix and "\\?\UNC\" paths become "\\server\share" paths. A missing
// file leaves the copy as it is. Aborts when the final path does not fit.
void resolve_final_path(wchar_t* dst, const wchar_t* src, uint32_t capacity, bool resolve);

// The prefix rules of resolve_final_path on a final path already in `dst` (`src` as given to it, may
// be `dst`): \\?\ is dropped when a drive letter follows or the rest equals `src`; after that,
// \\?\UNC\server becomes \\server. Any other \\?\ path keeps its prefix.
void strip_final_path_prefix(wchar_t* dst, const wchar_t* src, uint32_t capacity);

// Rewrites the directory part of `path` (all before its last backslash) in its short 8.3 form; the
// last component keeps its long name. A path that cannot be shortened stays unchanged. Aborts when
// the result does not fit `capacity`.
void shorten_directory_part(wchar_t* path, size_t capacity);

// Makes the directory path in `directory` (wide_path_capacity units) fully qualified in place
// (GetFullPathNameW). Aborts on failure or when the full path needs 4096 or more code units.
void qualify_directory(wchar_t* directory);

// Appends the shell folder `csidl` (SHGetFolderPathW, current path) to the text in `out`. False,
// with `out` untouched, when the shell does not supply it. Aborts when the result does not fit.
bool append_known_folder(wchar_t* out, int csidl, size_t capacity);

#endif
