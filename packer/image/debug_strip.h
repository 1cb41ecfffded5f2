// A DLL collected from the packing machine made ready to pack: its debug sections and COFF symbol
// table dropped, the image otherwise as the linker wrote it.
#ifndef TAVRIN_PACKER_DEBUG_STRIP_H
#define TAVRIN_PACKER_DEBUG_STRIP_H

#include <istream>
#include <optional>
#include <string>

namespace tavrin {

struct stripped_image {
    std::optional<std::string> bytes;  // the image to pack; nothing: the file as it is
    bool debug_dropped = false;        // debug sections or a symbol table were dropped (bytes are set)
    std::string kept_as_is;      // why an image that carries debug information is packed unchanged ("" otherwise)
};

// The x86-64 image in `in` (`what` names it in messages) without its debug information: the run of
// sections named ".debug_*" that ends the section table (GNU ld puts them last, in memory and in the
// file; long names are read from the string table) and the symbol and string tables after them. The
// file ends where the last section kept ends; the section count, SizeOfImage and the symbol table's
// header fields are rewritten, and the header checksum is computed again unless it was 0. Packed
// unchanged, with the reason in kept_as_is: a signed image (a certificate table is never altered),
// one whose kept sections take their names from the string table, one whose debug sections lie
// among the others or are reached by a data directory, one with other data after its sections, and
// one whose headers or section table reach beyond its SizeOfHeaders and its kept sections.
// Only the kept part of a stripped image is read. Throws image_error for an
// image read_pe_headers refuses.
stripped_image strip_debug_information(std::istream& in, const std::string& what);

}  // namespace tavrin

#endif
