// The resource directory tree read with bounds checks, and written in a stable layout.
#include "packer/image/resource_section.h"

#include <algorithm>
#include <tuple>

#include "packer/base/helpers.h"

namespace tavrin {
namespace {

constexpr std::uint32_t directory_header_size = 16;
constexpr std::uint32_t directory_entry_size = 8;
constexpr std::uint32_t data_entry_size = 16;
constexpr std::uint32_t subdirectory_flag = 0x80000000u;
constexpr std::uint32_t text_name_flag = 0x80000000u;
constexpr std::size_t resource_count_max = 65536;
constexpr std::uint32_t data_alignment = 8;
// The resources' data read may add up to this many times the file's size. Each resource has bytes of
// its own in every image a linker or a resource editor writes, so their sum stays below the file's
// size; entries that point at the same bytes (which Windows allows) may take as much again. Beyond
// that, a small section of shared tables could make 65,536 copies of the file.
constexpr std::uint64_t data_read_max_per_file_byte = 2;

std::uint32_t align_to(std::uint32_t value, std::uint32_t alignment) { return (value + alignment - 1) / alignment * alignment; }

// Walks the tree inside `tree` (the directory's bytes from its start to the end of its section).
class tree_reader {
public:
    tree_reader(std::istream& in, const pe_headers& headers, const std::string& tree, const std::string& what)
        : in_(in), headers_(headers), tree_(tree), what_(what), data_left_(headers.file_size * data_read_max_per_file_byte)
    {
    }

    void table(std::uint32_t offset, int depth, std::uint32_t ids[3])
    {
        need(offset, directory_header_size, "a directory table");
        std::uint32_t count = get(offset + 12, 2) + get(offset + 14, 2);
        need(offset + directory_header_size, std::uint64_t{count} * directory_entry_size, "a directory table's entries");
        for (std::uint32_t i = 0; i < count; ++i) {
            std::uint32_t at = offset + directory_header_size + i * directory_entry_size;
            // Tables may be shared, so a small directory can stand for a huge tree: bounded here.
            if (++visited_ > resource_count_max * 4) fail("more than 65,536 resources");
            std::uint32_t name = get(at, 4), target = get(at + 4, 4);
            if (name & text_name_flag) fail("a resource named by text, which the packer does not keep");
            ids[depth] = name;
            bool subdirectory = (target & subdirectory_flag) != 0;
            if (subdirectory != (depth < 2)) fail("the tree is not three levels deep (type, name, language)");
            if (subdirectory)
                table(target & ~subdirectory_flag, depth + 1, ids);
            else
                data(target, ids);
        }
    }

    std::vector<resource_entry> entries;

private:
    void data(std::uint32_t offset, const std::uint32_t ids[3])
    {
        need(offset, data_entry_size, "a data entry");
        if (entries.size() >= resource_count_max) fail("more than 65,536 resources");
        std::uint32_t rva = get(offset, 4), size = get(offset + 4, 4);
        auto file_offset = headers_.file_offset(rva, size);
        if (!file_offset) fail("the data of resource " + std::to_string(ids[0]) + "/" + std::to_string(ids[1]) + " lies outside the file");
        if (size > data_left_)
            fail("the resources' data adds up to more than " + std::to_string(data_read_max_per_file_byte) +
                 " times the file's size: entries share their bytes");
        data_left_ -= size;
        resource_entry entry{ids[0], ids[1], ids[2], std::string(size, '\0')};
        in_.clear();
        in_.seekg(static_cast<std::streamoff>(*file_offset));
        in_.read(entry.data.data(), static_cast<std::streamsize>(size));
        if (static_cast<std::uint32_t>(in_.gcount()) != size) fail("cannot read a resource's data");
        entries.push_back(std::move(entry));
    }

    void need(std::uint64_t offset, std::uint64_t size, const std::string& what)
    {
        if (offset + size > tree_.size()) fail(what + " lies outside the resource section");
    }
    std::uint32_t get(std::uint32_t offset, int count) { return static_cast<std::uint32_t>(read_little_endian(tree_, offset, count)); }
    [[noreturn]] void fail(const std::string& problem) { throw image_error(what_ + ": damaged resources (" + problem + ")"); }

