// The application's identity in its package: console or windowed subsystem, icon, version block and
// the manifest's execution level, made into the package's resources and read back from a package.
#ifndef TAVRIN_PACKER_IDENTITY_H
#define TAVRIN_PACKER_IDENTITY_H

#include <cstdint>
#include <filesystem>
#include <istream>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "packer/image/icons.h"
#include "packer/image/resource_section.h"
#include "packer/image/version_block.h"

namespace tavrin {

// The manifest's requestedExecutionLevel.
enum class execution_level { as_invoker, highest_available, require_administrator };
const char* execution_level_name(execution_level level);  // "asInvoker", ...
// The level named `text` exactly as the manifest spells it, or nothing.
std::optional<execution_level> parse_execution_level(const std::string& text);

// What the packer sets; an empty value keeps the package's default (identity_base).
struct identity_options {
    std::optional<bool> console;                  // subsystem 3 (true) or 2 (false); none: the default's
    std::vector<std::filesystem::path> icons;     // .ico or .png files; none: the default's
    std::optional<std::string> company, product, description, copyright, original_filename;
    std::optional<version_numbers> version;
    std::optional<execution_level> level;         // none: the default's (identity_base)
};

// What a program entry brings to its package's identity: its subsystem, its version block, the
// images of its first icon group (as Explorer shows it) and its manifest's execution level, each
// where it has one.
struct program_identity {
    std::uint16_t subsystem = 0;
    std::optional<version_contents> version;
    std::vector<icon_image> icons;
    std::optional<execution_level> level;
    std::vector<std::string> warnings;  // resources that could not be read, and so are not taken
};
// Reads the program's resources (read_resources), `what` naming it in messages; the program may be
// an AnyCPU .NET image (read_program_headers). A resource tree that cannot be read, a version block
// that does not parse, an icon group that names icons the image lacks, or a manifest whose
// requestedExecutionLevel names no level draws a warning and is not taken. The icon group is read
// only `with_icons`; its images are then held to an icon file's rules (icon_group_images), and one
// that breaks them throws pack_error with a pointer to --icon. Throws image_error when the headers
// cannot be read.
program_identity read_program_identity(std::istream& in, const std::string& what, bool with_icons = true);

// The requestedExecutionLevel that `manifest` (a manifest's XML text) asks for: its level
// attribute's value, in double or single quotes. Nothing when it has no such element or attribute.
std::optional<std::string> requested_execution_level(const std::string& manifest);

// What a package's identity is where no option gives a field: the program entry's own (`program`,
// when the entry is one) field by field, else neutral values made from the output's file name
// (neutral_version_identity): no word of the launcher's.
struct identity_base {
    version_identity version;
    std::vector<icon_image> icons;  // none: the launcher's icons
    std::uint16_t subsystem = 0;    // the program's; windowed (2) for a DLL entry
    std::string source;             // where the texts come from, for messages
    execution_level level = execution_level::as_invoker;  // the program's manifest's, else asInvoker
    std::string level_source;       // where the level comes from, for the summary
};

// The execution level a package of `options` over `base` gets, and where it comes from:
// "--manifest-level", "the program's manifest", "the default".
std::pair<execution_level, std::string> resolved_execution_level(const identity_options& options, const identity_base& base);
identity_base make_identity_base(const std::string& output_name, const program_identity* program);

// What the package's version block says for `options`: each text or number given, `base`'s for each
// one not given (--app-version sets file and product version alike, --original-filename the internal
// name with it); without --description and a description in `base`, the product's text.
version_identity resolved_version_identity(const identity_options& options, const version_identity& base);

// A placeholder's value that is known when packing (the texts of the version block the output will
// carry) and where it comes from, for messages ("--company", "the default company (no --company)").
struct known_value {
    std::string placeholder;  // upper case, without braces: "COMPANY"
    std::u16string text;
    std::string source;
};

// The values that the version-text placeholders ({COMPANY}, {PRODUCT}, {VERSION}, {FILE_VERSION},
// {PRODUCT_VERSION}) take in a package of `identity`, each with its source: the option of `options`
// that gave it, or the default (`base_source`, identity_base::source) when that option was not given.
std::vector<known_value> version_placeholder_values(const identity_options& options, const version_identity& identity,
                                                    const std::string& base_source);

// `manifest` with the level attribute of its requestedExecutionLevel element replaced. Throws
// pack_error when there is no such element with a level.
std::string with_execution_level(const std::string& manifest, execution_level level);

// The package's resources: the launcher's (`launcher`), its icons replaced by `icons` when there
// are any (else by the base's), its version block written anew from `options` over `base`, and its
// manifest's level set (resolved_execution_level): the manifest stays the launcher's, also for a
// program entry, whose level it takes unless `options` gives one. Resources of
// other kinds stay as they are. Throws pack_error (a text the version block cannot hold, a level for
// a launcher without manifest).
std::vector<resource_entry> package_resources(const std::vector<resource_entry>& launcher, const identity_options& options,
                                              const std::vector<icon_image>& icons, const identity_base& base);

// The identity a package shows, read back from its image.
struct package_identity {
    std::uint16_t subsystem = 0;
    std::optional<version_contents> version;
    std::optional<std::string> level;              // of the manifest, when it has one
    std::vector<icon_group_entry> icons;           // of icon group 1
    std::vector<std::string> problems;             // what makes the resources unsound; empty: sound
    bool unreadable = false;                       // the resource tree itself is damaged: nothing else was read
};
// Reads the image `file`'s resources and checks them: the directory tree inside its section, one
// version block that parses, every icon group entry naming an icon of its size, a manifest with an
// execution level. An image without any resources has no identity and no problems. Memory stays
// within a few times the file's size (read_resources). Throws pack_error when the file cannot be
// read or is not a PE32+ image (not_a_package_error when it is no file to read, check_package_place).
package_identity read_package_identity(const std::filesystem::path& file);
// The same for the image in `in` (seeked as needed), named `what` in messages.
package_identity read_package_identity(std::istream& in, const std::string& what);

// "windowed (subsystem 2)" or "console (subsystem 3)", else "subsystem N".
std::string describe_subsystem(std::uint16_t subsystem);

}  // namespace tavrin

#endif
