// The record of the files unpacking wrote: their names in one reserved address range, committed in
// 64 KiB pieces as it fills, sealed once unpacking is done.
#include "payload/written_names.h"

#include <windows.h>
#include <wchar.h>

namespace {

enum { piece_bytes = 64 * 1024 };

// The reserved range (NULL until the first begin_written_names, or when it could not be had), the
// bytes of it committed, the code units used and the bound in bytes; all the main thread's.
wchar_t* names;
size_t committed_bytes, used_units, limit_bytes;
// True while every name written so far is in the record.
bool complete;
// 1 once the record is finished (seal_written_names); read by the console handler's thread.
volatile LONG sealed;

}  // namespace

void begin_written_names(size_t limit)
{
    InterlockedExchange(&sealed, 0);
    if (names == NULL)
        names = static_cast<wchar_t*>(VirtualAlloc(NULL, written_names_default_limit, MEM_RESERVE, PAGE_NOACCESS));
    if (limit > written_names_default_limit) limit = written_names_default_limit;
    limit_bytes = (limit + piece_bytes - 1) / piece_bytes * piece_bytes;
    used_units = 0;
    complete = names != NULL;
}

void record_written_name(const wchar_t* name)
{
    if (!complete) return;
    size_t units = wcslen(name) + 1;
    size_t needed = (used_units + units) * sizeof(wchar_t);
    if (needed > limit_bytes) {
        complete = false;
        return;
    }
    // Pieces are committed in turn; those of an earlier record stay committed and are used again.
    while (committed_bytes < needed) {
        if (VirtualAlloc(reinterpret_cast<unsigned char*>(names) + committed_bytes, piece_bytes, MEM_COMMIT,
                         PAGE_READWRITE) == NULL) {
            complete = false;
            return;
        }
        committed_bytes += piece_bytes;
    }
    wmemcpy(names + used_units, name, units);
    used_units += units;
}

void seal_written_names()
{
    // The names and their count are stored before the flag: a thread that sees 1 reads them whole.
    MemoryBarrier();
    InterlockedExchange(&sealed, 1);
}

const wchar_t* sealed_written_names(size_t* units)
{
    if (sealed == 0) return NULL;
    MemoryBarrier();
    if (!complete) return NULL;
    *units = used_units;
    return names;
}
