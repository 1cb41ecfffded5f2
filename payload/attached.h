// Where the attached data lies: a dedicated read-only section of the launcher's own image.
#ifndef TAVRIN_PAYLOAD_ATTACHED_H
#define TAVRIN_PAYLOAD_ATTACHED_H

#include <stdint.h>

// Finds the attached-data section in the section table of the process's own mapped image. Sets
// `start` and `length` (the section's virtual size, which the packer sets to the block's length N)
// and returns true; false when there is no such section.
bool find_attached_data(const unsigned char** start, uint64_t* length);

#endif
