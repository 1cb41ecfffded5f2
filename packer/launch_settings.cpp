// Finding, writing and reading the launcher image's settings record.
#include "packer/launch_settings.h"

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

#include "packer/archive_identity.h"
#include "packer/errors.h"
#include "packer/helpers.h"
#include "payload/format.h"
#include "payload/launch_settings.h"

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

const char* const spec_placeholders[] = {"TEMP",    "HOME",         "CACHE_DIR",       "PROGRAM", "PROGRAM_BASE",
                                         "PROGRAM_DIR", "PID",     "COMPANY",         "PRODUCT", "VERSION",
                                         "FILE_VERSION", "PRODUCT_VERSION", "RANDOM", "TIME",    "TIME_US"};
// The placeholders whose value differs from run to run.
const char* const per_run_placeholders[] = {"RANDOM", "PID", "TIME", "TIME_US"};
// The placeholders a spec may start with: each expands to a fully qualified directory.
const char* const root_placeholders[] = {"TEMP", "HOME", "CACHE_DIR"};

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

// The length of the spec's root, when it has one of the accepted forms; 0 when not.
std::size_t root_length(const std::u16string& spec, const std::vector<std::string>& names)
{
    if (spec.size() >= 3 && is_ascii_letter(spec[0]) && spec[1] == u':' && spec[2] == u'\\') return 2;
    if (spec.rfind(u"\\\\", 0) == 0) {
        std::size_t share = spec.find(u'\\', 2);
        if (share == std::u16string::npos || share == 2 || share + 1 == spec.size() || spec[share + 1] == u'\\') return 0;
        std::size_t end = spec.find(u'\\', share + 1);
        return end == std::u16string::npos ? spec.size() : end;
    }
    if (spec.empty() || spec[0] != u'{' || names.empty() || !listed(names.front(), root_placeholders)) return 0;
    return spec.find(u'}') + 1;
}

}  // namespace

void check_unpack_spec(const std::u16string& spec, bool cached)
{
    const std::string shown = "the unpack directory spec '" + to_utf8(spec) + "'";
    if (spec.size() >= launch_settings_spec_capacity)
        throw spec_error(shown + " is longer than " + std::to_string(launch_settings_spec_capacity - 1) + " UTF-16 code units");
    std::vector<std::string> names;
    bool in_name = false;
    std::u16string name;
    for (char16_t unit : spec) {
        if (unit == u'{') {
            if (in_name) throw spec_error(shown + " has a '{' inside a placeholder");
            in_name = true;
            name.clear();
        } else if (unit == u'}') {
            if (!in_name) throw spec_error(shown + " has a '}' without its '{'");
            in_name = false;
            std::string upper = ascii_upper(name);
            if (!listed(upper, spec_placeholders)) {
                std::string known;
                for (const char* each : spec_placeholders) known += std::string(known.empty() ? "" : ", ") + "{" + each + "}";
                throw spec_error(shown + " names an unknown placeholder {" + to_utf8(name) + "} (known: " + known + ")");
            }
            names.push_back(upper);
        } else if (in_name) {
            name += unit;
        } else if (unit < 0x20 || std::u16string_view(u"<>\"|?*/").find(unit) != std::u16string_view::npos) {
            throw spec_error(shown + " holds a character that Windows names cannot hold (separate components with '\\')");
        }
    }
    if (in_name) throw spec_error(shown + " has a '{' that is never closed");

    const std::size_t root = root_length(spec, names);
    if (root == 0)
        throw spec_error(shown + " is not absolute: it must start with {TEMP}, {HOME}, {CACHE_DIR}, a drive (C:\\) or "
                                 "\\\\server\\share");
    // The components below the root, each between two backslashes.
    for (std::size_t at = root; at < spec.size();) {
        if (spec[at] != u'\\') throw spec_error(shown + " must separate its root from the rest with '\\'");
        std::size_t end = spec.find(u'\\', at + 1);
        if (end == std::u16string::npos) end = spec.size();
        std::u16string component = spec.substr(at + 1, end - at - 1);
        if (component.empty() || component == u"." || component == u"..")
            throw spec_error(shown + " has an empty, '.' or '..' component");
        at = end;
    }
    if (spec.find(u':', root) != std::u16string::npos) throw spec_error(shown + " has a ':' after its root");

    const bool per_run = std::any_of(names.begin(), names.end(), [](const std::string& each) { return listed(each, per_run_placeholders); });
    if (cached && per_run)
        throw spec_error(shown + " changes from run to run ({RANDOM}, {PID}, {TIME}, {TIME_US}): in cached mode the "
                                 "directory must be the same for every run");
    if (!cached && !per_run)
        throw spec_error(shown + " is the same for every run: in temporary mode it needs {RANDOM}, {PID}, {TIME} or "
                                 "{TIME_US}, or concurrent runs would share one directory (or use --cached)");
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
    std::uint32_t flags = launch_setting_packed | (settings.cached ? launch_setting_cached : 0);
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
        if (listed(name, root_placeholders)) {
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
    settings.cached = (read_little_endian(bytes, launch_settings_flags_offset, 4) & launch_setting_cached) != 0;
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
