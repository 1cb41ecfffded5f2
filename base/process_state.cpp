// Definitions of the process-wide state shared across the launcher.
#include "base/process_state.h"

wchar_t unpack_directory[wide_path_capacity];
volatile unsigned char unpack_started;
