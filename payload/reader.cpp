// The attached-data reader: the single Zstandard frame decompressed through a 128 KiB window.
#include "payload/reader.h"

#include <stdlib.h>
#include <string.h>
#include <zstd.h>

#include "base/errors.h"
#include "format/format.h"

namespace {

ZSTD_DCtx* context;
ZSTD_inBuffer input;
ZSTD_outBuffer window;  // size: valid bytes; pos: bytes handed out
bool window_filled;     // the last call filled the window: the decoder may hold more output
size_t last_result = 1; // what the last decoder call returned; 0 once the frame is complete

// One decoder call into the whole window; the window then holds what it produced.
void refill_window()
{
    window.pos = 0;
    window.size = reader_window_size;
    size_t result = ZSTD_decompressStream(context, &window, &input);
    window_filled = window.pos == reader_window_size;
    if (ZSTD_isError(result)) exit_decode_failed();
    last_result = result;
    window.size = window.pos;
    window.pos = 0;
}

}  // namespace

void open_attached_data(const unsigned char* block, uint64_t length)
{
    if (block == NULL || length < attached_magic_size || memcmp(block, attached_magic, attached_magic_size) != 0)
        exit_header_missing();
    void* buffer = malloc(reader_window_size);
    if (buffer == NULL) exit_out_of_memory();
    context = ZSTD_createDCtx();
    if (context == NULL) exit_out_of_memory();
    window.dst = buffer;
    window.size = 0;
    window.pos = 0;
    window_filled = false;
    last_result = 1;
    input.src = block + attached_magic_size;
    input.size = static_cast<size_t>(length - attached_magic_size);
    input.pos = 0;
}

void read_attached_data(void* buffer, uint64_t count)
{
    unsigned char* to = static_cast<unsigned char*>(buffer);
    while (count > 0) {
        size_t available = window.size - window.pos;
        if (available == 0) {
            // A call may produce nothing (a block header consumed); the loop simply calls again.
            if (input.pos < input.size || window_filled) {
                refill_window();
                continue;
            }
            exit_decode_failed();
        }
        size_t n = count < available ? static_cast<size_t>(count) : available;
        memcpy(to, static_cast<unsigned char*>(window.dst) + window.pos, n);
        window.pos += n;
        to += n;
        count -= n;
    }
}

void confirm_attached_data_complete()
{
    // Decoded bytes not handed out lie past the end marker: the stream is not what it claims.
    if (window.pos != window.size) exit_decode_failed();
    // The end marker may have come out before the decoder reached the frame's end, where the
    // checksum is: let it finish with no room for output. A call that can make no progress means
    // content past the end marker or a truncated frame.
    while (last_result != 0) {
        size_t consumed = input.pos;
        window.pos = 0;
        window.size = 0;
        size_t result = ZSTD_decompressStream(context, &window, &input);
        if (ZSTD_isError(result)) exit_decode_failed();
        last_result = result;
        if (result != 0 && input.pos == consumed) exit_decode_failed();
    }
    window.size = 0;
    window.pos = 0;
}

void close_attached_data()
{
    ZSTD_freeDCtx(context);
    context = NULL;
    free(window.dst);
    window.dst = NULL;
}
