// The launch settings that the packer wrote into this image's settings record: the unpack
// directory spec, cached mode, the kind of entry and the archive identity.
#ifndef TAVRIN_PAYLOAD_SETTINGS_H
#define TAVRIN_PAYLOAD_SETTINGS_H

// Reads the settings into their process-wide items (base/process_state.h), once, at the start:
// unpack_spec, the spec the packer stored or the built-in spec when it stored none (the text lives
// as long as the process); cached_mode, the packer chose cached mode; program_entry, the entry
// (the first archived file) is a program to start rather than a DLL to load; no_progress_window,
// the packer turned the progress window off. A stored spec without
// its terminator inside the record aborts (bound abort): the record is damaged. Also serial_steps,
// from TAVRIN_ONEFILE_SERIAL.
void read_launch_settings(void);

// The serial_step mask that the text `value` (TAVRIN_ONEFILE_SERIAL's, NULL when it is unset)
// names: comma-separated words "decode", "child", "cleanup" or "all", compared exactly; anything
// else is ignored.
unsigned parse_serial_steps(const wchar_t* value);

// The archive identity the packer stored (ASCII hex digits), or "" when it stored none; read by
// cached mode only, once. Aborts like the spec when the field has no terminator.
const char* launch_archive_identity(void);

#endif
