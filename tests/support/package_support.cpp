// Test support (Windows): packages of the probe application, started and read back.
#include "tests/support/package_support.h"

#include <windows.h>

#include <fstream>

#include <gtest/gtest.h>

#include "format/format.h"
#include "packer/image/pe_image.h"

using namespace testing_support;

namespace package_support {

namespace {

// Build-tree paths (Unix) seen through Wine's Z: drive.
std::wstring from_build_tree(const char* unix_path)
{
    std::wstring path = L"Z:" + widen(unix_path);
    for (auto& c : path)
        if (c == L'/') c = L'\\';
    return path;
}

}  // namespace

const std::wstring launcher_image = from_build_tree(TAVRIN_LAUNCHER_IMAGE);
const std::wstring probe_dll = from_build_tree(TAVRIN_PROBE_DLL);
const std::wstring no_entry_dll = from_build_tree(TAVRIN_NO_ENTRY_DLL);
const std::wstring exe_app = from_build_tree(TAVRIN_EXE_APP);
const std::wstring exe_app_windowed = from_build_tree(TAVRIN_EXE_APP_WINDOWED);

std::wstring temp_root()
{
    wchar_t buffer[MAX_PATH + 1];
    DWORD length = GetTempPathW(MAX_PATH + 1, buffer);
    return std::wstring(buffer, length);
}

std::vector<std::wstring> unpack_directories()
{
    std::vector<std::wstring> found;
    WIN32_FIND_DATAW data;
    HANDLE search = FindFirstFileW((temp_root() + L"onefile_*").c_str(), &data);
    if (search == INVALID_HANDLE_VALUE) return found;
    do found.push_back(data.cFileName);
    while (FindNextFileW(search, &data));
    FindClose(search);
    return found;
}

void make_package(const std::filesystem::path& exe, std::vector<tavrin::archive_entry> extra,
                  const std::string& first_content)
{
    std::vector<tavrin::archive_entry> entries;
    if (first_content.empty())
        entries.push_back(tavrin::archive_entry::from_file(u"probe.dll", std::filesystem::path(probe_dll)));
    else
        entries.push_back(packer_test::memory_entry(u"probe.dll", first_content));
    for (auto& entry : extra) entries.push_back(std::move(entry));
    make_package_of(exe, entries);
}

void make_package_of(const std::filesystem::path& exe, const std::vector<tavrin::archive_entry>& entries,
                     const tavrin::block_options& options)
{
    std::ifstream launcher(std::filesystem::path(launcher_image), std::ios::binary);
    auto headers = tavrin::read_pe_headers(launcher, narrow(launcher_image));
    std::ofstream out(exe, std::ios::binary | std::ios::trunc);
    tavrin::write_image_with_section(launcher, headers, out,
                                     [&](std::ostream& block) { tavrin::write_block(entries, block, options); });
}

std::vector<tavrin::archive_entry> lay_out_program(const std::filesystem::path& directory, const std::wstring& program)
{
    namespace fs = std::filesystem;
    fs::create_directories(directory / L"data");
    fs::copy_file(program, directory / L"exe_app.exe");
    fs::copy_file(from_build_tree(TAVRIN_PLUGIN_HELPER_DLL), directory / L"plugin_helper.dll");
    write_file(directory / L"data" / L"greeting.txt", "hello from data");
    std::vector<tavrin::archive_entry> entries;
    for (const char16_t* name : {u"exe_app.exe", u"plugin_helper.dll", u"data\\greeting.txt"})
        entries.push_back(tavrin::archive_entry::from_file(name, directory / fs::path(name)));
    return entries;
}

tavrin::launch_settings set_launch_settings(const std::filesystem::path& exe, tavrin::launch_settings settings)
{
    std::ifstream launcher(std::filesystem::path(launcher_image), std::ios::binary);
    const std::string what = narrow(launcher_image);
    const std::uint64_t offset = tavrin::find_launch_settings(launcher, tavrin::read_pe_headers(launcher, what), what);
    std::fstream image(exe, std::ios::binary | std::ios::in | std::ios::out);
    tavrin::write_launch_settings(image, offset, settings);
    return *tavrin::read_launch_settings(image, offset);
}

void patch_version_text(const std::filesystem::path& exe, const std::u16string& old, const std::u16string& replacement)
{
    // The bytes of UTF-16 text as x86-64 holds it: little-endian.
    auto bytes = [](const std::u16string& text) { return std::string(reinterpret_cast<const char*>(text.data()), 2 * text.size()); };
    std::string image = read_file(exe), patched = bytes(replacement);
    const std::string found = bytes(old);
    const std::size_t at = image.find(found);
    ASSERT_NE(at, std::string::npos);
    ASSERT_EQ(image.find(found, at + 1), std::string::npos) << "the text stands more than once";
    patched.resize(found.size(), '\0');
    write_file(exe, image.replace(at, found.size(), patched));
}

void damage_attached_data(const std::filesystem::path& exe)
{
    std::string image = read_file(exe);
    std::ifstream in(exe, std::ios::binary);
    const auto headers = tavrin::read_pe_headers(in, narrow(exe.wstring()));
    in.close();
    for (const auto& section : headers.sections)
        if (section.name == TAVRIN_ATTACHED_SECTION_NAME) {
            image[section.raw_offset + section.virtual_size / 2] ^= 0x5A;
            write_file(exe, image);
            return;
        }
    ADD_FAILURE() << "no attached data in " << narrow(exe.wstring());
}

std::wstring unix_path(const std::filesystem::path& path)
{
    using unix_name_function = char* (*)(const wchar_t*);
    auto unix_name = reinterpret_cast<unix_name_function>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "wine_get_unix_file_name")));
    char* name = unix_name != nullptr ? unix_name(path.c_str()) : nullptr;
    if (name == nullptr) return L"";
    std::wstring text = widen(name);
    HeapFree(GetProcessHeap(), 0, name);
    return text;
}

