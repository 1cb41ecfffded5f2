// tavrin-pack's texts: numbers for people, the progress bar and lines, summaries and listings.
#include "packer/cli/report.h"

#include <algorithm>
#include <cstdio>

#include "format/settings_record.h"
#include "packer/base/names.h"

namespace tavrin {
namespace {

std::string fixed(double value, int decimals)
{
    char text[64];
    std::snprintf(text, sizeof text, "%.*f", decimals, value);
    return text;
}

std::string plural(std::uint64_t count, const char* one, const char* many)
{
    return format_count(count) + " " + (count == 1 ? one : many);
}

std::string rate(std::uint64_t bytes, double seconds)
{
    if (seconds <= 0) return "-";
    return format_size(static_cast<std::uint64_t>(static_cast<double>(bytes) / seconds)) + "/s";
}

// "75.9/151.9 MiB": both in the larger one's unit.
std::string size_pair(std::uint64_t done, std::uint64_t total)
{
    static const char* const units[] = {"bytes", "KiB", "MiB", "GiB", "TiB"};
    int unit = 0;
    double scale = 1;
    while (unit < 4 && static_cast<double>(total) >= scale * 1024) {
        scale *= 1024;
        ++unit;
    }
    int decimals = unit == 0 ? 0 : 1;
    return fixed(static_cast<double>(done) / scale, decimals) + "/" + fixed(static_cast<double>(total) / scale, decimals) + " " +
           units[unit];
}

int percent(const block_progress& state)
{
    if (state.bytes_total == 0) return state.files_total == 0 ? 100 : static_cast<int>(state.files_done * 100 / state.files_total);
    return static_cast<int>(state.bytes_done * 100 / state.bytes_total);
}

}  // namespace

std::string format_count(std::uint64_t value)
{
    std::string digits = std::to_string(value);
    for (std::size_t at = digits.size(); at > 3; at -= 3) digits.insert(at - 3, ",");
    return digits;
}

std::string format_size(std::uint64_t bytes)
{
    if (bytes < 1024) return plural(bytes, "byte", "bytes");
    static const char* const units[] = {"KiB", "MiB", "GiB", "TiB"};
    double value = static_cast<double>(bytes) / 1024;
    int unit = 0;
    while (unit < 3 && value >= 1024) {
        value /= 1024;
        ++unit;
    }
    return fixed(value, 1) + " " + units[unit];
}

std::string format_ratio(std::uint64_t in, std::uint64_t out)
{
    if (out == 0) return "-";
    return fixed(static_cast<double>(in) / static_cast<double>(out), 2) + ":1";
}

void progress_display::update(const block_progress& state, double seconds)
{
    const bool complete = state.files_done == state.files_total && state.bytes_done == state.bytes_total;
    const std::string counts = format_count(state.files_done) + "/" + format_count(state.files_total) + " files";
    const std::string sizes = size_pair(state.bytes_done, state.bytes_total);
    if (terminal_) {
        if (drawn_at_ >= 0 && seconds - drawn_at_ < 0.1 && !complete) return;
        constexpr int width = 20;
        int filled = percent(state) * width / 100;
        std::string line = "[" + std::string(filled, '#') + std::string(width - filled, '.') + "] " +
                           (percent(state) < 100 ? percent(state) < 10 ? "  " : " " : "") + std::to_string(percent(state)) + "%  " +
                           counts + "  " + sizes + "  " + rate(state.bytes_done, seconds);
        std::size_t shown = line.size();
        if (line.size() < drawn_width_) line.append(drawn_width_ - line.size(), ' ');
        out_ << '\r' << line << std::flush;
        drawn_width_ = std::max(drawn_width_, shown);
        drawn_at_ = seconds;
        return;
    }
    if (seconds < 1.0 || state.bytes_total == 0) return;
    int tenths = static_cast<int>(state.bytes_done * 10 / state.bytes_total);
    if (tenths <= tenths_shown_) return;
    tenths_shown_ = tenths;
    out_ << "tavrin-pack: " << percent(state) << "% (" << counts << ", " << sizes << ", " << rate(state.bytes_done, seconds)
         << ")\n"
         << std::flush;
}

void progress_display::finish()
{
    if (!terminal_ || drawn_width_ == 0) return;
    out_ << '\r' << std::string(drawn_width_, ' ') << '\r' << std::flush;
    drawn_width_ = 0;
}

std::string pack_summary(const pack_result& result, const std::filesystem::path& output)
{
    std::string text = "Packed " + output.u8string() + ": " + plural(result.names.size(), "file", "files") + ", " +
                       plural(result.directories, "directory", "directories") +
                       (result.names.empty() ? "" : "; entry " + to_utf8(result.names.front())) +
                       (result.entry.program ? " (" + describe_entry(result.entry) + ")" : "") + "\n";
    text += "  bytes in   " + format_count(result.content_bytes) + " (" + format_size(result.content_bytes) + ")\n";
    text += "  bytes out  " + format_count(result.block_size) + " (" + format_size(result.block_size) + ") of attached data, ratio " +
            format_ratio(result.content_bytes, result.block_size) + "; executable " + format_count(result.output_size) +
            " bytes\n";
    text += "  settings   level " + std::to_string(result.level) + ", window " + format_size(result.window_size) + ", " +
            plural(result.threads, "thread", "threads") + "\n";
    text += "  time       " + fixed(result.seconds, 2) + " s\n";
    text += "  subsystem  " +
            (result.subsystem == pe_subsystem_windows   ? std::string("windowed")
             : result.subsystem == pe_subsystem_console ? std::string("console")
                                                        : describe_subsystem(result.subsystem)) +
            (result.subsystem_source.empty() ? "" : " (" + result.subsystem_source + ")") + "\n";
    // The launcher's progress window, which only a windowed package shows.
    text += std::string("  progress   ") +
            (result.subsystem != pe_subsystem_windows ? "none: a console package"
             : result.no_progress                     ? "none (--no-progress)"
                                                      : "a window when a start takes over " +
                                                            std::to_string(progress_window_delay_ms) +
                                                            " ms (--no-progress turns it off)") +
            "\n";
    text += std::string("  manifest   execution level ") + execution_level_name(result.manifest_level) + " (" +
            result.manifest_level_source + ")\n";
    for (const collected_dll& dll : result.collected)
        text += "  collected  " + to_utf8(dll.name) + " (" + format_size(dll.size) +
                (dll.debug_dropped ? ", debug information dropped" : dll.kept_as_is.empty() ? "" : ", packed as it is: " + dll.kept_as_is) +
                ") from " + dll.source.parent_path().u8string() + "\n";
    if (result.entry.program && result.entry.subsystem == pe_subsystem_console && result.subsystem == pe_subsystem_windows)
        text += "  note       the entry is a console program, but the package is windowed (--windows): a console does not "
                "wait for it, and its output and exit code reach a console only where redirected; pack with --console (or "
                "without --windows) for a command-line tool\n";
    return text;
}

std::string package_listing(const package_contents& contents, bool complete)
{
    std::size_t width = 4;
    for (const auto& entry : contents.entries) width = std::max(width, format_count(entry.size).size());
    std::string text = std::string(width - 4, ' ') + "size  name\n";
    for (const auto& entry : contents.entries) {
        std::string size = format_count(entry.size);
        text += std::string(width - size.size(), ' ') + size + "  " + to_utf8(entry.name) + "\n";
    }
    if (!complete) return text;
    std::vector<std::u16string> names;
    for (const auto& entry : contents.entries) names.push_back(entry.name);
    const package_layout& layout = contents.layout;
    text += plural(contents.entries.size(), "file", "files") + ", " + plural(count_directories(names), "directory", "directories") +
            ", " + format_count(contents.content_bytes) + " bytes; attached data " + format_count(layout.block_size) +
            " bytes (ratio " + format_ratio(contents.content_bytes, layout.block_size) + "), window " +
            format_size(layout.window_size) + (layout.checksum ? ", content checksum" : ", no content checksum") + "\n";
    return text;
}

std::string identity_listing(const package_identity& identity)
{
    std::string text = "  subsystem    " + describe_subsystem(identity.subsystem) + "\n";
    if (identity.version) {
        const version_contents& version = *identity.version;
        const std::pair<const char*, const char*> shown[] = {{"CompanyName", "company    "},      {"ProductName", "product    "},
                                                             {"FileDescription", "description"}, {"LegalCopyright", "copyright  "},
                                                             {"OriginalFilename", "file name  "}};
        for (const auto& [key, label] : shown)
            for (const auto& [text_key, value] : version.texts)
                if (text_key == key && !value.empty()) text += std::string("  ") + label + "  " + value + "\n";
        text += "  version      " + version_text(version.file_version) + " (file), " + version_text(version.product_version) + " (product)\n";
    }
    if (identity.level) text += "  manifest     execution level " + *identity.level + "\n";
    if (!identity.icons.empty()) {
        text += "  icon        ";
        for (const auto& entry : identity.icons) {
            auto side = [](std::uint8_t size) { return std::to_string(size == 0 ? 256 : size); };
            text += " " + side(entry.image.width) + "x" + side(entry.image.height) + "/" + std::to_string(entry.image.bit_count);
        }
        text += " (" + plural(identity.icons.size(), "image", "images") + ")\n";
    }
    return text;
}

std::string verify_summary(const std::filesystem::path& file, const verify_report& report)
{
    const package_contents& contents = report.contents;
    std::vector<std::u16string> names;
    for (const auto& entry : contents.entries) names.push_back(entry.name);
    return "OK " + file.u8string() + "\n  " + plural(contents.entries.size(), "file", "files") + ", " +
           plural(count_directories(names), "directory", "directories") + ", " + format_count(contents.content_bytes) +
           " bytes, all names valid for Windows and distinct\n  attached data " + format_count(contents.layout.block_size) +
           " bytes: magic, one Zstandard frame (window " + format_size(contents.layout.window_size) +
           ", checksum verified), end marker, reserved bytes, trailer\n  entry " + to_utf8(contents.entries.front().name) +
           ": " + report.entry + "\n" +
           (report.identity ? "  " + describe_subsystem(report.identity->subsystem) +
                                  (report.identity->version ? "; resources: version block, manifest, icon group of " +
                                                                  plural(report.identity->icons.size(), "image", "images")
                                                            : "; no resources") +
                                  "\n"
                            : std::string());
}

}  // namespace tavrin
