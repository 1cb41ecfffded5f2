// Finds the attached-data section through the section table of a mapped image.
#include "payload/attached.h"

#include <windows.h>
#include <string.h>

#include "format/format.h"

bool find_attached_data(const unsigned char** start, uint64_t* length)
{
    const unsigned char* base = reinterpret_cast<const unsigned char*>(GetModuleHandleW(NULL));
    const IMAGE_DOS_HEADER* dos = reinterpret_cast<const IMAGE_DOS_HEADER*>(base);
    if (dos->e_magic != IMAGE_DOS_SIGNATURE) return false;
    const IMAGE_NT_HEADERS* nt = reinterpret_cast<const IMAGE_NT_HEADERS*>(base + dos->e_lfanew);
    if (nt->Signature != IMAGE_NT_SIGNATURE) return false;
    const IMAGE_SECTION_HEADER* section = IMAGE_FIRST_SECTION(nt);
    static const char name[] = TAVRIN_ATTACHED_SECTION_NAME;
    for (WORD i = 0; i < nt->FileHeader.NumberOfSections; ++i, ++section) {
        // Names shorter than eight bytes are padded with NULs.
        if (memcmp(section->Name, name, sizeof name) != 0) continue;
        // The loader maps min(virtual size, raw size) bytes from the file; the rest would be zeros
        // that were never part of the block.
        uint32_t size = section->Misc.VirtualSize;
        if (section->SizeOfRawData < size) size = section->SizeOfRawData;
        *start = base + section->VirtualAddress;
        *length = size;
        return true;
    }
    return false;
}

void release_attached_data_pages(const unsigned char* start, uint64_t length)
{
    // VirtualUnlock on pages that are not locked removes those present from the working set (and
    // reports ERROR_NOT_LOCKED), which is what is wanted of image pages read once. Its effect is
    // not checked under Wine 8, whose working set is the Unix resident set.
    VirtualUnlock(const_cast<unsigned char*>(start), static_cast<SIZE_T>(length));
}
