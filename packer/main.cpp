// tavrin-pack: the command-line front of the packer library. Exit codes: 0 packed, 1 the packing
// failed, 2 the command line is wrong.
#include <cstdlib>
#include <filesystem>
#include <iostream>
#include <stdexcept>
#include <string>
#include <vector>

#ifdef _WIN32
#include <windows.h>
#endif

#include "packer/pack.h"
#include "payload/format.h"
#include "resources/product.h"

namespace {
namespace fs = std::filesystem;

enum exit_code { exit_packed = 0, exit_failed = 1, exit_usage = 2 };

const char tool_name[] = "tavrin-pack";

// A command line that cannot be carried out as written.
class usage_error : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

std::string help_text()
{
    return std::string("Usage: ") + tool_name + " APP_DIR -o OUT.exe [--entry NAME] [--level N] [--launcher PATH]\n" +
           "       " + tool_name + " --help | --version\n"
           "\n"
           "Packs every file below APP_DIR into one executable for 64-bit Windows: a copy of the launcher\n"
           "image that carries the files in its " TAVRIN_ATTACHED_SECTION_NAME " section. Started, OUT.exe unpacks them into a private\n"
           "directory, loads the entry DLL from there and calls its run_code; it removes the directory at the end.\n"
           "\n"
           "Options:\n"
           "  -o, --output OUT.exe   the executable to write; replaced only once it is complete\n"
           "  --entry NAME           the entry DLL, relative to APP_DIR (default: the only top-level .dll\n"
           "                         that exports run_code); it is unpacked first\n"
           "  --level N              Zstandard compression level, 1.." + std::to_string(tavrin::max_compression_level()) +
           " (default " + std::to_string(tavrin::block_options{}.level) + ")\n"
           "  --launcher PATH        the launcher image (default: the file that " + tavrin::launcher_variable + " names,\n"
           "                         else " + tavrin::launcher_file_name + " beside " + tool_name + ")\n"
           "  -h, --help             show this help and exit\n"
           "  --version              show the version and exit\n"
           "\n"
           "Exit codes: 0 packed; 1 packing failed (OUT.exe left as it was); 2 wrong command line.\n";
}

// The directory of the running tool, where the launcher image is looked for last; empty if unknown.
fs::path tool_directory(const std::string& argv0)
{
    std::error_code error;
#ifdef _WIN32
    std::wstring buffer(MAX_PATH, L'\0');
    for (;;) {
        DWORD length = GetModuleFileNameW(nullptr, buffer.data(), static_cast<DWORD>(buffer.size()));
        if (length == 0) break;
        if (length < buffer.size()) return fs::path(buffer.substr(0, length)).parent_path();
        buffer.resize(buffer.size() * 2);
    }
#else
    fs::path self = fs::read_symlink("/proc/self/exe", error);
    if (!error) return self.parent_path();
#endif
    fs::path given = fs::u8path(argv0);
    if (!given.has_parent_path()) return {};
    return fs::absolute(given, error).parent_path();
}

// Hands out the arguments of one command in order.
class argument_reader {
public:
    explicit argument_reader(std::vector<std::string> arguments) : arguments_(std::move(arguments)) {}

    bool done() const { return next_ == arguments_.size(); }
    const std::string& take() { return arguments_[next_++]; }

