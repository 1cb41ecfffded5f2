// The launcher's own failures and notes, defined once: when each is printed, its text with the
// values it takes, its stream and how the run ends. base/errors.cpp prints them; docs/messages.md
// lists them, and a host test holds the two together. Header-only, no heap.
#ifndef TAVRIN_FORMAT_LAUNCHER_MESSAGES_H
#define TAVRIN_FORMAT_LAUNCHER_MESSAGES_H

#include "format/entry_names.h"

// One id per row of `launcher_messages`, in the table's order.
enum launcher_message_id {
    message_header_missing,
    message_decode_failed,
    message_out_of_memory,
    message_command_line_too_long,
    message_no_application,
    message_signal_handler_failed,
    message_entry_point_missing,
    message_cache_without_identity,
    message_unpack_failed,
    message_launch_failed,
    message_application_start_failed,
    message_dll_load_failed,
    message_own_process_open_failed,
    message_own_image_query_failed,
    message_parent_open_failed,
    message_parent_image_query_failed,
    message_cache_open_failed,
    message_cache_prepare_failed,
    message_folder_not_writable,
    message_not_own_image,
    message_cannot_open_output,
    message_cache_link_on_path,
    message_cache_not_directory,
    message_cache_foreign_owner,
    message_unusable_unpack_directory,
    message_unusable_version_value,
    message_expansion_failed,
    message_cache_entry_not_kept,
    message_cache_entry_removed,
    message_left_behind,
    message_left_behind_unmarked,
    message_trace_refused,
    message_trace_unopened,
    launcher_message_count
};

// Where a message goes.
enum launcher_message_stream {
    stream_output,     // standard output; standard error when standard output cannot take it
    stream_error,      // standard error; standard output when standard error cannot take it
    stream_error_only  // standard error, and only when the process has that handle; else nowhere
};

// How the run goes on after the message.
enum launcher_message_ending {
    ends_with_exit_code,  // exit code launcher_failure_exit_code
    ends_with_fail_fast,  // the bound abort: a waiting parent sees 0xC0000409 (Windows and Wine 8 alike)
    run_goes_on           // a note
};

enum {
    launcher_failure_exit_code = 2,
    // The start cancelled by the person at the desktop (the progress window closed): the system's
    // ERROR_CANCELLED. No message: they know.
    launcher_cancelled_exit_code = 1223
};

struct launcher_message {
    launcher_message_id id;  // its row's index
    const char* what;        // when it is printed
    // The line without its newline. Each "<name>" stands for a value given when it is printed, in
    // the order they stand: a path, a code as a signed 32-bit number, the system's text for it, a
    // reason of name_fault_reason. No text holds '<' or '>' otherwise.
    const char* text;
    launcher_message_stream stream;
    launcher_message_ending ending;
};

// The system's reason for a failure, after the message: its code and FormatMessage's text.
#define TAVRIN_SYSTEM_REASON " ([Error <code>] <system text>)"

