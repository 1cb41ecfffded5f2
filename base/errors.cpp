// Error reporting: fixed messages on the standard streams, fatal exit with code 2, aborts.
#include "base/errors.h"

#include <windows.h>
#include <stdio.h>
#include <stdlib.h>

namespace {

// Printed where FormatMessageA has no text for a code (or none in US English).
const char no_system_text[] = "no description available for this error code";

// Run once before a fatal exit; whoever takes it out of the slot runs it.
void* volatile fatal_exit_hook;

void run_fatal_exit_hook()
{
    void (*hook)() = reinterpret_cast<void (*)()>(InterlockedExchangePointer(&fatal_exit_hook, NULL));
    if (hook != NULL) hook();
}

// One piece of a message: the narrow `text`, or, when `wide` is set, that wide text (a path or a
// spec) converted as write_wide_text converts it.
struct message_piece {
    const char* text;
    const wchar_t* wide;
};

// FormatMessageA's US-English text for `code` without its trailing CR/LF, or our stand-in. The
// system's buffer is never released: the process ends right after it is printed.
const char* system_text(uint32_t code)
{
    char* text = NULL;
    DWORD length = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS |
                                      FORMAT_MESSAGE_ALLOCATE_BUFFER,
                                  NULL, code, 0x0409, reinterpret_cast<LPSTR>(&text), 0, NULL);
    if (length == 0 || text == NULL) return no_system_text;
    // Line ends at the back only; those inside the text stay.
    DWORD end = length;
    while (end > 0 && (text[end - 1] == '\r' || text[end - 1] == '\n')) text[--end] = 0;
    return text;
}

// Writes the `count` pieces, " ([Error <code as signed 32-bit>] <system text>)" when `with_code`,
// and a newline to `stream`. True when the stream took all of it.
bool write_message(FILE* stream, const message_piece* pieces, size_t count, bool with_code, uint32_t code)
{
    clearerr(stream);
    for (size_t i = 0; i < count; ++i) {
        if (pieces[i].wide != NULL) write_wide_text(stream, pieces[i].wide);
        else fputs(pieces[i].text, stream);
    }
    if (with_code)
        fprintf(stream, " ([Error %ld] %s)", static_cast<long>(static_cast<int32_t>(code)), system_text(code));
    fputc('\n', stream);
    return fflush(stream) == 0 && !ferror(stream);
}

// The message on `preferred`, or, when that stream cannot take it, on the other standard stream: a
// program started with one stream only (a windowed program run as "app.exe > log.txt", a stream
// closed by the caller) would otherwise end with exit code 2 and no word of why. The C runtime's
// write fails for a stream whose handle is missing, closed or invalid.
void deliver_message(FILE* preferred, const message_piece* pieces, size_t count, bool with_code, uint32_t code)
{
    if (write_message(preferred, pieces, count, with_code, code)) return;
    write_message(preferred == stdout ? stderr : stdout, pieces, count, with_code, code);
}

// What makes a name unusable, after "it " or "a component below its root ".
const char* name_fault_reason(name_fault fault)
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

}  // namespace

void set_fatal_exit_hook(void (*hook)())
{
    InterlockedExchangePointer(&fatal_exit_hook, reinterpret_cast<void*>(hook));
}

void report_system_error(const char* message, uint32_t code)
{
    const message_piece pieces[] = {{message, NULL}};
    deliver_message(stderr, pieces, 1, true, code);
}

void report_left_behind(const wchar_t* path, uint32_t code, bool removed_later)
{
    // A windowed run without a stream, or a console that is gone (closed by its user): nobody to
    // tell, and a note is no failure to put on standard output.
    HANDLE error_handle = GetStdHandle(STD_ERROR_HANDLE);
    if (error_handle == NULL || error_handle == INVALID_HANDLE_VALUE) return;
    char code_text[32];
    snprintf(code_text, sizeof code_text, "[Error %ld] ", static_cast<long>(static_cast<int32_t>(code)));
    const message_piece pieces[] = {{"Note, unpack directory '", NULL},
                                    {NULL, path},
                                    {"' was left behind (", NULL},
                                    {code_text, NULL},
                                    {system_text(code), NULL},
                                    {removed_later ? "); a later run removes it." : ").", NULL}};
    write_message(stderr, pieces, 6, false, 0);
}

void exit_with_message(const char* message)
{
    run_fatal_exit_hook();
    const message_piece pieces[] = {{message, NULL}};
    deliver_message(stdout, pieces, 1, false, 0);
    exit(2);
}

void exit_with_system_error(const char* message, uint32_t code)
{
    run_fatal_exit_hook();
    report_system_error(message, code);
    exit(2);
}

void exit_unpack_failed()
{
    exit_with_system_error("Error, couldn't unpack file to target path.", GetLastError());
}

void exit_decode_failed() { exit_with_message("Error, couldn't decode attached data."); }

void exit_header_missing() { exit_with_message("Error, couldn't find attached data header."); }

void exit_out_of_memory() { exit_with_message("Error, couldn't allocate memory."); }

void exit_launch_failed(uint32_t code) { exit_with_system_error("Error, couldn't launch child", code); }

void exit_command_line_too_long()
{
    exit_with_message("Error, command line too long: the application's would pass 32767 characters.");
}

void exit_application_start_failed(uint32_t code) { exit_with_system_error("Error, couldn't start the application.", code); }

