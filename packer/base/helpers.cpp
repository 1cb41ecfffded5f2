// Small helpers of the packer library: text for messages, the format's little-endian integers over
// byte strings.
#include "packer/base/helpers.h"

#include "packer/base/errors.h"
#include "format/format.h"

namespace tavrin {

std::string to_utf8(const std::u16string& text)
{
    std::string out;
    for (std::size_t i = 0; i < text.size(); ++i) {
        std::uint32_t c = text[i];
        if (c >= 0xD800 && c <= 0xDBFF && i + 1 < text.size() && text[i + 1] >= 0xDC00 && text[i + 1] <= 0xDFFF) {
            c = 0x10000 + ((c - 0xD800) << 10) + (text[i + 1] - 0xDC00);
            ++i;
        } else if (c >= 0xD800 && c <= 0xDFFF) {
            c = 0xFFFD;  // a lone surrogate has no UTF-8 form
        }
        if (c < 0x80) {
            out.push_back(static_cast<char>(c));
        } else if (c < 0x800) {
            out.push_back(static_cast<char>(0xC0 | (c >> 6)));
            out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
        } else if (c < 0x10000) {
            out.push_back(static_cast<char>(0xE0 | (c >> 12)));
            out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
        } else {
            out.push_back(static_cast<char>(0xF0 | (c >> 18)));
            out.push_back(static_cast<char>(0x80 | ((c >> 12) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
        }
    }
    return out;
}

std::u16string from_utf8(std::string_view text)
{
    std::u16string out;
    for (std::size_t i = 0; i < text.size();) {
        const auto lead = static_cast<unsigned char>(text[i]);
        const int extra = lead < 0x80 ? 0 : (lead & 0xE0) == 0xC0 ? 1 : (lead & 0xF0) == 0xE0 ? 2 : (lead & 0xF8) == 0xF0 ? 3 : -1;
        const std::string at = " at byte " + std::to_string(i);
        if (extra < 0) throw utf8_error("is not valid UTF-8: a byte that starts no character" + at);
        std::uint32_t code = extra == 0 ? lead : lead & (0x3F >> extra);
        for (int k = 1; k <= extra; ++k) {
            if (i + k >= text.size() || (static_cast<unsigned char>(text[i + k]) & 0xC0) != 0x80)
                throw utf8_error("is not valid UTF-8: a character cut short" + at);
            code = code << 6 | (static_cast<unsigned char>(text[i + k]) & 0x3F);
        }
        static const std::uint32_t least[] = {0, 0x80, 0x800, 0x10000};
        if (code < least[extra]) throw utf8_error("is not valid UTF-8: an overlong form" + at);
        if (code >= 0xD800 && code <= 0xDFFF) throw utf8_error("is not valid UTF-8: an encoded surrogate (CESU-8)" + at);
        if (code > 0x10FFFF) throw utf8_error("is not valid UTF-8: a code point above U+10FFFF" + at);
        if (code >= 0x10000) {
            out.push_back(static_cast<char16_t>(0xD800 + ((code - 0x10000) >> 10)));
            out.push_back(static_cast<char16_t>(0xDC00 + ((code - 0x10000) & 0x3FF)));
        } else {
            out.push_back(static_cast<char16_t>(code));
        }
        i += static_cast<std::size_t>(extra) + 1;
    }
    return out;
}

std::string in_quotes(const std::u16string& name) { return "'" + to_utf8(name) + "'"; }

std::uint64_t read_little_endian(std::string_view bytes, std::size_t at, int count)
{
    return load_little_endian(reinterpret_cast<const unsigned char*>(bytes.data() + at), count);
}

std::string little_endian_bytes(std::uint64_t value, int count)
{
    std::string bytes(static_cast<std::size_t>(count), '\0');
    store_little_endian(reinterpret_cast<unsigned char*>(bytes.data()), value, count);
    return bytes;
}

}  // namespace tavrin
