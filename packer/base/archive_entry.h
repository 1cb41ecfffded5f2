// One file of an archive as the packer collects, checks and writes it: its name and where its
// content comes from; the rules its name must meet.
#ifndef TAVRIN_PACKER_ARCHIVE_ENTRY_H
#define TAVRIN_PACKER_ARCHIVE_ENTRY_H

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace tavrin {

// One file of the archive: its name relative to the unpack directory (UTF-16, components separated
// by backslashes) and its content: `data` when set, else the file, read while the block is written.
struct archive_entry {
    std::u16string name;
    std::filesystem::path file;       // used when `data` is empty
    std::optional<std::string> data;  // the content itself

    static archive_entry from_file(std::u16string name, std::filesystem::path file);
};

// Throws name_error when `name` is longer than 1023 code units or the launcher would take it for
// damage (entry_name_problem): empty, absolute, a drive, an empty, "." or ".." component, a slash,
// a character or ending Windows cannot keep, a reserved device name.
void check_entry_name(const std::u16string& name);
// check_entry_name on every entry, and no name twice.
void check_entry_names(const std::vector<archive_entry>& entries);

}  // namespace tavrin

#endif
