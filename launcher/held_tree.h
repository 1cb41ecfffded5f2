// Cached mode's summary of a tree, and the parent's hold on it: every directory (for an elevated
// parent every file too) opened through its listed directory and kept open until it ends.
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
// same kind, no link). Whatever the walk opens stays open (held) until release_held_tree: every
// directory and, with `marker` not NULL, the marker file (TAVRIN_CACHE_MARKER_NAME at the top),
// whose text is read into `marker` (`capacity` bytes, terminated; empty when there is none or it
// fills the buffer). With `open_files`, every file too, for reading with read sharing only
// (nobody may write, replace, rename or delete it), its size read through that handle; without,
// files are not opened and their sizes are the listing's. The lists of held handles grow on the
// heap; no memory ends the process.
// Directories are listed by up to one thread per processor (four at most), this one among them,
// each into a 64 KiB buffer of its own; the others are started only for a tree with
// subdirectories and have ended when this returns.
// False on a link (reparse point) anywhere, an entry that cannot be opened or is not the one
// listed, a path beyond 32767 units, a level deeper than an entry name reaches, a listing that
// fails; nothing is held then.
bool walk_held_tree(HANDLE root, bool open_files, tree_summary* summary, char* marker, size_t capacity);

// With the attached data opened: whether every entry is a held file of its name with exactly its
// content, compared through the held handles (read from the start), and every held file an entry.
// Reads to the end and confirms the frame's checksum when all match; closes the reader either way.
bool held_files_match_attached_data();

// Closes every handle that walk_held_tree holds. Nothing below a tree may be held when the tree is
// renamed or deleted.
void release_held_tree();

#endif
