// Cached mode's summary of a tree, and an elevated parent's hold on it: every directory and file
// opened through its listed directory and kept open, so that nothing in it changes until it ends.
#ifndef TAVRIN_LAUNCHER_HELD_TREE_H
#define TAVRIN_LAUNCHER_HELD_TREE_H

#include <windows.h>
#include <stddef.h>
#include <stdint.h>

// What a walk of a tree found: the files, their bytes, and the sum of a hash of each file's path
// below the tree and its size (so the order of the listing does not matter). The marker file at
// the top is never counted.
struct tree_summary {
    uint64_t files, bytes, fingerprint;
};

// Adds the file `relative` (its path below the tree, backslashes between levels) of `size` bytes.
void add_to_summary(tree_summary* summary, const wchar_t* relative, uint64_t size);

// Walks the tree below the open directory `root`, listing each directory through its own handle
// and opening each entry relative to its directory's handle (never by path, so that the walk never
// leaves the tree whatever is renamed above it), and fills `summary`. Every directory is opened
// without delete sharing; each opened entry must be the one its directory listed (same file id,
// same kind, no link).
// With `marker` not NULL, the marker file (TAVRIN_CACHE_MARKER_NAME at the top) is opened through
// `root` too and its text read into `marker` (`capacity` bytes, terminated; empty when there is
// none or it fills the buffer).
//  - `keep` false: files are not opened (their sizes are the listing's), directories and the
//    marker are closed again; nothing is allocated;
//  - `keep` true: every file is opened for reading with read sharing only (nobody may write,
//    replace, rename or delete it), sizes are read through those handles, and everything, the
//    marker too, stays open (held) until release_held_tree. The lists of held handles grow on the
//    heap; no memory ends the process.
// Each directory is listed into one process-wide buffer per level near the top (64 KiB: one call
// for most directories), deeper ones into a small one on the stack.
// False on a link (reparse point) anywhere, an entry that cannot be opened or is not the one
// listed, a path beyond 32767 units, a level deeper than an entry name reaches, a listing that
// fails; nothing is held then.
bool walk_held_tree(HANDLE root, bool keep, tree_summary* summary, char* marker, size_t capacity);

// With the attached data opened: whether every entry is a held file of its name with exactly its
// content, compared through the held handles (read from the start), and every held file an entry.
// Reads to the end and confirms the frame's checksum when all match; closes the reader either way.
bool held_files_match_attached_data();

// Closes every handle that walk_held_tree holds.
void release_held_tree();

#endif
