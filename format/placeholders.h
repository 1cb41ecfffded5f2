// The unpack directory's placeholders, defined once: the launcher expands them, the packer checks
// them and names them in its help. Also the one split of a directory text into its pieces.
// Header-only and heap-free, over any 16-bit unit type (the launcher's wchar_t, the packer's char16_t).
#ifndef TAVRIN_FORMAT_PLACEHOLDERS_H
#define TAVRIN_FORMAT_PLACEHOLDERS_H

#include <stddef.h>

// One id per row of `placeholders`, in the table's order (which is also the order the packer's help
// and its "known:" list show).
enum placeholder_id {
    placeholder_temp,
    placeholder_home,
    placeholder_cache_dir,
    placeholder_exe_dir,
    placeholder_program,
    placeholder_program_base,
    placeholder_program_dir,
    placeholder_pid,
    placeholder_company,
    placeholder_product,
    placeholder_version,
    placeholder_file_version,
    placeholder_product_version,
    placeholder_random,
    placeholder_time,
    placeholder_time_us,
    placeholder_count,
    placeholder_unknown = placeholder_count  // a name that is none of the table's
};

// Where a placeholder's value comes from at run time.
enum placeholder_source {
    from_system_folder,      // a folder the system names for the user: %TEMP%, the profile, local app data
    from_executable_folder,  // the folder of the running executable
    from_argument_0,         // the runtime's argument 0 (the child instance is given the parent's)
    from_process,            // the parent instance's process id
    from_version_block,      // a text of the image's version block (version_key), else the built-in text
    from_clock,              // the system time of the parent's first expansion, passed to the child
    from_random              // the system's cryptographic generator, passed to the child
};

enum {
    // What the packer counts a folder or argument 0 at: MAX_PATH.
    placeholder_path_allowance = 260,
    // A version text at its longest as the launcher reads it (version_text_capacity less its terminator).
    placeholder_version_allowance = 1023
};

struct placeholder_info {
    placeholder_id id;        // its row's index
    const char* name;         // upper case, without braces; matched without regard to ASCII case
    bool root;                // a fully qualified folder, drive included: it may only start the text
    bool per_run;             // its value differs from run to run
    placeholder_source source;
    const char* version_key;  // from_version_block: the text's key in the block; otherwise NULL
    unsigned allowance;       // UTF-16 units the packer counts its value at where it is not known
};

static constexpr placeholder_info placeholders[placeholder_count] = {
    {placeholder_temp, "TEMP", true, false, from_system_folder, NULL, placeholder_path_allowance},
    {placeholder_home, "HOME", true, false, from_system_folder, NULL, placeholder_path_allowance},
    {placeholder_cache_dir, "CACHE_DIR", true, false, from_system_folder, NULL, placeholder_path_allowance},
    {placeholder_exe_dir, "EXE_DIR", true, false, from_executable_folder, NULL, placeholder_path_allowance},
    {placeholder_program, "PROGRAM", false, false, from_argument_0, NULL, placeholder_path_allowance},
    {placeholder_program_base, "PROGRAM_BASE", false, false, from_argument_0, NULL, placeholder_path_allowance},
    {placeholder_program_dir, "PROGRAM_DIR", false, false, from_argument_0, NULL, placeholder_path_allowance},
    {placeholder_pid, "PID", false, true, from_process, NULL, 10},  // 32 bits in decimal
    {placeholder_company, "COMPANY", false, false, from_version_block, "CompanyName", placeholder_version_allowance},
    {placeholder_product, "PRODUCT", false, false, from_version_block, "ProductName", placeholder_version_allowance},
    {placeholder_version, "VERSION", false, false, from_version_block, "ProductVersion", placeholder_version_allowance},
    {placeholder_file_version, "FILE_VERSION", false, false, from_version_block, "FileVersion", placeholder_version_allowance},
    {placeholder_product_version, "PRODUCT_VERSION", false, false, from_version_block, "ProductVersion",
     placeholder_version_allowance},
    {placeholder_random, "RANDOM", false, true, from_random, NULL, 11},  // 8 bytes in base64 without fill
    {placeholder_time, "TIME", false, true, from_clock, NULL, 20},       // a signed 64-bit number
    {placeholder_time_us, "TIME_US", false, true, from_clock, NULL, 6},  // six digits
};

// Each row's id is its index, so `placeholders[id]` is the row of `id`.
constexpr bool placeholder_rows_in_order()
{
    for (size_t i = 0; i < placeholder_count; ++i)
        if (placeholders[i].id != static_cast<placeholder_id>(i)) return false;
    return true;
}
static_assert(placeholder_rows_in_order(), "a row of placeholders stands where its id does not");

// The placeholder that `name` (`length` units, without braces) names, in any ASCII case;
// placeholder_unknown for any other name.
template <typename unit>
inline placeholder_id find_placeholder(const unit* name, size_t length)
{
    for (const placeholder_info& entry : placeholders) {
        size_t i = 0;
        for (; i < length && entry.name[i] != 0; ++i) {
            const unit upper = name[i] >= 'a' && name[i] <= 'z' ? static_cast<unit>(name[i] - ('a' - 'A')) : name[i];
            if (upper != static_cast<unit>(entry.name[i])) break;
        }
        if (i == length && entry.name[i] == 0) return entry.id;
    }
    return placeholder_unknown;
}

// What one piece of a directory text is.
enum text_piece_kind {
    piece_literal,      // text as it stands, without braces
    piece_placeholder,  // "{NAME}", braces included
    piece_stray_close,  // a '}' that closes nothing
    piece_interrupted,  // a '{' and what follows it up to another '{', before any '}'
    piece_unclosed      // a '{' and everything after it, without a '}'
};

// [start, start + length) of the text, of kind `kind`.
struct text_piece {
    text_piece_kind kind;
    size_t start;
    size_t length;
};

// The piece of `text` (`length` units) that starts at `at` (below `length`). Walking from 0, each
// piece starting where the last ended, splits the text whole. Only '{' and '}' are special: the
// launcher keeps a stray '}' as text and drops interrupted and unclosed pieces ({X{PID} means {PID});
// the packer refuses all three.
template <typename unit>
inline text_piece next_text_piece(const unit* text, size_t length, size_t at)
{
    if (text[at] == '}') return text_piece{piece_stray_close, at, 1};
    if (text[at] != '{') {
        size_t end = at;
        while (end < length && text[end] != '{' && text[end] != '}') ++end;
        return text_piece{piece_literal, at, end - at};
    }
    for (size_t end = at + 1; end < length; ++end) {
        if (text[end] == '}') return text_piece{piece_placeholder, at, end + 1 - at};
        if (text[end] == '{') return text_piece{piece_interrupted, at, end - at};
    }
    return text_piece{piece_unclosed, at, length - at};
}

// The placeholder a piece of kind piece_placeholder names (placeholder_unknown for other kinds).
template <typename unit>
inline placeholder_id piece_placeholder_id(const unit* text, const text_piece& piece)
{
    if (piece.kind != piece_placeholder) return placeholder_unknown;
    return find_placeholder(text + piece.start + 1, piece.length - 2);
}

#endif
