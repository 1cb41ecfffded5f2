// Unpacking: every entry of the attached data becomes a file under the directory in use; the first
// entry's path goes into first_file_path (base/process_state.h).
#ifndef TAVRIN_PAYLOAD_UNPACK_H
#define TAVRIN_PAYLOAD_UNPACK_H

#include <stdint.h>

#include "base/process_state.h"

// Parent: writes every entry, confirms the frame complete with its checksum, closes the reader;
// outside cached mode it records the names written and then seals the record (written_names.h).
// Child: returns as soon as first_file_path is set, having read only the first name, and closes the
// reader. Either role:
// when the end marker comes first, closes the reader and returns with first_file_path empty.
// Every failure ends the process.
void unpack_attached_data(instance_role role);

// Sets first_file_path anew from the directory in use as it is now and the first entry's name, read
// from the attached data opened over [block, block + length) (nothing further is decoded); empty
// when the archive holds no entry. Closes the reader. For a parent in cached mode, whose tree was
// unpacked elsewhere (a sibling renamed into place) or by another run. Damage ends the process.
void locate_first_entry(const unsigned char* block, uint64_t length);

// Reads every entry of the opened attached data (to its end, the frame's checksum confirmed) and
// compares it with the file of its name under the directory in use. True when each exists with
// exactly that content; `*entries` then holds their number. Stops at the first difference. Closes
// the reader either way. Damage ends the process as unpacking does.
bool attached_data_matches_files(uint64_t* entries);

// The same comparison against files the caller has open, one entry at a time:
// read_compared_entry reads the next entry of the opened attached data and returns its name (the
// one buffer, valid until the next call; checked as unpacking checks names) and size, or NULL at
// the end marker. compared_entry_matches then reads its content and tells whether `file` (a
// handle with read access, read from its current position) holds exactly those `size` bytes. After
// the last entry, or at the first difference, end_comparison: when `same`, it confirms the frame
// complete with its checksum; it closes the reader either way and returns `same`. Damage ends the
// process as unpacking does.
const wchar_t* read_compared_entry(uint64_t* size);
bool compared_entry_matches(void* file, uint64_t size);
bool end_comparison(bool same);

// Closes the file being written, if any, so that a clean-up after a fatal error can delete it.
void close_unpack_output();

// Makes sure every directory above the file `path` exists, outermost missing level first. True when
// the immediate parent exists at the end; false with the system's reason for the first level that
// could not be made in GetLastError.
bool create_containing_directories(const wchar_t* path);

// Makes sure the directory `path` exists (remembered in a list seeded with the home directory).
bool ensure_directory(const wchar_t* path);

#endif
