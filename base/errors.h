// Error reporting: the launcher's messages (format/launcher_messages.h) on their streams, and how
// the process ends. Every operation but the report_ notes ends the process.
// Messages go through the C runtime's standard streams in text mode, so each newline reaches the
// handle as CR LF. A message whose stream cannot take it (the process has no such handle, or it is
// closed or invalid) goes to the other standard stream instead, unless its row says otherwise.
#ifndef TAVRIN_BASE_ERRORS_H
#define TAVRIN_BASE_ERRORS_H

#include <stdint.h>

#include "format/entry_names.h"
#include "format/launcher_messages.h"

// Sets the function that every fatal exit and abort below runs first, once, before its message (the
// system error code it reports is read before that). NULL removes it. The parent instance sets its
// clean-up here, so that a failure never leaves a partly unpacked directory behind.
void set_fatal_exit_hook(void (*hook)());

// Sets the function that a failure's message goes to when neither standard stream can take it (a
// windowed program started from Explorer or a shortcut has neither): `text` is the message as it
// would have been printed, without its newline, valid during the call. It runs after the fatal
// exit hook and before the process ends (exit code 2, or the spec abort), on the failing thread;
// never for a note, never for the bound abort. NULL removes it.
void set_undelivered_failure_handler(void (*handler)(const wchar_t* text));

// Message `id`, one that takes no value, on its stream; then its ending (exit code 2).
[[noreturn]] void exit_with_message(launcher_message_id id);
// Message `id`, one that takes only the system's reason, with `code` (as a signed 32-bit number) and
// FormatMessageA's US-English text for it, trailing CR/LF removed (TAVRIN_NO_SYSTEM_TEXT where the
// system has none); then its ending (exit code 2).
[[noreturn]] void exit_with_system_error(launcher_message_id id, uint32_t code);
// The functions below print the row of launcher_messages that each names, with the values given
// in the order its text takes them, and end as the row says.

// message_unpack_failed, with GetLastError (read before the fatal exit hook runs).
[[noreturn]] void exit_unpack_failed();
// message_decode_failed.
[[noreturn]] void exit_decode_failed();
// message_header_missing.
[[noreturn]] void exit_header_missing();
// message_out_of_memory.
[[noreturn]] void exit_out_of_memory();
// message_launch_failed with `code`.
[[noreturn]] void exit_launch_failed(uint32_t code);
// message_command_line_too_long: the line for the process the launcher starts cannot be built.
[[noreturn]] void exit_command_line_too_long();
// message_application_start_failed with `code`: a program entry that the system would not start
// (not a program, for another machine, missing).
[[noreturn]] void exit_application_start_failed(uint32_t code);
// message_not_own_image: the parent's check of itself found another path.
[[noreturn]] void exit_not_own_image(const wchar_t* image, const wchar_t* own);
// message_cannot_open_output.
[[noreturn]] void exit_cannot_open_output(const wchar_t* path);
// One of the refusals of a cached tree: `refusal` is message_cache_link_on_path,
// message_cache_not_directory or message_cache_foreign_owner.
[[noreturn]] void exit_cache_refused(const wchar_t* path, launcher_message_id refusal);
// message_cache_entry_not_kept; the run goes on. A file or directory that the application added to
// a damaged tree and that its repair could not move into the new tree (a link, a name taken, a move
// the system refused): it is deleted with the damaged tree.
void report_cache_entry_not_kept(const wchar_t* path);
// message_cache_entry_removed; the run goes on. An elevated run's repair carries nothing from a
// tree that was not sealed: anyone could have put it there.
void report_cache_entry_removed(const wchar_t* path);
// message_unusable_unpack_directory: `fault` is what component_name_fault found in a component.
[[noreturn]] void exit_unusable_unpack_directory(const wchar_t* path, name_fault fault);
// message_unusable_version_value: `placeholder` is the name without braces.
[[noreturn]] void exit_unusable_version_value(const char* placeholder, const wchar_t* value, name_fault fault);
// message_folder_not_writable with `code`.
[[noreturn]] void exit_folder_not_writable(const wchar_t* folder, uint32_t code);
// The person at the desktop closed the progress window before the application started: the fatal
// exit hook (the clean-up), no message, exit code launcher_cancelled_exit_code (ERROR_CANCELLED).
[[noreturn]] void exit_start_cancelled();
// message_expansion_failed, then abort_bound's ending.
[[noreturn]] void abort_spec_expansion(const wchar_t* spec);

// message_left_behind, or message_left_behind_unmarked when `removed_later` is false, with `code`.
// Only when this process has a standard error handle (never on standard output instead); the
// process goes on.
void report_left_behind(const wchar_t* path, uint32_t code, bool removed_later);

// message_trace_refused with the reason of `refusal`, or message_trace_unopened with `code`: the
// file that TAVRIN_ONEFILE_TRACE names is not written. As report_left_behind, standard error only.
void report_trace_refused(const wchar_t* path, trace_refusal refusal);
void report_trace_unopened(const wchar_t* path, uint32_t code);

// The bound abort: ends the process at once with no message, no exit handlers and no dialog, through
// the fail-fast facility with reason 7 (fatal application exit) where the processor offers it; a
// waiting parent then sees 0xC0000409 (Windows and Wine 8 alike). Otherwise exit code 3.
[[noreturn]] void abort_bound();

// Writes a wide text to a narrow stream whole: characters the ANSI code page cannot show become
// '?'; nothing is cut. `stream` is stdout or stderr (a FILE*, passed as void* to keep <stdio.h> out).
void write_wide_text(void* stream, const wchar_t* text);

#endif
