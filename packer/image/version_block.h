// The version block (VS_VERSIONINFO) of a package: written from the application's identity in the
// launcher's own layout, and read back for list and verify.
#ifndef TAVRIN_PACKER_VERSION_BLOCK_H
#define TAVRIN_PACKER_VERSION_BLOCK_H

#include <array>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace tavrin {

using version_numbers = std::array<std::uint16_t, 4>;

// What the version block says about the application. Texts are UTF-8.
struct version_identity {
    std::string company;
    std::string product;
    std::string description;
    std::string copyright;
    std::string original_filename;
    std::string internal_name;          // empty: the original file name without ".exe"
    version_numbers version{};          // the file version
    version_numbers product_version{};
    std::string file_version_text;      // empty: `version` as A.B.C.D
    std::string product_version_text;   // empty: `product_version` as A.B.C.D
};

// The launcher's own values (resources/product.h); the original file name is the launcher's too.
version_identity default_version_identity();
// A package's values where nothing else gives them, with no word of the launcher's: product the
// output's file name without ".exe" (`output_name` "hello.exe": "hello"), original file name
// `output_name`, description empty (it takes the product, resolved_version_identity), company and
// copyright empty, version 0.0.0.0.
version_identity neutral_version_identity(const std::string& output_name);

// "A.B.C.D": one to four decimal numbers of at most 65535 separated by dots (missing ones are 0).
// Throws pack_error naming the text otherwise.
version_numbers parse_version_numbers(const std::string& text);
// The four numbers as "A.B.C.D".
std::string version_text(const version_numbers& numbers);

// The block, language neutral in code page 1200 like the launcher's: the fixed part (structure
// version 0, flags mask 0x3F, OS 4, type 1), then CompanyName, ProductName, FileDescription,
// ProductVersion, FileVersion, OriginalFilename, InternalName, LegalCopyright, each length counting
// bytes with the terminator, then the translation. An empty text is written as one, so that the
// launcher's placeholders never fall back to its own values. Throws pack_error when a text is not
// valid UTF-8, too long (1023 code units) or holds a NUL.
std::string write_version_block(const version_identity& identity);

// What a block holds, read with the launcher's reader (resources/version_strings.h).
struct version_contents {
    version_numbers file_version{};
    version_numbers product_version{};
    std::vector<std::pair<std::string, std::string>> texts;  // key, value (UTF-8), for the keys written above
};
// Throws pack_error when the block has no sound root and fixed part.
version_contents read_version_block(const std::string& block);

// The values of a program's own block (read_version_block): each text it holds (not empty), its
// fixed part's numbers; the texts it lacks stay as `base` has them.
version_identity version_identity_of(const version_contents& contents, version_identity base);

}  // namespace tavrin

#endif
