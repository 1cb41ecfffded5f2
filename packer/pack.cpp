// Packing an application directory: collection, naming, entry choice and the output written
// through a temporary file.
#include "packer/pack.h"

#include <zstd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <random>
#include <set>
#include <system_error>
#include <tuple>

#include "packer/base/file_places.h"
#include "packer/base/interrupt_cleanup.h"
#include "packer/base/names.h"
#include "packer/image/pe_image.h"
#include "packer/image/resource_section.h"

// Where the installed layout keeps the launcher image, relative to the tool's directory; set by
// packer/CMakeLists.txt from the install destinations.
#ifndef TAVRIN_INSTALLED_LAUNCHER_DIR
#error "TAVRIN_INSTALLED_LAUNCHER_DIR must name the launcher image's installed directory"
#endif

namespace tavrin {
namespace fs = std::filesystem;
namespace {

std::string in_quotes(const fs::path& path) { return "'" + path.u8string() + "'"; }

#ifdef _WIN32
// Windows' limit on a directory's path without long-path support (MAX_PATH less room for an 8.3
// file name): deeper directories are out of reach of the C runtime's directory walk.
constexpr std::size_t long_directory_path = 248;
#endif

bool is_top_level(const std::u16string& name) { return name.find(u'\\') == std::u16string::npos; }

char16_t ascii_lower(char16_t unit) { return unit >= u'A' && unit <= u'Z' ? static_cast<char16_t>(unit - u'A' + u'a') : unit; }

// Whether `name` ends in `extension` (lower case, with its dot), in any case, after at least one unit.
bool has_extension(const std::u16string& name, const std::u16string& extension)
{
    if (name.size() <= extension.size()) return false;
    return std::equal(extension.begin(), extension.end(), name.end() - extension.size(),
                      [](char16_t a, char16_t b) { return a == ascii_lower(b); });
}

bool has_dll_extension(const std::u16string& name) { return has_extension(name, u".dll"); }

// An entry by this name is taken for a program.
bool is_program_name(const std::u16string& name) { return has_extension(name, u".exe"); }

// One path component as UTF-16.
std::u16string utf16_component(const fs::path& part)
{
    try {
        return part.u16string();
    } catch (const std::exception&) {
        throw name_error("refused name '" + part.string() + "': not valid Unicode text");
    }
}

// Why `file` cannot be opened for reading, or an empty string when it can.
std::string unreadable(const fs::path& file)
{
    errno = 0;
#ifdef _WIN32
    std::FILE* handle = _wfopen(file.c_str(), L"rb");
#else
    std::FILE* handle = std::fopen(file.c_str(), "rb");
#endif
    if (handle) {
        std::fclose(handle);
        return {};
    }
    return errno ? std::strerror(errno) : "cannot be opened";
}

// The files that packing refuses. raise() throws one error listing them: a name_error when every
// refusal concerns a name, else a pack_error.
class refusals {
public:
    void add(std::string message, bool about_name)
    {
        messages_.push_back(std::move(message));
        only_names_ = only_names_ && about_name;
    }

    void raise() const
    {
        if (messages_.empty()) return;
        std::string text = messages_.front();
        if (messages_.size() > 1) {
            constexpr std::size_t shown = 20;
            text = std::to_string(messages_.size()) + " files refused:";
            for (std::size_t i = 0; i < messages_.size() && i < shown; ++i) text += "\n  " + messages_[i];
            if (messages_.size() > shown) text += "\n  ... and " + std::to_string(messages_.size() - shown) + " more";
        }
        if (only_names_) throw name_error(text);
        throw pack_error(text);
    }

private:
    std::vector<std::string> messages_;
    bool only_names_ = true;
};

// Beside its target, removed unless committed (also when the tool is interrupted, see
// interrupt_cleanup.h): a half-written output never takes the target's name.
class temporary_output {
public:
    explicit temporary_output(fs::path target) : target_(std::move(target))
    {
        std::random_device random;
        for (int attempt = 0; attempt < 16; ++attempt) {
            fs::path candidate = target_.parent_path() /
                                 fs::u8path("." + target_.filename().u8string() + "." + std::to_string(random()) + ".tmp");
            std::error_code error;
            if (!fs::exists(candidate, error) && !error) {
                path_ = candidate;
                remove_on_interrupt(path_);
                return;
            }
        }
        throw pack_error("cannot find a free temporary file name beside " + in_quotes(target_));
    }
    temporary_output(const temporary_output&) = delete;
    temporary_output& operator=(const temporary_output&) = delete;
    ~temporary_output()
    {
        keep_on_interrupt();
        if (committed_) return;
        std::error_code ignored;
        fs::remove(path_, ignored);
    }

