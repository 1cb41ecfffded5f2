// Definitions of the process-wide state shared across the launcher.
#include "launcher/process_state.h"

wchar_t unpack_directory[wide_path_capacity];
wchar_t child_application_path[wide_path_capacity];
void* volatile child_process_handle;
volatile unsigned char unpack_started;
