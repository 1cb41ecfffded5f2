// The running image's version texts for the directory spec placeholders.
#include "paths/version_values.h"

#include <windows.h>
#include <wchar.h>

#include "base/errors.h"
#include "paths/bounded.h"
#include "format/entry_names.h"
#include "resources/version_strings.h"

namespace {

// The value found, with its terminator.
wchar_t version_value[version_text_capacity];

}  // namespace

bool own_version_block(const unsigned char** block, size_t* size)
{
    HRSRC found = FindResourceW(NULL, MAKEINTRESOURCEW(1), MAKEINTRESOURCEW(16));
    if (found == NULL) return false;
    HGLOBAL loaded = LoadResource(NULL, found);
    DWORD length = SizeofResource(NULL, found);
    const void* data = loaded != NULL ? LockResource(loaded) : NULL;
    if (data == NULL || length == 0) return false;
    *block = static_cast<const unsigned char*>(data);
    *size = length;
    return true;
}

void append_version_value(wchar_t* out, const placeholder_info& placeholder, size_t size)
{
    const unsigned char* block = NULL;
    size_t block_size = 0;
    if (!own_version_block(&block, &block_size) || !find_version_text(block, block_size, placeholder.version_key, version_value)) {
        append_ascii_widened(out, version_fallback_text(placeholder.version_key), size);
        return;
    }
    // The packer refuses such a text; a block patched after packing must not make the path leave
    // its place, gain a level, or lose a trailing dot that `tavrin-pack cache-dir` would show.
    const name_fault fault = component_name_fault(version_value, wcslen(version_value));
    if (fault != name_ok) exit_unusable_version_value(placeholder.name, version_value, fault);
    append_wide_bounded(out, version_value, size);
}
