// The DLLs that the images of a package import, and whether the unpacked application will find
// each: in the package where the loader looks, or among the DLLs that Windows provides.
#ifndef TAVRIN_PACKER_IMPORTS_H
#define TAVRIN_PACKER_IMPORTS_H

#include <string>
#include <string_view>
#include <vector>

#include "packer/base/archive_entry.h"

namespace tavrin {

// Whether Windows provides the DLL `name`, a name as an import table gives it (letter case ignored;
// ".dll" added when it has no extension): one that packer/deps/system_dlls.txt lists, or an API-set
// contract (api-ms-win-*, ext-ms-*).
bool is_system_dll(std::string_view name);

// A DLL that an image of the package imports and that the loader will not find.
struct missing_import {
    std::u16string importer;              // archive name of the importing image
    std::string dll;                      // as its import table names it
    bool delay_loaded = false;            // from the delay-load table: loaded at the first call
    std::vector<std::u16string> elsewhere;  // files of that name in directories the loader does not search
};

struct import_check {
    std::vector<missing_import> missing;  // by importer in the order of the files, then table order
    std::vector<std::string> warnings;    // each allowed name that no image imports; the images whose
                                          // tables could not be read (one warning for all), so were
                                          // not checked
};

// Reads the import and delay-load tables of every x86-64 image among `files`, recognised by their
// content (pe_machine), whatever their names; images for other machines are not checked, and a
// damaged one draws a warning. An imported DLL is found when its name, compared as Windows compares
// file names (windows_case_key), names a top-level file of the package or a file in the importer's
// own directory: the launcher puts the unpack directory in the DLL search path and loads the entry
// with its own directory searched for its dependencies. It is found too when Windows provides it
// (is_system_dll), or when `allowed` names it (letter case ignored). Throws pack_error when a file
// cannot be read.
import_check check_imports(const std::vector<archive_entry>& files, const std::vector<std::string>& allowed);

// The message that refuses the load-time imports among `missing`: every one with its importer, the
// rule, hints for the mingw-w64 and the Visual C++ runtimes, and --allow-missing. Empty when
// `missing` holds none (delay-loaded ones are left to delay_load_warning).
std::string missing_imports_message(const std::vector<missing_import>& missing);
// The warning for a missing delay-loaded DLL.
std::string delay_load_warning(const missing_import& missing);

}  // namespace tavrin

#endif
