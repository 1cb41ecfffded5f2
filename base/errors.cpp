// Error reporting: the rows of format/launcher_messages.h on the standard streams, the fatal exit
// with code 2, aborts.
#include "base/errors.h"

#include <windows.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "base/process_state.h"
#include "base/trace.h"

namespace {

// Run once before a fatal exit; whoever takes it out of the slot runs it.
void* volatile fatal_exit_hook;
// Where a failure's message goes when no standard stream takes it (set_undelivered_failure_handler).
void (*volatile undelivered_failure_handler)(const wchar_t* text);

void run_fatal_exit_hook()
{
    // A start that fails shows no progress from here on (a window that shows closes).
    InterlockedCompareExchange(&start_stage, start_failed, start_preparing);
    void (*hook)() = reinterpret_cast<void (*)()>(InterlockedExchangePointer(&fatal_exit_hook, NULL));
    if (hook != NULL) hook();
}

// One value of a message: the narrow `text`, or, when `wide` is set, that wide text (a path or a
// spec) converted as write_wide_text converts it.
struct message_value {
    const char* text;
    const wchar_t* wide;
};

// FormatMessageA's US-English text for `code` without its trailing CR/LF, or our stand-in. The
// system's buffer is never released: the process ends (or the note is the run's last word) right
// after it is printed.
const char* system_text(uint32_t code)
{
    char* text = NULL;
    DWORD length = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS |
                                      FORMAT_MESSAGE_ALLOCATE_BUFFER,
                                  NULL, code, 0x0409, reinterpret_cast<LPSTR>(&text), 0, NULL);
    if (length == 0 || text == NULL) return TAVRIN_NO_SYSTEM_TEXT;
    // Line ends at the back only; those inside the text stay.
    DWORD end = length;
    while (end > 0 && (text[end - 1] == '\r' || text[end - 1] == '\n')) text[--end] = 0;
    return text;
}

// Writes the text of `message` with its "<name>" parts replaced by the `count` values in order (a
// part without a value stays as written), and a newline, to `stream`. True when the stream took
// all of it.
bool write_message(FILE* stream, const launcher_message& message, const message_value* values, size_t count)
{
    clearerr(stream);
    size_t used = 0;  // values written
    const char* text = message.text;
    while (*text != 0) {
        const char* open = strchr(text, '<');
        const char* close = open != NULL ? strchr(open, '>') : NULL;
        if (close == NULL) {
            fputs(text, stream);
            break;
        }
        fwrite(text, 1, static_cast<size_t>(open - text), stream);
        if (used == count) fwrite(open, 1, static_cast<size_t>(close + 1 - open), stream);
        else if (values[used].wide != NULL) write_wide_text(stream, values[used++].wide);
        else fputs(values[used++].text, stream);
        text = close + 1;
    }
    fputc('\n', stream);
    return fflush(stream) == 0 && !ferror(stream);
}

// Prints message `id` with its `count` values where its row sends it; true when a stream took it. A
// message whose stream cannot take it goes to the other standard stream: a program started with
// one stream only (a windowed program run as "app.exe > log.txt", a stream closed by the caller)
// would otherwise end with exit code 2 and no word of why. The C runtime's write fails for a
// stream whose handle is missing, closed or invalid.
bool deliver_message(launcher_message_id id, const message_value* values, size_t count)
{
    const launcher_message& message = launcher_messages[id];
    if (message.stream == stream_error_only) {
        // A windowed run without a stream, or a console that is gone (closed by its user): nobody
        // to tell, and a note is no failure to put on standard output.
        HANDLE error_handle = GetStdHandle(STD_ERROR_HANDLE);
        return error_handle != NULL && error_handle != INVALID_HANDLE_VALUE && write_message(stderr, message, values, count);
    }
    FILE* preferred = message.stream == stream_output ? stdout : stderr;
    if (write_message(preferred, message, values, count)) return true;
    return write_message(preferred == stdout ? stderr : stdout, message, values, count);
}

// Appends `units` code units of `text` at out[*length] while they fit in `capacity` (the last unit
// is kept for the terminator); *length counts them all, so that the caller learns the size needed.
void put_wide_units(wchar_t* out, size_t capacity, size_t* length, const wchar_t* text, size_t units)
{
    for (size_t i = 0; i < units; ++i, ++*length)
        if (*length + 1 < capacity) out[*length] = text[i];
}