static constexpr launcher_message launcher_messages[launcher_message_count] = {
    {message_header_missing, "the image carries no attached data",
     "Error, couldn't find attached data header.", stream_output, ends_with_exit_code},
    {message_decode_failed, "the archive is damaged: found before the application starts",
     "Error, couldn't decode attached data.", stream_output, ends_with_exit_code},
    {message_out_of_memory, "the system gives no memory that the launcher asks for",
     "Error, couldn't allocate memory.", stream_output, ends_with_exit_code},
    {message_command_line_too_long, "the command line of the process the launcher starts cannot be built",
     "Error, command line too long: the application's would pass 32767 characters.", stream_output,
     ends_with_exit_code},
    {message_no_application, "the archive holds no file to run", "Error, attached data holds no application.",
     stream_output, ends_with_exit_code},
    {message_signal_handler_failed, "the console's Ctrl-C handler cannot be set",
     "Error, failed to register signal handler.", stream_output, ends_with_exit_code},
    {message_entry_point_missing, "the entry DLL exports no run_code", "Error, DLL entry point not found.",
     stream_output, ends_with_exit_code},
    {message_cache_without_identity, "cached mode, but the settings record holds no archive identity",
     "Error, cached mode without archive identity.", stream_output, ends_with_exit_code},
    {message_unpack_failed, "a file of the archive cannot be written",
     "Error, couldn't unpack file to target path." TAVRIN_SYSTEM_REASON, stream_error, ends_with_exit_code},
    {message_launch_failed, "the launcher's second instance cannot be started",
     "Error, couldn't launch child" TAVRIN_SYSTEM_REASON, stream_error, ends_with_exit_code},
    {message_application_start_failed, "the system would not start a program entry",
     "Error, couldn't start the application." TAVRIN_SYSTEM_REASON, stream_error, ends_with_exit_code},
    {message_dll_load_failed, "the entry DLL cannot be loaded", "Error, load DLL." TAVRIN_SYSTEM_REASON,
     stream_error, ends_with_exit_code},
    {message_own_process_open_failed, "the parent cannot open its own process to check its image",
     "Error, couldn't launch child: OpenProcess on this process failed" TAVRIN_SYSTEM_REASON, stream_error,
     ends_with_exit_code},
    {message_own_image_query_failed, "the parent cannot read its own image's path",
     "Error, couldn't launch child: QueryFullProcessImageNameW on this process failed" TAVRIN_SYSTEM_REASON,
     stream_error, ends_with_exit_code},
    {message_parent_open_failed, "an ancestor that set the parent marker cannot be opened",
     "Error, couldn't read the parent instance's image path: OpenProcess failed" TAVRIN_SYSTEM_REASON,
     stream_error, ends_with_exit_code},
    {message_parent_image_query_failed, "an ancestor that set the parent marker does not tell its image",
     "Error, couldn't read the parent instance's image path: QueryFullProcessImageNameW failed" TAVRIN_SYSTEM_REASON,
     stream_error, ends_with_exit_code},
    {message_cache_open_failed, "the kept tree of cached mode cannot be opened",
     "Error, couldn't open cached unpack directory." TAVRIN_SYSTEM_REASON, stream_error, ends_with_exit_code},
    {message_cache_prepare_failed, "the cached tree stays damaged after every try to replace it",
     "Error, couldn't prepare cached unpack directory." TAVRIN_SYSTEM_REASON, stream_error, ends_with_exit_code},
    {message_folder_not_writable, "an unpack directory below {EXE_DIR} cannot be made",
     "Error, the executable's folder '<folder>' is not writable." TAVRIN_SYSTEM_REASON, stream_error,
     ends_with_exit_code},
    {message_not_own_image, "the parent's check of itself finds another executable",
     "Error, couldn't launch child: this process's image '<image>' is not its own executable '<own>'",
     stream_error, ends_with_exit_code},
    {message_cannot_open_output, "the unpack directory or a file in it cannot be made",
     "Error, failed to open '<path>' for writing.", stream_error, ends_with_exit_code},
    {message_cache_link_on_path, "a level above the cached tree is a link or a file",
     "Error, refusing cached unpack directory '<path>': a link or a file on its path", stream_error,
     ends_with_exit_code},
    {message_cache_not_directory, "the cached tree is a link or not a directory",
     "Error, refusing cached unpack directory '<path>': a link or not a directory", stream_error,
     ends_with_exit_code},
    {message_cache_foreign_owner, "the cached tree belongs to another user",
     "Error, refusing cached unpack directory '<path>': its owner is not this user", stream_error,
     ends_with_exit_code},
    {message_unusable_unpack_directory, "a value expanded into the unpack directory is no usable name",
     "Error, unpack directory '<path>' cannot be used: a component below its root <reason>.", stream_error,
     ends_with_exit_code},
    {message_unusable_version_value, "a text of the version block is no usable name",
     "Error, {<placeholder>} '<value>' of the version block cannot be used in the unpack directory: it <reason>.",
     stream_error, ends_with_exit_code},
    {message_expansion_failed, "the unpack directory cannot be expanded: a placeholder unknown or unresolved, or too long",
     "Error, couldn't runtime expand spec '<spec>'.", stream_error, ends_with_fail_fast},
    {message_cache_entry_not_kept, "the repair of a damaged cached tree cannot keep what the application added",
     "Note, cached unpack directory: couldn't keep '<path>' from the damaged tree.", stream_error, run_goes_on},
    {message_cache_entry_removed, "an elevated run's repair drops what an unsealed tree held",
     "Note, cached unpack directory: removed '<path>', which a tree that was not sealed held.", stream_error,
     run_goes_on},
    {message_left_behind, "the clean-up gives up on a marked unpack directory",
     "Note, unpack directory '<path>' was left behind" TAVRIN_SYSTEM_REASON "; a later run removes it.",
     stream_error_only, run_goes_on},
    {message_left_behind_unmarked, "the clean-up gives up on an unpack directory of a package's own",
     "Note, unpack directory '<path>' was left behind" TAVRIN_SYSTEM_REASON ".", stream_error_only, run_goes_on},
    {message_trace_refused, "TAVRIN_ONEFILE_TRACE names no regular file that the trace could be appended to",
     "Note, trace file '<path>' refused: it <reason>; no trace is written.", stream_error_only, run_goes_on},
    {message_trace_unopened, "the file that TAVRIN_ONEFILE_TRACE names cannot be opened for appending",
     "Note, trace file '<path>' cannot be opened for appending" TAVRIN_SYSTEM_REASON "; no trace is written.",
     stream_error_only, run_goes_on},
};

