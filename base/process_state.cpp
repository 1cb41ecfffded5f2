// Definitions of the process-wide items of base/process_state.h.
#include "base/process_state.h"

const wchar_t* unpack_spec;
bool cached_mode;
bool program_entry;
bool no_progress_window;
unsigned serial_steps;
wchar_t unpack_directory[wide_path_capacity];
wchar_t directory_in_use[wide_path_capacity];
wchar_t first_file_path[wide_path_capacity];
volatile long start_stage;
volatile uint64_t unpacked_bytes;
volatile uint64_t unpack_total_bytes;
long long progress_due_at;
void (*progress_due_hook)();
