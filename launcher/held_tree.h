// Cached mode's summary of a tree and the archive's list of its files in the marker, and the parent's
// hold on it: every listed directory (for an elevated parent every listed file too) opened through
// its directory and kept open until it ends; files the application added are left alone.
#ifndef TAVRIN_LAUNCHER_HELD_TREE_H
#define TAVRIN_LAUNCHER_HELD_TREE_H

#include <windows.h>
#include <stddef.h>
#include <stdint.h>

// What a walk of a tree found: the files, their bytes, and the sum of a hash of each file's path
// below the tree and its size (so the order of the listing does not matter). The marker file at
// the top is never counted, nor is anything that is not in the archive's list (walk_listed).
struct tree_summary {
    uint64_t files, bytes, fingerprint;
};

// Adds the file `relative` (its path below the tree, backslashes between levels) of `size` bytes.
void add_to_summary(tree_summary* summary, const wchar_t* relative, uint64_t size);

// How walk_held_tree treats the files and directories it meets:
//  - walk_record: every one counts, and every file's path and size is recorded as the archive's
//    list (a tree this run has just unpacked: what it holds is what the archive holds);
//  - walk_listed: only the names in the archive's list (load_tree_marker, or the last recording)
//    count; any other file or directory is one the application added and is neither counted, held
//    nor entered. A listed name of the other kind (a directory for a file, or the reverse), or a
//    listed file of another size than the list's, makes the tree unusable; so does the marker at
//    the top when it is no longer the file that load_tree_marker read.
enum walk_mode { walk_record, walk_listed };

// Walks the tree below the open directory `root`, listing each directory through its own handle
// and opening each entry relative to its directory's handle (never by path, so that the walk never
// leaves the tree whatever is renamed above it), and fills `summary` with what counts (`mode`).
// Every directory is opened without delete sharing; each opened entry must be the one its directory
// listed (same file id, same kind, no link). Whatever the walk opens stays open (held) until
// release_held_tree, the marker that load_tree_marker read among it. With `open_files`, every
// counted file is opened too, for reading with read sharing only (nobody may write, replace, rename
// or delete it), its size read through that handle; without, files are not opened and their sizes
// are the listing's. The lists of held handles grow on the heap; no memory ends the process.
// Directories are listed by up to one thread per processor (four at most), this one among them,
// each into a 64 KiB buffer of its own; the others are started only for a tree with
// subdirectories and have ended when this returns.
// False on a link (reparse point) among the entries of any directory walked, a listed entry that
// cannot be opened or is not the one listed, a path beyond 32767 units, a level deeper than an entry
// name reaches, a listing that fails, and what `mode` adds; nothing is held then.
bool walk_held_tree(HANDLE root, bool open_files, walk_mode mode, tree_summary* summary);

// Reads the marker (TAVRIN_CACHE_MARKER_NAME at the top of the open `root`, opened relative to it,
// not through a link, and held until release_held_tree) as the archive's list: version 2, the
// archive identity `identity`, the summary line into `*stated`, then a line "<size> <path>" per file
// (the path's code units other than printable ASCII and '%' written as %XXXX, hexadecimal). The
// text is untrusted: a marker that is missing, above marker_bytes_max, of another version or
// identity, malformed in any way, naming a path twice or one that an entry name could not be, or
// whose list does not add up to its summary line gives false, with nothing held and no list.
enum { marker_bytes_max = 64 << 20 };
bool load_tree_marker(HANDLE root, const char* identity, tree_summary* stated);

// The marker's text for the recorded list (walk_record), `identity` and `summary`, in a heap
// buffer that stays valid until the next call; its length in `*length`. A text above
// marker_bytes_max gives NULL.
const char* format_tree_marker(const char* identity, const tree_summary* summary, size_t* length);

// Whether `relative` (a path below the tree, `units` code units) is in the archive's list, as a file
// or a directory above one.
bool is_listed_path(const wchar_t* relative, size_t units);
// Whether it is listed as a directory.
bool is_listed_directory(const wchar_t* relative, size_t units);

// With the attached data opened: whether every entry is a held file of its name with exactly its
// content, compared through the held handles (read from the start), and every held file an entry.
// Reads to the end and confirms the frame's checksum when all match; closes the reader either way.
bool held_files_match_attached_data();

// Closes every handle that walk_held_tree holds. Nothing below a tree may be held when the tree is
// renamed or deleted.
void release_held_tree();

#endif
