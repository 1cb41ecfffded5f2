// The entry: the image that the launcher loads first and whose run_code it calls (a DLL), or the
// program that it starts in place of its second instance; what makes an image fit to be either.
#ifndef TAVRIN_PACKER_ENTRY_DLL_H
#define TAVRIN_PACKER_ENTRY_DLL_H

#include <cstdint>
#include <filesystem>
#include <istream>
#include <string>

#include "include/tavrin/onefile.h"

namespace tavrin {

// The export that the launcher calls in the entry DLL.
inline constexpr const char entry_point_name[] = TAVRIN_RUN_CODE_NAME;

// What an entry is: a DLL exporting run_code, or a program of a subsystem (2 windowed, 3 console).
struct entry_kind {
    bool program = false;
    std::uint16_t subsystem = 0;  // a program's; 0 for a DLL
    bool any_cpu = false;         // a program that is an IL-only AnyCPU .NET image (read_program_headers)
};

// Throws entry_error unless `file` is an x86-64 PE32+ DLL that exports run_code. `name` is how
// messages call it. Where it exports only names that hold run_code (a C++ compiler's decoration,
// such as _Z8run_codeiPPwS_), the message names them and asks for C linkage.
void check_entry_dll(const std::filesystem::path& file, const std::string& name);
void check_entry_dll(std::istream& image, const std::string& name);

// Throws entry_error unless the image is an x86-64 PE32+ executable (not a DLL), or an IL-only
// AnyCPU .NET one that Windows runs as x86-64 (read_program_headers), for the console or the
// windowed subsystem; one for another machine is refused naming it (machine_name). Returns what the
// program is.
entry_kind check_entry_program(const std::filesystem::path& file, const std::string& name);
entry_kind check_entry_program(std::istream& image, const std::string& name);

// "an x86-64 console program", "an x86-64 windowed program", "an x86-64 DLL that exports run_code",
// "an AnyCPU .NET console program (IL only, run as x86-64)".
std::string describe_entry(const entry_kind& kind);

}  // namespace tavrin

#endif
