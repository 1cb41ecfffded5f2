// The attached-data reader: the single Zstandard frame decompressed through a 128 KiB window, on the
// caller's thread or, once asked, ahead of it on a thread of its own through a ring of windows.
#include "payload/reader.h"

#include <windows.h>
#include <stdlib.h>
#include <string.h>
#include <zstd.h>

#include "base/errors.h"
#include "base/trace.h"
#include "format/format.h"

namespace {

ZSTD_DCtx* context;
ZSTD_inBuffer input;
ZSTD_outBuffer window;  // size: valid bytes; pos: bytes handed out
void* window_memory;    // the window of the caller's own decoding, from open to close
bool window_filled;     // the last call filled the window: the decoder may hold more output
size_t last_result = 1; // what the last decoder call returned; 0 once the frame is complete

// Decoding ahead. The decoding thread owns the context and the input from its start until close
// joins it; the reading thread then only takes windows out of the ring. One lock guards the counts
// and the end below; the slots' bytes are handed over with them (a slot counted in `ahead_filled`
// is the reader's until it gives it back).
enum { ahead_slots = 8 };
enum ahead_end { ahead_running, ahead_complete, ahead_failed };
unsigned char* ahead_memory;          // ahead_slots windows of reader_window_size bytes
size_t ahead_size[ahead_slots];       // valid bytes of each filled slot, never 0
unsigned ahead_next_read;             // the slot the reader takes next (count, modulo the ring)
unsigned ahead_filled;                // slots filled and not yet given back, the reader's included
bool ahead_reading;                   // the window is a slot of the ring, not yet given back
ahead_end ahead_state;                // how the decoder ended, once it has
size_t ahead_error;                   // the failing decoder call's result (an error code), or 0
bool ahead_stop;                      // close asks the decoder to stop
HANDLE ahead_thread;                  // NULL while the caller decodes on its own
SRWLOCK ahead_lock = SRWLOCK_INIT;
CONDITION_VARIABLE ahead_slot_filled = CONDITION_VARIABLE_INIT;
CONDITION_VARIABLE ahead_slot_given_back = CONDITION_VARIABLE_INIT;

// The decode error, its cause in the trace first: the decoder's own words for `result` (an error
// code), or, for 0, that the frame ended before the bytes wanted.
[[noreturn]] void fail_decoding(size_t result)
{
    if (result != 0) trace("decoding failed: %s", ZSTD_getErrorName(result));
    else trace("decoding failed: the archive ends before the content read so far does");
    exit_decode_failed();
}

[[noreturn]] void fail_past_end()
{
    trace("decoding failed: content follows the end marker, or the frame does not end where it should");
    exit_decode_failed();
}

// One decoder call into the whole window; the window then holds what it produced.
void refill_window()
{
    window.pos = 0;
    window.size = reader_window_size;
    size_t result = ZSTD_decompressStream(context, &window, &input);
    window_filled = window.pos == reader_window_size;
    if (ZSTD_isError(result)) fail_decoding(result);
    last_result = result;
    window.size = window.pos;
    window.pos = 0;
}

// Decodes into `slot` until it is full or the frame ends; how it ended goes into `*end`
// (ahead_running: the slot is full and the frame goes on). Output of a failing call is dropped,
// as the caller's own decoding drops it: the reader fails where that call's output would begin.
size_t decode_slot(unsigned char* slot, ahead_end* end)
{
    ZSTD_outBuffer out = {slot, reader_window_size, 0};
    for (;;) {
        const size_t produced = out.pos, consumed = input.pos;
        const size_t result = ZSTD_decompressStream(context, &out, &input);
        if (ZSTD_isError(result)) {
            *end = ahead_failed;
            ahead_error = result;
            return produced;
        }
        if (result == 0) {
            *end = ahead_complete;
            return out.pos;
        }
        if (out.pos == out.size) {
            *end = ahead_running;
            return out.pos;
        }
        // No progress with room to spare: the frame is cut short.
        if (out.pos == produced && input.pos == consumed) {
            *end = ahead_failed;
            return out.pos;
        }
    }
}

DWORD WINAPI decode_ahead(void*)
{
    for (unsigned at = 0;; ++at) {
        AcquireSRWLockExclusive(&ahead_lock);
        while (ahead_filled == ahead_slots && !ahead_stop)
            SleepConditionVariableSRW(&ahead_slot_given_back, &ahead_lock, INFINITE, 0);
        const bool stop = ahead_stop;
        ReleaseSRWLockExclusive(&ahead_lock);
        if (stop) return 0;

        ahead_end end = ahead_running;
        const size_t size = decode_slot(ahead_memory + (at % ahead_slots) * size_t(reader_window_size), &end);

        // An empty slot comes only with the end, and is not handed out.
        AcquireSRWLockExclusive(&ahead_lock);
        if (size > 0) {
            ahead_size[at % ahead_slots] = size;
            ++ahead_filled;
        }
        ahead_state = end;
        ReleaseSRWLockExclusive(&ahead_lock);
        WakeConditionVariable(&ahead_slot_filled);
        if (end != ahead_running) return 0;
    }
}

// The reader's side: gives the slot it holds back, then waits for the next one; false when the
// decoder has ended and no filled slot is left. Ahead mode only.
bool take_next_slot()
{
    AcquireSRWLockExclusive(&ahead_lock);
    if (ahead_reading) {
        ahead_reading = false;
        ++ahead_next_read;
        --ahead_filled;
        WakeConditionVariable(&ahead_slot_given_back);
    }
    while (ahead_filled == 0 && ahead_state == ahead_running)
        SleepConditionVariableSRW(&ahead_slot_filled, &ahead_lock, INFINITE, 0);
    const bool taken = ahead_filled > 0;
    if (taken) {
        const unsigned slot = ahead_next_read % ahead_slots;
        window.dst = ahead_memory + slot * size_t(reader_window_size);
        window.size = ahead_size[slot];
        window.pos = 0;
        ahead_reading = true;
    }
    ReleaseSRWLockExclusive(&ahead_lock);
    return taken;
}

// Stops and joins the decoding thread, if there is one, and frees the ring.
void end_decoding_ahead()
{
    if (ahead_thread == NULL) return;
    AcquireSRWLockExclusive(&ahead_lock);
    ahead_stop = true;
    ReleaseSRWLockExclusive(&ahead_lock);
    WakeConditionVariable(&ahead_slot_given_back);
    WaitForSingleObject(ahead_thread, INFINITE);
    CloseHandle(ahead_thread);
    ahead_thread = NULL;
    free(ahead_memory);
    ahead_memory = NULL;
}

}  // namespace

