// Values of the {COMPANY}, {PRODUCT} and version placeholders: the texts of the running image's own
// version block, which tavrin-pack writes, else the built-in constants of resources/product.h.
#ifndef TAVRIN_PATHS_VERSION_VALUES_H
#define TAVRIN_PATHS_VERSION_VALUES_H

#include <stddef.h>

#include "format/placeholders.h"

// The version block (resource type 16, id 1) of this process's image and its size, as untrusted
// bytes for find_version_text (resources/version_strings.h); false without one.
bool own_version_block(const unsigned char** block, size_t* size);

// Appends to `out` (`size` code units, terminator included) the value of `placeholder` (a row taken
// from_version_block): the text of its version_key in the version resource (type 16, id 1) of this
// process's image, read as untrusted bytes; its built-in text (version_fallback_text) when the image
// has no such resource, the block is malformed or lacks the value.
// A text that could not be one file name (component_name_fault: empty, ".", "..", a separator, a
// character names cannot hold, a trailing dot or space, a device name) ends the process with
// exit_unusable_version_value. Aborts when the value does not fit.
void append_version_value(wchar_t* out, const placeholder_info& placeholder, size_t size);

#endif
