// Cached mode: the unpack directory is kept between runs and reused. The parent checks the tree
// there, or unpacks a new one beside it and moves it into place; nothing is deleted at the end.
#ifndef TAVRIN_LAUNCHER_CACHE_H
#define TAVRIN_LAUNCHER_CACHE_H

#include <windows.h>
#include <stdint.h>

#include "launcher/cleanup.h"

// Appends a backslash and the archive identity to `directory` (wide_path_capacity units; the unpack
// directory as it is expanded, both roles, cached mode), reading the identity once for this file.
// An identity that is missing or holds anything but hex digits ends the process ("Error, cached
// mode without archive identity.").
void append_archive_identity(wchar_t* directory);

// The parent in cached mode, once the unpack directory names the cache directory (the spec's
// expansion and the identity) and is the directory in use. Leaves it a tree that this run checked
// and holds open until the process ends (without delete sharing, so that nobody renames or replaces
// it meanwhile):
//  - the levels of the path below the spec's root that exist must be directories and no links, and
//    the tree itself must be a directory and no link; otherwise exit_cache_refused;
//  - a run that is not elevated (own_token_elevated) uses a tree owned by this user, the
//    administrators or SYSTEM (handle_has_trusted_owner; another owner: exit_cache_refused) when
//    its marker (TAVRIN_CACHE_MARKER_NAME) is this archive's list (load_tree_marker) and one walk
//    finds every listed file with its listed size and no link anywhere in the listed directories
//    (walk_held_tree, walk_listed); files and directories that the application added are not looked
//    at. It then holds every listed directory without delete sharing until the process ends; with
//    TAVRIN_ONEFILE_VERIFY=1 every archived file's content is also compared with the archive
//    (`block`, `length`; the variable is read once);
//  - an elevated run uses only a sealed tree (handle_is_sealed), holds every listed directory
//    without delete sharing and every listed file with read sharing only from the check on, until
//    the process ends, and compares the marker, and the content, through those handles; any other
//    tree it repairs;
//  - otherwise the archive is unpacked into a private sibling "<identity>.tmp-<pid>-<token>" (an
//    elevated run's sealed, and held from its making), the marker written last (the archive's list
//    as one walk of the sibling finds it), a damaged tree renamed away to such a sibling, what the
//    application added to it moved into the new tree (never replacing an archived file, never a
//    link; what cannot be moved is named on standard error; an elevated run moves nothing from a
//    tree that was not sealed and names each added entry as removed), and the damaged tree deleted
//    there only while it is the directory that was checked (retire_tree); the new one is moved into
//    place with one rename that never replaces.
//    An elevated run renames its sibling through the handle that held it all along and uses it as
//    it made it. A run whose rename finds the place taken checks the tree there and uses it when it
//    passes (moving what it carried into it, deleting its own sibling); otherwise (a tree that
//    another run holds, or, to an elevated run, one that is not sealed) it runs from its own
//    sibling, which the clean-up then deletes at the end as in temporary mode, and names it to the
//    child (use_parent_copy).
//    Siblings of that pattern whose process has ended are deleted first; those of running
//    processes are left alone.
// While the sibling is unpacked it is the directory in use (use_directory), which the clean-up may
// delete (allow_cleanup_delete): every failure ends the process, and a fatal exit then deletes the
// sibling. True when the tree in use is the kept one at the unpack directory, which stays after
// this run; false when it is this run's own copy, which is then the directory in use and which the
// clean-up may delete (it does at the end).
bool prepare_cached_tree(const unsigned char* block, uint64_t length);

// The child in cached mode, after the expansion: when the parent runs from its own sibling
// (TAVRIN_ONEFILE_RANDOM set, its token), makes the unpack directory and
// ".tmp-<TAVRIN_ONEFILE_PARENT>-<token>" the directory in use; otherwise nothing. The role check has
// seen both values' forms.
void use_parent_copy();

// Moves the tree at `tree` (fully qualified) to `away` (never replacing) and deletes it there,
// provided it still is the directory of `identity` (opened without following a link); anything
// else that moved goes back to `tree` while that place is free (else it stays at `away`), and is
// never deleted. Before the deletion, with `keep_into` (the new tree, fully qualified) not NULL,
// the files and directories of the tree that are not in the archive's list (the last one loaded or
// recorded, held_tree.h) are moved into `keep_into` at the same path below it when `moves`, or
// only named as removed when not (report_cache_entry_not_kept, report_cache_entry_removed). True
// when it was moved and deleted.
bool retire_tree(const wchar_t* tree, const wchar_t* away, const directory_identity* identity, const wchar_t* keep_into,
                 bool moves);

// Whether a level of the cache directory's path, or the tree itself, with these attributes may be
// used: a directory that is no reparse point (junction, symbolic link, mount point).
bool cache_level_acceptable(DWORD attributes);

// Whether the version text `candidate` is lower than `own`: both "a[.b[.c[.d]]]", one to four parts
// of one to five decimal digits each (missing parts 0), compared part by part as numbers ("1.10" is
// higher than "1.9"). False when either is not such a text.
bool version_text_lower(const wchar_t* candidate, const wchar_t* own);

// The parent in cached mode once its tree is in place (prepare_cached_tree returned true) and the
// application has started: removes the trees of lower versions of the same product. Only when the
// spec ends in "\{PRODUCT}\{VERSION}" (the default shapes; with any other spec nothing is removed)
// and this run's version is a version text; then, in the product's folder, every folder whose name
// is a lower version (version_text_lower), a plain directory and no link, is looked into, and
// within it each tree named by an archive identity that is a plain directory, owned at this run's
// level (handle_has_own_owner; for an elevated run also sealed, handle_is_sealed) and holds this
// launcher's marker for that identity is retired (retire_tree: a tree that a running launcher
// holds cannot be renamed, and stays), together with the leftover siblings of ended runs there; a
// version's folder that this emptied goes too. Nothing is followed through a link, nothing outside
// the product's folder is touched, and every failure is silent: the next run tries again.
void remove_lower_versions();

// remove_lower_versions on a thread of its own at the lowest priority, for a parent that runs the
// application in its own process: the thread's handle, for the caller to wait on and close; NULL
// when no thread could be made (nothing is removed). A process that ends meanwhile ends the thread
// too: a tree left half-removed under a private name is a leftover that a later run deletes.
HANDLE start_removing_lower_versions();

// Lets go of the kept tree that prepare_cached_tree holds (its directories, and an elevated run's
// files): for a process that ends with a failure box open, which must not keep other runs from
// repairing or removing the tree meanwhile. Nothing of the tree is used afterwards.
void release_kept_tree();

// Whether a sibling left by process `process_id` and made at `made` may be deleted: that process
// no longer exists or has ended, or the id now names a process started after the sibling was made.
// A process that cannot be looked at counts as running.
bool leftover_is_stale(uint32_t process_id, FILETIME made);

#endif