    // The value of `option`: the text after '=' when it was given as --name=value, else the next argument.
    std::string value(const std::string& option, const std::string* inline_value)
    {
        if (inline_value) return *inline_value;
        if (done()) throw usage_error("option " + option + " needs a value");
        return take();
    }

private:
    std::vector<std::string> arguments_;
    std::size_t next_ = 0;
};

int parse_level(const std::string& text)
{
    int maximum = tavrin::max_compression_level();
    bool digits = !text.empty() && text.size() <= 3 && text.find_first_not_of("0123456789") == std::string::npos;
    int level = digits ? std::stoi(text) : 0;
    if (level < 1 || level > maximum)
        throw usage_error("--level takes a number from 1 to " + std::to_string(maximum) + ", not '" + text + "'");
    return level;
}

std::u16string parse_entry(std::string text)
{
    for (char& c : text)
        if (c == '\\') c = '/';  // the archive's separator, accepted on every system
    fs::path relative = fs::u8path(text).lexically_normal();
    if (text.empty() || relative.is_absolute() || relative.has_root_name() || *relative.begin() == "..")
        throw usage_error("--entry takes a file name relative to APP_DIR, not '" + text + "'");
    return tavrin::archive_name(relative);
}

int run_pack(std::vector<std::string> arguments, const fs::path& tool_dir)
{
    tavrin::pack_options options;
    fs::path launcher;
    std::vector<std::string> positional;
    argument_reader reader(std::move(arguments));
    bool options_ended = false;
    while (!reader.done()) {
        std::string argument = reader.take();
        if (options_ended || argument.size() < 2 || argument[0] != '-') {
            positional.push_back(argument);
            continue;
        }
        if (argument == "--") {
            options_ended = true;
            continue;
        }
        if (argument == "-h" || argument == "--help") {
            std::cout << help_text();
            return exit_packed;
        }
        std::string name = argument;
        std::string attached;
        const std::string* inline_value = nullptr;
        if (auto equals = argument.find('='); argument.rfind("--", 0) == 0 && equals != std::string::npos) {
            name = argument.substr(0, equals);
            attached = argument.substr(equals + 1);
            inline_value = &attached;
        }
        if (name == "-o" || name == "--output")
            options.output = fs::u8path(reader.value(name, inline_value));
        else if (name == "--entry")
            options.entry = parse_entry(reader.value(name, inline_value));
        else if (name == "--level")
            options.block.level = parse_level(reader.value(name, inline_value));
        else if (name == "--launcher")
            launcher = fs::u8path(reader.value(name, inline_value));
        else
            throw usage_error("unknown option '" + argument + "'");
    }
    if (positional.empty()) throw usage_error("no application directory given");
    if (positional.size() > 1) throw usage_error("one application directory only; '" + positional[1] + "' is one too many");
    if (options.output.empty()) throw usage_error("no output given (-o OUT.exe)");
    options.app_dir = fs::u8path(positional.front());

    options.launcher = tavrin::find_launcher_image(launcher, tool_dir);
    tavrin::pack_result result = tavrin::pack_application(options);
    std::cout << tool_name << ": packed " << result.names.size() << " files (" << result.content_bytes << " bytes, entry '"
              << tavrin::to_utf8(result.names.front()) << "') into " << options.output.u8string() << " ("
              << result.output_size << " bytes)\n";
    return exit_packed;
}

// The commands, the first one also taken when the first argument names none. Later commands
// (listing or checking a packed executable) join this table.
struct command {
    const char* name;
    int (*run)(std::vector<std::string> arguments, const fs::path& tool_dir);
};
const command commands[] = {
    {"pack", run_pack},
};

int run(std::vector<std::string> arguments, const fs::path& tool_dir)
{
    if (!arguments.empty() && (arguments[0] == "-h" || arguments[0] == "--help")) {
        std::cout << help_text();
        return exit_packed;
    }
    if (!arguments.empty() && arguments[0] == "--version") {
        std::cout << tool_name << " " << TAVRIN_PRODUCT_VERSION_TEXT << "\n";
        return exit_packed;
    }
    for (const auto& command : commands) {
        if (!arguments.empty() && arguments[0] == command.name) {
            arguments.erase(arguments.begin());
            return command.run(std::move(arguments), tool_dir);
        }
    }
    return commands[0].run(std::move(arguments), tool_dir);
}

int guarded_main(std::vector<std::string> arguments)
{
    std::string argv0 = arguments.empty() ? std::string() : arguments.front();
    if (!arguments.empty()) arguments.erase(arguments.begin());
    try {
        return run(std::move(arguments), tool_directory(argv0));
    } catch (const usage_error& error) {
        std::cerr << tool_name << ": " << error.what() << "\nTry '" << tool_name << " --help'.\n";
        return exit_usage;
    } catch (const std::exception& error) {
        std::cerr << tool_name << ": error: " << error.what() << "\n";
        return exit_failed;
    }
}

}  // namespace

#ifdef _WIN32
int wmain(int argc, wchar_t** argv)
{
    std::vector<std::string> arguments;
    for (int i = 0; i < argc; ++i) {
        std::wstring wide(argv[i]);
        arguments.push_back(tavrin::to_utf8(std::u16string(wide.begin(), wide.end())));
    }
    return guarded_main(std::move(arguments));
}
#else
int main(int argc, char** argv)
{
    return guarded_main(std::vector<std::string>(argv, argv + argc));
}
#endif
