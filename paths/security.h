// The process's own security facts and the private unpack directory: the token queried, the
// system's random generator, a directory only this user, SYSTEM and the administrators may enter.
// Every call beyond KERNEL32 is looked up at run time, so the image's import list stays as it is.
#ifndef TAVRIN_PATHS_SECURITY_H
#define TAVRIN_PATHS_SECURITY_H

#include <stddef.h>
#include <stdint.h>

// GetTokenInformation on this process's token for `info_class` into `buffer` (`size` bytes). False
// when the token or the call is not available or fails.
bool query_own_token(int info_class, void* buffer, uint32_t size);

// Fills `bytes` (`count` bytes) from the system's cryptographic generator. False when it is not
// available; `bytes` is then unspecified.
bool fill_system_random(unsigned char* bytes, uint32_t count);

// The private directory's security: a descriptor with a protected DACL that admits the user this
// process runs as, SYSTEM, the administrators and, inside an AppContainer, the AppContainer, each
// with full access passed on to everything created below. Plain storage, DWORD-aligned.
struct private_security {
    alignas(8) unsigned char descriptor[64];  // a SECURITY_DESCRIPTOR
    uint32_t acl[256];                        // its ACL
};

// Fills `security`; false when a call it needs is missing or fails.
bool make_private_security(private_security* security);

// Creates the directory `path` itself, never taking over one that exists: true when this call made
// it, with the security of make_private_security (nothing inherited from where TMP points). Where
// that cannot be made, the directory gets the default security. False with `*error` set: the system's reason
// (ERROR_ALREADY_EXISTS when it existed).
bool create_private_directory(const wchar_t* path, uint32_t* error);

// Whether `owner_sid` (a SID, may be NULL) is one this process trusts as the owner of its own files:
// the user it runs as, or the default owner its token gives new objects (the administrators, for an
// elevated process). False for NULL and whenever the token cannot be read.
bool is_own_owner(const void* owner_sid);

// Whether the object behind `handle` (opened with READ_CONTROL) has an owner that is_own_owner
// accepts, read through GetSecurityInfo. False when it cannot be read.
bool handle_has_own_owner(void* handle);

#endif
