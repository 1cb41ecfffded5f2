// The launcher image's settings record as the packer sees it: found by its header (the mark of a
// launcher image), filled in for the output, read back by list and verify.
#ifndef TAVRIN_PACKER_LAUNCH_SETTINGS_H
#define TAVRIN_PACKER_LAUNCH_SETTINGS_H

#include <cstdint>
#include <istream>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "packer/base/errors.h"
#include "packer/image/identity.h"
#include "packer/image/pe_image.h"
#include "format/placeholders.h"
#include "format/settings_record.h"

namespace tavrin {

// The launcher's spec when the record holds none (temporary mode), and the spec of a package in
// cached mode when none is given; the launcher adds the archive identity below the latter.
inline constexpr char16_t builtin_unpack_spec[] = u"" TAVRIN_BUILTIN_UNPACK_SPEC;
inline constexpr char16_t cached_unpack_spec[] = u"" TAVRIN_CACHED_UNPACK_SPEC;
// The cached spec of a package without a company: no empty component where {COMPANY} would stand.
inline constexpr char16_t cached_unpack_spec_without_company[] = u"{CACHE_DIR}\\{PRODUCT}\\{VERSION}";
// The spec a package in cached mode gets when none is given: one per product (and company) and version.
inline std::u16string default_cached_spec(const std::string& company)
{
    return company.empty() ? cached_unpack_spec_without_company : cached_unpack_spec;
}

// Groups of the placeholders of format/placeholders.h, as the messages and the help name them.
enum class placeholder_group {
    all,              // every placeholder, in the table's order
    roots,            // those that name a fully qualified folder, in the table's order
    per_run,          // those that differ from run to run: {RANDOM} first, the one to prefer
    from_argument_0,  // {PROGRAM} and its kin, in the table's order
    version_texts,    // those taken from the version block, in the table's order
    counted_apart     // those with an allowance of their own (not a path's or a version text's), in
                      // the order the texts count them
};

// The placeholders of `group`, in that group's order.
std::vector<placeholder_id> placeholder_group_ids(placeholder_group group);

// The placeholders of `group` in braces, "{TEMP}, {HOME}", each pair separated by `separator` but the
// last by `last_separator`.
std::string placeholder_names(placeholder_group group, const std::string& separator = ", ",
                              const std::string& last_separator = ", ");

// A directory spec that cannot be used; what() says why.
class spec_error : public pack_error {
public:
    using pack_error::pack_error;
};

// Throws spec_error unless `spec` is one the launcher expands into a usable directory: at most 511
// UTF-16 code units; braces balanced (no '{' inside a placeholder, no '}' without its '{'); only
// the placeholders of format/placeholders.h, in any ASCII case; absolute, starting with a root
// placeholder ({TEMP}, {HOME}, {CACHE_DIR}, {EXE_DIR}), a drive "X:\" or "\\server\share", no root
// placeholder below the root; backslashes as separators, and each component below the root one
// name Windows keeps as it is by the rule the launcher shares (component_name_fault: not empty, "."
// or "..", no character names cannot hold, no trailing dot or space, no device name such as CON or
// nul.txt), each placeholder counted as a plain character. In temporary mode (`cached` false) it
// must hold a per-run placeholder ({RANDOM}, {PID}, {TIME}, {TIME_US}), without which concurrent
// runs would share one directory; in cached mode it must hold none, since the cache would then
// never be found again.
void check_unpack_spec(const std::u16string& spec, bool cached);

// Warnings, one line each, about a spec that check_unpack_spec accepts: in temporary mode one
// without {RANDOM}, whose few names anyone can create beforehand to make every run fail; one with
// {PROGRAM}, {PROGRAM_BASE} or {PROGRAM_DIR}, whose run stops when argument 0 is a full path.
std::vector<std::string> unpack_spec_warnings(const std::u16string& spec, bool cached);

struct launch_settings {
    bool cached = false;            // keep and reuse the unpack directory
    std::u16string unpack_spec;     // empty: the launcher's built-in spec
    std::string archive_identity;   // ASCII hex digits; empty: none
    bool exe_entry = false;         // the entry is a program the launcher starts, not a DLL it loads
    bool no_progress = false;       // a windowed package shows no progress window during a long start
};

// Throws spec_error unless the unpack directory of `settings` (its spec, else its mode's default)
// works with `values` for the files `names`: each value a placeholder of the spec takes must be one
// Windows name (windows_name_problem), and the expansion, a backslash and the longest of `names`
// must fit the launcher's path buffer (wide_path_capacity with its terminator; in cached mode with
// "\<identity>" and the sibling's ".tmp-<pid>-<token>" as well), the other placeholders counted at
// their allowance in format/placeholders.h (260 units for a folder or argument 0, 10 {PID}, ...).
// The message names the values' sources, or --unpack-dir.
void check_unpack_directory(const launch_settings& settings, const std::vector<known_value>& values,
                            const std::vector<std::u16string>& names);

// The file offset of the settings record in the image whose headers are `headers`: the one place
// in a section's raw data where its magic and size stand together. Throws image_error naming
// `what` when there is none ("not a launcher image") or more than one.
std::uint64_t find_launch_settings(std::istream& image, const pe_headers& headers, const std::string& what);

// The record's launch_settings_size bytes for `settings`, flagged as written by the packer. Throws
// pack_error when the spec or the identity does not fit in its field.
std::string launch_settings_bytes(const launch_settings& settings);

// Writes the record for `settings` at `offset` (found in the launcher image) into the packed image
// `image`, read and written in place: in cached mode without an identity given, with the identity
// of the image's attached data (archive_identity). Throws pack_error.
void write_launch_settings(std::iostream& image, std::uint64_t offset, launch_settings settings);

// Values of placeholders that a package's own image gives at run time, by upper-case name
// ("COMPANY", "PRODUCT", "VERSION", ...).
using image_values = std::vector<std::pair<std::string, std::u16string>>;

// Where a package with `settings` keeps its files in cached mode: its spec, a backslash and its
// archive identity. The placeholders `values` names take those values; on Windows {TEMP}, {HOME}
// and {CACHE_DIR} are resolved as the launcher resolves them for the user running this; every
// other placeholder (elsewhere those three too) stays as written: {EXE_DIR} always, since where the
// package will stand is not known here.
std::u16string cache_directory(const launch_settings& settings, const image_values& values = {});

// One line for list: where the package unpacks and in which mode, and "no progress window" when
// the progress window is turned off.
std::string unpack_settings_line(const launch_settings& settings);

// The settings of the record at `offset`, or nothing when its fields are malformed (a field
// without its terminator). An image the packer never filled reads as the defaults.
std::optional<launch_settings> read_launch_settings(std::istream& image, std::uint64_t offset);

}  // namespace tavrin

#endif
