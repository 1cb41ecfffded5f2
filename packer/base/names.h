// File names as Windows sees them: the names it cannot create, its case-insensitive comparison, and
// how long a full unpack path gets under a typical temporary directory.
#ifndef TAVRIN_PACKER_NAMES_H
#define TAVRIN_PACKER_NAMES_H

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace tavrin {

// Why Windows could not create the file or directory name `component` under that name, or an empty
// string when it can. The decision is component_name_fault's (format/entry_names.h), which the
// launcher shares: an empty name; a backslash or slash (separators); control characters and
// < > : " | ? *; "." and ".."; a trailing '.' or ' ' (Windows drops it); and the reserved device
// names CON, PRN, AUX, NUL, CONIN$, CONOUT$, COM0..COM9, LPT0..LPT9 and COM/LPT with a superscript
// 1, 2 or 3, in any letter case, alone or before an extension ("nul.txt", "Com1.tar.gz", "aux .h").
std::string windows_name_problem(std::u16string_view component);

// Why Windows would take the file path `path` for a device rather than a file on a disk, or an
// empty string: a path in the device namespace ("\\.\" or "\\?\" before anything but a drive or
// "UNC\"), or a last component that is a reserved device name as windows_name_problem knows them,
// a stream name after it included ("NUL", "con.exe", "Com1:x", "C:aux .txt").
std::string windows_device_problem(std::u16string_view path);

// Why the launcher would take the entry name `name` for damage (entry_name_fault): the problem of
// its first faulty component, or what makes it leave the unpack directory (absolute, a drive, an
// empty component, a forward slash). An empty string for a sound name.
std::string entry_name_problem(std::u16string_view name);

// check_entry_name, under the name the package readers use: a name the launcher unpacks as it
// stands and Windows can create. Throws name_error naming the name and the reason.
void check_windows_entry_name(const std::u16string& name);

// `unit` as NTFS compares names: upper-cased by the one-to-one upper-case mappings of Unicode for
// the Basic Multilingual Plane (Latin, Greek, Cyrillic, Armenian, Georgian, Cherokee, Glagolitic,
// full-width forms, ...). Mappings to several characters ("ß" to "SS") are not applied and
// surrogate pairs are compared as they stand, as NTFS does.
char16_t windows_upper(char16_t unit);
// The key under which Windows takes two names for the same file: every code unit upper-cased.
std::u16string windows_case_key(std::u16string_view name);

// Two archive names that Windows would take for the same path, or a file that Windows would have to
// create where another name needs a directory ("Data" and "data\x.txt").
struct name_clash {
    std::u16string first;
    std::u16string second;
    bool file_as_directory = false;  // `first` is a file, and a directory of `second`
};
// Every clash among `names` (each pair once, `first` before `second` in the given order). Names that
// share a directory in different letter case ("Docs\a" and "docs\b") are no clash: both files land
// in the one directory.
std::vector<name_clash> find_name_clashes(const std::vector<std::u16string>& names);
// A message naming both files of `clash`.
std::string describe(const name_clash& clash);

// The number of distinct directories that `names` put files in, the unpack directory itself not
// counted ("a\b\c.txt" makes two).
std::size_t count_directories(const std::vector<std::u16string>& names);

// Long paths. Programs that do not opt in to long paths cannot open a path of MAX_PATH (260) code
// units or more, the terminator included. The launcher unpacks into the directory
// {TEMP}\onefile_{PID}_{TIME_US}_{RANDOM} (six digits, eleven characters), and {TEMP} is typically
// C:\Users\<user>\AppData\Local\Temp. With a user name of 20 characters and a process id of 6
// digits, that directory with the backslash after it is this long:
inline constexpr std::u16string_view typical_unpack_prefix =
    u"C:\\Users\\UUUUUUUUUUUUUUUUUUUU\\AppData\\Local\\Temp\\onefile_PPPPPP_TTTTTT_RRRRRRRRRRR\\";
inline constexpr std::size_t windows_max_path = 260;
// The longest name whose full unpack path stays below MAX_PATH under that prefix (176).
inline constexpr std::size_t long_name_threshold = windows_max_path - 1 - typical_unpack_prefix.size();

// The warning for `name` when its full unpack path under the typical prefix reaches MAX_PATH, else
// an empty string.
std::string long_path_warning(const std::u16string& name);

}  // namespace tavrin

#endif
