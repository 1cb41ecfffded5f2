// The packer library's error types: every failure it reports is a pack_error, whose what() is a
// message for the user; the subclasses say which kind of input was at fault.
#ifndef TAVRIN_PACKER_ERRORS_H
#define TAVRIN_PACKER_ERRORS_H

#include <stdexcept>
#include <string>

namespace tavrin {

// Every failure of the packer library is one of these; what() is a message for the user.
class pack_error : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// A name the launcher could not unpack safely.
class name_error : public pack_error {
public:
    using pack_error::pack_error;
};

// An image the packer cannot use: not a PE32+ image for x86-64, damaged, or not extensible.
class image_error : public pack_error {
public:
    using pack_error::pack_error;
};

// The entry DLL is missing, ambiguous, not an x86-64 DLL, or does not export run_code.
class entry_error : public pack_error {
public:
    using pack_error::pack_error;
};

// An image of the application imports a DLL that is neither in the package where the loader looks
// nor a DLL of Windows.
class import_error : public pack_error {
public:
    using pack_error::pack_error;
};

// A text that is not valid UTF-8 (from_utf8); what() says where and why.
class utf8_error : public pack_error {
public:
    using pack_error::pack_error;
};

// What can be wrong with a package. Each kind has a short name (damage_name) that messages carry.
enum class damage {
    bad_image,          // "bad-image": the headers of an image that names the attached-data section are damaged
    block_too_short,    // "block-too-short": shorter than the magic and the tail
    bad_magic,          // "bad-magic": the block does not start with the magic
    bad_trailer,        // "bad-trailer": the last eight bytes are not N - 8
    reserved_not_zero,  // "reserved-not-zero": the four bytes before the trailer are not zero
    not_a_frame,        // "not-a-frame": no Zstandard frame header after the magic
    window_too_large,   // "window-too-large": the frame declares a window above 2^27 bytes
    needs_dictionary,   // "needs-dictionary": the frame was made with a dictionary
    no_checksum,        // "no-checksum": the frame carries no content checksum
    frame_cut_short,    // "frame-cut-short": the frame does not end before the tail
    extra_data,         // "extra-data": bytes (a second frame, say) between the frame and the tail
    corrupt_frame,      // "corrupt-frame": the decompressor rejects the frame's data
    checksum_mismatch,  // "checksum-mismatch": the content does not match the frame's checksum
    stream_cut_short,   // "stream-cut-short": the content ends inside an entry or before the end marker
    data_after_end,     // "data-after-end": content follows the end marker
    name_too_long,      // "name-too-long": a name without its terminator within 1023 code units
    bad_name,           // "bad-name": a name the launcher cannot use safely, or Windows cannot create
    name_clash,         // "name-clash": two names Windows takes for one path (or the same name twice)
    no_entries,         // "no-entries": nothing to run
    bad_entry,          // "bad-entry": the first entry is not an x86-64 DLL that exports run_code
    bad_resources,      // "bad-resources": the image's resources are damaged or incomplete
};
const char* damage_name(damage kind);

// A damaged package. what() is "<damage name>: <what was found>".
class package_error : public pack_error {
public:
    package_error(damage kind, const std::string& message);
    damage kind() const { return kind_; }

private:
    damage kind_;
};

// A file that is no package at all: a directory, a text file, a program without the attached-data
// section. what() says so ("'x' is not a package: ..."); a package whose attached data is bad
// throws package_error instead.
class not_a_package_error : public pack_error {
public:
    using pack_error::pack_error;
};

}  // namespace tavrin

#endif
