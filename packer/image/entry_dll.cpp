// The entry's checks: a PE32+ DLL for x86-64 whose export name table holds run_code, or an
// executable that runs as x86-64 (PE32+, or IL-only AnyCPU .NET) of the console or windowed subsystem.
#include "packer/image/entry_dll.h"

#include <fstream>
#include <vector>

#include "packer/base/errors.h"
#include "packer/image/pe_image.h"

namespace tavrin {
namespace {

std::ifstream open_entry(const std::filesystem::path& file, const std::string& name)
{
    std::ifstream in(file, std::ios::binary);
    if (!in) throw entry_error("entry '" + name + "': cannot open '" + file.u8string() + "'");
    return in;
}

}  // namespace

void check_entry_dll(const std::filesystem::path& file, const std::string& name)
{
    std::ifstream in = open_entry(file, name);
    check_entry_dll(in, name);
}

void check_entry_dll(std::istream& in, const std::string& name)
{
    std::string what = "entry '" + name + "'";
    try {
        pe_headers headers = read_pe_headers(in, what);
        if (!headers.is_dll()) throw entry_error(what + ": not a DLL");
        std::vector<std::string> similar;
        if (exports_name(in, headers, what, entry_point_name, &similar)) return;
        std::string message = what + ": does not export " + entry_point_name;
        if (!similar.empty()) {
            message += "; it exports";
            for (std::size_t i = 0; i < similar.size(); ++i) message += (i == 0 ? " '" : ", '") + similar[i] + "'";
            message += std::string(", the name decorated by a C++ compiler: declare the function extern \"C\", or define it "
                                   "with TAVRIN_RUN_CODE from <tavrin/onefile.h>");
        }
        throw entry_error(message);
    } catch (const image_error& error) {
        throw entry_error(error.what());
    }
}

entry_kind check_entry_program(const std::filesystem::path& file, const std::string& name)
{
    std::ifstream in = open_entry(file, name);
    return check_entry_program(in, name);
}

entry_kind check_entry_program(std::istream& in, const std::string& name)
{
    std::string what = "entry '" + name + "'";
    try {
        pe_headers headers = read_program_headers(in, what);
        if (headers.is_dll()) throw entry_error(what + ": a DLL, not a program (an entry named .exe must be a program)");
        if (headers.subsystem != pe_subsystem_console && headers.subsystem != pe_subsystem_windows)
            throw entry_error(what + ": a program for subsystem " + std::to_string(headers.subsystem) +
                              ", neither a console (3) nor a windowed (2) one");
        return {true, headers.subsystem, headers.any_cpu};
    } catch (const image_error& error) {
        throw entry_error(error.what());
    }
}

std::string describe_entry(const entry_kind& kind)
{
    if (!kind.program) return std::string("an x86-64 DLL that exports ") + entry_point_name;
    const char* subsystem = kind.subsystem == pe_subsystem_console ? "console" : "windowed";
    if (kind.any_cpu) return std::string("an AnyCPU .NET ") + subsystem + " program (IL only, run as x86-64)";
    return std::string("an x86-64 ") + subsystem + " program";
}

}  // namespace tavrin
