// The launch settings record: a fixed block in the launcher image's read-only data. The launcher's
// build puts it there holding only its header; the packer finds it by that header (which is also
// how it recognises a launcher image) and fills in the rest; the launcher reads it at run time.
#ifndef TAVRIN_FORMAT_SETTINGS_RECORD_H
#define TAVRIN_FORMAT_SETTINGS_RECORD_H

// The record's bytes, little-endian:
//   0  magic, 24 ASCII bytes without terminator
//  24  uint32 the record's size in bytes (launch_settings_size)
//  28  uint32 flags (launch_settings_flags below)
//  32  the archive identity: ASCII hex digits, NUL-padded to launch_settings_identity_size bytes
//      (at least one NUL), empty until the packer writes it
//  72  the unpack directory spec: UTF-16LE, NUL-terminated within launch_settings_spec_capacity
//      code units; empty means the built-in spec
#define TAVRIN_LAUNCH_SETTINGS_MAGIC "TAVRIN_ONEFILE_SETTINGS1"
enum {
    launch_settings_magic_size = 24,
    launch_settings_size_offset = 24,
    launch_settings_flags_offset = 28,
    launch_settings_identity_offset = 32,
    launch_settings_identity_size = 40,
    launch_settings_identity_digits = 32,  // what the packer writes: 128 bits in lower-case hex
                                           // (archive_identity_unit), also a kept tree's folder name
    launch_settings_spec_offset = 72,
    launch_settings_spec_capacity = 512,  // code units, terminator included
    launch_settings_size = launch_settings_spec_offset + 2 * launch_settings_spec_capacity
};

enum launch_settings_flags {
    launch_setting_packed = 1,     // written by the packer
    launch_setting_cached = 2,     // keep the unpack directory between runs and reuse it
    launch_setting_exe_entry = 4,  // the entry is a program, started as the child in place of the
                                   // launcher's second instance; without it, a DLL with run_code
    launch_setting_no_progress = 8 // a windowed package shows no progress window during a long
                                   // first start (tavrin-pack --no-progress)
};

// How long after its start a windowed package that has not yet started its application shows the
// progress window (unless launch_setting_no_progress): a quicker start shows nothing.
enum { progress_window_delay_ms = 400 };

// The unpack directory specs used when the record holds none (temporary mode: the launcher's
// built-in spec) and the one the packer stores for cached mode when none is given, below which the
// launcher adds the archive identity. Plain literals, to be widened where used (L"" or u"").
#define TAVRIN_BUILTIN_UNPACK_SPEC "{TEMP}\\onefile_{PID}_{TIME_US}_{RANDOM}"
#define TAVRIN_CACHED_UNPACK_SPEC "{CACHE_DIR}\\{COMPANY}" TAVRIN_CACHE_VERSIONS_TAIL
// The end of a spec (in any letter case) that keeps each version of a product in a folder of its
// own beside the others and nothing else: the shape in which older versions' trees are found, and
// removed, as siblings of the package's own version folder.
#define TAVRIN_CACHE_VERSIONS_TAIL "\\{PRODUCT}\\{VERSION}"

// Whether `unit` (a code unit of any width) is one of the archive identity's digits: 0-9, a-f.
inline bool archive_identity_unit(unsigned long unit)
{
    return (unit >= '0' && unit <= '9') || (unit >= 'a' && unit <= 'f');
}

// In cached mode, the file that the launcher writes last into a tree it has unpacked, before it
// moves the tree into place: ASCII lines naming the archive identity and the files it holds (see
// launcher/cache.h). A package in cached mode may not hold a top-level file of this name.
#define TAVRIN_CACHE_MARKER_NAME ".tavrin-onefile-complete"
// The marker starts with its version line, then the identity line: the key, the identity's digits
// and a newline. A tree's marker of another version line is not this launcher's to use.
#define TAVRIN_CACHE_MARKER_VERSION_LINE "tavrin-onefile cache 2\n"
#define TAVRIN_CACHE_MARKER_IDENTITY_KEY "identity "
// A tree's private sibling, made to unpack into or to retire the tree (then deleted there):
// "<identity>" TAVRIN_CACHE_SIBLING_INFIX "<process id>-<token>". The launcher deletes the siblings
// of processes that have ended.
#define TAVRIN_CACHE_SIBLING_INFIX ".tmp-"

#endif
