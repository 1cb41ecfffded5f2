// The DLLs that the images of a package import, and whether the unpacked application will find
// each: in the package where the loader looks, or among the DLLs that Windows provides; those that
// neither provides collected from the packing machine.
#ifndef TAVRIN_PACKER_IMPORTS_H
#define TAVRIN_PACKER_IMPORTS_H

#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "packer/base/archive_entry.h"
#include "packer/deps/toolchain.h"

namespace tavrin {

// Whether Windows provides the DLL `name`, a name as an import table gives it (letter case ignored;
// ".dll" added when it has no extension): one that packer/deps/system_dlls.txt lists, or an API-set
// contract (api-ms-win-*, ext-ms-*).
bool is_system_dll(std::string_view name);

// Where DLLs that the package lacks are collected from, after the package and Windows.
struct collect_options {
    bool enabled = true;                              // false: --no-collect, a missing DLL is refused
    std::vector<std::filesystem::path> dll_path;      // --dll-path directories, searched in order
    // The toolchain's runtime directories, searched after dll_path; called once at most, and only
    // for a DLL that dll_path does not have.
    std::function<std::optional<toolchain_runtime>()> toolchain = find_toolchain_runtime;
};

// A DLL added to the package because an image imports it and nothing else provides it.
struct collected_dll {
    std::u16string name;               // archive name: the importer's directory and the file's own name
    std::filesystem::path source;      // the file taken; its directory is where it was found
    std::uint64_t size = 0;            // as packed
    bool debug_dropped = false;        // see strip_debug_information
    std::string kept_as_is;            // why it keeps its debug information ("" when it has none or lost it)
};

// A DLL that an image of the package imports and that the loader will not find.
struct missing_import {
    std::u16string importer;              // archive name of the importing image
    std::string dll;                      // as its import table names it
    bool delay_loaded = false;            // from the delay-load table: loaded at the first call
    std::vector<std::u16string> elsewhere;  // files of that name in directories the loader does not search
    std::vector<std::string> passed_over;   // copies found where DLLs are collected from but not taken,
                                            // each "a 32-bit (i386) copy at '<path>'" or the like
    bool other_machine_copies = false;      // passed_over holds some, all images for other machines
    std::u16string other_machine;         // the package's file of that name, an image for another machine
    std::uint16_t machine = 0;            // that file's machine
};

struct import_check {
    std::vector<missing_import> missing;  // by importer in the order of the files, then table order
    std::vector<archive_entry> added;     // the collected DLLs, to be packed; content in memory when stripped
    std::vector<collected_dll> collected;  // the same, described, in the same order
    bool collecting = false;              // collection was enabled
    std::string searched;                 // where collection looked, a sentence for the refusal
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
// (is_system_dll), or when `allowed` names it (letter case ignored). A file so found that is an
// image for another machine is missing all the same, named with its machine. Otherwise, when
// `collect` is enabled, the DLL is looked up in collect.dll_path and then in the toolchain's runtime
// directories: the first x86-64 DLL of that name (letter case ignored; the exact name first, then
// the first in code unit order) is added beside its importer, without its debug information
// (strip_debug_information), and its own imports are resolved in turn. Copies for other machines,
// and files that are no x86-64 DLL, are passed over and named when nothing else provides the DLL.
// `files` and the result do not depend on the order in which directories list their files. Throws
// pack_error when a file cannot be read or a dll_path entry is not a directory.
import_check check_imports(const std::vector<archive_entry>& files, const std::vector<std::string>& allowed,
                           const collect_options& collect);

// The message that refuses the load-time imports among `check.missing`: first those built for
// another machine (the package's file, or copies passed over that are all for other machines),
// each what it is, with the x86-64 build asked for; then the others, every one with its importer
// (and the copies passed over), the rule; then where collection looked, hints for the mingw-w64
// and the Visual C++ runtimes, and --allow-missing for the missing ones only (none for a DLL of
// another machine, which would stop every start). Empty when it holds none (delay-loaded ones are
// left to delay_load_warning).
std::string missing_imports_message(const import_check& check);
// The warning for a missing delay-loaded DLL.
std::string delay_load_warning(const missing_import& missing);

}  // namespace tavrin

#endif
