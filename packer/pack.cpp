// Packing an application directory: collection, naming, entry choice and the output written
// through a temporary file.
#include "packer/pack.h"

#include <zstd.h>

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <map>
#include <random>
#include <system_error>

#include "packer/pe_image.h"

namespace tavrin {
namespace fs = std::filesystem;
namespace {

std::string in_quotes(const fs::path& path) { return "'" + path.u8string() + "'"; }
std::string in_quotes(const std::u16string& name) { return "'" + to_utf8(name) + "'"; }

bool is_top_level(const std::u16string& name) { return name.find(u'\\') == std::u16string::npos; }

char16_t ascii_lower(char16_t unit) { return unit >= u'A' && unit <= u'Z' ? static_cast<char16_t>(unit - u'A' + u'a') : unit; }

std::u16string ascii_folded(std::u16string text)
{
    std::transform(text.begin(), text.end(), text.begin(), ascii_lower);
    return text;
}

bool has_dll_extension(const std::u16string& name)
{
    static const std::u16string extension = u".dll";
    return name.size() > extension.size() && ascii_folded(name.substr(name.size() - extension.size())) == extension;
}

// One path component as UTF-16, refused when Windows could not create it under the same name.
std::u16string checked_component(const fs::path& part)
{
    std::u16string component;
    try {
        component = part.u16string();
    } catch (const std::exception&) {
        throw name_error("refused name '" + part.string() + "': not valid Unicode text");
    }
    auto refuse = [&](const std::string& why) { throw name_error("refused name " + in_quotes(component) + ": " + why); };
    static const std::u16string forbidden = u"<>:\"|?*";
    for (char16_t unit : component) {
        if (unit == u'\\') refuse("a file or directory name holds a backslash, which Windows takes as a separator");
        if ((unit != 0 && unit < 0x20) || forbidden.find(unit) != std::u16string::npos)
            refuse("holds a character that Windows file names cannot hold");
    }
    if (!component.empty() && component != u"." && component != u".." &&
        (component.back() == u'.' || component.back() == u' '))
        refuse("a name ending in '.' or ' ' would lose that character on Windows");
    return component;
}

// Beside its target, removed unless committed: a half-written output never takes the target's name.
class temporary_output {
public:
    explicit temporary_output(fs::path target) : target_(std::move(target))
    {
        std::random_device random;
        for (int attempt = 0; attempt < 16; ++attempt) {
            fs::path candidate = target_.parent_path() /
                                 ("." + target_.filename().u8string() + "." + std::to_string(random()) + ".tmp");
            std::error_code error;
            if (!fs::exists(candidate, error) && !error) {
                path_ = candidate;
                return;
            }
        }
        throw pack_error("cannot find a free temporary file name beside " + in_quotes(target_));
    }
    temporary_output(const temporary_output&) = delete;
    temporary_output& operator=(const temporary_output&) = delete;
    ~temporary_output()
    {
        if (committed_) return;
        std::error_code ignored;
        fs::remove(path_, ignored);
    }

    const fs::path& path() const { return path_; }