    const fs::path& path() const { return path_; }

    // Moves the finished file into place, unless the target has become something that it must not
    // replace (check_output_place) while the file was written.
    void commit()
    {
        check_output_place(target_);
        std::error_code error;
        fs::rename(path_, target_, error);
        if (error) throw pack_error("cannot move the finished output to " + in_quotes(target_) + ": " + error.message());
        committed_ = true;
    }

private:
    fs::path target_;
    fs::path path_;
    bool committed_ = false;
};

// The address in memory of the byte at file offset `offset` of the image `headers` describe.
std::uint32_t record_address(const pe_headers& headers, std::uint64_t offset)
{
    for (const pe_section& section : headers.sections)
        if (section.raw_size != 0 && offset >= section.raw_offset && offset - section.raw_offset < section.raw_size)
            return static_cast<std::uint32_t>(section.virtual_address + (offset - section.raw_offset));
    throw image_error("the launch settings record lies outside every section");
}

// The output must not be packed into a later run from the same directory, nor replace anything but
// a regular file or a symbolic link (check_output_place). Where a link stands, the output takes the
// link's place: its directory, not its target, decides whether it lies inside the application.
void check_output_location(const fs::path& app_dir, const fs::path& output)
{
    std::error_code error;
    if (output.empty() || !output.has_filename()) throw pack_error("the output must name a file");
    check_output_place(output);
    fs::path directory = fs::absolute(output, error).parent_path();
    if (!fs::is_directory(directory, error))
        throw pack_error("the output's directory " + in_quotes(directory) + " does not exist");
    fs::path app = fs::canonical(app_dir, error);
    if (error) throw pack_error("cannot resolve the application directory " + in_quotes(app_dir) + ": " + error.message());
    fs::path target = fs::canonical(directory, error) / output.filename();
    if (error) throw pack_error("cannot resolve the output path " + in_quotes(output) + ": " + error.message());
    auto mismatch = std::mismatch(app.begin(), app.end(), target.begin(), target.end());
    if (mismatch.first == app.end())
        throw pack_error("the output " + in_quotes(output) + " lies inside the application directory " + in_quotes(app_dir));
}

// The output must not replace the launcher image it copies, whatever the spelling (another letter
// case on Windows, "..", a hard link, a symbolic link): the same file is refused.
void check_output_is_not_launcher(const fs::path& output, const fs::path& launcher)
{
    std::error_code error;
    if (fs::equivalent(output, launcher, error))
        throw pack_error("the output " + in_quotes(output) + " is the launcher image " + in_quotes(launcher));
}

#ifndef _WIN32
// Executable wherever it is readable, as a linker leaves its output.
void make_executable(const fs::path& file)
{
    std::error_code error;
    fs::perms current = fs::status(file, error).permissions();
    if (error) return;
    fs::perms exec = fs::perms::none;
    if ((current & fs::perms::owner_read) != fs::perms::none) exec |= fs::perms::owner_exec;
    if ((current & fs::perms::group_read) != fs::perms::none) exec |= fs::perms::group_exec;
    if ((current & fs::perms::others_read) != fs::perms::none) exec |= fs::perms::others_exec;
    fs::permissions(file, exec, fs::perm_options::add, error);
}
#endif

// A collected DLL goes where its importer's loader looks, whatever the application's own files
// hold there: its name is checked against them all again, as verify and the launcher would check
// it (find_name_clashes), and a clash refuses the packing, naming both.
void check_collected_names(const std::vector<archive_entry>& files, const std::vector<collected_dll>& collected)
{
    if (collected.empty()) return;
    std::vector<std::u16string> names;
    for (const auto& file : files) names.push_back(file.name);
    std::sort(names.begin(), names.end());
    std::set<std::u16string> added;
    for (const auto& dll : collected) added.insert(dll.name);
    refusals refused;
    for (const auto& clash : find_name_clashes(names)) {
        const std::u16string& dll = added.count(clash.first) != 0 ? clash.first : clash.second;
        refused.add("refused names: " + describe(clash) + " (" + in_quotes(dll) +
                        " is a DLL collected for the application, which the loader looks for under that name)",
                    true);
    }
    refused.raise();
}

}  // namespace

std::u16string archive_name(const fs::path& relative)
{
    std::vector<std::u16string> components;
    std::u16string name;
    for (const auto& part : relative) {
        components.push_back(utf16_component(part));
        name += (name.empty() ? u"" : u"\\") + components.back();
    }
    for (const auto& component : components) {
        std::string problem = windows_name_problem(component);
        if (!problem.empty()) throw name_error("refused name " + in_quotes(name) + ": " + problem);
    }
    return name;
}

std::vector<archive_entry> collect_application_files(const fs::path& app_dir)
{
    std::error_code error;
    const fs::file_status status = fs::status(app_dir, error);
    if (status.type() == fs::file_type::not_found)
        throw pack_error("the application directory " + in_quotes(app_dir) + " does not exist");
    if (error) throw pack_error("cannot read the application directory " + in_quotes(app_dir) + ": " + error.message());
    if (!fs::is_directory(status)) throw pack_error("the application directory " + in_quotes(app_dir) + " is not a directory");
    fs::path root = app_dir.has_filename() ? app_dir : app_dir.parent_path();

    // Every refusal is gathered, so that one run names all that needs fixing.
    refusals refused;
    std::vector<archive_entry> files;
    fs::path at = root;  // where the walk is, for a message when it fails
    fs::recursive_directory_iterator walk(root, fs::directory_options::none, error);
    for (; !error && walk != fs::recursive_directory_iterator(); walk.increment(error)) {
        const fs::directory_entry& item = *walk;
        at = item.path();
        fs::file_status link = item.symlink_status(error);
        if (error) break;
        if (fs::is_directory(link)) continue;  // the walk descends into it
        std::error_code target_error;
        fs::file_status target = item.status(target_error);
        if (fs::is_symlink(link) && !fs::exists(target)) {
            refused.add(in_quotes(item.path()) + " is a symbolic link whose target does not exist", false);
        } else if (fs::is_regular_file(target)) {
            try {
                std::u16string name = archive_name(item.path().lexically_relative(root));
                check_entry_name(name);
                std::string problem = unreadable(item.path());
                if (!problem.empty())
                    refused.add("cannot read " + in_quotes(item.path()) + ": " + problem, false);
                else
                    files.push_back(archive_entry::from_file(std::move(name), item.path()));
            } catch (const name_error& refusal) {
                refused.add(refusal.what(), true);
            }
        } else if (fs::is_directory(target)) {
            refused.add(in_quotes(item.path()) + " is a symbolic link to a directory, which is not followed", false);
        } else {
            refused.add(in_quotes(item.path()) + " is neither a regular file nor a directory", false);
        }
    }
    if (error) {
        std::string message = "cannot read the application directory " + in_quotes(app_dir) + " at " + in_quotes(at) + ": " + error.message();
#ifdef _WIN32
        if (fs::absolute(at).native().size() >= long_directory_path)
            message += " (a path of " + std::to_string(fs::absolute(at).native().size()) +
                       " characters: on Windows, tavrin-pack reaches only shorter ones)";
#endif
        throw pack_error(message);
    }

    std::sort(files.begin(), files.end(), [](const archive_entry& a, const archive_entry& b) { return a.name < b.name; });
    std::vector<std::u16string> names;
    for (const auto& file : files) names.push_back(file.name);
    for (const auto& clash : find_name_clashes(names)) refused.add("refused names: " + describe(clash), true);
    refused.raise();
    return files;
}

chosen_entry choose_entry(const std::vector<archive_entry>& files, const std::optional<std::u16string>& requested)
{
    auto checked = [](const archive_entry& file) {
        if (!is_program_name(file.name)) {
            check_entry_dll(file.file, to_utf8(file.name));
            return chosen_entry{file.name, {}};
        }
        return chosen_entry{file.name, check_entry_program(file.file, to_utf8(file.name))};
    };
    if (requested) {
        auto found = std::find_if(files.begin(), files.end(), [&](const archive_entry& file) { return file.name == *requested; });
        if (found == files.end())
            throw entry_error("entry " + in_quotes(*requested) + " is not a file of the application directory");
        return checked(*found);
    }

    std::vector<std::u16string> usable, programs;
    std::string refused;
    for (const auto& file : files) {
        if (!is_top_level(file.name)) continue;
        if (is_program_name(file.name)) programs.push_back(file.name);
        if (!has_dll_extension(file.name)) continue;
        try {
            check_entry_dll(file.file, to_utf8(file.name));
            usable.push_back(file.name);
        } catch (const entry_error& error) {
            refused += std::string("\n  ") + error.what();
        }
    }
    auto listed = [](const std::vector<std::u16string>& names) {
        std::string list;
        for (const auto& name : names) list += (list.empty() ? "" : ", ") + in_quotes(name);
        return list;
    };
    if (usable.size() > 1)
        throw entry_error("several top-level DLLs export " + std::string(entry_point_name) + " (" + listed(usable) +
                          "); choose the entry with --entry");
    if (usable.size() == 1) return {usable.front(), {}};
    if (programs.size() == 1)
        return checked(*std::find_if(files.begin(), files.end(), [&](const archive_entry& file) { return file.name == programs.front(); }));
    if (programs.size() > 1)
        throw entry_error("several top-level programs (" + listed(programs) + ") and no top-level DLL that exports " +
                          entry_point_name + "; choose the entry with --entry" + refused);
    throw entry_error(std::string("no entry: no top-level DLL of the application directory exports ") + entry_point_name +
                      ", and there is no top-level .exe" + refused);
}

void order_entries(std::vector<archive_entry>& files, const std::u16string& entry)
{
    auto group = [&](const archive_entry& file) { return file.name == entry ? 0 : is_top_level(file.name) ? 1 : 2; };
    std::sort(files.begin(), files.end(), [&](const archive_entry& a, const archive_entry& b) {
        int group_a = group(a), group_b = group(b);
        return group_a != group_b ? group_a < group_b : a.name < b.name;
    });
}

fs::path find_launcher_image(const fs::path& given, const fs::path& tool_directory)
{
    auto existing = [](const fs::path& path, const std::string& how) {
        std::error_code error;
        if (!fs::is_regular_file(path, error)) throw pack_error("launcher image " + in_quotes(path) + " (" + how + ") not found");
        return path;
    };
    if (!given.empty()) return existing(given, "given");
#ifdef _WIN32
    const wchar_t* variable = _wgetenv(std::wstring(launcher_variable, launcher_variable + sizeof launcher_variable - 1).c_str());
    if (variable && *variable) return existing(fs::path(variable), std::string("from ") + launcher_variable);
#else
    const char* variable = std::getenv(launcher_variable);
    if (variable && *variable) return existing(fs::u8path(variable), std::string("from ") + launcher_variable);
#endif
    std::error_code error;
    if (!tool_directory.empty()) {
        for (const fs::path& place : {tool_directory, tool_directory / fs::u8path(TAVRIN_INSTALLED_LAUNCHER_DIR)}) {
            fs::path candidate = (place / launcher_file_name).lexically_normal();
            if (fs::is_regular_file(candidate, error)) return candidate;
        }
    }
    throw pack_error(std::string("no launcher image: give its path with --launcher, set ") + launcher_variable +
                     ", or put " + launcher_file_name + " beside tavrin-pack" +
                     (tool_directory.empty() ? "" : " (in " + in_quotes(tool_directory) + ")"));
}

int max_compression_level() { return ZSTD_maxCLevel(); }

pack_result pack_application(const pack_options& options)
{
    const auto start = std::chrono::steady_clock::now();
    // Everything that can be checked is checked before the output is touched.
    std::string launcher_what = "launcher image " + in_quotes(options.launcher);
    std::ifstream launcher(options.launcher, std::ios::binary);
    if (!launcher) throw pack_error("cannot open the " + launcher_what);
    pe_headers headers = read_pe_headers(launcher, launcher_what);
    check_launcher_image(headers, launcher_what);
    const std::uint64_t settings_rva = record_address(headers, find_launch_settings(launcher, headers, launcher_what));
    std::vector<icon_image> icons;
    for (const auto& file : options.identity.icons) {
        auto images = read_icon_file(file);
        icons.insert(icons.end(), std::make_move_iterator(images.begin()), std::make_move_iterator(images.end()));
    }
    const std::vector<resource_entry> launcher_resources = read_resources(launcher, headers, launcher_what);

    std::vector<archive_entry> files = collect_application_files(options.app_dir);
    check_output_location(options.app_dir, options.output);
    check_output_is_not_launcher(options.output, options.launcher);
    const chosen_entry entry = choose_entry(files, options.entry);
    order_entries(files, entry.name);

    pack_result result;
    auto warn = [&](const std::string& warning) {
        result.warnings.push_back(warning);
        if (options.warning) options.warning(warning);
    };
    std::optional<program_identity> program;
    if (entry.kind.program) {
        std::ifstream image(files.front().file, std::ios::binary);
        program = read_program_identity(image, "the program " + in_quotes(entry.name), options.identity.icons.empty());
        for (const auto& warning : program->warnings) warn(warning);
    }
    const identity_base base = make_identity_base(options.output.filename().u8string(), program ? &*program : nullptr);
    const std::vector<resource_entry> resources = package_resources(launcher_resources, options.identity, icons, base);
    const version_identity version = resolved_version_identity(options.identity, base.version);
    image_edits edits;
    edits.subsystem = base.subsystem;
    if (options.identity.console) edits.subsystem = *options.identity.console ? pe_subsystem_console : pe_subsystem_windows;
    edits.resources = [&](std::uint32_t rva) { return write_resource_section(resources, rva); };
    result.entry = entry.kind;
    result.subsystem = edits.subsystem;
    result.subsystem_source = options.identity.console ? (*options.identity.console ? "--console" : "--windows")
                              : entry.kind.program     ? "the program's"
                                                       : "a DLL entry's default; --console for a console program";
    std::tie(result.manifest_level, result.manifest_level_source) = resolved_execution_level(options.identity, base);

    launch_settings chosen = options.settings;
    chosen.exe_entry = entry.kind.program;
    result.no_progress = chosen.no_progress;
    if (chosen.cached && chosen.unpack_spec.empty()) chosen.unpack_spec = default_cached_spec(version.company);
    if (!chosen.unpack_spec.empty()) check_unpack_spec(chosen.unpack_spec, chosen.cached);
    launch_settings_bytes(chosen);  // refuses a spec or an identity too long for the record
    if (chosen.cached) {
        const std::u16string marker = u"" TAVRIN_CACHE_MARKER_NAME;
        for (const auto& file : files)
            if (windows_case_key(file.name) == windows_case_key(marker))
                throw name_error(in_quotes(file.name) + ": in cached mode this name is the launcher's own (its "
                                 "completion marker)");
    }
    import_check imports = check_imports(files, options.allowed_missing, options.collect);
    files.insert(files.end(), std::make_move_iterator(imports.added.begin()), std::make_move_iterator(imports.added.end()));
    order_entries(files, entry.name);
    check_collected_names(files, imports.collected);

    if (!options.settings.unpack_spec.empty())
        for (const auto& warning : unpack_spec_warnings(options.settings.unpack_spec, chosen.cached)) warn(warning);
    for (const auto& file : files) {
        result.names.push_back(file.name);
        std::string warning = long_path_warning(file.name);
        if (!warning.empty()) warn(warning);
    }
    check_unpack_directory(chosen, version_placeholder_values(options.identity, version, base.source), result.names);
    for (const auto& warning : imports.warnings) warn(warning);
    for (const auto& missing : imports.missing)
        if (missing.delay_loaded) warn(delay_load_warning(missing));
    std::string refusal = missing_imports_message(imports);
    if (!refusal.empty()) throw import_error(refusal);
    result.collected = std::move(imports.collected);
    result.directories = count_directories(result.names);
    progress_callback progress = [&](const block_progress& state) {
        result.content_bytes = state.bytes_total;
        result.level = state.level;
        result.threads = state.threads;
        result.window_log = state.window_log;
        result.window_size = state.window_size;
        if (options.progress) options.progress(state);
    };

    temporary_output temporary(options.output);
    {
        interruptible_output file(temporary.path());
        std::iostream& out = file.stream();
        result.block_size = write_image_with_section(launcher, headers, out, [&](std::ostream& stream) {
            write_block(files, stream, options.block, progress);
        }, edits);
        // The settings record is found again by its address: the copy may move sections in the
        // file. In cached mode it names the attached data, which is read back for that through
        // the same stream, so that an interruption can still delete the file.
        const auto settings_offset = read_pe_headers(out, "the packed image").file_offset(settings_rva, launch_settings_size);
        if (!settings_offset) throw image_error("the packed image lost the launch settings record");
        write_launch_settings(out, *settings_offset, chosen);
        file.close();
    }
#ifndef _WIN32
    make_executable(temporary.path());
#endif
    temporary.commit();
    std::error_code error;
    result.output_size = fs::file_size(options.output, error);
    result.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    return result;
}

}  // namespace tavrin
