// The attached-data reader: exact byte counts from the content stream, decompressed incrementally
// through a 128 KiB window, or ahead of the reads on a thread of its own. One reader per process; read in order, closed at most once per opening
// (cached mode opens it again to compare, then to unpack).
#ifndef TAVRIN_PAYLOAD_READER_H
#define TAVRIN_PAYLOAD_READER_H

#include <stdint.h>

// Size of the output window: ZSTD_DStreamOutSize().
enum { reader_window_size = 131072 };

// Opens the reader over the block [block, block + length), which stays where it lies and is never
// copied. Checks the magic (else "Error, couldn't find attached data header."), allocates the window
// and the decompression context (else "Error, couldn't allocate memory."). A NULL block counts as a
// missing header. Returns only on success.
void open_attached_data(const unsigned char* block, uint64_t length);

// The content size that the frame's header declares (tavrin-pack always writes it), or 0 when it
// declares none or the header cannot be read. Only between open_attached_data and close.
uint64_t attached_content_size();

// Decodes the rest of the frame on a thread of its own, ahead of the reads, into a ring of 8
// windows (1 MiB more memory), so that decoding overlaps whatever the caller does with the bytes;
// the reads hand out the same bytes and fail at the same point. Only right after
// open_attached_data, before anything was read; false (nothing changed: the caller's own thread
// decodes, as before) when called later, or when the ring or the thread cannot be had. Close
// stops the thread, wherever it is.
bool decode_attached_data_ahead();

// Copies the next `count` bytes of the content stream into `buffer`, or ends the process with
// "Error, couldn't decode attached data.": a caller never sees a short read. 0 returns at once.
void read_attached_data(void* buffer, uint64_t count);

// After the end marker: confirms that nothing but the end of the frame follows what was read and
// that the frame is complete with its checksum verified, else the decode error. Reads no content.
void confirm_attached_data_complete();

// Stops the decoding thread, if any; releases the context and the windows.
void close_attached_data();

#endif