    void commit()
    {
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

// The output must not be packed into a later run from the same directory, nor replace a directory.
void check_output_location(const fs::path& app_dir, const fs::path& output)
{
    std::error_code error;
    if (output.empty() || !output.has_filename()) throw pack_error("the output must name a file");
    if (fs::is_directory(output, error)) throw pack_error("the output " + in_quotes(output) + " is a directory");
    fs::path directory = fs::absolute(output, error).parent_path();
    if (!fs::is_directory(directory, error))
        throw pack_error("the output's directory " + in_quotes(directory) + " does not exist");
    fs::path app = fs::canonical(app_dir, error);
    if (error) throw pack_error("cannot resolve the application directory " + in_quotes(app_dir) + ": " + error.message());
    fs::path target = fs::weakly_canonical(fs::absolute(output), error);
    if (error) throw pack_error("cannot resolve the output path " + in_quotes(output) + ": " + error.message());
    auto mismatch = std::mismatch(app.begin(), app.end(), target.begin(), target.end());
    if (mismatch.first == app.end())
        throw pack_error("the output " + in_quotes(output) + " lies inside the application directory " + in_quotes(app_dir));
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

}  // namespace

std::u16string archive_name(const fs::path& relative)
{
    std::u16string name;
    for (const auto& part : relative) {
        if (!name.empty()) name += u'\\';
        name += checked_component(part);
    }
    return name;
}

std::vector<archive_entry> collect_application_files(const fs::path& app_dir)
{
    std::error_code error;
    if (!fs::is_directory(app_dir, error)) throw pack_error("the application directory " + in_quotes(app_dir) + " is not a directory");
    fs::path root = app_dir.has_filename() ? app_dir : app_dir.parent_path();

    std::vector<archive_entry> files;
    fs::recursive_directory_iterator walk(root, fs::directory_options::none, error);
    for (; !error && walk != fs::recursive_directory_iterator(); walk.increment(error)) {
        const fs::directory_entry& item = *walk;
        fs::file_status link = item.symlink_status(error);
        if (error) break;
        if (fs::is_directory(link)) continue;  // the walk descends into it
        std::error_code target_error;
        fs::file_status target = item.status(target_error);
        if (fs::is_symlink(link) && !fs::exists(target))
            throw pack_error(in_quotes(item.path()) + " is a symbolic link whose target does not exist");
        if (fs::is_regular_file(target)) {
            files.push_back(archive_entry::from_file(archive_name(item.path().lexically_relative(root)), item.path()));
        } else if (fs::is_directory(target)) {
            throw pack_error(in_quotes(item.path()) + " is a symbolic link to a directory, which is not followed");
        } else {
            throw pack_error(in_quotes(item.path()) + " is neither a regular file nor a directory");
        }
    }
    if (error) throw pack_error("cannot read the application directory " + in_quotes(app_dir) + ": " + error.message());

    std::sort(files.begin(), files.end(), [](const archive_entry& a, const archive_entry& b) { return a.name < b.name; });
    check_entry_names(files);
    std::map<std::u16string, const std::u16string*> folded;
    for (const auto& file : files) {
        auto [place, fresh] = folded.emplace(ascii_folded(file.name), &file.name);
        if (!fresh)
            throw name_error("refused name " + in_quotes(file.name) + ": differs only in case from " + in_quotes(*place->second) +
                             ", and one would overwrite the other on Windows");
    }
    return files;
}

void check_entry_dll(const fs::path& file, const std::string& name)
{
    std::string what = "entry '" + name + "'";
    std::ifstream in(file, std::ios::binary);
    if (!in) throw entry_error(what + ": cannot open " + in_quotes(file));
    try {
        pe_headers headers = read_pe_headers(in, what);
        if (!headers.is_dll()) throw entry_error(what + ": not a DLL");
        auto exports = read_export_names(in, headers, what);
        if (std::find(exports.begin(), exports.end(), entry_point_name) == exports.end())
            throw entry_error(what + ": does not export " + entry_point_name);
    } catch (const image_error& error) {
        throw entry_error(error.what());
    }
}

std::u16string choose_entry(const std::vector<archive_entry>& files, const std::optional<std::u16string>& requested)
{
    if (requested) {
        auto found = std::find_if(files.begin(), files.end(), [&](const archive_entry& file) { return file.name == *requested; });
        if (found == files.end())
            throw entry_error("entry " + in_quotes(*requested) + " is not a file of the application directory");
        check_entry_dll(found->file, to_utf8(found->name));
        return found->name;
    }

    std::vector<std::u16string> usable;
    std::string refused;
    for (const auto& file : files) {
        if (!is_top_level(file.name) || !has_dll_extension(file.name)) continue;
        try {
            check_entry_dll(file.file, to_utf8(file.name));
            usable.push_back(file.name);
        } catch (const entry_error& error) {
            refused += std::string("\n  ") + error.what();
        }
    }
    if (usable.size() == 1) return usable.front();
    if (usable.empty())
        throw entry_error(std::string("no entry: no top-level DLL of the application directory exports ") +
                          entry_point_name + refused);
    std::string list;
    for (const auto& name : usable) list += (list.empty() ? "" : ", ") + in_quotes(name);
    throw entry_error("several top-level DLLs export " + std::string(entry_point_name) + " (" + list +
                      "); choose the entry with --entry");
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
    fs::path beside = tool_directory / launcher_file_name;
    std::error_code error;
    if (!tool_directory.empty() && fs::is_regular_file(beside, error)) return beside;
    throw pack_error(std::string("no launcher image: give its path with --launcher, set ") + launcher_variable +
                     ", or put " + launcher_file_name + " beside tavrin-pack" +
                     (tool_directory.empty() ? "" : " (in " + in_quotes(tool_directory) + ")"));
}

int max_compression_level() { return ZSTD_maxCLevel(); }

pack_result pack_application(const pack_options& options)
{
    // Everything that can be checked is checked before the output is touched.
    std::string launcher_what = "launcher image " + in_quotes(options.launcher);
    std::ifstream launcher(options.launcher, std::ios::binary);
    if (!launcher) throw pack_error("cannot open the " + launcher_what);
    pe_headers headers = read_pe_headers(launcher, launcher_what);
    check_launcher_image(headers, launcher_what);

    std::vector<archive_entry> files = collect_application_files(options.app_dir);
    check_output_location(options.app_dir, options.output);
    std::u16string entry = choose_entry(files, options.entry);
    order_entries(files, entry);

    pack_result result;
    for (const auto& file : files) result.names.push_back(file.name);
    progress_callback progress = [&](const block_progress& state) {
        result.content_bytes = state.bytes_total;
        if (options.progress) options.progress(state);
    };

    temporary_output temporary(options.output);
    {
        std::ofstream out(temporary.path(), std::ios::binary | std::ios::trunc);
        if (!out) throw pack_error("cannot create " + in_quotes(temporary.path()));
        result.block_size = write_image_with_section(launcher, headers, out, [&](std::ostream& stream) {
            write_block(files, stream, options.block, progress);
        });
        out.close();
        if (out.fail()) throw pack_error("cannot write " + in_quotes(temporary.path()));
    }
#ifndef _WIN32
    make_executable(temporary.path());
#endif
    temporary.commit();
    std::error_code error;
    result.output_size = fs::file_size(options.output, error);
    return result;
}

}  // namespace tavrin
