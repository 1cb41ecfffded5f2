// The entry DLL's check: a PE32+ DLL for x86-64 whose export name table holds run_code.
#include "packer/image/entry_dll.h"

#include <fstream>

#include "packer/base/errors.h"
#include "packer/image/pe_image.h"

namespace tavrin {

void check_entry_dll(const std::filesystem::path& file, const std::string& name)
{
    std::ifstream in(file, std::ios::binary);
    if (!in) throw entry_error("entry '" + name + "': cannot open '" + file.u8string() + "'");
    check_entry_dll(in, name);
}

void check_entry_dll(std::istream& in, const std::string& name)
{
    std::string what = "entry '" + name + "'";
    try {
        pe_headers headers = read_pe_headers(in, what);
        if (!headers.is_dll()) throw entry_error(what + ": not a DLL");
        if (!exports_name(in, headers, what, entry_point_name)) throw entry_error(what + ": does not export " + entry_point_name);
    } catch (const image_error& error) {
        throw entry_error(error.what());
    }
}

}  // namespace tavrin
