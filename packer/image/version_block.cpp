// Writing and reading the version block of a package.
#include "packer/image/version_block.h"

#include "packer/base/errors.h"
#include "packer/base/helpers.h"
#include "resources/product.h"
#include "resources/version_strings.h"

namespace tavrin {
namespace {

const char* const text_keys[] = {"CompanyName",      "ProductName",  "FileDescription", "ProductVersion",
                                 "FileVersion",      "OriginalFilename", "InternalName", "LegalCopyright"};

constexpr std::uint16_t type_binary = 0, type_text = 1;

void pad4(std::string& bytes) { bytes.resize((bytes.size() + 3) & ~std::size_t{3}, '\0'); }

std::string utf16_bytes(const std::u16string& text)
{
    std::string bytes;
    for (char16_t unit : text) bytes += little_endian_bytes(unit, 2);
    return bytes + std::string(2, '\0');
}

std::u16string utf16_of(const std::string& text, const std::string& what)
{
    std::u16string out;
    try {
        out = from_utf8(text);
    } catch (const utf8_error& error) {
        throw utf8_error(what + " " + error.what());
    }
    if (out.find(u'\0') != std::u16string::npos) throw pack_error(what + " holds a NUL character");
    if (out.size() >= version_text_capacity)
        throw pack_error(what + " is longer than " + std::to_string(version_text_capacity - 1) + " UTF-16 code units");
    return out;
}

// A node: header, key, its value, then its children, each at a 4-byte boundary. The length covers
// everything up to the end of the last child, not the padding after it.
std::string node(const std::string& key, const std::string& value, std::size_t value_length, std::uint16_t type,
                 const std::vector<std::string>& children = {})
{
    std::string body = std::string(6, '\0') + utf16_bytes(std::u16string(key.begin(), key.end()));
    pad4(body);
    body += value;
    for (const auto& child : children) {
        pad4(body);
        body += child;
    }
    if (body.size() > 0xFFFF) throw pack_error("the version block's texts are too long together");
    body.replace(0, 6, little_endian_bytes(body.size(), 2) + little_endian_bytes(value_length, 2) + little_endian_bytes(type, 2));
    return body;
}

// `name` without a last ".exe" (any case).
std::string without_exe(std::string name)
{
    if (name.size() > 4) {
        std::string extension = name.substr(name.size() - 4);
        for (char& c : extension) c = static_cast<char>(c >= 'A' && c <= 'Z' ? c + 32 : c);
        if (extension == ".exe") name.resize(name.size() - 4);
    }
    return name;
}

std::uint32_t high(const version_numbers& n) { return static_cast<std::uint32_t>(n[0]) << 16 | n[1]; }
std::uint32_t low(const version_numbers& n) { return static_cast<std::uint32_t>(n[2]) << 16 | n[3]; }

}  // namespace

version_identity default_version_identity()
{
    version_identity identity;
    identity.company = TAVRIN_COMPANY_NAME;
    identity.product = TAVRIN_PRODUCT_NAME;
    identity.description = TAVRIN_FILE_DESCRIPTION;
    identity.copyright = TAVRIN_LEGAL_COPYRIGHT;
    identity.original_filename = TAVRIN_ORIGINAL_FILENAME;
    identity.version = version_numbers{TAVRIN_FILE_VERSION_NUMBERS};
    identity.product_version = version_numbers{TAVRIN_PRODUCT_VERSION_NUMBERS};
    return identity;
}

version_identity neutral_version_identity(const std::string& output_name)
{
    version_identity identity;
    identity.original_filename = output_name;
    identity.product = without_exe(output_name);
    return identity;
}

version_identity version_identity_of(const version_contents& contents, version_identity base)
{
    base.version = contents.file_version;
    base.product_version = contents.product_version;
    base.file_version_text = base.product_version_text = "";
    std::pair<const char*, std::string*> fields[] = {
        {"CompanyName", &base.company},           {"ProductName", &base.product},
        {"FileDescription", &base.description},   {"LegalCopyright", &base.copyright},
        {"OriginalFilename", &base.original_filename}, {"InternalName", &base.internal_name},
        {"FileVersion", &base.file_version_text}, {"ProductVersion", &base.product_version_text}};
    for (const auto& [key, field] : fields)
        for (const auto& [text_key, value] : contents.texts)
            if (text_key == key && !value.empty()) *field = value;
    return base;
}

version_numbers parse_version_numbers(const std::string& text)
{
    version_numbers numbers{};
    std::size_t part = 0, at = 0;
    for (;;) {
        std::size_t end = text.find('.', at);
        std::string piece = text.substr(at, end == std::string::npos ? std::string::npos : end - at);
        bool digits = !piece.empty() && piece.size() <= 5 && piece.find_first_not_of("0123456789") == std::string::npos;
        if (part >= numbers.size() || !digits || std::stoul(piece) > 0xFFFF)
            throw pack_error("'" + text + "' is not a version: one to four numbers from 0 to 65535 separated by dots (A.B.C.D)");
        numbers[part++] = static_cast<std::uint16_t>(std::stoul(piece));
        if (end == std::string::npos) return numbers;
        at = end + 1;
    }
}

std::string version_text(const version_numbers& numbers)
{
    return std::to_string(numbers[0]) + "." + std::to_string(numbers[1]) + "." + std::to_string(numbers[2]) + "." +
           std::to_string(numbers[3]);
}

std::string write_version_block(const version_identity& identity)
{
    const std::string internal = identity.internal_name.empty() ? without_exe(identity.original_filename) : identity.internal_name;
    const std::string file_version = identity.file_version_text.empty() ? version_text(identity.version) : identity.file_version_text;
    const std::string product_version =
        identity.product_version_text.empty() ? version_text(identity.product_version) : identity.product_version_text;
    const std::string values[] = {identity.company, identity.product, identity.description, product_version, file_version,
                                  identity.original_filename, internal, identity.copyright};
    std::vector<std::string> strings;
    for (std::size_t i = 0; i < std::size(text_keys); ++i) {
        std::string value = utf16_bytes(utf16_of(values[i], std::string("the ") + text_keys[i]));
        strings.push_back(node(text_keys[i], value, value.size(), type_text));
    }
    std::string fixed = little_endian_bytes(0xFEEF04BDu, 4) + little_endian_bytes(0, 4) +
                        little_endian_bytes(high(identity.version), 4) + little_endian_bytes(low(identity.version), 4) +
                        little_endian_bytes(high(identity.product_version), 4) + little_endian_bytes(low(identity.product_version), 4) +
                        little_endian_bytes(0x3F, 4) + little_endian_bytes(0, 4) + little_endian_bytes(4, 4) +
                        little_endian_bytes(1, 4) + little_endian_bytes(0, 4) + std::string(8, '\0');
    std::string translation = little_endian_bytes(0x0000, 2) + little_endian_bytes(0x04B0, 2);
    return node("VS_VERSION_INFO", fixed, fixed.size(), type_binary,
                {node("StringFileInfo", "", 0, type_text, {node("000004b0", "", 0, type_text, strings)}),
                 node("VarFileInfo", "", 0, type_text, {node("Translation", translation, translation.size(), type_binary)})});
}

version_contents read_version_block(const std::string& block)
{
    const auto* bytes = reinterpret_cast<const unsigned char*>(block.data());
    std::size_t fixed = version_fixed_offset(bytes, block.size());
    if (fixed == 0) throw pack_error("the version block has no VS_VERSION_INFO root with a fixed part");
    version_contents contents;
    auto numbers = [&](std::size_t at) {
        std::uint64_t high_part = read_little_endian(block, at, 4), low_part = read_little_endian(block, at + 4, 4);
        return version_numbers{static_cast<std::uint16_t>(high_part >> 16), static_cast<std::uint16_t>(high_part),
                               static_cast<std::uint16_t>(low_part >> 16), static_cast<std::uint16_t>(low_part)};
    };
    contents.file_version = numbers(fixed + 8);
    contents.product_version = numbers(fixed + 16);
    for (const char* key : text_keys) {
        wchar_t text[version_text_capacity];
        if (!find_version_text(bytes, block.size(), key, text)) continue;
        std::u16string units;
        for (const wchar_t* unit = text; *unit != 0; ++unit) units.push_back(static_cast<char16_t>(*unit));
        contents.texts.emplace_back(key, to_utf8(units));
    }
    return contents;
}

}  // namespace tavrin
