// Which entry names may reach the file system: the one decision that the launcher takes before it
// joins a name to its unpack directory and that the packer takes before it writes or accepts one.
// A name is UTF-16 code units, its components separated by backslashes. Refused: whatever could
// leave the unpack directory (an absolute name, a drive or stream, a "." or ".." component, a
// forward slash), whatever Windows would change or could not create (a trailing dot or space, which
// it drops; control characters and < > " | ? *), and the reserved device names, which reach a device
// in any directory: CON, PRN, AUX, NUL, CONIN$, CONOUT$, COM0..COM9, LPT0..LPT9 and COM/LPT with a
// superscript 1, 2 or 3, in any letter case, alone or before an extension ("nul.txt", "aux .h").
// No strings, no heap, no exceptions: the launcher uses it as it stands.
#ifndef TAVRIN_FORMAT_ENTRY_NAMES_H
#define TAVRIN_FORMAT_ENTRY_NAMES_H

#include <stddef.h>
#include <stdint.h>

enum name_fault {
    name_ok = 0,
    name_empty,                 // no code units at all
    name_empty_component,       // a leading or trailing backslash, or two in a row
    name_dot_component,         // a "." or ".." component
    name_separator,             // a forward slash (in a component: also a backslash)
    name_colon,                 // a drive or a stream
    name_control_character,     // U+0000..U+001F
    name_forbidden_character,   // < > " | ? *
    name_trailing_dot_or_space,
    name_reserved_device,
};

// The first `length` units of `text` equal `upper` (ASCII capitals, NUL-terminated) in any letter case.
template <typename Unit>
inline bool name_equals_ascii_upper(const Unit* text, size_t length, const char* upper)
{
    size_t i = 0;
    for (; i < length && upper[i] != 0; ++i) {
        uint32_t unit = static_cast<uint32_t>(text[i]);
        if (unit >= 'a' && unit <= 'z') unit -= 'a' - 'A';
        if (unit != static_cast<unsigned char>(upper[i])) return false;
    }
    return i == length && upper[i] == 0;
}

// True when the component is a device name: the part before its first dot, trailing spaces
// removed, is one of them.
template <typename Unit>
inline bool name_is_reserved_device(const Unit* component, size_t length)
{
    size_t stem = 0;
    while (stem < length && static_cast<uint32_t>(component[stem]) != '.') ++stem;
    while (stem > 0 && static_cast<uint32_t>(component[stem - 1]) == ' ') --stem;
    static const char* const devices[] = {"CON", "PRN", "AUX", "NUL", "CONIN$", "CONOUT$"};
    for (size_t i = 0; i < sizeof devices / sizeof devices[0]; ++i)
        if (name_equals_ascii_upper(component, stem, devices[i])) return true;
    if (stem != 4) return false;
    if (!name_equals_ascii_upper(component, 3, "COM") && !name_equals_ascii_upper(component, 3, "LPT")) return false;
    uint32_t digit = static_cast<uint32_t>(component[3]);
    return (digit >= '0' && digit <= '9') || digit == 0xB9 || digit == 0xB2 || digit == 0xB3;
}

// The fault of one file or directory name, or name_ok. Characters come first, in the order they
// appear; then "." and ".."; then a trailing dot or space; then the device names.
template <typename Unit>
inline name_fault component_name_fault(const Unit* component, size_t length)
{
    if (length == 0) return name_empty_component;
    for (size_t i = 0; i < length; ++i) {
        uint32_t unit = static_cast<uint32_t>(component[i]);
        if (unit == '\\' || unit == '/') return name_separator;
        if (unit < 0x20) return name_control_character;
        if (unit == ':') return name_colon;
        if (unit == '<' || unit == '>' || unit == '"' || unit == '|' || unit == '?' || unit == '*')
            return name_forbidden_character;
    }
    uint32_t last = static_cast<uint32_t>(component[length - 1]);
    if (last == '.' && (length == 1 || (length == 2 && static_cast<uint32_t>(component[0]) == '.')))
        return name_dot_component;
    if (last == '.' || last == ' ') return name_trailing_dot_or_space;
    if (name_is_reserved_device(component, length)) return name_reserved_device;
    return name_ok;
}

// The fault of a whole entry name (components separated by backslashes), or name_ok. When
// `fault_at` is given and there is a fault, it receives the index of the faulty component's first
// unit; the component ends at the next backslash or at `length`.
template <typename Unit>
inline name_fault entry_name_fault(const Unit* name, size_t length, size_t* fault_at = NULL)
{
    if (length == 0) return name_empty;
    size_t start = 0;
    for (size_t i = 0; i <= length; ++i) {
        if (i < length && static_cast<uint32_t>(name[i]) != '\\') continue;
        name_fault fault = component_name_fault(name + start, i - start);
        if (fault != name_ok) {
            if (fault_at != NULL) *fault_at = start;
            return fault;
        }
        start = i + 1;
    }
    return name_ok;
}

#endif
