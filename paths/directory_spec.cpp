// Directory spec expansion: the walk over the pieces of format/placeholders.h, each placeholder's value,
// and the values that go through the environment so that parent and child instance agree on them.
#include "paths/directory_spec.h"

#include <windows.h>
#include <shlobj.h>
#include <stdio.h>
#include <stdlib.h>
#include <wchar.h>

#include "include/tavrin/onefile.h"
#include "base/errors.h"
#include "base/process_state.h"
#include "paths/bounded.h"
#include "paths/environment.h"
#include "paths/directory_spec_values.h"
#include "paths/security.h"
#include "paths/system_paths.h"
#include "format/placeholders.h"
#include "format/settings_record.h"
#include "paths/version_values.h"

const wchar_t builtin_unpack_spec[] = L"" TAVRIN_BUILTIN_UNPACK_SPEC;

namespace {

// The argument 0 that the {PROGRAM} placeholders take; NULL: the runtime's.
const wchar_t* program_argument;

wchar_t ascii_upper(wchar_t unit) { return unit >= L'a' && unit <= L'z' ? unit - (L'a' - L'A') : unit; }

// Appends the value stored in `variable` and returns true; false when it is absent or empty.
// Cached values are used as they are, unexamined.
bool append_cached_value(wchar_t* out, const char* variable, size_t size)
{
    wchar_t* cached = get_env_var(variable);
    if (cached == NULL) return false;
    append_wide_bounded(out, cached, size);
    free(cached);
    return true;
}

// Stores a freshly computed value for later expansions and the child instance, then appends it. A
// failed store is ignored: this process still uses the value.
void store_and_append_value(wchar_t* out, const char* variable, const wchar_t* value, size_t size)
{
    set_env_var(variable, value);
    append_wide_bounded(out, value, size);
}

int64_t current_system_time()
{
    FILETIME now;
    GetSystemTimeAsFileTime(&now);
    return static_cast<int64_t>((static_cast<uint64_t>(now.dwHighDateTime) << 32) | now.dwLowDateTime);
}

void append_random(wchar_t* out, size_t size)
{
    if (append_cached_value(out, TAVRIN_ENV_ONEFILE_RANDOM, size)) return;
    // The token names a directory that others may try to guess and prepare: its 8 bytes come from
    // the system's cryptographic generator. A seed of at most 32 clock-like bits is only the
    // fallback where that generator is missing.
    wchar_t token[random_token_capacity];
    unsigned char bytes[8];
    if (fill_system_random(bytes, sizeof bytes)) {
        encode_random_token(bytes, token);
    } else {
        // The counter's own stack address joins the seed: it moves from run to run with ASLR, so two
        // processes with the same id and counter reading still differ.
        LARGE_INTEGER counter;
        QueryPerformanceCounter(&counter);
        uint32_t seed = random_seed(GetCurrentProcessId(), static_cast<uint64_t>(counter.QuadPart),
                                    reinterpret_cast<uintptr_t>(&counter));
        make_random_token(seed, token);
    }
    store_and_append_value(out, TAVRIN_ENV_ONEFILE_RANDOM, token, size);
}

void append_time_us(wchar_t* out, size_t size)
{
    if (append_cached_value(out, TAVRIN_ENV_ONEFILE_TIME_US, size)) return;
    wchar_t text[value_text_capacity];
    format_time_us(current_system_time(), text, value_text_capacity);
    store_and_append_value(out, TAVRIN_ENV_ONEFILE_TIME_US, text, size);
}

void append_time(wchar_t* out, size_t size)
{
    if (append_cached_value(out, TAVRIN_ENV_ONEFILE_START, size)) return;
    wchar_t text[value_text_capacity];
    format_start_time(current_system_time(), text, value_text_capacity);
    store_and_append_value(out, TAVRIN_ENV_ONEFILE_START, text, size);
}

void append_pid(wchar_t* out, size_t size)
{
    // The parent's id, so that the child names the same directory as the parent.
    wchar_t* parent = get_env_var(TAVRIN_ENV_ONEFILE_PARENT);
    if (parent != NULL) {
        for (const wchar_t* unit = parent; *unit != 0; ++unit)
            if (*unit < L'0' || *unit > L'9') abort_bound();
        append_wide_bounded(out, parent, size);
        free(parent);
        return;
    }
    char text[value_text_capacity];
    snprintf(text, sizeof text, "%ld", static_cast<long>(GetCurrentProcessId()));
    append_ascii_widened(out, text, size);
}

void append_program(wchar_t* out, size_t size)
{
    if (program_argument != NULL) {
        append_wide_bounded(out, program_argument, size);
        return;
    }
    // The runtime's wide argument vector, as handed to run_code; not GetCommandLineW re-split.
    if (__argc < 1 || __wargv == NULL || __wargv[0] == NULL) abort_bound();
    append_wide_bounded(out, __wargv[0], size);
}

// The folder of the running executable: its plain path, as the system reports it, cut at the last
// backslash (a path without one whole). The same in both instances, which run one file.
void append_executable_folder(wchar_t* out, size_t size)
{
    const wchar_t* path = own_executable_path(false);
    const wchar_t* last_backslash = wcsrchr(path, L'\\');
    const size_t length = last_backslash != NULL ? static_cast<size_t>(last_backslash - path) : wcslen(path);
    size_t used = wcslen(out);
    if (used + length + 1 > size) abort_bound();
    wmemcpy(out + used, path, length);
    out[used + length] = 0;
}

// The placeholder `spec` starts with, placeholder_unknown when it starts with none.
placeholder_id first_placeholder(const wchar_t* spec)
{
    const size_t length = wcslen(spec);
    return length > 0 ? piece_placeholder_id(spec, next_text_piece(spec, length, 0)) : placeholder_unknown;
}

// Removes backslashes from the end of the output (never before its start); each gives its unit back.
size_t strip_trailing_backslashes(wchar_t* out, size_t used)
{
    while (used > 0 && out[used - 1] == L'\\') out[--used] = 0;
    return used;
}

// Appends the value of placeholder `id` at out[used]; returns false where the expansion fails.
bool append_placeholder(wchar_t* out, size_t used, size_t size, placeholder_id id)
{
    wchar_t* value = out + used;  // where the appended value starts
    switch (id) {
    case placeholder_temp: {
        // Straight into the rest of the output. A path that does not fit reports the size it needs
        // instead of a length and contributes nothing, whatever the system left in the buffer.
        DWORD length = GetTempPathW(static_cast<DWORD>(size - used), value);
        if (length == 0 || length >= size - used) value[0] = 0;
        break;
    }
    case placeholder_program:
        append_program(out, size);
        break;
    case placeholder_program_base: {
        if (!expand_spec(value, L"{PROGRAM}", size - used)) return false;
        size_t length = wcslen(value);
        // Only the appended value is looked at, never the output before it.
        if (length >= 4 && value[length - 4] == L'.' && ascii_upper(value[length - 3]) == L'E' &&
            ascii_upper(value[length - 2]) == L'X' && ascii_upper(value[length - 1]) == L'E')
            value[length - 4] = 0;
        break;
    }
    case placeholder_program_dir: {
        if (!expand_spec(value, L"{PROGRAM}", size - used)) return false;
        // Backslash only: the runtime's argument 0 keeps forward slashes as typed.
        wchar_t* last_backslash = wcsrchr(value, L'\\');
        if (last_backslash != NULL) *last_backslash = 0;
        break;
    }
    case placeholder_pid:
        append_pid(out, size);
        break;
    case placeholder_home:
        if (!append_known_folder(out, CSIDL_PROFILE, size)) return false;
        break;
    case placeholder_cache_dir:
        if (!append_known_folder(out, CSIDL_LOCAL_APPDATA, size)) return false;
        break;
    case placeholder_exe_dir:
        append_executable_folder(out, size);
        break;
    case placeholder_company:
    case placeholder_product:
    case placeholder_version:
    case placeholder_file_version:
    case placeholder_product_version:
        // The image's version block, as tavrin-pack wrote it; the built-in texts without one.
        append_version_value(out, placeholders[id], size);
        break;
    case placeholder_random:
        append_random(out, size);
        break;
    case placeholder_time_us:
        append_time_us(out, size);
        break;
    case placeholder_time:
        append_time(out, size);
        break;
    case placeholder_unknown:
        return false;
    }
    if (placeholders[id].root) strip_trailing_backslashes(out, used + wcslen(value));
    return true;
}

}  // namespace