// A narrow text of the messages (ASCII, or the system's text in the ANSI code page) widened whole,
// or not at all when it does not fit (the caller then learns the size and renders again).
void put_narrow(wchar_t* out, size_t capacity, size_t* length, const char* text, size_t bytes)
{
    if (bytes == 0) return;
    const int units = MultiByteToWideChar(CP_ACP, 0, text, static_cast<int>(bytes), NULL, 0);
    if (units > 0) {
        if (*length + static_cast<size_t>(units) < capacity)
            MultiByteToWideChar(CP_ACP, 0, text, static_cast<int>(bytes), out + *length, units);
        *length += static_cast<size_t>(units);
        return;
    }
    // No conversion: ASCII as it is, anything else as '?', as the streams show it.
    for (size_t i = 0; i < bytes; ++i) {
        const wchar_t unit = static_cast<unsigned char>(text[i]) < 0x80 ? static_cast<wchar_t>(text[i]) : L'?';
        put_wide_units(out, capacity, length, &unit, 1);
    }
}

// The text of `message` with its values as write_message writes it, without the newline, in
// UTF-16 (a path as it is, not in the ANSI code page) into `out` (`capacity` units, terminated
// when capacity is not 0); returns the units the whole text needs without the terminator.
size_t render_message(const launcher_message& message, const message_value* values, size_t count, wchar_t* out,
                      size_t capacity)
{
    size_t length = 0, used = 0;
    const char* text = message.text;
    while (*text != 0) {
        const char* open = strchr(text, '<');
        const char* close = open != NULL ? strchr(open, '>') : NULL;
        if (close == NULL) {
            put_narrow(out, capacity, &length, text, strlen(text));
            break;
        }
        put_narrow(out, capacity, &length, text, static_cast<size_t>(open - text));
        if (used == count) {
            put_narrow(out, capacity, &length, open, static_cast<size_t>(close + 1 - open));
        } else {
            const message_value& value = values[used++];
            if (value.wide != NULL) put_wide_units(out, capacity, &length, value.wide, wcslen(value.wide));
            else put_narrow(out, capacity, &length, value.text, strlen(value.text));
        }
        text = close + 1;
    }
    if (capacity > 0) out[length < capacity ? length : capacity - 1] = 0;
    return length;
}

// The message rendered whole on the heap (render_message), or NULL when no memory can be had; the
// process ends soon after, so it is never freed.
const wchar_t* rendered_message(launcher_message_id id, const message_value* values, size_t count)
{
    const size_t units = render_message(launcher_messages[id], values, count, NULL, 0);
    wchar_t* text = static_cast<wchar_t*>(HeapAlloc(GetProcessHeap(), 0, (units + 1) * sizeof(wchar_t)));
    if (text != NULL) render_message(launcher_messages[id], values, count, text, units + 1);
    return text;
}

// Runs the fatal exit hook, prints message `id` and ends as its row says. A message that no stream
// took goes to the undelivered failure handler (a box on the desktop) before the end.
[[noreturn]] void exit_with(launcher_message_id id, const message_value* values, size_t count)
{
    run_fatal_exit_hook();
    const wchar_t* text = trace_on ? rendered_message(id, values, count) : NULL;
    if (text != NULL) trace("failure: %ls", text);
    void (*handler)(const wchar_t*) = undelivered_failure_handler;
    if (!deliver_message(id, values, count) && handler != NULL) {
        if (text == NULL) text = rendered_message(id, values, count);
        if (text != NULL) handler(text);
    }
    if (launcher_messages[id].ending == ends_with_fail_fast) abort_bound();
    exit(launcher_failure_exit_code);
}

// The values of the system's reason for `code`, as TAVRIN_SYSTEM_REASON takes them; `code_text`
// holds the number (at least 12 bytes).
void system_reason(uint32_t code, char* code_text, size_t size, message_value* values)
{
    snprintf(code_text, size, "%ld", static_cast<long>(static_cast<int32_t>(code)));
    values[0] = {code_text, NULL};
    values[1] = {system_text(code), NULL};
}

}  // namespace

