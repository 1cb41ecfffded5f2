// The launcher image's settings record and its reading. The record is defined here, in read-only
// data, holding only its header; the packer fills in a copy of the image.
#include "payload/settings.h"

#include <stdlib.h>
#include <wchar.h>

#include "base/process_state.h"
#include "format/format.h"
#include "format/settings_record.h"
#include "include/tavrin/onefile.h"
#include "paths/environment.h"
#include "paths/directory_spec.h"

// The record is read through a volatile lvalue: the compiler must not fold the build's zeros into
// the code, since the packer changes the bytes after linking. `used` keeps it in an image that
// reads no field (the packer refuses an image without it); GCC would put a volatile object in
// writable data, so the section is named.
extern "C" __attribute__((used, aligned(16), section(".rdata"))) const volatile unsigned char tavrin_launch_settings[launch_settings_size] = {
    'T', 'A', 'V', 'R', 'I', 'N', '_', 'O', 'N', 'E', 'F', 'I', 'L', 'E', '_', 'S', 'E', 'T', 'T', 'I', 'N', 'G', 'S', '1',
    launch_settings_size & 0xFF, (launch_settings_size >> 8) & 0xFF, 0, 0};

namespace {

uint32_t settings_flags()
{
    unsigned char bytes[4];
    for (int i = 0; i < 4; ++i) bytes[i] = tavrin_launch_settings[launch_settings_flags_offset + i];
    return static_cast<uint32_t>(load_little_endian(bytes, 4));
}

const wchar_t* stored_unpack_spec()
{
    static wchar_t spec[launch_settings_spec_capacity];
    for (int i = 0;; ++i) {
        if (i == launch_settings_spec_capacity) abort();
        const int at = launch_settings_spec_offset + 2 * i;
        spec[i] = static_cast<wchar_t>(tavrin_launch_settings[at] | (tavrin_launch_settings[at + 1] << 8));
        if (spec[i] == 0) break;
    }
    return spec[0] != 0 ? spec : builtin_unpack_spec;
}

}  // namespace

unsigned parse_serial_steps(const wchar_t* value)
{
    static const struct {
        const wchar_t* word;
        unsigned steps;
    } words[] = {{L"decode", serial_decode},
                 {L"child", serial_child},
                 {L"cleanup", serial_cleanup},
                 {L"all", serial_decode | serial_child | serial_cleanup}};
    unsigned steps = 0;
    for (const wchar_t* at = value; at != NULL && *at != 0;) {
        const wchar_t* end = wcschr(at, L',');
        size_t length = end != NULL ? static_cast<size_t>(end - at) : wcslen(at);
        for (const auto& known : words)
            if (wcslen(known.word) == length && wcsncmp(known.word, at, length) == 0) steps |= known.steps;
        at = end != NULL ? end + 1 : NULL;
    }
    return steps;
}

void read_launch_settings(void)
{
    unpack_spec = stored_unpack_spec();
    cached_mode = (settings_flags() & launch_setting_cached) != 0;
    program_entry = (settings_flags() & launch_setting_exe_entry) != 0;
    no_progress_window = (settings_flags() & launch_setting_no_progress) != 0;
    // A heap copy from the environment, freed by nobody: read once, it lives as the process does.
    serial_steps = parse_serial_steps(get_env_var(TAVRIN_ENV_ONEFILE_SERIAL));
}

const char* launch_archive_identity(void)
{
    static char identity[launch_settings_identity_size];
    for (int i = 0;; ++i) {
        if (i == launch_settings_identity_size) abort();
        identity[i] = static_cast<char>(tavrin_launch_settings[launch_settings_identity_offset + i]);
        if (identity[i] == 0) break;
    }
    return identity;
}
