// The entry DLL: the image that the launcher loads first and whose run_code it calls; what makes
// an image fit to be it.
#ifndef TAVRIN_PACKER_ENTRY_DLL_H
#define TAVRIN_PACKER_ENTRY_DLL_H

#include <filesystem>
#include <istream>
#include <string>

#include "include/tavrin/onefile.h"

namespace tavrin {

// The export that the launcher calls in the entry DLL.
inline constexpr const char entry_point_name[] = TAVRIN_RUN_CODE_NAME;

// Throws entry_error unless `file` is an x86-64 PE32+ DLL that exports run_code. `name` is how
// messages call it.
void check_entry_dll(const std::filesystem::path& file, const std::string& name);
void check_entry_dll(std::istream& image, const std::string& name);

}  // namespace tavrin

#endif
