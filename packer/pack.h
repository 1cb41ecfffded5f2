// Packing an application directory into one launcher executable: the files collected and named,
// the entry DLL chosen and checked, the output written through a temporary file.
#ifndef TAVRIN_PACKER_PACK_H
#define TAVRIN_PACKER_PACK_H

#include <cstdint>
#include <filesystem>
#include <functional>
#include <istream>
#include <optional>
#include <string>
#include <vector>

#include "packer/archive/block_writer.h"
#include "packer/archive/launch_settings.h"
#include "packer/deps/imports.h"
#include "packer/image/entry_dll.h"
#include "packer/image/identity.h"

namespace tavrin {

// The environment variable that names the launcher image when no path is given.
inline constexpr const char launcher_variable[] = "TAVRIN_LAUNCHER";
// The launcher image's file name beside the tool.
inline constexpr const char launcher_file_name[] = "tavrin-launcher.exe";

using warning_callback = std::function<void(const std::string& warning)>;

struct pack_options {
    std::filesystem::path app_dir;
    std::filesystem::path output;
    std::filesystem::path launcher;           // the launcher image (see find_launcher_image)
    std::optional<std::u16string> entry;      // archive name of the entry (DLL or program); chosen when absent
    std::vector<std::string> allowed_missing; // imported DLLs accepted although missing (check_imports)
    collect_options collect;                  // where missing DLLs are collected from (check_imports)
    block_options block;
    launch_settings settings;                 // written into the output's settings record
    identity_options identity;                // subsystem, icon, version block, execution level
    progress_callback progress;               // called while the block is written; may throw
    warning_callback warning;                 // called for each warning before packing starts
};

struct pack_result {
    std::vector<std::u16string> names;  // in archive order, the entry first
    std::vector<collected_dll> collected;  // the DLLs collected into the package, in the order found
    std::size_t directories = 0;        // distinct directories below the unpack directory
    std::uint64_t content_bytes = 0;    // the files' bytes in all
    std::uint64_t block_size = 0;       // N, the attached data's length
    std::uint64_t output_size = 0;      // the executable's length
    int level = 0;                      // the settings used
    unsigned threads = 0;
    unsigned window_log = 0;
    std::uint64_t window_size = 0;      // the window the frame declares (at most 2^window_log)
    double seconds = 0;                 // from the start of the packing to the output in place
    std::vector<std::string> warnings;
    entry_kind entry;                   // the first name's kind
    std::uint16_t subsystem = 0;        // the package's
    std::string subsystem_source;       // why: "--console", "--windows", "the program's", or a DLL
                                        // entry's default with the option that gives the other
    execution_level manifest_level = execution_level::as_invoker;  // the package's manifest's
    std::string manifest_level_source = "the default";  // where it comes from (resolved_execution_level)
    bool no_progress = false;           // the settings' --no-progress: no progress window
};

// The archive name of `relative` (a path relative to the application directory): its components
// joined by backslashes, as UTF-16. Throws name_error for a component that Windows could not
// create as it stands (windows_name_problem): one holding a backslash (possible on other systems),
// a character that Windows file names cannot hold, a trailing '.' or ' ', a reserved device name.
std::u16string archive_name(const std::filesystem::path& relative);

// Every regular file below `app_dir`, named by archive_name and sorted by name (code units).
// Symbolic links: a link to a file is followed, and the file's content is archived under the
// link's name; a link to a directory (which could loop) and a link whose target is missing are
// refused. Anything else that is neither a file nor a directory (a socket, a FIFO, a device) is
// refused, as are files that cannot be opened for reading, names the writer refuses, and names
// that Windows would take for the same file (find_name_clashes). Every refusal names the file.
// Throws pack_error, name_error; pack_error too when `app_dir` does not exist or is no directory,
// saying which.
std::vector<archive_entry> collect_application_files(const std::filesystem::path& app_dir);

// The entry of `files`: `requested` when given (it must be one of them and pass check_entry_program
// when its name ends in ".exe", else check_entry_dll); else the only top-level ".dll" that passes
// check_entry_dll; else, when none does, the only top-level ".exe", which must pass
// check_entry_program. Several candidates of the kind taken are refused, listed, with a pointer to
// --entry. Throws entry_error.
struct chosen_entry {
    std::u16string name;
    entry_kind kind;
};
chosen_entry choose_entry(const std::vector<archive_entry>& files, const std::optional<std::u16string>& requested);

// Puts `files` in archive order: the entry, then the top-level files, then the others, each group
// sorted by name in code unit order.
void order_entries(std::vector<archive_entry>& files, const std::u16string& entry);

// The launcher image: `given` when not empty, else the file that TAVRIN_LAUNCHER names, else
// tavrin-launcher.exe in `tool_directory`, else in the installed layout's place for it
// (`tool_directory`/../share/tavrin-onefile, see cmake/install.cmake). Throws pack_error when the
// chosen file does not exist.
std::filesystem::path find_launcher_image(const std::filesystem::path& given, const std::filesystem::path& tool_directory);

// The highest compression level that block_options accepts.
int max_compression_level();

// Packs `options.app_dir` into `options.output`. The output is written to a temporary file beside
// it and renamed into place only when complete: on any failure nothing new is left there and an
// existing output stays as it was. Memory stays bounded whatever the application's size. The
// output may not lie inside the application directory, nor be the launcher image (the same file
// under any name). It replaces only a regular file or a symbolic link (the link itself, never its
// target); a directory, device, FIFO or socket there (check_output_place), found before packing
// starts or again before the rename, refuses the packing and stays as it was. The output always
// gets a new resource section (package_resources; icons read before the output is touched) and the
// subsystem that options.identity names. A program entry sets the settings' exe_entry flag and gives
// the package its subsystem, icon group and version block where options.identity does not
// (identity_base); otherwise the identity's defaults are neutral, made of the output's name. In
// cached mode without a spec, the spec leaves {COMPANY} out when the company is empty. The same files,
// entry, level, window, identity and settings give the same bytes (see write_block).
// A DLL that an image imports and that is neither in the package where the loader looks nor a DLL
// of Windows is collected (options.collect, check_imports) and packed in archive order with the
// rest; refused (import_error) when it cannot be, unless options.allowed_missing names it, and so
// is a DLL of the package that an x86-64 image imports but that is an image for another machine. Warns
// (options.warning and result.warnings) about names whose unpack path would be long
// (long_path_warning), delay-loaded DLLs that are missing, and images whose imports cannot be read.
// Settings: in cached mode an empty spec becomes default_cached_spec, the archive identity (when not
// given) is computed from the written attached data (archive_identity), and a top-level file named
// like the launcher's completion marker is refused (name_error); a spec that is given is checked
// (check_unpack_spec, spec_error) and draws its warnings (unpack_spec_warnings); the unpack
// directory with the output's version texts and the longest name is checked (check_unpack_directory,
// spec_error). Throws pack_error and its kinds.
pack_result pack_application(const pack_options& options);

}  // namespace tavrin

#endif