void write_wide_text(void* stream, const wchar_t* text)
{
    FILE* out = static_cast<FILE*>(stream);
    // Converted in pieces, so that a text of any length is written whole. A piece never ends between
    // the two halves of a surrogate pair.
    enum { piece_units = 512 };
    char narrow[piece_units * 4 + 1];
    size_t at = 0;
    while (text[at] != 0) {
        size_t count = 0;
        while (count < piece_units && text[at + count] != 0) ++count;
        if (count == piece_units && text[at + count] != 0 && text[at + count - 1] >= 0xD800 &&
            text[at + count - 1] <= 0xDBFF)
            --count;
        BOOL lossy = FALSE;
        UINT code_page = GetACP();
        // The UTF-8 code pages refuse a default character; every character is representable there.
        bool utf8 = code_page == CP_UTF8;
        int written = WideCharToMultiByte(code_page, 0, text + at, static_cast<int>(count), narrow,
                                          sizeof narrow - 1, utf8 ? NULL : "?", utf8 ? NULL : &lossy);
        if (written <= 0) {
            // No conversion at all: ASCII as it is, everything else as '?'.
            written = 0;
            for (size_t i = 0; i < count; ++i) {
                wchar_t unit = text[at + i];
                if (unit >= 0xDC00 && unit <= 0xDFFF && i > 0 && text[at + i - 1] >= 0xD800 &&
                    text[at + i - 1] <= 0xDBFF)
                    continue;  // second half of a pair: one '?' for the character
                narrow[written++] = unit < 0x80 ? static_cast<char>(unit) : '?';
            }
        }
        fwrite(narrow, 1, static_cast<size_t>(written), out);
        at += count;
    }
}

void exit_cannot_open_output(const wchar_t* path)
{
    run_fatal_exit_hook();
    const message_piece pieces[] = {{"Error, failed to open '", NULL}, {NULL, path}, {"' for writing.", NULL}};
    deliver_message(stderr, pieces, 3, false, 0);
    exit(2);
}

void exit_cache_refused(const wchar_t* path, const char* reason)
{
    run_fatal_exit_hook();
    const message_piece pieces[] = {
        {"Error, refusing cached unpack directory '", NULL}, {NULL, path}, {"': ", NULL}, {reason, NULL}};
    deliver_message(stderr, pieces, 4, false, 0);
    exit(2);
}

void report_cache_entry_not_kept(const wchar_t* path)
{
    const message_piece pieces[] = {
        {"Note, cached unpack directory: couldn't keep '", NULL}, {NULL, path}, {"' from the damaged tree.", NULL}};
    deliver_message(stderr, pieces, 3, false, 0);
}

void report_cache_entry_removed(const wchar_t* path)
{
    const message_piece pieces[] = {
        {"Note, cached unpack directory: removed '", NULL}, {NULL, path}, {"', which a tree that was not sealed held.", NULL}};
    deliver_message(stderr, pieces, 3, false, 0);
}

void exit_not_own_image(const wchar_t* image, const wchar_t* own)
{
    run_fatal_exit_hook();
    const message_piece pieces[] = {{"Error, couldn't launch child: this process's image '", NULL},
                                    {NULL, image},
                                    {"' is not its own executable '", NULL},
                                    {NULL, own},
                                    {"'", NULL}};
    deliver_message(stderr, pieces, 5, false, 0);
    exit(2);
}

void exit_unusable_unpack_directory(const wchar_t* path, name_fault fault)
{
    run_fatal_exit_hook();
    const message_piece pieces[] = {{"Error, unpack directory '", NULL},
                                    {NULL, path},
                                    {"' cannot be used: a component below its root ", NULL},
                                    {name_fault_reason(fault), NULL},
                                    {".", NULL}};
    deliver_message(stderr, pieces, 5, false, 0);
    exit(2);
}

void exit_unusable_version_value(const char* placeholder, const wchar_t* value, name_fault fault)
{
    run_fatal_exit_hook();
    const message_piece pieces[] = {{"Error, {", NULL},
                                    {placeholder, NULL},
                                    {"} '", NULL},
                                    {NULL, value},
                                    {"' of the version block cannot be used in the unpack directory: it ", NULL},
                                    {name_fault_reason(fault), NULL},
                                    {".", NULL}};
    deliver_message(stderr, pieces, 7, false, 0);
    exit(2);
}

void exit_folder_not_writable(const wchar_t* folder, uint32_t code)
{
    run_fatal_exit_hook();
    const message_piece pieces[] = {
        {"Error, the executable's folder '", NULL}, {NULL, folder}, {"' is not writable.", NULL}};
    deliver_message(stderr, pieces, 3, true, code);
    exit(2);
}

void abort_spec_expansion(const wchar_t* spec)
{
    run_fatal_exit_hook();
    const message_piece pieces[] = {{"Error, couldn't runtime expand spec '", NULL}, {NULL, spec}, {"'.", NULL}};
    deliver_message(stderr, pieces, 3, false, 0);
    abort_bound();
}

void abort_bound()
{
    // The bound was checked before anything overran it, so the process can still clean up.
    run_fatal_exit_hook();
    // The C runtime's abort() may print a message or show a box in a GUI program (msvcrt); the
    // fail-fast interrupt ends the process without either.
    if (IsProcessorFeaturePresent(23 /* PF_FASTFAIL_AVAILABLE */)) {
        __asm__ volatile("int $0x29" : : "c"(7 /* FAST_FAIL_FATAL_APP_EXIT */) : "memory");
    }
    TerminateProcess(GetCurrentProcess(), 3);
    ExitProcess(3);
}
