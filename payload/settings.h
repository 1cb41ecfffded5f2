// The launch settings that the packer wrote into this image's settings record: the unpack
// directory spec, cached mode, the kind of entry and the archive identity.
#ifndef TAVRIN_PAYLOAD_SETTINGS_H
#define TAVRIN_PAYLOAD_SETTINGS_H

// The spec the unpack directory is expanded from: the one the packer stored, or the built-in spec
// when it stored none. The returned text lives as long as the process. A stored spec without its
// terminator inside the record aborts (bound abort): the record is damaged.
const wchar_t* launch_unpack_spec(void);

// True when the packer chose cached mode.
bool launch_cached(void);

// True when the entry (the first archived file) is a program to start rather than a DLL to load.
bool launch_exe_entry(void);

// The archive identity the packer stored (ASCII hex digits), or "" when it stored none. Aborts like
// launch_unpack_spec when the field has no terminator.
const char* launch_archive_identity(void);

#endif
