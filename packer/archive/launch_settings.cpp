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

const char* const spec_placeholders[] = {"TEMP",    "HOME",         "CACHE_DIR",       "EXE_DIR", "PROGRAM", "PROGRAM_BASE",
                                         "PROGRAM_DIR", "PID",     "COMPANY",         "PRODUCT", "VERSION",
                                         "FILE_VERSION", "PRODUCT_VERSION", "RANDOM", "TIME",    "TIME_US"};
// The placeholders whose value differs from run to run.
const char* const per_run_placeholders[] = {"RANDOM", "PID", "TIME", "TIME_US"};
// The placeholders a spec may start with: each expands to a fully qualified directory.
const char* const root_placeholders[] = {"TEMP", "HOME", "CACHE_DIR", "EXE_DIR"};
// The placeholders taken from argument 0 at run time.
const char* const program_placeholders[] = {"PROGRAM", "PROGRAM_BASE", "PROGRAM_DIR"};

// The most UTF-16 code units a placeholder's run-time value is counted at when packing: a folder or
// argument 0 as MAX_PATH allows, a process id of 32 bits, the random token, six digits, the start time
// as a signed 64-bit number. Texts of the version block are counted as they are when known, else at
// the most the launcher reads.
struct allowance {
    const char* name;
    std::size_t units;
};
const allowance run_time_allowances[] = {{"TEMP", 260},    {"HOME", 260},        {"CACHE_DIR", 260},  {"EXE_DIR", 260},
                                         {"PROGRAM", 260}, {"PROGRAM_BASE", 260}, {"PROGRAM_DIR", 260}, {"PID", 10},
                                         {"RANDOM", 11},   {"TIME_US", 6},       {"TIME", 20},
                                         {"COMPANY", version_text_capacity - 1}, {"PRODUCT", version_text_capacity - 1},
                                         {"VERSION", version_text_capacity - 1}, {"FILE_VERSION", version_text_capacity - 1},
                                         {"PRODUCT_VERSION", version_text_capacity - 1}};
const char allowances_text[] = "{TEMP}, {HOME}, {CACHE_DIR}, {EXE_DIR} and {PROGRAM*} counted at 260 units, {PID} at 10, "
                               "{RANDOM} at 11, {TIME_US} at 6, {TIME} at 20";
// What cached mode adds to the spec's expansion: "\" and the 32-digit identity, and the suffix
// ".tmp-<process id>-<token>" of the sibling unpacked into.
constexpr std::size_t cached_suffix_units = 1 + 32 + 5 + 10 + 1 + 11;

// `name` in ASCII upper case, or empty when it holds anything but ASCII.
std::string ascii_upper(const std::u16string& name)
{
    std::string upper;
    for (char16_t unit : name) {
        if (unit == 0 || unit > 0x7F) return {};
        upper += static_cast<char>(unit >= u'a' && unit <= u'z' ? unit - (u'a' - u'A') : unit);
    }
    return upper;
}

template <std::size_t count>
bool listed(const std::string& name, const char* const (&list)[count])
{
    return std::find(std::begin(list), std::end(list), name) != std::end(list);
}

bool is_ascii_letter(char16_t unit) { return (unit >= u'a' && unit <= u'z') || (unit >= u'A' && unit <= u'Z'); }

std::string shown_spec(const std::u16string& spec) { return "the unpack directory spec '" + to_utf8(spec) + "'"; }

// One piece of a spec: a run of literal text, or a placeholder (its name in upper case).
struct spec_piece {
    bool placeholder = false;
    std::u16string text;  // as written, braces included
    std::string name;
};

// The pieces of `spec`. Throws spec_error for braces that do not pair and unknown placeholders.
std::vector<spec_piece> spec_pieces(const std::u16string& spec)
{
    const std::string shown = shown_spec(spec);
    std::vector<spec_piece> pieces;
    bool in_name = false;
    for (char16_t unit : spec) {
        if (unit == u'{') {
            if (in_name) throw spec_error(shown + " has a '{' inside a placeholder");
            in_name = true;
            pieces.push_back({true, u"{", ""});
        } else if (unit == u'}') {
            if (!in_name) throw spec_error(shown + " has a '}' without its '{'");
            in_name = false;
            spec_piece& piece = pieces.back();
            piece.name = ascii_upper(piece.text.substr(1));
            piece.text += unit;
            if (!listed(piece.name, spec_placeholders)) {
                std::string known;
                for (const char* each : spec_placeholders) known += std::string(known.empty() ? "" : ", ") + "{" + each + "}";
                throw spec_error(shown + " names an unknown placeholder " + to_utf8(piece.text) + " (known: " + known + ")");
            }
        } else {
            if (!in_name && (pieces.empty() || pieces.back().placeholder)) pieces.push_back({});
            pieces.back().text += unit;
        }
    }
    if (in_name) throw spec_error(shown + " has a '{' that is never closed");
    return pieces;
}

