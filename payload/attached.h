// Where the attached data lies: a dedicated read-only section of the launcher's own image.
#ifndef TAVRIN_PAYLOAD_ATTACHED_H
#define TAVRIN_PAYLOAD_ATTACHED_H

#include <stdint.h>

// Finds the attached-data section in the section table of the process's own mapped image. Sets
// `start` and `length` (the section's virtual size, which the packer sets to the block's length N)
// and returns true; false when there is no such section.
bool find_attached_data(const unsigned char** start, uint64_t* length);

// Takes the pages of the section [start, start + length) that reading it brought in out of the
// process's working set (they stay mapped and are read again from the image when touched), for a
// process that goes on running after it has unpacked. The result is not examined.
void release_attached_data_pages(const unsigned char* start, uint64_t length);

#endif
