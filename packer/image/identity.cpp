// The package's resources made from the identity options, and the identity read back and checked.
#include "packer/image/identity.h"

#include <algorithm>
#include <fstream>
#include <map>

#include "packer/base/errors.h"
#include "packer/base/file_places.h"
#include "packer/base/helpers.h"
#include "packer/image/pe_image.h"
#include "format/placeholders.h"
#include "resources/version_strings.h"

namespace tavrin {
namespace {

constexpr const char* level_names[] = {"asInvoker", "highestAvailable", "requireAdministrator"};

// Where the level attribute's value lies in `manifest`: [first, last).
std::optional<std::pair<std::size_t, std::size_t>> level_value(const std::string& manifest)
{
    std::size_t element = manifest.find("requestedExecutionLevel");
    if (element == std::string::npos) return std::nullopt;
    std::size_t close = manifest.find('>', element);
    std::size_t attribute = manifest.find(" level=\"", element);
    if (attribute == std::string::npos || attribute > close) return std::nullopt;
    std::size_t first = attribute + 8, last = manifest.find('"', first);
    if (last == std::string::npos || last > close) return std::nullopt;
    return std::make_pair(first, last);
}

}  // namespace

const char* execution_level_name(execution_level level) { return level_names[static_cast<int>(level)]; }

std::optional<execution_level> parse_execution_level(const std::string& text)
{
    for (int i = 0; i < 3; ++i)
        if (text == level_names[i]) return static_cast<execution_level>(i);
    return std::nullopt;
}

std::string with_execution_level(const std::string& manifest, execution_level level)
{
    auto value = level_value(manifest);
    if (!value) throw pack_error("the launcher's manifest has no requestedExecutionLevel element with a level");
    return manifest.substr(0, value->first) + execution_level_name(level) + manifest.substr(value->second);
}

std::optional<std::string> requested_execution_level(const std::string& manifest)
{
    const std::size_t element = manifest.find("requestedExecutionLevel");
    if (element == std::string::npos) return std::nullopt;
    const std::size_t close = std::min(manifest.find('>', element), manifest.size());
    auto space = [](char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; };
    for (std::size_t at = manifest.find("level", element); at < close; at = manifest.find("level", at + 1)) {
        // An attribute of its own: after white space, then '=' and a quoted value.
        if (!space(manifest[at - 1])) continue;
        std::size_t next = at + 5;
        while (next < close && space(manifest[next])) ++next;
        if (next >= close || manifest[next] != '=') continue;
        ++next;
        while (next < close && space(manifest[next])) ++next;
        if (next >= close || (manifest[next] != '"' && manifest[next] != '\'')) continue;
        const std::size_t last = manifest.find(manifest[next], next + 1);
        if (last == std::string::npos || last > close) return std::nullopt;
        return manifest.substr(next + 1, last - next - 1);
    }
    return std::nullopt;
}

program_identity read_program_identity(std::istream& in, const std::string& what, bool with_icons)
{
    const pe_headers headers = read_program_headers(in, what);
    program_identity program;
    program.subsystem = headers.subsystem;
    std::vector<resource_entry> resources;
    try {
        resources = read_resources(in, headers, what);
    } catch (const image_error& error) {
        program.warnings.push_back(std::string(error.what()) + ": the package takes neither its icon nor its version block");
        return program;
    }
    if (auto versions = find_resources(resources, rt_version); !versions.empty()) {
        try {
            program.version = read_version_block(versions.front()->data);
        } catch (const pack_error& error) {
            program.warnings.push_back(what + ": " + error.what() + "; the package does not take it");
        }
    }
    if (auto manifests = find_resources(resources, rt_manifest); !manifests.empty()) {
        // The loader reads manifest 1 of a program (CREATEPROCESS_MANIFEST_RESOURCE_ID).
        auto first = std::find_if(manifests.begin(), manifests.end(), [](const resource_entry* m) { return m->name == 1; });
        const std::string& manifest = (first != manifests.end() ? *first : manifests.front())->data;
        if (std::optional<std::string> text = requested_execution_level(manifest)) {
            program.level = parse_execution_level(*text);
            if (!program.level)
                program.warnings.push_back(what + ": its manifest asks for the execution level '" + *text +
                                           "', which is none of asInvoker, highestAvailable and requireAdministrator; the "
                                           "package does not take it");
        }
    }
    auto groups = find_resources(resources, rt_group_icon);
    if (groups.empty() || !with_icons) return program;
    std::map<std::uint32_t, const std::string*> icons;
    for (const auto* icon : find_resources(resources, rt_icon)) icons.emplace(icon->name, &icon->data);
    std::vector<icon_group_entry> entries;
    try {
        entries = read_icon_group(groups.front()->data);
        for (const auto& entry : entries)
            if (icons.count(entry.id) == 0 || entry.id == 0)
                throw pack_error("its icon group names icon " + std::to_string(entry.id) + ", which the image does not hold");
    } catch (const pack_error& error) {
        program.warnings.push_back(what + ": " + error.what() + "; the package does not take its icon");
        return program;
    }
    // Taken, the icon is held to the rules of an --icon file: what the group lists costs memory and
    // output as such a file would, however often it names one image.
    try {
        program.icons = icon_group_images(entries, icons, "the icon group of " + what);
    } catch (const pack_error& error) {
        throw pack_error(std::string(error.what()) + "; give the package its icon with --icon");
    }
    return program;
}

identity_base make_identity_base(const std::string& output_name, const program_identity* program)
{
    identity_base base;
    base.version = neutral_version_identity(output_name);
    base.subsystem = pe_subsystem_windows;
    base.source = "made of the output's name";
    base.level_source = "the default";
    if (!program) return base;
    base.subsystem = program->subsystem;
    base.icons = program->icons;
    if (program->level) {
        base.level = *program->level;
        base.level_source = "the program's manifest";
    }
    if (program->version) {
        base.version = version_identity_of(*program->version, base.version);
        base.source = "the program's own";
    }
    return base;
}

std::pair<execution_level, std::string> resolved_execution_level(const identity_options& options, const identity_base& base)
{
    if (options.level) return {*options.level, "--manifest-level"};
    return {base.level, base.level_source};
}

version_identity resolved_version_identity(const identity_options& options, const version_identity& base)
{
    version_identity identity = base;
    auto take = [](std::string& field, const std::optional<std::string>& given) {
        if (given) field = *given;
    };
    take(identity.company, options.company);
    take(identity.product, options.product);
    take(identity.description, options.description);
    // Without a description of its own (given, or the program's), the package describes itself by
    // its product, whichever gave that.
    if (identity.description.empty() && !options.description) identity.description = identity.product;
    take(identity.copyright, options.copyright);
    if (options.original_filename) {
        identity.original_filename = *options.original_filename;
        identity.internal_name.clear();
    }
    if (options.version) {
        identity.version = identity.product_version = *options.version;
        identity.file_version_text.clear();
        identity.product_version_text.clear();
    }
    return identity;
}

std::vector<known_value> version_placeholder_values(const identity_options& options, const version_identity& identity,
                                                    const std::string& base_source)
{
    std::vector<known_value> values;
    for (const placeholder_info& placeholder : placeholders) {
        if (placeholder.source != from_version_block) continue;
        const std::string key = placeholder.version_key;
        const bool company = key == "CompanyName", product = key == "ProductName", file = key == "FileVersion";
        const std::string version = file ? identity.file_version_text : identity.product_version_text;
        const std::string text = company   ? identity.company
                                 : product ? identity.product
                                 : !version.empty() ? version
                                                    : version_text(file ? identity.version : identity.product_version);
        const bool given = company ? options.company.has_value() : product ? options.product.has_value() : options.version.has_value();
        const std::string option = company ? "--company" : product ? "--product" : "--app-version";
        values.push_back({placeholder.name, from_utf8(text),
                          given ? option : "the default " + key + " (" + base_source + "; no " + option + " given)"});
    }
    return values;
}

std::vector<resource_entry> package_resources(const std::vector<resource_entry>& launcher, const identity_options& options,
                                              const std::vector<icon_image>& given_icons, const identity_base& base)
{
    const version_identity identity = resolved_version_identity(options, base.version);
    const std::vector<icon_image>& icons = given_icons.empty() ? base.icons : given_icons;
    const execution_level level = resolved_execution_level(options, base).first;
    std::vector<resource_entry> resources;
    bool manifest = false;
    for (const auto& resource : launcher) {
        if (resource.type == rt_version) continue;
        if (!icons.empty() && (resource.type == rt_icon || resource.type == rt_group_icon)) continue;
        resources.push_back(resource);
        if (resource.type == rt_manifest) {
            resources.back().data = with_execution_level(resource.data, level);
            manifest = true;
        }
    }
    if (!manifest && level != execution_level::as_invoker)
        throw pack_error("the launcher image has no manifest to set the execution level in");
    if (!icons.empty())
        for (auto& icon : icon_resources(icons)) resources.push_back(std::move(icon));
    resources.push_back({rt_version, 1, 0, write_version_block(identity)});
    return resources;
}

package_identity read_package_identity(const std::filesystem::path& file)
{
    const std::string what = "'" + file.u8string() + "'";
    check_package_place(file);
    std::ifstream in(file, std::ios::binary);
    if (!in) throw pack_error("cannot open " + what + " for reading");
    return read_package_identity(in, what);
}

package_identity read_package_identity(std::istream& in, const std::string& what)
{
    pe_headers headers = read_pe_headers(in, what);
    package_identity identity;
    identity.subsystem = headers.subsystem;
    std::vector<resource_entry> resources;
    try {
        resources = read_resources(in, headers, what);
    } catch (const image_error& error) {
        identity.problems.push_back(error.what());
        identity.unreadable = true;
        return identity;
    }
    if (resources.empty()) return identity;

    auto versions = find_resources(resources, rt_version);
    if (versions.size() != 1) {
        identity.problems.push_back(std::to_string(versions.size()) + " version blocks, not one");
    } else {
        try {
            identity.version = read_version_block(versions.front()->data);
        } catch (const pack_error& error) {
            identity.problems.push_back(error.what());
        }
    }
    auto manifests = find_resources(resources, rt_manifest);
    if (manifests.empty()) {
        identity.problems.push_back("no manifest");
    } else if (auto value = level_value(manifests.front()->data)) {
        identity.level = manifests.front()->data.substr(value->first, value->second - value->first);
    } else {
        identity.problems.push_back("the manifest has no requestedExecutionLevel element with a level");
    }

    // Groups may list as many entries as their bytes hold: icons are looked up by id once, and only
    // the first few faults are described, so that neither time nor the report grows with a
    // product of counts.
    std::map<std::uint32_t, const resource_entry*> icons;
    for (const auto* icon : find_resources(resources, rt_icon)) icons.emplace(icon->name, icon);
    constexpr std::size_t icon_problems_shown = 8;
    std::size_t icon_problems = 0;
    auto icon_problem = [&](const std::string& text) {
        if (++icon_problems <= icon_problems_shown) identity.problems.push_back(text);
    };
    for (const auto* group : find_resources(resources, rt_group_icon)) {
        std::vector<icon_group_entry> entries;
        try {
            entries = read_icon_group(group->data);
        } catch (const pack_error& error) {
            icon_problem(error.what());
            continue;
        }
        for (const auto& entry : entries) {
            auto icon = icons.find(entry.id);
            if (icon == icons.end() || entry.id == 0)
                icon_problem("icon group " + std::to_string(group->name) + " names icon " + std::to_string(entry.id) +
                             ", which the image does not hold");
            else if (icon->second->data.size() != entry.size)
                icon_problem("icon group " + std::to_string(group->name) + " gives icon " + std::to_string(entry.id) + " " +
                             std::to_string(entry.size) + " bytes; it has " + std::to_string(icon->second->data.size()));
        }
        if (group->name == 1) identity.icons = entries;
    }
    if (icon_problems > icon_problems_shown)
        identity.problems.push_back("... and " + std::to_string(icon_problems - icon_problems_shown) + " more faults of icon groups");
    return identity;
}

std::string describe_subsystem(std::uint16_t subsystem)
{
    if (subsystem == pe_subsystem_windows) return "windowed (subsystem 2)";
    if (subsystem == pe_subsystem_console) return "console (subsystem 3)";
    return "subsystem " + std::to_string(subsystem);
}

}  // namespace tavrin
