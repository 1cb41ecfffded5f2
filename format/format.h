// The attached-data block: magic, one Zstandard frame, four reserved zero bytes, a 64-bit trailer.
// Shared by the launcher's reader and the packer's writer; nothing else defines these numbers.
#ifndef TAVRIN_FORMAT_FORMAT_H
#define TAVRIN_FORMAT_FORMAT_H

#include <stddef.h>
#include <stdint.h>

// Bytes 0..2 of the block.
static const unsigned char attached_magic[3] = {'V', 'Q', 'J'};
enum { attached_magic_size = 3 };
// After the frame: four zero bytes, then N - 8 as an unsigned 64-bit little-endian integer.
enum { attached_reserved_size = 4, attached_trailer_size = 8 };
// Magic plus the tail: a block is its frame's length plus this.
enum { attached_overhead = attached_magic_size + attached_reserved_size + attached_trailer_size };

// Content stream: each entry is a UTF-16LE name (1..1023 code units), a 0x0000 terminator, the
// content size as an unsigned 64-bit little-endian integer, then the content. An empty name (a lone
// 0x0000) ends the stream.
enum { entry_name_capacity = 1024 };  // code units, terminator included
enum { entry_size_bytes = 8 };

// The largest window a frame may declare: the decoder's default limit.
enum { attached_window_log_max = 27 };

// The launcher's path buffers (unpack directory, output path, first file path) hold this many UTF-16
// code units, terminator included: a name whose unpack path would be longer cannot be unpacked.
enum { wide_path_capacity = 4096 };

// The format's little-endian integers: `count` bytes (at most 8) at `bytes`, least significant first.
static inline uint64_t load_little_endian(const unsigned char* bytes, int count)
{
    uint64_t value = 0;
    for (int i = count - 1; i >= 0; --i) value = (value << 8) | bytes[i];
    return value;
}
static inline void store_little_endian(unsigned char* bytes, uint64_t value, int count)
{
    for (int i = 0; i < count; ++i) bytes[i] = (unsigned char)(value >> (8 * i));
}

// The section of the launcher image that holds the block: initialized, read-only data.
#define TAVRIN_ATTACHED_SECTION_NAME ".tavrin"

#endif
