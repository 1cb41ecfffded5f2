// Small helpers of the packer library: text for messages, the format's little-endian integers over
// byte strings.
#ifndef TAVRIN_PACKER_HELPERS_H
#define TAVRIN_PACKER_HELPERS_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace tavrin {

// The name as UTF-8, for messages; a lone surrogate becomes U+FFFD.
std::string to_utf8(const std::u16string& text);
// `text` as UTF-16. Throws utf8_error unless it is UTF-8 as RFC 3629 has it: a byte that starts no
// character, a character cut short, an overlong form (C0 AE for '.'), an encoded surrogate (CESU-8's
// halves, ED A0..BF xx) or a code point above U+10FFFF is refused, the message naming its offset.
std::u16string from_utf8(std::string_view text);
// The name as UTF-8 in single quotes.
std::string in_quotes(const std::u16string& name);

// The unsigned little-endian integer of `count` bytes (at most 8) at `at`; the caller has checked
// that they lie inside `bytes`.
std::uint64_t read_little_endian(std::string_view bytes, std::size_t at, int count);
// `value` as `count` little-endian bytes.
std::string little_endian_bytes(std::uint64_t value, int count);

}  // namespace tavrin

#endif
