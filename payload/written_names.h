// The record of what unpacking wrote: the names of the files, relative to the directory in use, in
// the order written, so that the clean-up can delete them by name instead of walking the tree.
#ifndef TAVRIN_PAYLOAD_WRITTEN_NAMES_H
#define TAVRIN_PAYLOAD_WRITTEN_NAMES_H

#include <stddef.h>

// The record's default bound in bytes: some 80,000 names of 100 code units.
enum { written_names_default_limit = 16 * 1024 * 1024 };

// Empties the record and unseals it; from now on it holds at most `limit` bytes (rounded up to
// whole 64 KiB pieces, at most written_names_default_limit), taken from one address range reserved
// on the first call and committed a piece at a time as it fills; it is never given back. The main
// thread's, before unpacking starts, while no clean-up reads the record.
void begin_written_names(size_t limit);

// Appends `name` (terminated, at most entry_name_capacity code units with its terminator). A name
// that does not fit under the limit, or whose piece cannot be committed, marks the record
// incomplete, and nothing more is kept: the clean-up then walks the tree, as without a record.
void record_written_name(const wchar_t* name);

// Declares the record finished: unpacking has written every file. Its names are stored before the
// volatile flag, behind a barrier, so that the console handler's thread, once it sees the flag set,
// reads them whole. Runs that unpack no temporary tree (cached mode) never seal a record.
void seal_written_names();

// The sealed and complete record: its names, one after the other, each with its terminator, and in
// `*units` their total length in code units (terminators included). NULL when the record is not
// sealed, or incomplete: the clean-up walks the tree. Either thread; the names stay as they are
// until the next begin_written_names.
const wchar_t* sealed_written_names(size_t* units);

#endif