// Each row's id is its index, so `launcher_messages[id]` is the row of `id`.
constexpr bool launcher_message_rows_in_order()
{
    for (int i = 0; i < launcher_message_count; ++i)
        if (launcher_messages[i].id != static_cast<launcher_message_id>(i)) return false;
    return true;
}
static_assert(launcher_message_rows_in_order(), "a row of launcher_messages stands where its id does not");

// Printed as <system text> where the system has no text for a code (or none in US English).
#define TAVRIN_NO_SYSTEM_TEXT "no description available for this error code"

// What makes a name unusable: the <reason> of message_unusable_unpack_directory (after "a component
// below its root ") and message_unusable_version_value (after "it ").
inline const char* name_fault_reason(name_fault fault)
{
    switch (fault) {
    case name_ok:
        break;
    case name_empty:
    case name_empty_component:
        return "is empty";
    case name_dot_component:
        return "is '.' or '..'";
    case name_separator:
        return "holds a '/' or '\\'";
    case name_colon:
        return "holds a ':' (a drive or a stream)";
    case name_control_character:
        return "holds a control character";
    case name_forbidden_character:
        return "holds one of < > \" | ? *";
    case name_trailing_dot_or_space:
        return "ends in a dot or a space, which Windows drops";
    case name_reserved_device:
        return "is a reserved device name (CON, PRN, AUX, NUL, COM1, LPT1, ...)";
    }
    return "is not a usable name";
}

// Why a trace file is refused: the <reason> of message_trace_refused (after "it ").
enum trace_refusal {
    trace_file_usable,
    trace_refused_device,
    trace_refused_link,
    trace_refused_directory,
    trace_refused_not_regular
};

inline const char* trace_refusal_reason(trace_refusal refusal)
{
    switch (refusal) {
    case trace_file_usable:
        break;
    case trace_refused_device:
        return "names a device";
    case trace_refused_link:
        return "is a link";
    case trace_refused_directory:
        return "is a directory";
    case trace_refused_not_regular:
        return "is not a regular file on a disk";
    }
    return "cannot be used";
}

#endif