void set_fatal_exit_hook(void (*hook)())
{
    InterlockedExchangePointer(&fatal_exit_hook, reinterpret_cast<void*>(hook));
}

void set_undelivered_failure_handler(void (*handler)(const wchar_t* text)) { undelivered_failure_handler = handler; }

void exit_start_cancelled()
{
    trace("start cancelled: the progress window was closed; the clean-up runs, exit code %d",
          int(launcher_cancelled_exit_code));
    run_fatal_exit_hook();
    exit(launcher_cancelled_exit_code);
}

void report_trace_refused(const wchar_t* path, trace_refusal refusal)
{
    const message_value values[] = {{NULL, path}, {trace_refusal_reason(refusal), NULL}};
    deliver_message(message_trace_refused, values, 2);
}

void report_trace_unopened(const wchar_t* path, uint32_t code)
{
    char code_text[32];
    message_value values[3] = {{NULL, path}};
    system_reason(code, code_text, sizeof code_text, values + 1);
    deliver_message(message_trace_unopened, values, 3);
}

void report_left_behind(const wchar_t* path, uint32_t code, bool removed_later)
{
    char code_text[32];
    message_value values[3] = {{NULL, path}};
    system_reason(code, code_text, sizeof code_text, values + 1);
    deliver_message(removed_later ? message_left_behind : message_left_behind_unmarked, values, 3);
}

void exit_with_message(launcher_message_id id) { exit_with(id, NULL, 0); }

void exit_with_system_error(launcher_message_id id, uint32_t code)
{
    // The hook runs before the system's text is looked up, as it always has.
    run_fatal_exit_hook();
    char code_text[32];
    message_value values[2];
    system_reason(code, code_text, sizeof code_text, values);
    exit_with(id, values, 2);
}

void exit_unpack_failed() { exit_with_system_error(message_unpack_failed, GetLastError()); }

void exit_decode_failed() { exit_with_message(message_decode_failed); }

void exit_header_missing() { exit_with_message(message_header_missing); }

void exit_out_of_memory() { exit_with_message(message_out_of_memory); }

void exit_launch_failed(uint32_t code) { exit_with_system_error(message_launch_failed, code); }

void exit_command_line_too_long() { exit_with_message(message_command_line_too_long); }

void exit_application_start_failed(uint32_t code) { exit_with_system_error(message_application_start_failed, code); }

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
    const message_value values[] = {{NULL, path}};
    exit_with(message_cannot_open_output, values, 1);
}

void exit_cache_refused(const wchar_t* path, launcher_message_id refusal)
{
    const message_value values[] = {{NULL, path}};
    exit_with(refusal, values, 1);
}

void report_cache_entry_not_kept(const wchar_t* path)
{
    const message_value values[] = {{NULL, path}};
    deliver_message(message_cache_entry_not_kept, values, 1);
}

void report_cache_entry_removed(const wchar_t* path)
{
    const message_value values[] = {{NULL, path}};
    deliver_message(message_cache_entry_removed, values, 1);
}

void exit_not_own_image(const wchar_t* image, const wchar_t* own)
{
    const message_value values[] = {{NULL, image}, {NULL, own}};
    exit_with(message_not_own_image, values, 2);
}

void exit_unusable_unpack_directory(const wchar_t* path, name_fault fault)
{
    const message_value values[] = {{NULL, path}, {name_fault_reason(fault), NULL}};
    exit_with(message_unusable_unpack_directory, values, 2);
}

void exit_unusable_version_value(const char* placeholder, const wchar_t* value, name_fault fault)
{
    const message_value values[] = {{placeholder, NULL}, {NULL, value}, {name_fault_reason(fault), NULL}};
    exit_with(message_unusable_version_value, values, 3);
}

void exit_folder_not_writable(const wchar_t* folder, uint32_t code)
{
    run_fatal_exit_hook();
    char code_text[32];
    message_value values[3] = {{NULL, folder}};
    system_reason(code, code_text, sizeof code_text, values + 1);
    exit_with(message_folder_not_writable, values, 3);
}

void abort_spec_expansion(const wchar_t* spec)
{
    const message_value values[] = {{NULL, spec}};
    exit_with(message_expansion_failed, values, 1);
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
