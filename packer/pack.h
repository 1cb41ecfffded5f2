// Packing an application directory into one launcher executable: the files collected and named,
// the entry DLL chosen and checked, the output written through a temporary file.
#ifndef TAVRIN_PACKER_PACK_H
#define TAVRIN_PACKER_PACK_H

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "packer/block_writer.h"

namespace tavrin {

// The entry DLL is missing, ambiguous, not an x86-64 DLL, or does not export run_code.
class entry_error : public pack_error {
public:
    using pack_error::pack_error;
};

// The export that the launcher calls in the entry DLL.
inline constexpr const char entry_point_name[] = "run_code";

// The environment variable that names the launcher image when no path is given.
inline constexpr const char launcher_variable[] = "TAVRIN_LAUNCHER";
// The launcher image's file name beside the tool.
inline constexpr const char launcher_file_name[] = "tavrin-launcher.exe";

struct pack_options {
    std::filesystem::path app_dir;
    std::filesystem::path output;
    std::filesystem::path launcher;           // the launcher image (see find_launcher_image)
    std::optional<std::u16string> entry;      // archive name of the entry DLL; chosen when absent
    block_options block;
    progress_callback progress;               // called while the block is written; may throw
};

struct pack_result {
    std::vector<std::u16string> names;  // in archive order, the entry first
    std::uint64_t content_bytes = 0;    // the files' bytes in all
    std::uint64_t block_size = 0;       // N, the attached data's length
    std::uint64_t output_size = 0;      // the executable's length
};

// The archive name of `relative` (a path relative to the application directory): its components
// joined by backslashes, as UTF-16. Throws name_error for a component that Windows could not
// create as it stands: one holding a backslash (possible on other systems), a character that
// Windows file names cannot hold (control characters, < > : " | ? *), or ending in '.' or ' '.
std::u16string archive_name(const std::filesystem::path& relative);

// Every regular file below `app_dir`, named by archive_name and sorted by name (code units).
// Symbolic links to files are followed; anything else that is not a directory (symbolic links to
// directories included) is refused, as are names the writer refuses and two names that differ
// only in ASCII case (one would overwrite the other on Windows). Throws pack_error, name_error.
std::vector<archive_entry> collect_application_files(const std::filesystem::path& app_dir);

// Throws entry_error unless `file` is an x86-64 PE32+ DLL that exports run_code. `name` is how
// messages call it.
void check_entry_dll(const std::filesystem::path& file, const std::string& name);

// The entry of `files`: `requested` when given (it must be one of them and pass check_entry_dll),
// else the only top-level ".dll" that passes check_entry_dll. Throws entry_error.
std::u16string choose_entry(const std::vector<archive_entry>& files, const std::optional<std::u16string>& requested);

// Puts `files` in archive order: the entry, then the top-level files, then the others, each group
// sorted by name in code unit order.
void order_entries(std::vector<archive_entry>& files, const std::u16string& entry);

// The launcher image: `given` when not empty, else the file that TAVRIN_LAUNCHER names, else
// tavrin-launcher.exe in `tool_directory`. Throws pack_error when the chosen file does not exist.
std::filesystem::path find_launcher_image(const std::filesystem::path& given, const std::filesystem::path& tool_directory);

// The highest compression level that block_options accepts.
int max_compression_level();

// Packs `options.app_dir` into `options.output`. The output is written to a temporary file beside
// it and renamed into place only when complete: on any failure nothing new is left there and an
// existing output stays as it was. Memory stays bounded whatever the application's size. The
// output may not lie inside the application directory. Throws pack_error and its kinds.
pack_result pack_application(const pack_options& options);

}  // namespace tavrin

#endif
