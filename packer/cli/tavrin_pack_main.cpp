// tavrin-pack: the command line over the packer library: pack, list, verify, extract. Exit codes:
// 0 done, 1 failed (or the package is damaged), 2 the command line is wrong.
#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#ifdef _WIN32
#include <io.h>
#include <windows.h>
#include <aclapi.h>
#else
#include <unistd.h>
#endif

#include "packer/archive/inspect.h"
#include "packer/archive/launch_settings.h"
#include "packer/base/file_places.h"
#include "packer/base/helpers.h"
#include "packer/base/interrupt_cleanup.h"
#include "packer/cli/report.h"
#include "packer/pack.h"
#include "format/format.h"
#include "format/placeholders.h"
#include "format/settings_record.h"
#include "resources/product.h"
#include "resources/version_strings.h"

namespace {
namespace fs = std::filesystem;

enum exit_code { exit_done = 0, exit_failed = 1, exit_usage = 2 };

const char tool_name[] = "tavrin-pack";

// A command line that cannot be carried out as written.
class usage_error : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// The width that the help's lines built from the placeholder table wrap at.
constexpr std::size_t help_width = 96;

// `text` broken at spaces into lines of at most help_width columns (a longer word alone on its
// line), without a final newline: the first line starts at column `column`, the others after
// `indent` spaces.
std::string wrapped(const std::string& text, std::size_t column, std::size_t indent)
{
    std::string lines;
    std::size_t at = 0;
    bool line_empty = true;
    while (at < text.size()) {
        std::size_t end = text.find(' ', at);
        if (end == std::string::npos) end = text.size();
        const std::size_t word = end - at;
        if (!line_empty && column + 1 + word > help_width) {
            lines += "\n" + std::string(indent, ' ');
            column = indent;
            line_empty = true;
        }
        if (!line_empty) {
            lines += ' ';
            ++column;
        }
        lines.append(text, at, word);
        column += word;
        line_empty = false;
        at = end + 1;
    }
    return lines;
}

std::string help_text()
{
    using tavrin::placeholder_group;
    using tavrin::placeholder_names;
    const std::string levels = "1.." + std::to_string(tavrin::max_compression_level());
    const std::string option_indent(25, ' ');  // where an option's description starts
    // "10 {PID}, 11 {RANDOM}, ...": what the values not known when packing are counted at.
    std::string counted;
    for (placeholder_id id : tavrin::placeholder_group_ids(placeholder_group::counted_apart))
        counted += (counted.empty() ? "" : ", ") + std::to_string(placeholders[id].allowance) + " {" + placeholders[id].name + "}";
    return std::string("Usage: ") + tool_name + " [pack] APP_DIR -o OUT.exe [--entry NAME] [--level N] [--window N]\n" +
           "                   [--threads N] [--unpack-dir SPEC] [--cached] [--no-progress] [--launcher PATH]\n"
           "                   [--allow-missing DLL]... [--dll-path DIR]... [--no-collect]\n"
           "                   [--quiet] [--console | --windows] [--icon FILE]...\n"
           "                   [--company TEXT] [--product TEXT] [--app-version A.B.C.D] [--description TEXT]\n"
           "                   [--copyright TEXT] [--original-filename NAME] [--manifest-level LEVEL]\n"
           "       " + tool_name + " list OUT.exe\n"
           "       " + tool_name + " cache-dir OUT.exe\n"
           "       " + tool_name + " cache-list OUT.exe\n"
           "       " + tool_name + " cache-clean OUT.exe [--all]\n"
           "       " + tool_name + " verify OUT.exe [--quiet]\n"
           "       " + tool_name + " extract OUT.exe DIR\n"
           "       " + tool_name + " --help | --version\n"
           "\n"
           "pack (the command when none is named): packs every file below APP_DIR into one executable\n"
           "for 64-bit Windows, a copy of the launcher image that carries the files in its " TAVRIN_ATTACHED_SECTION_NAME "\n"
           "section. Started, OUT.exe unpacks them into a private directory under %TEMP%, loads the entry\n"
           "DLL from there and calls its run_code, or starts the entry program; it removes the directory\n"
           "at the end (with --cached it keeps it and reuses it in later runs). The same files and\n"
           "options give the same bytes, whatever the file times, listing order or number of threads.\n"
           "APP_DIR is the application's folder: a program or DLL given in its place is refused with the\n"
           "command that packs its folder with it as the --entry (its files alone could lack what it\n"
           "loads at run time).\n"
           "Refused, each named: names Windows cannot create (reserved device names such as CON or\n"
           "NUL.txt, < > : \" | ? * and control characters, a trailing dot or space), names Windows takes\n"
           "for one file (differing only in letter case), unreadable files, symbolic links to directories\n"
           "or to nothing (links to files are followed: the file is packed under the link's name), and\n"
           "anything else that is not a file or a directory. A name whose unpack path would reach 260\n"
           "characters under a typical %TEMP% draws a warning.\n"
           "Every x86-64 image among the files (known by its content, whatever its name) has its imports\n"
           "checked: a DLL it imports must be a top-level file of APP_DIR, a file in the image's own\n"
           "directory (letter case ignored, as Windows does), or a DLL that Windows provides (System32's\n"
           "DLLs that programs link against, api-ms-win-* and ext-ms-*). Any other is collected: the\n"
           "first x86-64 DLL of that name in the --dll-path directories, then in the runtime directories\n"
           "of the mingw-w64 compiler on PATH (x86_64-w64-mingw32-g++-posix, -win32, then plain; on\n"
           "Windows g++), is packed beside its importer without its debug information (a signed one as\n"
           "it is), and its own imports are resolved in turn; the summary names each. Copies for other\n"
           "machines are passed over. What nothing provides is refused, all named at once, and so is a\n"
           "file of the package for another machine (32-bit, ARM64) that an x86-64 image imports, or a\n"
           "DLL found only as copies for other machines: each is named as built for another machine,\n"
           "which --allow-missing would not mend (the package would fail at start); the\n"
           "Visual C++ runtime (vcruntime140.dll, msvcp140.dll) is not part of Windows, and mingw-w64's\n"
           "(libstdc++-6.dll, libgcc_s_seh-1.dll, libwinpthread-1.dll) goes away with -static. A missing\n"
           "delay-loaded DLL draws a warning only. Progress goes to standard\n"
           "error (a bar on a terminal, else a line per tenth once packing takes over a second), a\n"
           "summary to standard output (with the subsystem the package got and why).\n"
           "\n"
           "  -o, --output OUT.exe   the executable to write; replaced only once it is complete, and only\n"
           "                         a file or a symbolic link (the link, never its target)\n"
           "  --entry NAME           the entry, relative to APP_DIR: a DLL that exports run_code, or a program\n"
           "                         (NAME.exe: an x86-64 console or windowed program, which the launcher\n"
           "                         starts). Default: the only top-level .dll that exports run_code, else\n"
           "                         the only top-level .exe. It is archived and unpacked first\n"
           "  --level N              Zstandard compression level, " + levels + " (default " +
           std::to_string(tavrin::default_compression_level) + ")\n"
           "  --window N             the largest window, which OUT.exe allocates at each start to unpack:\n"
           "                         a power of two from 1K to 128M, in bytes or with K/KiB or M/MiB\n"
           "                         (1024, 64K, 8M, 128MiB); default 128M, with long-distance matching.\n"
           "                         The window never exceeds the content's size.\n"
           "  --threads N            compression threads, 1.." + std::to_string(tavrin::max_threads()) +
           ", or 0 for one per core (default 0,\n"
           "                         here " + std::to_string(tavrin::resolved_threads(0)) + "); the output does not depend on it\n"
           "  --unpack-dir SPEC      where OUT.exe unpacks, as a directory spec: literal text and the\n" +
           option_indent + wrapped("placeholders " + placeholder_names(placeholder_group::all, " ", " ") + "; it must", 25, 25) +
           "\n" + option_indent + "start with " + placeholder_names(placeholder_group::roots) + " (the folder that holds\n"
           "                         OUT.exe), C:\\ or \\\\server\\share. Each component below that must be\n"
           "                         a name Windows keeps as it is (not CON or nul.txt, no trailing dot or\n"
           "                         space), and so must each --company, --product and version it uses;\n"
           "                         with the longest file name it must fit the launcher's 4095 units\n"
           + option_indent + wrapped("(run-time values counted at " + std::to_string(placeholder_path_allowance) +
                                     " for a folder or {PROGRAM*}, " + counted + "). Without --cached it must hold " +
                                     placeholder_names(placeholder_group::per_run, ", ", " or ") + " (default:", 25, 25) +
           "\n"
           "                         {TEMP}\\onefile_{PID}_{TIME_US}_{RANDOM}; one without {RANDOM} draws a\n"
           "                         warning); with --cached it may hold none of them (default:\n"
           "                         {CACHE_DIR}\\{COMPANY}\\{PRODUCT}\\{VERSION}, without {COMPANY}\\ when\n"
           "                         the company is empty). {PROGRAM*} take argument 0,\n"
           "                         and a run started by a full path stops: prefer {EXE_DIR}\n"
           "  --cached               unpack once and reuse: the files stay in the unpack directory, below\n"
           "                         which OUT.exe adds the archive identity (a hash of its attached data),\n"
           "                         and later runs check and use them instead of unpacking again\n"
           "  --no-progress          no progress window: a windowed package otherwise shows one when its\n"
           "                         start takes over " + std::to_string(progress_window_delay_ms) +
           " ms while it unpacks (temporary mode, a first\n"
           "                         cached run, a repair); a console package never shows one\n"
           "  --launcher PATH        the launcher image (default: the file that " + tavrin::launcher_variable + " names,\n"
           "                         else " + tavrin::launcher_file_name + " beside " + tool_name + ", else in\n"
           "                         ../share/tavrin-onefile from it, as installed)\n"
           "  --allow-missing DLL    accept the imported DLL although the package lacks it (the system\n"
           "                         provides it, or the application makes do without); letter case\n"
           "                         ignored; may be given more than once; it is not collected (one that\n"
           "                         nothing imports draws a warning)\n"
           "  --dll-path DIR         a directory to collect missing DLLs from, before the toolchain's;\n"
           "                         may be given more than once, searched in order\n"
           "  --no-collect           collect nothing: a DLL missing from the package is refused\n"
           "  -q, --quiet            no progress and no summary; warnings and errors still show\n"
           "\n"
           "The application's identity (written into OUT.exe's resources and header). Each option sets its\n"
           "field alone. Without it, a program entry's own subsystem, icon and version block give the field;\n"
           "otherwise the defaults below, which hold no word of the launcher's:\n"
           "  --windows              a windowed (GUI) program, subsystem 2 (the default for a DLL entry):\n"
           "                         started from a console, the console does not wait for it\n"
           "  --console              a console program, subsystem 3: a console waits for it and gets its exit\n"
           "                         code; started from Explorer, it opens a console window. Not with --windows\n"
           "  --icon FILE            the icon: an .ico file (all its sizes) or a PNG image; repeat to add\n"
           "                         images (default: the launcher's icon). A regular file of at most\n"
           "                         16 MiB; an .ico of at most 64 images; no image above 256x256\n"
           "  --company TEXT         CompanyName (default: empty)\n"
           "  --product TEXT         ProductName (default: OUT.exe's file name without .exe)\n"
           "  --app-version A.B.C.D  file and product version, numbers and text (default 0.0.0.0);\n"
           "                         --version is the tool's own\n"
           "  --description TEXT     FileDescription (default: as the product, whether given, the program's\n"
           "                         or the default; a program entry's own description first)\n"
           "  --copyright TEXT       LegalCopyright (default: empty)\n"
           "  --original-filename NAME  OriginalFilename (default: OUT.exe's file name); InternalName is\n"
           "                         the same without .exe\n"
           "  --manifest-level LEVEL asInvoker, highestAvailable or requireAdministrator: the manifest's\n"
           "                         requestedExecutionLevel (default: a program entry's own, else\n"
           "                         asInvoker); the manifest is the launcher's, also with a program entry\n"
           + wrapped("The directory spec placeholders " + placeholder_names(placeholder_group::version_texts, ", ", " and ") +
                     " give these values at run time.", 0, 0) + "\n"
           "\n"
           "list: the files of OUT.exe in archive order with their sizes, then the totals, where it\n"
           "unpacks (the spec and the mode), what the entry is, the subsystem and the identity (texts and\n"
           "version numbers, manifest level, icon images).\n"
           "\n"
           "cache-dir: where a package in cached mode keeps its files: its spec with {COMPANY}, {PRODUCT}\n"
           "and the versions taken from its version block, and {TEMP}, {HOME} and {CACHE_DIR} resolved\n"
           "for the user running the tool (on Windows; elsewhere they stay as written; {EXE_DIR} always\n"
           "does, with a note), then the archive identity. Exit 1 for a package that is not in cached\n"
           "mode, whose resources are damaged, or whose version texts the launcher would refuse.\n"
           "\n"
           "cache-list (Windows): the product's kept trees of this user, every version's with the default\n"
           "spec, marked \"(this package)\" and \"(in use)\". cache-clean removes them but the package's own\n"
           "(with --all that too); a tree in use is named and kept (exit 1). Only directories with the\n"
           "launcher's marker go; no link is followed.\n"
           "\n"
           "list, verify and extract say \"not a package\" for a directory, a device, a FIFO, a text file\n"
           "or a program without the " TAVRIN_ATTACHED_SECTION_NAME " section, and \"damaged\" for a package whose\n"
           "attached data is bad.\n"
           "\n"
           "verify: decodes all of OUT.exe's attached data and checks it: the magic, exactly one\n"
           "Zstandard frame with a content checksum that matches, the four zero bytes and the trailer,\n"
           "the window within the launcher's limit, every name valid for Windows and distinct, the end\n"
           "marker with nothing after it, a first file that is what the launch settings say (an x86-64 DLL\n"
           "exporting run_code, or with the program flag an x86-64 console or windowed program), and sound\n"
           "resources (the directory inside its section, one version block that parses, icon group\n"
           "entries naming icons of their sizes, a manifest with an execution level).\n"
           "Each problem is named (bad-magic, checksum-mismatch, stream-cut-short, ...).\n"
           "  -q, --quiet            print nothing when the package is sound\n"
           "\n"
           "extract: writes the files of OUT.exe below DIR as the launcher writes them into its unpack\n"
           "directory (missing directories created, existing files and links replaced), to look at a\n"
           "package without running it. Names that could escape DIR are refused, and so are links among\n"
           "the directories below DIR and a directory, device or FIFO where a file goes. When damage or a\n"
           "write error stops it, the file it was writing is removed and the files written whole are listed.\n"
           "\n"
           "  -h, --help             show this help and exit\n"
           "  --version              show the version and exit\n"
           "\n"
           "Exit codes:\n"
           "  0  done: packed, listed, verified sound, extracted, cache directory shown\n"
           "  1  failed: packing refused or failed (OUT.exe left as it was), the package is damaged or\n"
           "     fails verification, the file is not a package, a file cannot be read or written\n"
           "  2  wrong command line\n";
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

unsigned parse_number(const std::string& option, const std::string& text, unsigned low, unsigned high)
{
    bool digits = !text.empty() && text.size() <= 4 && text.find_first_not_of("0123456789") == std::string::npos;
    unsigned value = digits ? static_cast<unsigned>(std::stoul(text)) : high + 1;
    if (value < low || value > high)
        throw usage_error(option + " takes a number from " + std::to_string(low) + " to " + std::to_string(high) + ", not '" +
                          text + "'");
    return value;
}

// --window: a power of two from 2^min_window_log to 2^max_window_log bytes, in bytes or with a
// binary unit (K or KiB = 1024 bytes, M or MiB = 1024 K); returns its log.
unsigned parse_window(const std::string& text)
{
    const std::string limits = "--window takes a power of two from 1K to 128M bytes (1024, 64K, 64KiB, 8M, 8MiB, 128M)";
    std::size_t digits = text.find_first_not_of("0123456789");
    if (digits == std::string::npos) digits = text.size();
    const std::string unit = text.substr(digits);
    int shift = unit.empty() ? 0 : unit == "K" || unit == "KiB" ? 10 : unit == "M" || unit == "MiB" ? 20 : -1;
    if (digits == 0 || digits > 9 || shift < 0) throw usage_error(limits + ", not '" + text + "'");
    std::uint64_t bytes = std::stoull(text.substr(0, digits)) << shift;
    for (unsigned log = tavrin::min_window_log; log <= tavrin::max_window_log; ++log)
        if (bytes == (std::uint64_t{1} << log)) return log;
    throw usage_error(limits + ", not '" + text + "'");
}

// The text of option `option` as UTF-16, for texts that end up in the package's UTF-16 names and
// version block; text that is not UTF-8 is a usage error naming the option.
std::u16string utf8_option(const std::string& option, const std::string& text)
{
    try {
        return tavrin::from_utf8(text);
    } catch (const tavrin::utf8_error& error) {
        throw usage_error(option + ": the text " + error.what());
    }
}

std::u16string parse_entry(std::string text)
{
    utf8_option("--entry", text);
    for (char& c : text)
        if (c == '\\') c = '/';  // the archive's separator, accepted on every system
    fs::path relative = fs::u8path(text).lexically_normal();
    if (text.empty() || relative.is_absolute() || relative.has_root_name() || *relative.begin() == "..")
        throw usage_error("--entry takes a file name relative to APP_DIR, not '" + text + "'");
    return tavrin::archive_name(relative);
}

std::string parse_dll_name(const std::string& text)
{
    if (text.empty() || text.find_first_of("/\\") != std::string::npos)
        throw usage_error("--allow-missing takes a DLL's file name as imports name it, not '" + text + "'");
    return text;
}

fs::path parse_directory(const std::string& option, const std::string& text)
{
    if (text.empty()) throw usage_error(option + " takes a directory, not an empty text");
    return fs::u8path(text);
}

std::u16string parse_unpack_spec(const std::string& text)
{
    if (text.empty()) throw usage_error("--unpack-dir takes a directory spec, not an empty text");
    return utf8_option("--unpack-dir", text);
}

// Whether standard error is a terminal, where the progress bar may redraw its line.
bool stderr_is_terminal()
{
#ifdef _WIN32
    return _isatty(_fileno(stderr)) != 0;
#else
    return isatty(STDERR_FILENO) != 0;
#endif
}

// The operands of one command and the options that every command shares.
struct parsed_command {
    std::vector<std::string> operands;
    bool quiet = false;
};

// Walks `arguments`: "--" ends the options, "-h"/"--help" shows the help and returns nothing,
// "-q"/"--quiet" is accepted when `quiet_allowed`; every other option goes to `option` (its name
// and a reader of its value), which returns false for an option it does not know.
template <typename OptionHandler>
std::optional<parsed_command> parse_command(std::vector<std::string> arguments, bool quiet_allowed, OptionHandler option)
{
    parsed_command parsed;
    argument_reader reader(std::move(arguments));
    bool options_ended = false;
    while (!reader.done()) {
        std::string argument = reader.take();
        if (options_ended || argument.size() < 2 || argument[0] != '-') {
            parsed.operands.push_back(argument);
            continue;
        }
        if (argument == "--") {
            options_ended = true;
            continue;
        }
        if (argument == "-h" || argument == "--help") {
            std::cout << help_text();
            return std::nullopt;
        }
        if (quiet_allowed && (argument == "-q" || argument == "--quiet")) {
            parsed.quiet = true;
            continue;
        }
        std::string name = argument;
        std::string attached;
        const std::string* inline_value = nullptr;
        if (auto equals = argument.find('='); argument.rfind("--", 0) == 0 && equals != std::string::npos) {
            name = argument.substr(0, equals);
            attached = argument.substr(equals + 1);
            inline_value = &attached;
        }
        auto value = [&]() { return reader.value(name, inline_value); };
        if (!option(name, value)) throw usage_error("unknown option '" + argument + "'");
    }
    return parsed;
}

// One operand for each entry of `what`, which names them for messages.
void expect_operands(const parsed_command& parsed, const std::vector<const char*>& what)
{
    if (parsed.operands.size() < what.size()) throw usage_error(std::string("no ") + what[parsed.operands.size()] + " given");
    if (parsed.operands.size() > what.size())
        throw usage_error("'" + parsed.operands[what.size()] + "' is one operand too many");
}

// `word` as a shell takes it back: in double quotes when it holds anything but letters, digits and
// . _ - + / \ : , = @.
std::string shell_word(const std::string& word)
{
    const bool plain = !word.empty() && std::all_of(word.begin(), word.end(), [](char c) {
        return std::isalnum(static_cast<unsigned char>(c)) || std::string("._-+/\\:,=@").find(c) != std::string::npos;
    });
    return plain ? word : "\"" + word + "\"";
}

// A program or a DLL given where its application's folder belongs is refused with the command that
// packs the folder, the file as its entry. Packing the file alone would leave out what it loads at
// run time (plugins, data, DLLs it opens by name), which no import table lists.
void check_application_operand(const std::string& operand, const fs::path& output)
{
    const fs::path given = fs::u8path(operand);
    std::error_code error;
    if (!fs::is_regular_file(given, error)) return;  // packing says what else is wrong with it
    std::string name = given.filename().u8string(), lower = name;
    for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    auto ends_with = [&](const std::string& tail) {
        return lower.size() > tail.size() && lower.compare(lower.size() - tail.size(), tail.size(), tail) == 0;
    };
    const bool program = ends_with(".exe");
    if (!program && !ends_with(".dll")) return;
    const std::string folder = given.has_parent_path() ? given.parent_path().u8string() : ".";
    throw usage_error("'" + operand + "' is " + (program ? "a program" : "a DLL") +
                      ", not the application's folder; pack its folder (every file below it goes in): " + tool_name + " " +
                      shell_word(folder) + " --entry " + shell_word(name) + " -o " + shell_word(output.u8string()));
}

// Takes the identity option `name` into `identity`; false for any other option.
template <typename Value>
bool identity_option(const std::string& name, Value value, tavrin::identity_options& identity)
{
    if (name == "--console" || name == "--windows") {
        if (identity.console && *identity.console != (name == "--console"))
            throw usage_error("--console and --windows exclude each other: give one of them");
        identity.console = name == "--console";
    } else if (name == "--icon") {
        identity.icons.push_back(fs::u8path(value()));
    } else if (name == "--company" || name == "--product" || name == "--description" || name == "--copyright" ||
               name == "--original-filename") {
        std::optional<std::string>& field = name == "--company"       ? identity.company
                                            : name == "--product"     ? identity.product
                                            : name == "--description" ? identity.description
                                            : name == "--copyright"   ? identity.copyright
                                                                      : identity.original_filename;
        field = value();
        utf8_option(name, *field);
    } else if (name == "--app-version") {
        try {
            identity.version = tavrin::parse_version_numbers(value());
        } catch (const tavrin::pack_error& error) {
            throw usage_error(std::string("--app-version: ") + error.what());
        }
    } else if (name == "--manifest-level") {
        std::string text = value();
        auto level = tavrin::parse_execution_level(text);
        if (!level) throw usage_error("--manifest-level takes asInvoker, highestAvailable or requireAdministrator, not '" + text + "'");
        identity.level = *level;
    } else {
        return false;
    }
    return true;
}

int run_pack(std::vector<std::string> arguments, const fs::path& tool_dir)
{
    // An interruption removes the temporary output (see pack_application) before the process ends.
    tavrin::install_interrupt_cleanup();
    tavrin::pack_options options;
    fs::path launcher;
    auto parsed = parse_command(std::move(arguments), true, [&](const std::string& name, auto value) {
        if (name == "-o" || name == "--output")
            options.output = fs::u8path(value());
        else if (name == "--entry")
            options.entry = parse_entry(value());
        else if (name == "--level")
            options.block.level = static_cast<int>(
                parse_number(name, value(), 1, static_cast<unsigned>(tavrin::max_compression_level())));
        else if (name == "--window")
            options.block.window_log = parse_window(value());
        else if (name == "--threads")
            options.block.threads = parse_number(name, value(), 0, tavrin::max_threads());
        else if (name == "--launcher")
            launcher = fs::u8path(value());
        else if (name == "--allow-missing")
            options.allowed_missing.push_back(parse_dll_name(value()));
        else if (name == "--dll-path")
            options.collect.dll_path.push_back(parse_directory(name, value()));
        else if (name == "--no-collect")
            options.collect.enabled = false;
        else if (name == "--unpack-dir")
            options.settings.unpack_spec = parse_unpack_spec(value());
        else if (name == "--cached")
            options.settings.cached = true;
        else if (name == "--no-progress")
            options.settings.no_progress = true;
        else if (name == "--version")
            throw usage_error("unknown option '--version' for packing: the application's version is --app-version A.B.C.D "
                              "(tavrin-pack --version alone shows the tool's)");
        else if (!identity_option(name, value, options.identity))
            return false;
        return true;
    });
    if (!parsed) return exit_done;
    if (parsed->operands.empty()) throw usage_error("no application directory given");
    if (parsed->operands.size() > 1)
        throw usage_error("one application directory only; '" + parsed->operands[1] + "' is one too many");
    if (options.output.empty()) throw usage_error("no output given (-o OUT.exe)");
    check_application_operand(parsed->operands.front(), options.output);
    // Without --original-filename the output's name goes into the version block.
    if (!options.identity.original_filename) utf8_option("-o (its file name, the OriginalFilename)", options.output.filename().u8string());
    if (!options.settings.unpack_spec.empty()) {
        try {
            tavrin::check_unpack_spec(options.settings.unpack_spec, options.settings.cached);
        } catch (const tavrin::spec_error& error) {
            throw usage_error(error.what());
        }
    }
    options.app_dir = fs::u8path(parsed->operands.front());
    options.launcher = tavrin::find_launcher_image(launcher, tool_dir);

    options.warning = [](const std::string& warning) { std::cerr << tool_name << ": warning: " << warning << "\n"; };
    std::optional<tavrin::progress_display> display;
    if (!parsed->quiet) display.emplace(std::cerr, stderr_is_terminal());
    const auto start = std::chrono::steady_clock::now();
    if (display)
        options.progress = [&](const tavrin::block_progress& state) {
            display->update(state, std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
        };
    tavrin::pack_result result;
    try {
        result = tavrin::pack_application(options);
    } catch (const tavrin::spec_error& error) {
        // The unpack directory with the version texts and the names: a matter of the options given.
        if (display) display->finish();
        throw usage_error(error.what());
    } catch (...) {
        if (display) display->finish();
        throw;
    }
    if (display) display->finish();
    if (!parsed->quiet) std::cout << tavrin::pack_summary(result, options.output);
    return exit_done;
}

// Says that the package's resources are damaged (their first problem); exit_failed.
int resources_damaged(const std::string& package, const tavrin::package_identity& identity)
{
    std::cerr << tool_name << ": " << package << " is damaged: " << tavrin::damage_name(tavrin::damage::bad_resources) << ": "
              << identity.problems.front() << "\n";
    return exit_failed;
}

int run_list(std::vector<std::string> arguments, const fs::path&)
{
    auto parsed = parse_command(std::move(arguments), false, [](const std::string&, auto) { return false; });
    if (!parsed) return exit_done;
    expect_operands(*parsed, {"packed executable"});
    tavrin::package_contents contents;
    tavrin::first_entry_capture first;
    try {
        tavrin::read_package(fs::u8path(parsed->operands[0]), &first, &contents);
    } catch (const tavrin::package_error& error) {
        if (!contents.entries.empty()) std::cout << tavrin::package_listing(contents, false);
        std::cerr << tool_name << ": " << parsed->operands[0] << " is damaged: " << error.what() << "\n";
        return exit_failed;
    }
    std::cout << tavrin::package_listing(contents, true);
    // An image without a settings record (made by hand) still lists; it has no line on unpacking.
    std::optional<tavrin::launch_settings> settings;
    try {
        settings = tavrin::package_settings(fs::u8path(parsed->operands[0]));
    } catch (const tavrin::image_error&) {
    }
    if (settings) std::cout << tavrin::unpack_settings_line(*settings);
    if (first.complete()) {
        // Listed as it is; only verify fails a package for its entry.
        const std::string name = tavrin::to_utf8(contents.entries.front().name);
        std::cout << "entry " << name << ": ";
        try {
            std::cout << tavrin::check_package_entry(first.content(), name, settings && settings->exe_entry) << "\n";
        } catch (const tavrin::pack_error& error) {
            std::cout << tavrin::damage_name(tavrin::damage::bad_entry) << ": " << error.what() << "\n";
        }
    }
    tavrin::package_identity identity = tavrin::read_package_identity(fs::u8path(parsed->operands[0]));
    std::cout << tavrin::identity_listing(identity);
    if (!identity.problems.empty()) return resources_damaged(parsed->operands[0], identity);
    return exit_done;
}

// Where the package `package` keeps its tree in cached mode (see run_cache_dir) and its spec into
// `*spec`; nothing, with the reason on standard error, when that cannot be known (exit_failed).
std::optional<std::u16string> package_cache_directory(const std::string& package, std::u16string* spec)
{
    auto settings = tavrin::package_settings(fs::u8path(package));
    if (!settings) throw tavrin::pack_error(package + ": its launch settings record is damaged");
    if (!settings->cached) {
        std::cerr << tool_name << ": " << package
                  << " is not in cached mode: it unpacks into a new directory on every run and deletes it at the end\n";
        return std::nullopt;
    }
    // The values the launcher reads from the package's version block (the built-in ones without it),
    // refused as the launcher refuses them.
    const tavrin::package_identity identity = tavrin::read_package_identity(fs::u8path(package));
    // With the resource tree damaged, its version texts and so the directory cannot be known.
    if (identity.unreadable) {
        resources_damaged(package, identity);
        return std::nullopt;
    }
    std::vector<tavrin::known_value> known;
    tavrin::image_values values;
    for (const placeholder_info& placeholder : placeholders) {
        if (placeholder.source != from_version_block) continue;
        std::string value = version_fallback_text(placeholder.version_key);
        if (identity.version)
            for (const auto& [key, text] : identity.version->texts)
                if (key == placeholder.version_key) value = text;
        known.push_back({placeholder.name, tavrin::from_utf8(value), std::string("its version block's ") + placeholder.version_key});
        values.emplace_back(placeholder.name, known.back().text);
    }
    tavrin::check_unpack_directory(*settings, known, {});
    *spec = settings->unpack_spec;  // the packer always stores the spec of a package in cached mode
    return tavrin::cache_directory(*settings, values);
}

int run_cache_dir(std::vector<std::string> arguments, const fs::path&)
{
    auto parsed = parse_command(std::move(arguments), false, [](const std::string&, auto) { return false; });
    if (!parsed) return exit_done;
    expect_operands(*parsed, {"packed executable"});
    std::u16string spec;
    const auto found = package_cache_directory(parsed->operands[0], &spec);
    if (!found) return exit_failed;
    const std::u16string& directory = *found;
    std::string start = tavrin::to_utf8(directory.substr(0, 9));
    for (char& unit : start) unit = static_cast<char>(std::toupper(static_cast<unsigned char>(unit)));
    if (start == "{EXE_DIR}")
        std::cerr << tool_name << ": {EXE_DIR} stays as written: it is the folder the package is started from\n";
    std::cout << tavrin::to_utf8(directory) << "\n";
    return exit_done;
}

#ifdef _WIN32
// A product's kept trees, as the launcher makes them: a folder named by an archive identity (32
// lower-case hex digits), a plain directory (no junction or link), holding the marker of version 2
// for that identity.
struct kept_tree {
    std::wstring path;
    bool own = false;     // the package's own tree
    bool in_use = false;  // a running launcher holds it (open without delete sharing)
};

bool identity_name(const std::wstring& name)
{
    return name.size() == launch_settings_identity_digits &&
           std::all_of(name.begin(), name.end(), [](wchar_t c) { return archive_identity_unit(c); });
}

// Whether the entry at `path` is a plain directory, judged by its own attributes (never a link's target).
bool plain_directory(const std::wstring& path)
{
    const DWORD attributes = GetFileAttributesW(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES &&
           (attributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) == FILE_ATTRIBUTE_DIRECTORY;
}

// The names of the plain directories directly in `folder` (none when it is not one).
std::vector<std::wstring> plain_subdirectories(const std::wstring& folder)
{
    std::vector<std::wstring> names;
    if (!plain_directory(folder)) return names;
    WIN32_FIND_DATAW found;
    HANDLE search = FindFirstFileExW((folder + L"\\*").c_str(), FindExInfoBasic, &found, FindExSearchNameMatch, nullptr, 0);
    if (search == INVALID_HANDLE_VALUE) return names;
    do {
        const std::wstring name = found.cFileName;
        if (name != L"." && name != L".." &&
            (found.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) == FILE_ATTRIBUTE_DIRECTORY)
            names.push_back(name);
    } while (FindNextFileW(search, &found));
    FindClose(search);
    std::sort(names.begin(), names.end());
    return names;
}

// Whether `tree` holds the launcher's marker for `identity`: a plain file starting with its first lines.
bool holds_marker(const std::wstring& tree, const std::wstring& identity)
{
    const std::wstring marker = tree + L"\\" TAVRIN_CACHE_MARKER_NAME;
    const DWORD attributes = GetFileAttributesW(marker.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) != 0)
        return false;
    const std::string expected = TAVRIN_CACHE_MARKER_VERSION_LINE TAVRIN_CACHE_MARKER_IDENTITY_KEY + std::string(identity.begin(), identity.end()) + "\n";
    std::ifstream in(fs::path(marker), std::ios::binary);
    std::string head(expected.size(), '\0');
    return static_cast<bool>(in.read(&head[0], static_cast<std::streamsize>(head.size()))) && head == expected;
}

// Whether this user's processes made the directory at `path`: its owner is the user the tool runs as
// or the default owner of its token (the administrators, when it runs elevated), as the launcher asks.
bool owned_by_this_user(const std::wstring& path)
{
    HANDLE directory = CreateFileW(path.c_str(), READ_CONTROL, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                   OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (directory == INVALID_HANDLE_VALUE) return false;
    PSID owner = nullptr;
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    const bool read = GetSecurityInfo(directory, SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION, &owner, nullptr, nullptr, nullptr,
                                      &descriptor) == ERROR_SUCCESS;
    CloseHandle(directory);
    bool own = false;
    HANDLE token = nullptr;
    if (read && owner != nullptr && OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) {
        for (TOKEN_INFORMATION_CLASS kind : {TokenUser, TokenOwner}) {
            alignas(8) unsigned char buffer[512];
            DWORD size = 0;
            if (!GetTokenInformation(token, kind, buffer, sizeof buffer, &size)) continue;
            PSID sid = kind == TokenUser ? reinterpret_cast<TOKEN_USER*>(buffer)->User.Sid : reinterpret_cast<TOKEN_OWNER*>(buffer)->Owner;
            own = own || EqualSid(sid, owner);
        }
        CloseHandle(token);
    }
    if (descriptor != nullptr) LocalFree(descriptor);
    return own;
}

// Whether a running launcher holds the directory: it cannot be opened for deletion beside it.
bool held_by_a_run(const std::wstring& path)
{
    HANDLE directory = CreateFileW(path.c_str(), DELETE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                   OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (directory != INVALID_HANDLE_VALUE) CloseHandle(directory);
    return directory == INVALID_HANDLE_VALUE && GetLastError() == ERROR_SHARING_VIOLATION;
}

// The product's kept trees of the package: with a spec ending in "\{PRODUCT}\{VERSION}" those of
// every version in the product's folder, otherwise those beside the package's own tree.
std::vector<kept_tree> product_trees(const std::wstring& own, const std::u16string& spec)
{
    std::u16string tail = u"" TAVRIN_CACHE_VERSIONS_TAIL, upper = spec;
    for (char16_t& unit : upper) unit = unit < 128 ? static_cast<char16_t>(std::toupper(static_cast<int>(unit))) : unit;
    const bool versions = upper.size() > tail.size() && upper.compare(upper.size() - tail.size(), tail.size(), tail) == 0;
    const std::wstring folder = own.substr(0, own.rfind(L'\\'));
    std::vector<std::wstring> version_folders;
    if (versions) {
        const std::wstring product = folder.substr(0, folder.rfind(L'\\'));
        for (const std::wstring& name : plain_subdirectories(product)) version_folders.push_back(product + L"\\" + name);
    } else {
        version_folders.push_back(folder);
    }
    std::vector<kept_tree> trees;
    for (const std::wstring& version : version_folders)
        for (const std::wstring& name : plain_subdirectories(version)) {
            const std::wstring path = version + L"\\" + name;
            if (!identity_name(name) || !holds_marker(path, name) || !owned_by_this_user(path)) continue;
            trees.push_back({path, _wcsicmp(path.c_str(), own.c_str()) == 0, held_by_a_run(path)});
        }
    return trees;
}

// Whether the file at `path` (never a link's target) has no other hard link.
bool single_link(const std::wstring& path)
{
    HANDLE file = CreateFileW(path.c_str(), FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                              nullptr, OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (file == INVALID_HANDLE_VALUE) return false;
    BY_HANDLE_FILE_INFORMATION info;
    const bool single = GetFileInformationByHandle(file, &info) && info.nNumberOfLinks == 1;
    CloseHandle(file);
    return single;
}

// Deletes `path` and everything below it; a junction or link inside goes itself, never its target.
bool delete_tree(const std::wstring& path)
{
    WIN32_FIND_DATAW found;
    HANDLE search = FindFirstFileExW((path + L"\\*").c_str(), FindExInfoBasic, &found, FindExSearchNameMatch, nullptr, 0);
    if (search != INVALID_HANDLE_VALUE) {
        do {
            const std::wstring name = found.cFileName, entry = path + L"\\" + name;
            if (name == L"." || name == L"..") continue;
            if ((found.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) == FILE_ATTRIBUTE_DIRECTORY) {
                delete_tree(entry);
            } else if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
                RemoveDirectoryW(entry.c_str());  // a link to a directory: the link alone
            } else {
                // A file with other links shares its attributes with them: clearing the flag would
                // change a file outside the tree, so such a file stays (and the tree with it).
                if ((found.dwFileAttributes & FILE_ATTRIBUTE_READONLY) && single_link(entry))
                    SetFileAttributesW(entry.c_str(), found.dwFileAttributes & ~FILE_ATTRIBUTE_READONLY);
                DeleteFileW(entry.c_str());
            }
        } while (FindNextFileW(search, &found));
        FindClose(search);
    }
    return RemoveDirectoryW(path.c_str()) != 0;
}

std::string shown(const std::wstring& path) { return tavrin::to_utf8(std::u16string(path.begin(), path.end())); }
#endif

// cache-list and cache-clean share the package's place and its product's trees.
int run_cache_trees(std::vector<std::string> arguments, bool clean)
{
    bool all = false;
    auto parsed = parse_command(std::move(arguments), false, [&](const std::string& name, auto) {
        if (!clean || name != "--all") return false;
        all = true;
        return true;
    });
    if (!parsed) return exit_done;
    expect_operands(*parsed, {"packed executable"});
    std::u16string spec;
    const auto directory = package_cache_directory(parsed->operands[0], &spec);
    if (!directory) return exit_failed;
#ifdef _WIN32
    const std::wstring own(directory->begin(), directory->end());
    if (own.size() < 3 || own[1] != L':') {
        std::cerr << tool_name << ": the cache directory " << tavrin::to_utf8(*directory) << " is not known here\n";
        return exit_failed;
    }
    int code = exit_done;
    for (const kept_tree& tree : product_trees(own, spec)) {
        if (!clean) {
            std::cout << shown(tree.path) << (tree.own ? "  (this package)" : "") << (tree.in_use ? "  (in use)" : "") << "\n";
            continue;
        }
        if (tree.own && !all) continue;
        // Renamed first: that fails while a running launcher holds it, and what a removal that was
        // cut short leaves is a leftover sibling that the launcher deletes ("<identity>.tmp-<pid>-<token>").
        const std::wstring away = tree.path + L"" TAVRIN_CACHE_SIBLING_INFIX + std::to_wstring(GetCurrentProcessId()) + L"-tavrinclean";
        if (!MoveFileExW(tree.path.c_str(), away.c_str(), 0)) {
            const DWORD error = GetLastError();
            const bool in_use = error == ERROR_SHARING_VIOLATION || error == ERROR_ACCESS_DENIED;
            std::cerr << tool_name << ": " << shown(tree.path) << (in_use ? " is in use: kept\n" : ": cannot be removed\n");
            code = exit_failed;
            continue;
        }
        if (!delete_tree(away)) {
            std::cerr << tool_name << ": " << shown(away) << ": could not be removed whole\n";
            code = exit_failed;
            continue;
        }
        std::cout << "removed " << shown(tree.path) << "\n";
    }
    return code;
#else
    std::cerr << tool_name << ": " << (clean ? "cache-clean" : "cache-list")
              << " needs Windows (tavrin-pack.exe): the trees are where the package runs; its cache directory is "
              << tavrin::to_utf8(*directory) << "\n";
    return exit_failed;
#endif
}

int run_cache_list(std::vector<std::string> arguments, const fs::path&) { return run_cache_trees(std::move(arguments), false); }
int run_cache_clean(std::vector<std::string> arguments, const fs::path&) { return run_cache_trees(std::move(arguments), true); }

int run_verify(std::vector<std::string> arguments, const fs::path&)
{
    auto parsed = parse_command(std::move(arguments), true, [](const std::string&, auto) { return false; });
    if (!parsed) return exit_done;
    expect_operands(*parsed, {"packed executable"});
    const fs::path file = fs::u8path(parsed->operands[0]);
    tavrin::verify_report report = tavrin::verify_package(file);
    if (!report.ok()) {
        std::cerr << tool_name << ": " << parsed->operands[0] << " fails verification:\n";
        for (const auto& problem : report.problems) std::cerr << "  " << problem.what() << "\n";
        return exit_failed;
    }
    if (!parsed->quiet) std::cout << tavrin::verify_summary(file, report);
    return exit_done;
}

int run_extract(std::vector<std::string> arguments, const fs::path&)
{
    auto parsed = parse_command(std::move(arguments), false, [](const std::string&, auto) { return false; });
    if (!parsed) return exit_done;
    expect_operands(*parsed, {"packed executable", "directory"});
    tavrin::extract_result result, written;
    try {
        result = tavrin::extract_package(fs::u8path(parsed->operands[0]), fs::u8path(parsed->operands[1]), &written);
    } catch (const tavrin::not_a_package_error&) {
        throw;
    } catch (const tavrin::pack_error& error) {
        const bool damaged = dynamic_cast<const tavrin::package_error*>(&error) != nullptr;
        std::cerr << tool_name << ": " << parsed->operands[0] << (damaged ? " is damaged: " : ": ") << error.what() << "\n";
        if (!written.removed.empty())
            std::cerr << tool_name << ": removed the partly written " << tavrin::in_quotes(written.removed) << "\n";
        std::cerr << tool_name << ": " << tavrin::format_count(written.files) << (written.files == 1 ? " file" : " files")
                  << " written whole into " << parsed->operands[1] << (written.files == 0 ? "" : ":") << "\n";
        for (const auto& name : written.names) std::cerr << "  " << tavrin::to_utf8(name) << "\n";
        return exit_failed;
    }
    std::cout << "Extracted " << tavrin::format_count(result.files) << (result.files == 1 ? " file" : " files") << " ("
              << tavrin::format_count(result.bytes) << " bytes) into " << parsed->operands[1] << "\n";
    return exit_done;
}

// The commands; the first is also taken when the first argument names none.
struct command {
    const char* name;
    int (*run)(std::vector<std::string> arguments, const fs::path& tool_dir);
};
const command commands[] = {
    {"pack", run_pack},
    {"list", run_list},
    {"verify", run_verify},
    {"extract", run_extract},
    {"cache-dir", run_cache_dir},
    {"cache-list", run_cache_list},
    {"cache-clean", run_cache_clean},
};

int run(std::vector<std::string> arguments, const fs::path& tool_dir)
{
    if (!arguments.empty() && (arguments[0] == "-h" || arguments[0] == "--help")) {
        std::cout << help_text();
        return exit_done;
    }
    if (!arguments.empty() && arguments[0] == "--version") {
        std::cout << tool_name << " " << TAVRIN_PRODUCT_VERSION_TEXT << "\n";
        return exit_done;
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
    // Names and paths are printed as UTF-8; a console shows them right only in that code page,
    // which is the console's own and so is given back at the end.
    struct console_code_page {
        UINT previous = GetConsoleOutputCP();
        console_code_page() { SetConsoleOutputCP(CP_UTF8); }
        ~console_code_page() { SetConsoleOutputCP(previous); }
    } utf8_console;
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