// Whether `path` shows, within 2 s, as `wanted` says: a reparse point, or nothing at all. Wine 8
// starts a Unix program through a Windows process that may end before the program's work shows.
bool link_shows(const std::filesystem::path& path, bool wanted)
{
    for (int i = 0; i < 100; ++i) {
        const DWORD attributes = GetFileAttributesW(path.c_str());
        const bool link = attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
        if (wanted ? link : attributes == INVALID_FILE_ATTRIBUTES) return true;
        Sleep(20);
    }
    return false;
}

bool make_unix_link(const std::filesystem::path& target, const std::filesystem::path& link)
{
    run_process(L"Z:\\bin\\ln", L"ln -s " + quote_argument(unix_path(target)) + L" " + quote_argument(unix_path(link)));
    return link_shows(link, true);
}

bool remove_unix_link(const std::filesystem::path& link)
{
    run_process(L"Z:\\bin\\rm", L"rm " + quote_argument(unix_path(link)));
    return link_shows(link, false);
}

bool set_immutable(const std::wstring& path, bool immutable)
{
    const std::wstring name = unix_path(path);
    if (name.empty()) return false;
    // Wine hands no Unix exit code back: whether a directory can be made there tells.
    run_process(L"Z:\\usr\\bin\\chattr", std::wstring(immutable ? L"chattr +i " : L"chattr -i ") + quote_argument(name));
    const std::wstring trial = path + L"\\trial";
    const bool made = CreateDirectoryW(trial.c_str(), NULL);
    if (made) RemoveDirectoryW(trial.c_str());
    return made != immutable;
}

// One report line per fact; values decoded from hexadecimal UTF-16. A last line without its newline
// is still being written and is left out.
report parse_report(const std::string& text)
{
    report facts;
    std::size_t at = 0;
    for (;;) {
        std::size_t end = text.find('\n', at);
        if (end == std::string::npos) break;
        std::string line = text.substr(at, end - at);
        at = end + 1;
        std::size_t eq = line.find('=');
        std::wstring value;
        for (std::size_t i = eq + 1; i + 4 <= line.size(); i += 4)
            value.push_back(static_cast<wchar_t>(std::stoul(line.substr(i, 4), nullptr, 16)));
        facts.emplace(line.substr(0, eq), value);
    }
    return facts;
}

std::vector<std::wstring> all(const report& facts, const std::string& key)
{
    std::vector<std::wstring> values;
    auto range = facts.equal_range(key);
    for (auto it = range.first; it != range.second; ++it) values.push_back(it->second);
    return values;
}

std::wstring one(const report& facts, const std::string& key)
{
    auto values = all(facts, key);
    return values.empty() ? L"<none>" : values.front();
}

run start(const std::filesystem::path& exe, const std::vector<std::wstring>& arguments,
          run_options options, const std::wstring& argv0)
{
    std::wstring line = quote_argument(argv0.empty() ? exe.wstring() : argv0);
    for (const auto& argument : arguments) line += L" " + quote_argument(argument);
    return start_line(exe, line, options);
}

run start_line(const std::filesystem::path& exe, const std::wstring& line, run_options options)
{
    temp_directory reports;
    auto report_path = reports.path() / L"report";
    options.env[L"TAVRIN_PROBE_REPORT"] = report_path.wstring();
    run result;
    result.process = run_process(exe.wstring(), line, options);
    result.facts = parse_report(read_file(report_path));
    return result;
}

}  // namespace package_support
