// Finding, writing and reading the launcher image's settings record.
#include "packer/archive/launch_settings.h"

#ifdef _WIN32
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
#include <shlobj.h>
#endif

#include <algorithm>
#include <iterator>
#include <string_view>
#include <vector>

#include "packer/archive/archive_identity.h"
#include "packer/base/errors.h"
#include "packer/base/helpers.h"
#include "packer/base/names.h"
#include "format/entry_names.h"
#include "format/format.h"
#include "format/placeholders.h"
#include "format/settings_record.h"
#include "resources/version_strings.h"

namespace tavrin {
namespace {

// The record's header: the magic followed by the record's size. Only the launcher's record has
// both; the bare magic also stands in this program's own image, followed by its terminator.
std::string record_header()
{
    return std::string(TAVRIN_LAUNCH_SETTINGS_MAGIC, launch_settings_magic_size) +
           little_endian_bytes(launch_settings_size, 4);
}

}  // namespace

namespace {

// The placeholders counted at an allowance of their own (neither a path's nor a version text's), in
// the order the messages and the help name them, which is not the table's. Checked against the
// table at compile time, so that a row added there cannot be left out here.
constexpr placeholder_id counted_in_text[] = {placeholder_pid, placeholder_random, placeholder_time_us, placeholder_time};

constexpr bool counted_rows_listed()
{
    for (const placeholder_info& row : placeholders) {
        const bool counted_apart = row.allowance != placeholder_path_allowance && row.source != from_version_block;
        bool listed = false;
        for (placeholder_id id : counted_in_text) listed = listed || id == row.id;
        if (counted_apart != listed) return false;
        // The texts count every path allowance as "a folder or {PROGRAM*}".
        if (row.allowance == placeholder_path_allowance && !row.root && row.source != from_argument_0) return false;
    }
    return true;
}
static_assert(counted_rows_listed(), "counted_in_text must name each placeholder counted apart from the paths");
static_assert(placeholder_version_allowance == version_text_capacity - 1, "a version text is counted at its longest");

// What cached mode adds to the spec's expansion: "\" and the 32-digit identity, and the suffix
// ".tmp-<process id>-<token>" of the sibling unpacked into.
constexpr std::size_t cached_suffix_units = 1 + 32 + 5 + 10 + 1 + 11;

bool is_ascii_letter(char16_t unit) { return (unit >= u'a' && unit <= u'z') || (unit >= u'A' && unit <= u'Z'); }

std::string shown_spec(const std::u16string& spec) { return "the unpack directory spec '" + to_utf8(spec) + "'"; }

// One piece of a spec: a run of literal text, or a placeholder of the table.
struct spec_piece {
    bool placeholder = false;
    std::u16string text;                      // as written, braces included
    placeholder_id id = placeholder_unknown;  // the placeholder's row
};

// The pieces of `spec`. Throws spec_error for braces that do not pair and unknown placeholders.
std::vector<spec_piece> spec_pieces(const std::u16string& spec)
{
    const std::string shown = shown_spec(spec);
    std::vector<spec_piece> pieces;
    for (std::size_t at = 0; at < spec.size();) {
        const text_piece piece = next_text_piece(spec.data(), spec.size(), at);
        at += piece.length;
        const std::u16string text = spec.substr(piece.start, piece.length);
        switch (piece.kind) {
        case piece_literal:
            pieces.push_back({false, text, placeholder_unknown});
            break;
        case piece_placeholder: {
            const placeholder_id id = piece_placeholder_id(spec.data(), piece);
            if (id == placeholder_unknown) {
                throw spec_error(shown + " names an unknown placeholder " + to_utf8(text) +
                                 " (known: " + placeholder_names(placeholder_group::all) + ")");
            }
            pieces.push_back({true, text, id});
            break;
        }
        case piece_stray_close:
            throw spec_error(shown + " has a '}' without its '{'");
        case piece_interrupted:
            throw spec_error(shown + " has a '{' inside a placeholder");
        case piece_unclosed:
            throw spec_error(shown + " has a '{' that is never closed");
        }
    }
    return pieces;
}

bool uses_per_run(const std::vector<spec_piece>& pieces)
{
    return std::any_of(pieces.begin(), pieces.end(),
                       [](const spec_piece& piece) { return piece.placeholder && placeholders[piece.id].per_run; });
}

bool starts_with_root(const std::vector<spec_piece>& pieces)
{
    return !pieces.empty() && pieces.front().placeholder && placeholders[pieces.front().id].root;
}

// The length of the spec's root, when it has one of the accepted forms; 0 when not.
std::size_t root_length(const std::u16string& spec, const std::vector<spec_piece>& pieces)
{
    if (spec.size() >= 3 && is_ascii_letter(spec[0]) && spec[1] == u':' && spec[2] == u'\\') return 2;
    if (spec.rfind(u"\\\\", 0) == 0) {
        std::size_t share = spec.find(u'\\', 2);
        if (share == std::u16string::npos || share == 2 || share + 1 == spec.size() || spec[share + 1] == u'\\') return 0;
        std::size_t end = spec.find(u'\\', share + 1);
        return end == std::u16string::npos ? spec.size() : end;
    }
    if (!starts_with_root(pieces)) return 0;
    return pieces.front().text.size();
}

// Refuses a component of the spec below its root (`component`, as written) that Windows could not
// hold as one name whatever its placeholders give: the shared rule on its literal text, each
// placeholder standing in as a plain name character ("nul_{PID}" passes, "{PID}." does not). The
// values themselves are checked where they are known: version texts when packing, the rest by the
// launcher.
void check_spec_component(const std::u16string& component, const std::string& shown)
{
    std::u16string stand_in;
    for (const spec_piece& piece : spec_pieces(component)) {
        if (piece.placeholder && placeholders[piece.id].root)
            throw spec_error(shown + " has " + to_utf8(piece.text) + " below its root: it names a whole folder, drive "
                                     "included, and can only start a spec");
        stand_in += piece.placeholder ? u"x" : piece.text;
    }
    const std::string quoted = "'" + to_utf8(component) + "'";
    switch (component_name_fault(stand_in.data(), stand_in.size())) {
    case name_ok:
        return;
    case name_empty:
    case name_empty_component:
    case name_dot_component:
        throw spec_error(shown + " has an empty, '.' or '..' component");
    case name_colon:
        throw spec_error(shown + " has a ':' after its root");
    case name_trailing_dot_or_space:
        throw spec_error(shown + " has a component " + quoted + " ending in '.' or ' ', which Windows drops");
    case name_reserved_device:
        throw spec_error(shown + " has a component " + quoted + " that Windows takes for a device (CON, PRN, AUX, NUL, "
                                 "COM1, LPT1, ..., alone or before an extension)");
    default:
        throw spec_error(shown + " holds a character that Windows names cannot hold");
    }
}

// "{TEMP}, {HOME}, {CACHE_DIR}, {EXE_DIR} and {PROGRAM*} counted at 260 units, {PID} at 10, ...": what
// a value not known when packing is counted at.
std::string allowances_text()
{
    std::string text = placeholder_names(placeholder_group::roots) + " and {PROGRAM*} counted at " +
                       std::to_string(placeholder_path_allowance) + " units";
    for (placeholder_id id : placeholder_group_ids(placeholder_group::counted_apart))
        text += std::string(", {") + placeholders[id].name + "} at " + std::to_string(placeholders[id].allowance);
    return text;
}

}  // namespace

std::vector<placeholder_id> placeholder_group_ids(placeholder_group group)
{
    if (group == placeholder_group::counted_apart) return {std::begin(counted_in_text), std::end(counted_in_text)};
    std::vector<placeholder_id> ids;
    // {RANDOM} leads the per-run placeholders: the one a temporary directory should hold.
    if (group == placeholder_group::per_run) ids.push_back(placeholder_random);
    for (const placeholder_info& row : placeholders) {
        const bool member = group == placeholder_group::all                ? true
                            : group == placeholder_group::roots            ? row.root
                            : group == placeholder_group::per_run          ? row.per_run && row.id != placeholder_random
                            : group == placeholder_group::from_argument_0  ? row.source == from_argument_0
                                                                           : row.source == from_version_block;
        if (member) ids.push_back(row.id);
    }
    return ids;
}

std::string placeholder_names(placeholder_group group, const std::string& separator, const std::string& last_separator)
{
    const std::vector<placeholder_id> ids = placeholder_group_ids(group);
    std::string text;
    for (std::size_t i = 0; i < ids.size(); ++i)
        text += (i == 0 ? "" : i + 1 == ids.size() ? last_separator : separator) + "{" + placeholders[ids[i]].name + "}";
    return text;
}

void check_unpack_spec(const std::u16string& spec, bool cached)
{
    const std::string shown = shown_spec(spec);
    if (spec.size() >= launch_settings_spec_capacity)
        throw spec_error(shown + " is longer than " + std::to_string(launch_settings_spec_capacity - 1) + " UTF-16 code units");
    const std::vector<spec_piece> pieces = spec_pieces(spec);
    for (const spec_piece& piece : pieces)
        if (!piece.placeholder && std::any_of(piece.text.begin(), piece.text.end(), [](char16_t unit) {
                return unit < 0x20 || std::u16string_view(u"<>\"|?*/").find(unit) != std::u16string_view::npos;
            }))
            throw spec_error(shown + " holds a character that Windows names cannot hold (separate components with '\\')");

    const std::size_t root = root_length(spec, pieces);
    if (root == 0)
        throw spec_error(shown + " is not absolute: it must start with " + placeholder_names(placeholder_group::roots) +
                         ", a drive (C:\\) or \\\\server\\share");
    // The components below the root, each between two backslashes.
    for (std::size_t at = root; at < spec.size();) {
        if (spec[at] != u'\\') throw spec_error(shown + " must separate its root from the rest with '\\'");
        std::size_t end = spec.find(u'\\', at + 1);
        if (end == std::u16string::npos) end = spec.size();
        check_spec_component(spec.substr(at + 1, end - at - 1), shown);
        at = end;
    }

    const bool per_run = uses_per_run(pieces);
    if (cached && per_run)
        throw spec_error(shown + " changes from run to run (" + placeholder_names(placeholder_group::per_run) +
                         "): in cached mode the directory must be the same for every run");
    if (!cached && !per_run)
        throw spec_error(shown + " is the same for every run: in temporary mode it needs " +
                         placeholder_names(placeholder_group::per_run, ", ", " or ") +
                         ", or concurrent runs would share one directory (or use --cached)");
}

std::vector<std::string> unpack_spec_warnings(const std::u16string& spec, bool cached)
{
    const std::vector<spec_piece> pieces = spec_pieces(spec);
    std::vector<std::string> warnings;
    const auto uses = [&](placeholder_id id) {
        return std::any_of(pieces.begin(), pieces.end(), [&](const spec_piece& piece) { return piece.placeholder && piece.id == id; });
    };
    if (!cached && !uses(placeholder_random))
        warnings.push_back(shown_spec(spec) + " has no {RANDOM}: anyone may create the few directories it can name "
                                              "beforehand, and every run then fails (the launcher never takes over an "
                                              "existing one); add {RANDOM}");
    for (placeholder_id id : placeholder_group_ids(placeholder_group::from_argument_0))
        if (uses(id))
            warnings.push_back(shown_spec(spec) + " uses {" + placeholders[id].name + "}: a run started by a full path (as Explorer starts "
                                                  "it) stops, since a drive cannot stand below the root; {EXE_DIR} names "
                                                  "the executable's folder");
    return warnings;
}

void check_unpack_directory(const launch_settings& settings, const std::vector<known_value>& values,
                            const std::vector<std::u16string>& names)
{
    const std::u16string spec = !settings.unpack_spec.empty() ? settings.unpack_spec
                                : settings.cached              ? std::u16string(cached_unpack_spec)
                                                               : std::u16string(builtin_unpack_spec);
    std::size_t units = settings.cached ? cached_suffix_units : 0;
    std::vector<std::string> counted;  // the sources of the known values counted, for the message
    for (const spec_piece& piece : spec_pieces(spec)) {
        const auto value = std::find_if(values.begin(), values.end(), [&](const known_value& each) {
            return piece.placeholder && each.placeholder == placeholders[piece.id].name;
        });
        if (!piece.placeholder) {
            units += piece.text.size();
        } else if (value != values.end()) {
            const std::string problem = windows_name_problem(value->text);
            if (!problem.empty())
                throw spec_error(value->source + " '" + to_utf8(value->text) + "' cannot be " + to_utf8(piece.text) + " in " +
                                 shown_spec(spec) + ": " + problem);
            units += value->text.size();
            const std::string source = value->source + " (" + std::to_string(value->text.size()) + " units)";
            if (std::find(counted.begin(), counted.end(), source) == counted.end()) counted.push_back(source);
        } else {
            units += placeholders[piece.id].allowance;
        }
    }
    const auto longest = std::max_element(names.begin(), names.end(),
                                          [](const std::u16string& a, const std::u16string& b) { return a.size() < b.size(); });
    const std::size_t name_units = longest != names.end() ? longest->size() : 0;
    const std::size_t limit = wide_path_capacity - 1;
    if (units + 1 + name_units <= limit) return;
    std::string with;
    for (const std::string& source : counted) with += (with.empty() ? "" : ", ") + source;
    throw spec_error((counted.empty() ? "--unpack-dir: " : with + ": ") + shown_spec(spec) + " makes paths of up to " +
                     std::to_string(units + 1 + name_units) + " UTF-16 code units with the longest file name" +
                     (longest != names.end() ? " " + in_quotes(*longest) : std::string()) + ", more than the launcher's " +
                     std::to_string(limit) + " (" + allowances_text() + (settings.cached ? "; cached mode adds 60 for the "
                     "archive identity and its temporary sibling's name" : "") + ")");
}

std::uint64_t find_launch_settings(std::istream& image, const pe_headers& headers, const std::string& what)
{
    const std::string header = record_header();
    std::vector<std::uint64_t> found;
    std::string window;
    std::vector<char> piece(1 << 20);
    for (const pe_section& section : headers.sections) {
        // Searched in pieces that overlap by the header's length less one, so no match is split.
        window.clear();
        std::uint64_t window_start = section.raw_offset;
        image.clear();
        image.seekg(static_cast<std::streamoff>(section.raw_offset));
        for (std::uint64_t left = section.raw_size; left > 0;) {
            std::size_t want = static_cast<std::size_t>(std::min<std::uint64_t>(left, piece.size()));
            image.read(piece.data(), static_cast<std::streamsize>(want));
            if (static_cast<std::size_t>(image.gcount()) != want) throw image_error(what + ": cannot read the image");
            left -= want;
            window.append(piece.data(), want);
            for (std::size_t at = window.find(header); at != std::string::npos; at = window.find(header, at + 1))
                found.push_back(window_start + at);
            std::size_t keep = std::min(window.size(), header.size() - 1);
            window_start += window.size() - keep;
            window.erase(0, window.size() - keep);
        }
    }
    if (found.empty())
        throw image_error(what + ": not a launcher image (it has no launch settings record); give the "
                                 "tavrin-launcher.exe that was built with this tool");
    if (found.size() > 1) throw image_error(what + ": not a launcher image (it has more than one launch settings record)");
    return found.front();
}

std::string launch_settings_bytes(const launch_settings& settings)
{
    if (settings.archive_identity.size() >= launch_settings_identity_size)
        throw pack_error("the archive identity is longer than " + std::to_string(launch_settings_identity_size - 1) +
                         " characters");
    if (settings.unpack_spec.size() >= launch_settings_spec_capacity)
        throw pack_error("the unpack directory spec is longer than " + std::to_string(launch_settings_spec_capacity - 1) +
                         " UTF-16 code units");
    std::string bytes = record_header();
    std::uint32_t flags = launch_setting_packed | (settings.cached ? launch_setting_cached : 0) |
                          (settings.exe_entry ? launch_setting_exe_entry : 0) |
                          (settings.no_progress ? launch_setting_no_progress : 0);
    bytes += little_endian_bytes(flags, 4);
    std::string identity = settings.archive_identity;
    identity.resize(launch_settings_identity_size, '\0');
    bytes += identity;
    for (char16_t unit : settings.unpack_spec) bytes += little_endian_bytes(unit, 2);
    bytes.resize(launch_settings_size, '\0');
    return bytes;
}

namespace {

#ifdef _WIN32
// The folder a placeholder taken from_system_folder names for the user running this, without a trailing backslash;
// empty when the system does not supply it.
std::u16string resolved_folder(placeholder_id placeholder)
{
    wchar_t buffer[MAX_PATH + 1] = {};
    bool found = false;
    if (placeholder == placeholder_temp) {
        DWORD length = GetTempPathW(MAX_PATH + 1, buffer);
        found = length > 0 && length <= MAX_PATH;
    } else {
        int folder = placeholder == placeholder_home ? CSIDL_PROFILE : CSIDL_LOCAL_APPDATA;
        found = SHGetFolderPathW(nullptr, folder, nullptr, SHGFP_TYPE_CURRENT, buffer) == S_OK;
    }
    std::u16string text = found ? std::u16string(buffer, buffer + wcslen(buffer)) : std::u16string();
    while (!text.empty() && text.back() == u'\\') text.pop_back();
    return text;
}
#endif

}  // namespace

void write_launch_settings(std::iostream& image, std::uint64_t offset, launch_settings settings)
{
    if (settings.cached && settings.archive_identity.empty()) {
        auto block = find_attached_section(read_pe_headers(image, "the packed image"));
        if (!block) throw pack_error("the packed image has no attached data");
        settings.archive_identity = archive_identity(image, block->file_offset, block->length);
    }
    const std::string record = launch_settings_bytes(settings);
    image.clear();
    image.seekp(static_cast<std::streamoff>(offset));
    image.write(record.data(), static_cast<std::streamsize>(record.size()));
    image.flush();
    if (image.fail()) throw pack_error("cannot write the launch settings record");
}

std::u16string cache_directory(const launch_settings& settings, const image_values& values)
{
    const std::u16string spec = settings.unpack_spec.empty() ? std::u16string(cached_unpack_spec) : settings.unpack_spec;
    std::u16string resolved;
    for (std::size_t at = 0; at < spec.size();) {
        const text_piece piece = next_text_piece(spec.data(), spec.size(), at);
        at += piece.length;
        const placeholder_id id = piece_placeholder_id(spec.data(), piece);
        std::optional<std::u16string> value;
        if (id != placeholder_unknown) {
            for (const auto& [known, text] : values)
                if (known == placeholders[id].name) value = text;
#ifdef _WIN32
            // {EXE_DIR} stays: where the package will stand is not known here.
            if (placeholders[id].source == from_system_folder) {
                std::u16string folder = resolved_folder(id);
                if (!folder.empty()) value = folder;
            }
#endif
        }
        resolved += value ? *value : spec.substr(piece.start, piece.length);
    }
    return resolved + u"\\" + std::u16string(settings.archive_identity.begin(), settings.archive_identity.end());
}

std::string unpack_settings_line(const launch_settings& settings)
{
    const std::string progress = settings.no_progress ? "; no progress window" : "";
    if (!settings.cached)
        return "unpack directory " + to_utf8(settings.unpack_spec.empty() ? builtin_unpack_spec : settings.unpack_spec) +
               " (temporary: made for each run, deleted at its end" + progress + ")\n";
    return "unpack directory " + to_utf8(settings.unpack_spec) + "\\" + settings.archive_identity +
           " (cached: kept and reused; the last component is the archive identity" + progress + ")\n";
}

std::optional<launch_settings> read_launch_settings(std::istream& image, std::uint64_t offset)
{
    std::string bytes(launch_settings_size, '\0');
    image.clear();
    image.seekg(static_cast<std::streamoff>(offset));
    image.read(bytes.data(), launch_settings_size);
    if (image.gcount() != launch_settings_size || bytes.compare(0, record_header().size(), record_header()) != 0)
        return std::nullopt;
    launch_settings settings;
    const auto flags = read_little_endian(bytes, launch_settings_flags_offset, 4);
    settings.cached = (flags & launch_setting_cached) != 0;
    settings.exe_entry = (flags & launch_setting_exe_entry) != 0;
    settings.no_progress = (flags & launch_setting_no_progress) != 0;
    std::size_t identity_end = bytes.find('\0', launch_settings_identity_offset);
    if (identity_end >= launch_settings_identity_offset + launch_settings_identity_size) return std::nullopt;
    settings.archive_identity = bytes.substr(launch_settings_identity_offset, identity_end - launch_settings_identity_offset);
    for (int i = 0;; ++i) {
        if (i == launch_settings_spec_capacity) return std::nullopt;
        auto unit = static_cast<char16_t>(read_little_endian(bytes, launch_settings_spec_offset + 2 * i, 2));
        if (unit == 0) break;
        settings.unpack_spec += unit;
    }
    return settings;
}

}  // namespace tavrin
