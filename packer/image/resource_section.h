// The resource directory of a PE image: read into a flat list of resources, and written anew as a
// section of its own (type, name and language directories, data entries, then the data).
#ifndef TAVRIN_PACKER_RESOURCE_SECTION_H
#define TAVRIN_PACKER_RESOURCE_SECTION_H

#include <cstdint>
#include <istream>
#include <string>
#include <vector>

#include "packer/image/pe_image.h"

namespace tavrin {

// Resource types the packer writes or reads back.
enum : std::uint32_t { rt_icon = 3, rt_group_icon = 14, rt_version = 16, rt_manifest = 24 };

// One resource, named by numbers only (the launcher's resources have no text names).
struct resource_entry {
    std::uint32_t type = 0;
    std::uint32_t name = 0;
    std::uint32_t language = 0;
    std::string data;
};

// The resources of the image in `in`, in the directory's order; empty without a resource directory.
// Throws image_error when the directory is damaged: a table, an entry or a resource's data outside
// the directory's section or the file, a tree that is not three levels deep, a resource named by
// text, more than 65,536 resources, data adding up to more than twice the file's size (entries that
// share their bytes are copied each; so memory stays within a few times the file's size).
std::vector<resource_entry> read_resources(std::istream& in, const pe_headers& headers, const std::string& what);

// A resource section for `entries` placed at virtual address `rva`: the three directory levels
// sorted by number, the data entries, then each resource's data at an 8-byte boundary. No time
// stamp or version is recorded, so the same entries give the same bytes. Throws image_error on two
// entries with the same type, name and language.
std::string write_resource_section(std::vector<resource_entry> entries, std::uint32_t rva);

// The entries of `resources` with `type` (and `name` unless it is 0).
std::vector<const resource_entry*> find_resources(const std::vector<resource_entry>& resources, std::uint32_t type,
                                                  std::uint32_t name = 0);

}  // namespace tavrin

#endif
