// Values of the {COMPANY}, {PRODUCT} and version placeholders: the texts of the running image's own
// version block, which tavrin-pack writes, else the built-in constants of resources/product.h.
#ifndef TAVRIN_PATHS_VERSION_VALUES_H
#define TAVRIN_PATHS_VERSION_VALUES_H

#include <stddef.h>

// Appends to `out` (`size` code units, terminator included) the text value `key` (ASCII, such as
// "CompanyName") of the version resource (type 16, id 1) of this process's image, read as untrusted
// bytes (resources/version_strings.h); `fallback` when the image has no such resource, the block is
// malformed or lacks the value. Aborts when the value does not fit.
void append_version_value(wchar_t* out, const char* key, const wchar_t* fallback, size_t size);

#endif