template <std::size_t count>
bool uses_any(const std::vector<spec_piece>& pieces, const char* const (&names)[count])
{
    return std::any_of(pieces.begin(), pieces.end(), [&](const spec_piece& piece) { return listed(piece.name, names); });
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
    if (pieces.empty() || !listed(pieces.front().name, root_placeholders)) return 0;
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
        if (listed(piece.name, root_placeholders))
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

}  // namespace

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
        throw spec_error(shown + " is not absolute: it must start with {TEMP}, {HOME}, {CACHE_DIR}, {EXE_DIR}, a drive "
                                 "(C:\\) or \\\\server\\share");
    // The components below the root, each between two backslashes.
    for (std::size_t at = root; at < spec.size();) {
        if (spec[at] != u'\\') throw spec_error(shown + " must separate its root from the rest with '\\'");
        std::size_t end = spec.find(u'\\', at + 1);
        if (end == std::u16string::npos) end = spec.size();
        check_spec_component(spec.substr(at + 1, end - at - 1), shown);
        at = end;
    }

    const bool per_run = uses_any(pieces, per_run_placeholders);
    if (cached && per_run)
        throw spec_error(shown + " changes from run to run ({RANDOM}, {PID}, {TIME}, {TIME_US}): in cached mode the "
                                 "directory must be the same for every run");
    if (!cached && !per_run)
        throw spec_error(shown + " is the same for every run: in temporary mode it needs {RANDOM}, {PID}, {TIME} or "
                                 "{TIME_US}, or concurrent runs would share one directory (or use --cached)");
}

std::vector<std::string> unpack_spec_warnings(const std::u16string& spec, bool cached)
{
    const std::vector<spec_piece> pieces = spec_pieces(spec);
    std::vector<std::string> warnings;
    const auto uses = [&](const char* name) {
        return std::any_of(pieces.begin(), pieces.end(), [&](const spec_piece& piece) { return piece.name == name; });
    };
    if (!cached && !uses("RANDOM"))
        warnings.push_back(shown_spec(spec) + " has no {RANDOM}: anyone may create the few directories it can name "
                                              "beforehand, and every run then fails (the launcher never takes over an "
                                              "existing one); add {RANDOM}");
    for (const char* name : program_placeholders)
        if (uses(name))
            warnings.push_back(shown_spec(spec) + " uses {" + name + "}: a run started by a full path (as Explorer starts "
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
        const auto value = std::find_if(values.begin(), values.end(), [&](const known_value& each) { return each.placeholder == piece.name; });
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
            units += std::find_if(std::begin(run_time_allowances), std::end(run_time_allowances),
                                  [&](const allowance& each) { return piece.name == each.name; })->units;
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
                     std::to_string(limit) + " (" + allowances_text + (settings.cached ? "; cached mode adds 60 for the "
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
                          (settings.exe_entry ? launch_setting_exe_entry : 0);
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
// The folder a root placeholder names for the user running this, without a trailing backslash;
// empty when the system does not supply it.
std::u16string resolved_folder(const std::string& placeholder)
{
    wchar_t buffer[MAX_PATH + 1] = {};
    bool found = false;
    if (placeholder == "TEMP") {
        DWORD length = GetTempPathW(MAX_PATH + 1, buffer);
        found = length > 0 && length <= MAX_PATH;
    } else {
        int folder = placeholder == "HOME" ? CSIDL_PROFILE : CSIDL_LOCAL_APPDATA;
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
        std::size_t close = spec[at] == u'{' ? spec.find(u'}', at) : std::u16string::npos;
        std::string name = close == std::u16string::npos ? std::string() : ascii_upper(spec.substr(at + 1, close - at - 1));
        std::optional<std::u16string> value;
        for (const auto& [known, text] : values)
            if (known == name) value = text;
#ifdef _WIN32
        // {EXE_DIR} stays: where the package will stand is not known here.
        if (listed(name, root_placeholders) && name != "EXE_DIR") {
            std::u16string folder = resolved_folder(name);
            if (!folder.empty()) value = folder;
        }
#endif
        if (!value) {
            resolved += spec[at++];
            continue;
        }
        resolved += *value;
        at = close + 1;
    }
    return resolved + u"\\" + std::u16string(settings.archive_identity.begin(), settings.archive_identity.end());
}

std::string unpack_settings_line(const launch_settings& settings)
{
    if (!settings.cached)
        return "unpack directory " + to_utf8(settings.unpack_spec.empty() ? builtin_unpack_spec : settings.unpack_spec) +
               " (temporary: made for each run, deleted at its end)\n";
    return "unpack directory " + to_utf8(settings.unpack_spec) + "\\" + settings.archive_identity +
           " (cached: kept and reused; the last component is the archive identity)\n";
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
