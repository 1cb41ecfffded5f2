// The launch settings that the packer wrote into this image's settings record: the unpack
// directory spec, cached mode, the kind of entry and the archive identity.
#ifndef TAVRIN_PAYLOAD_SETTINGS_H
#define TAVRIN_PAYLOAD_SETTINGS_H

// Reads the settings into their process-wide items (base/process_state.h), once, at the start:
// unpack_spec, the spec the packer stored or the built-in spec when it stored none (the text lives
// as long as the process); cached_mode, the packer chose cached mode; program_entry, the entry
// (the first archived file) is a program to start rather than a DLL to load. A stored spec without
// its terminator inside the record aborts (bound abort): the record is damaged.
void read_launch_settings(void);

// The archive identity the packer stored (ASCII hex digits), or "" when it stored none; read by
// cached mode only, once. Aborts like the spec when the field has no terminator.
const char* launch_archive_identity(void);

#endif