bool expand_spec(wchar_t* out, const wchar_t* spec, size_t size)
{
    out[0] = 0;
    size_t used = 0;  // code units in `out`, terminator not counted
    const size_t length = wcslen(spec);
    for (size_t at = 0; at < length;) {
        const text_piece piece = next_text_piece(spec, length, at);
        at += piece.length;
        switch (piece.kind) {
        case piece_literal:
        case piece_stray_close:
            // A '}' that closes nothing is an ordinary literal like any other unit. A literal that
            // does not fit is a failure the caller reports, not a bound abort.
            for (size_t i = piece.start; i < piece.start + piece.length; ++i) {
                if (used + 2 > size) return false;
                out[used++] = spec[i];
                out[used] = 0;
            }
            break;
        case piece_placeholder:
            // A name that is none of the table's (whatever its length) fails the expansion.
            if (!append_placeholder(out, used, size, piece_placeholder_id(spec, piece))) return false;
            used = wcslen(out);
            break;
        case piece_interrupted:
        case piece_unclosed:
            // Dropped: {X{PID} means {PID}, and abc{TEMP gives abc.
            break;
        }
    }
    return true;
}

void set_program_argument(const wchar_t* argument) { program_argument = argument; }

size_t spec_root_length(const wchar_t* spec, const wchar_t* path)
{
    const placeholder_id first = first_placeholder(spec);
    if (first != placeholder_unknown && placeholders[first].root) {
        // The value again: the same in one process ({TEMP} from its environment, the others from
        // the system), so where `path` starts with it, that is where the spec's root ends.
        static wchar_t root[wide_path_capacity];
        root[0] = 0;
        if (append_placeholder(root, 0, wide_path_capacity, first)) {
            size_t length = wcslen(root);
            if (_wcsnicmp(root, path, length) == 0 && (path[length] == L'\\' || path[length] == 0)) return length;
        }
    }
    if (path[0] == L'\\' && path[1] == L'\\') {
        const wchar_t* share = wcschr(path + 2, L'\\');
        const wchar_t* end = share != NULL ? wcschr(share + 1, L'\\') : NULL;
        return end != NULL ? static_cast<size_t>(end - path) : wcslen(path);
    }
    const wchar_t drive = ascii_upper(path[0]);
    return drive >= L'A' && drive <= L'Z' && path[1] == L':' ? 2 : 0;
}

void refuse_unwritable_executable_folder(const wchar_t* spec, uint32_t error)
{
    if (first_placeholder(spec) != placeholder_exe_dir) return;
    static wchar_t folder[wide_path_capacity];
    folder[0] = 0;
    append_executable_folder(folder, wide_path_capacity);
    exit_folder_not_writable(folder, error);
}
