// Archive entries: made from files, their names checked against the launcher's rules.
#include "packer/base/archive_entry.h"

#include <set>

#include "packer/base/errors.h"
#include "packer/base/helpers.h"
#include "packer/base/names.h"
#include "format/format.h"

namespace tavrin {

archive_entry archive_entry::from_file(std::u16string name, std::filesystem::path file)
{
    archive_entry entry;
    entry.name = std::move(name);
    entry.file = std::move(file);
    return entry;
}

void check_entry_name(const std::u16string& name)
{
    auto refuse = [&](const std::string& why) {
        throw name_error("refused name '" + to_utf8(name) + "': " + why);
    };
    if (name.empty()) throw name_error("refused name: a name must not be empty");
    if (name.size() > entry_name_capacity - 1)
        refuse("longer than " + std::to_string(entry_name_capacity - 1) + " UTF-16 code units (" +
               std::to_string(name.size()) + ")");
    std::string problem = entry_name_problem(name);
    if (!problem.empty()) refuse(problem);
}

void check_entry_names(const std::vector<archive_entry>& entries)
{
    std::set<std::u16string> seen;
    for (const auto& entry : entries) {
        check_entry_name(entry.name);
        if (!seen.insert(entry.name).second)
            throw name_error("refused name '" + to_utf8(entry.name) + "': it occurs twice");
    }
}

}  // namespace tavrin
