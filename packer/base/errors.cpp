// The packer library's error types: the names of the kinds of damage a package can have.
#include "packer/base/errors.h"

namespace tavrin {

const char* damage_name(damage kind)
{
    switch (kind) {
    case damage::bad_image: return "bad-image";
    case damage::block_too_short: return "block-too-short";
    case damage::bad_magic: return "bad-magic";
    case damage::bad_trailer: return "bad-trailer";
    case damage::reserved_not_zero: return "reserved-not-zero";
    case damage::not_a_frame: return "not-a-frame";
    case damage::window_too_large: return "window-too-large";
    case damage::needs_dictionary: return "needs-dictionary";
    case damage::no_checksum: return "no-checksum";
    case damage::frame_cut_short: return "frame-cut-short";
    case damage::extra_data: return "extra-data";
    case damage::corrupt_frame: return "corrupt-frame";
    case damage::checksum_mismatch: return "checksum-mismatch";
    case damage::stream_cut_short: return "stream-cut-short";
    case damage::data_after_end: return "data-after-end";
    case damage::name_too_long: return "name-too-long";
    case damage::bad_name: return "bad-name";
    case damage::name_clash: return "name-clash";
    case damage::no_entries: return "no-entries";
    case damage::bad_entry: return "bad-entry";
    case damage::bad_resources: return "bad-resources";
    }
    return "damage";
}

package_error::package_error(damage kind, const std::string& message)
    : pack_error(std::string(damage_name(kind)) + ": " + message), kind_(kind)
{
}

}  // namespace tavrin