    std::istream& in_;
    const pe_headers& headers_;
    const std::string& tree_;
    const std::string& what_;
    std::size_t visited_ = 0;
    std::uint64_t data_left_;  // bytes of data that may still be read
};

std::string directory_header(std::size_t count)
{
    return std::string(12, '\0') + little_endian_bytes(0, 2) + little_endian_bytes(count, 2);
}

}  // namespace

std::vector<resource_entry> read_resources(std::istream& in, const pe_headers& headers, const std::string& what)
{
    const pe_section* section = find_resource_section(headers);
    if (!section) {
        if (headers.directories.size() > pe_resource_directory && headers.directories[pe_resource_directory].address != 0)
            throw image_error(what + ": damaged resources (the resource directory lies in no section)");
        return {};
    }
    std::uint32_t rva = headers.directories[pe_resource_directory].address;
    std::uint32_t available = section->virtual_address + std::min(section->virtual_size != 0 ? section->virtual_size : section->raw_size,
                                                                  section->raw_size) - rva;
    if (rva >= section->virtual_address + section->raw_size) throw image_error(what + ": damaged resources (the directory has no data in the file)");
    std::string tree(available, '\0');
    in.clear();
    in.seekg(static_cast<std::streamoff>(std::uint64_t{section->raw_offset} + (rva - section->virtual_address)));
    in.read(tree.data(), static_cast<std::streamsize>(available));
    if (static_cast<std::uint32_t>(in.gcount()) != available) throw image_error(what + ": cannot read the resources");
    tree_reader reader(in, headers, tree, what);
    std::uint32_t ids[3] = {0, 0, 0};
    reader.table(0, 0, ids);
    return std::move(reader.entries);
}

std::string write_resource_section(std::vector<resource_entry> entries, std::uint32_t rva)
{
    auto key = [](const resource_entry& e) { return std::make_tuple(e.type, e.name, e.language); };
    std::sort(entries.begin(), entries.end(), [&](const resource_entry& a, const resource_entry& b) { return key(a) < key(b); });
    for (std::size_t i = 1; i < entries.size(); ++i)
        if (key(entries[i - 1]) == key(entries[i]))
            throw image_error("two resources of type " + std::to_string(entries[i].type) + " with name " +
                              std::to_string(entries[i].name) + " and language " + std::to_string(entries[i].language));

    // Group boundaries: [type_begin[t], type_begin[t+1]) and, inside, one name group per distinct name.
    std::vector<std::size_t> type_starts, name_starts;
    for (std::size_t i = 0; i < entries.size(); ++i) {
        if (i == 0 || entries[i].type != entries[i - 1].type) type_starts.push_back(i);
        if (i == 0 || entries[i].type != entries[i - 1].type || entries[i].name != entries[i - 1].name) name_starts.push_back(i);
    }
    auto table_size = [](std::size_t count) { return static_cast<std::uint32_t>(directory_header_size + count * directory_entry_size); };
    std::uint32_t offset = table_size(type_starts.size());
    std::vector<std::uint32_t> type_table(type_starts.size()), name_table(name_starts.size());
    for (std::size_t t = 0; t < type_starts.size(); ++t) {
        type_table[t] = offset;
        std::size_t end = t + 1 < type_starts.size() ? type_starts[t + 1] : entries.size();
        offset += table_size(static_cast<std::size_t>(std::count_if(name_starts.begin(), name_starts.end(),
                                                                    [&](std::size_t n) { return n >= type_starts[t] && n < end; })));
    }
    for (std::size_t n = 0; n < name_starts.size(); ++n) {
        name_table[n] = offset;
        std::size_t end = n + 1 < name_starts.size() ? name_starts[n + 1] : entries.size();
        offset += table_size(end - name_starts[n]);
    }
    const std::uint32_t data_entries = offset;
    std::uint32_t data_at = align_to(data_entries + static_cast<std::uint32_t>(entries.size()) * data_entry_size, data_alignment);

    std::string out;
    auto entry = [&](std::uint32_t id, std::uint32_t target) { out += little_endian_bytes(id, 4) + little_endian_bytes(target, 4); };
    out += directory_header(type_starts.size());
    for (std::size_t t = 0; t < type_starts.size(); ++t) entry(entries[type_starts[t]].type, type_table[t] | subdirectory_flag);
    for (std::size_t t = 0; t < type_starts.size(); ++t) {
        std::size_t end = t + 1 < type_starts.size() ? type_starts[t + 1] : entries.size();
        std::vector<std::size_t> names;
        for (std::size_t n = 0; n < name_starts.size(); ++n)
            if (name_starts[n] >= type_starts[t] && name_starts[n] < end) names.push_back(n);
        out += directory_header(names.size());
        for (std::size_t n : names) entry(entries[name_starts[n]].name, name_table[n] | subdirectory_flag);
    }
    for (std::size_t n = 0; n < name_starts.size(); ++n) {
        std::size_t end = n + 1 < name_starts.size() ? name_starts[n + 1] : entries.size();
        out += directory_header(end - name_starts[n]);
        for (std::size_t i = name_starts[n]; i < end; ++i)
            entry(entries[i].language, data_entries + static_cast<std::uint32_t>(i) * data_entry_size);
    }
    std::string data;
    for (const auto& resource : entries) {
        std::uint32_t at = data_at + static_cast<std::uint32_t>(data.size());
        out += little_endian_bytes(std::uint64_t{rva} + at, 4) + little_endian_bytes(resource.data.size(), 4) + std::string(8, '\0');
        data += resource.data;
        data.resize(align_to(static_cast<std::uint32_t>(data.size()), data_alignment), '\0');
    }
    out.resize(data_at, '\0');
    return out + data;
}

std::vector<const resource_entry*> find_resources(const std::vector<resource_entry>& resources, std::uint32_t type, std::uint32_t name)
{
    std::vector<const resource_entry*> found;
    for (const auto& resource : resources)
        if (resource.type == type && (name == 0 || resource.name == name)) found.push_back(&resource);
    return found;
}

}  // namespace tavrin
