// Error reporting: the launcher's fixed messages, the streams they go to and how the process ends.
// Every operation but report_system_error and the two report_cache_entry notes ends the process.
// Messages go through the C runtime's standard streams in text mode, so each newline reaches the
// handle as CR LF. A message whose stream cannot take it (the process has no such handle, or it is
// closed or invalid) goes to the other standard stream instead.
#ifndef TAVRIN_BASE_ERRORS_H
#define TAVRIN_BASE_ERRORS_H

#include <stdint.h>

#include "format/entry_names.h"

// Sets the function that every fatal exit and abort below runs first, once, before its message (the
// system error code it reports is read before that). NULL removes it. The parent instance sets its
// clean-up here, so that a failure never leaves a partly unpacked directory behind.
void set_fatal_exit_hook(void (*hook)());

// Writes "<message> ([Error <code as signed 32-bit>] <system text>)\n" to standard error. The system
// text is FormatMessageA's US-English text for `code` with trailing CR/LF removed; when the system
// has none, a fixed text of our own stands in its place.
void report_system_error(const char* message, uint32_t code);

// `message` and a newline on standard output, then exit code 2.
[[noreturn]] void exit_with_message(const char* message);
// The line of report_system_error, then exit code 2.
[[noreturn]] void exit_with_system_error(const char* message, uint32_t code);
// "Error, couldn't unpack file to target path." with GetLastError, as exit_with_system_error.
[[noreturn]] void exit_unpack_failed();
// "Error, couldn't decode attached data." on standard output, exit code 2.
[[noreturn]] void exit_decode_failed();
// "Error, couldn't find attached data header." on standard output, exit code 2.
[[noreturn]] void exit_header_missing();
// "Error, couldn't allocate memory." on standard output, exit code 2.
[[noreturn]] void exit_out_of_memory();
// "Error, couldn't launch child" with `code`, as exit_with_system_error.
[[noreturn]] void exit_launch_failed(uint32_t code);
// "Error, command line too long: the application's would pass 32767 characters." on standard
// output, exit code 2: the line for the process the launcher starts cannot be built.
[[noreturn]] void exit_command_line_too_long();
// "Error, couldn't start the application." with `code`, as exit_with_system_error: a program entry
// that the system would not start (not a program, for another machine, missing).
[[noreturn]] void exit_application_start_failed(uint32_t code);
// "Error, couldn't launch child: this process's image '<image>' is not its own executable '<own>'\n"
// on standard error, exit code 2: the parent's check of itself found another path.
[[noreturn]] void exit_not_own_image(const wchar_t* image, const wchar_t* own);
// "Error, failed to open '<path>' for writing.\n" on standard error, exit code 2.
[[noreturn]] void exit_cannot_open_output(const wchar_t* path);
// "Error, refusing cached unpack directory '<path>': <reason>\n" on standard error, exit code 2.
// `reason` is one of the fixed texts of the cached mode.
[[noreturn]] void exit_cache_refused(const wchar_t* path, const char* reason);
// "Note, cached unpack directory: couldn't keep '<path>' from the damaged tree.\n" on standard
// error; the run goes on. A file or directory that the application added to a damaged tree and
// that its repair could not move into the new tree (a link, a name taken, a move the system
// refused): it is deleted with the damaged tree.
void report_cache_entry_not_kept(const wchar_t* path);
// "Note, cached unpack directory: removed '<path>', which a tree that was not sealed held.\n" on
// standard error; the run goes on. An elevated run's repair carries nothing from a tree that was
// not sealed: anyone could have put it there.
void report_cache_entry_removed(const wchar_t* path);
// "Error, unpack directory '<path>' cannot be used: a component below its root <reason>.\n" on
// standard error, exit code 2. `fault` is what component_name_fault found in that component.
[[noreturn]] void exit_unusable_unpack_directory(const wchar_t* path, name_fault fault);
// "Error, {<placeholder>} '<value>' of the version block cannot be used in the unpack directory:
// it <reason>.\n" on standard error, exit code 2.
[[noreturn]] void exit_unusable_version_value(const char* placeholder, const wchar_t* value, name_fault fault);
// "Error, the executable's folder '<folder>' is not writable." with `code`, as
// exit_with_system_error (standard error, exit code 2).
[[noreturn]] void exit_folder_not_writable(const wchar_t* folder, uint32_t code);
// "Error, couldn't runtime expand spec '<spec>'.\n" on standard error, then abort_bound's ending.
[[noreturn]] void abort_spec_expansion(const wchar_t* spec);

// "Note, unpack directory '<path>' was left behind ([Error <code as signed 32-bit>] <system
// text>); a later run removes it.\n" on standard error, without "; a later run removes it" when
// `removed_later` is false. Only when this process has a standard error handle (never on standard
// output instead); the process goes on.
void report_left_behind(const wchar_t* path, uint32_t code, bool removed_later);

// The bound abort: ends the process at once with no message, no exit handlers and no dialog, through
// the fail-fast facility with reason 7 (fatal application exit) where the processor offers it; a
// waiting parent then sees 0xC0000409 (Windows and Wine 8 alike). Otherwise exit code 3.
[[noreturn]] void abort_bound();

// Writes a wide text to a narrow stream whole: characters the ANSI code page cannot show become
// '?'; nothing is cut. `stream` is stdout or stderr (a FILE*, passed as void* to keep <stdio.h> out).
void write_wide_text(void* stream, const wchar_t* text);

#endif