void open_attached_data(const unsigned char* block, uint64_t length)
{
    if (block == NULL || length < attached_magic_size || memcmp(block, attached_magic, attached_magic_size) != 0)
        exit_header_missing();
    window_memory = malloc(reader_window_size);
    if (window_memory == NULL) exit_out_of_memory();
    context = ZSTD_createDCtx();
    if (context == NULL) exit_out_of_memory();
    window.dst = window_memory;
    window.size = 0;
    window.pos = 0;
    window_filled = false;
    last_result = 1;
    input.src = block + attached_magic_size;
    input.size = static_cast<size_t>(length - attached_magic_size);
    input.pos = 0;
}

bool decode_attached_data_ahead()
{
    // Only from the frame's start: nothing may have been decoded on the caller's thread yet.
    if (ahead_thread != NULL || context == NULL || input.pos != 0 || window.size != 0) return false;
    ahead_memory = static_cast<unsigned char*>(malloc(size_t(ahead_slots) * reader_window_size));
    if (ahead_memory == NULL) return false;
    ahead_next_read = ahead_filled = 0;
    ahead_reading = false;
    ahead_state = ahead_running;
    ahead_error = 0;
    ahead_stop = false;
    // A small stack: the decoder keeps its state in the context, on the heap.
    ahead_thread = CreateThread(NULL, 256 * 1024, decode_ahead, NULL, STACK_SIZE_PARAM_IS_A_RESERVATION, NULL);
    if (ahead_thread == NULL) {
        free(ahead_memory);
        ahead_memory = NULL;
        return false;
    }
    trace("decoding ahead on a thread of its own (%u windows of %u KiB)", unsigned(ahead_slots), unsigned(reader_window_size / 1024));
    return true;
}

uint64_t attached_content_size()
{
    if (context == NULL) return 0;
    const unsigned long long size = ZSTD_getFrameContentSize(input.src, input.size);
    return size == ZSTD_CONTENTSIZE_UNKNOWN || size == ZSTD_CONTENTSIZE_ERROR ? 0 : size;
}

void read_attached_data(void* buffer, uint64_t count)
{
    unsigned char* to = static_cast<unsigned char*>(buffer);
    while (count > 0) {
        size_t available = window.size - window.pos;
        if (available == 0) {
            if (ahead_thread != NULL) {
                if (take_next_slot()) continue;
                fail_decoding(ahead_error);
            }
            // A call may produce nothing (a block header consumed); the loop simply calls again.
            if (input.pos < input.size || window_filled) {
                refill_window();
                continue;
            }
            fail_decoding(0);
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
    if (window.pos != window.size) fail_past_end();
    if (ahead_thread != NULL) {
        // The decoder runs on to the frame's end, where the checksum is; whatever it decodes there
        // is content past the end marker.
        if (take_next_slot()) fail_past_end();
        if (ahead_state != ahead_complete) fail_decoding(ahead_error);
        window.size = 0;
        window.pos = 0;
        trace("the archive's frame is complete, its checksum verified");
        return;
    }
    // The end marker may have come out before the decoder reached the frame's end, where the
    // checksum is: let it finish with no room for output. A call that can make no progress means
    // content past the end marker or a truncated frame.
    while (last_result != 0) {
        size_t consumed = input.pos;
        window.pos = 0;
        window.size = 0;
        size_t result = ZSTD_decompressStream(context, &window, &input);
        if (ZSTD_isError(result)) fail_decoding(result);
        last_result = result;
        if (result != 0 && input.pos == consumed) fail_past_end();
    }
    window.size = 0;
    window.pos = 0;
    trace("the archive's frame is complete, its checksum verified");
}

void close_attached_data()
{
    end_decoding_ahead();
    ZSTD_freeDCtx(context);
    context = NULL;
    free(window_memory);
    window_memory = NULL;
    window.dst = NULL;
    window.size = 0;
    window.pos = 0;
}
