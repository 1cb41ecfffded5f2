// The process's own security facts and the private unpack directory: the token queried, the
// system's random generator, a directory only this user, SYSTEM and the administrators may enter
// (sealed against lesser processes for an elevated one), and the rule for a sealed tree. Every call
// beyond KERNEL32 is looked up at run time, so the image's import list stays as it is.
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

// Whether this process's token is elevated (TokenElevation not 0: a full administrator token, an
// instance started "as administrator", SYSTEM). A token that cannot be read counts as elevated:
// the stricter answer wherever it is asked.
bool own_token_elevated();

// The private directory's security, plain storage, DWORD-aligned. Every entry is passed on to what
// is created below the directory; the DACL is protected (nothing inherited from above).
//  - plain: the user this process runs as, SYSTEM, the administrators and, inside an AppContainer,
//    the AppContainer, each with full access; the owner left to the token's default;
//  - sealed (an elevated process's directories): owner the administrators; SYSTEM and the
//    administrators full access; the user (and an AppContainer) and OWNER RIGHTS read and execute
//    only, so that no process below the administrators' level can change what is in it.
//    descriptor_is_sealed accepts it.
struct private_security {
    alignas(8) unsigned char descriptor[64];  // a SECURITY_DESCRIPTOR
    uint32_t owner[17];                       // the owner's SID, when sealed
    uint32_t acl[256];                        // its ACL
};

// Fills `security`, sealed or plain; false when a call it needs is missing or fails.
bool make_private_security(private_security* security, bool sealed);

// Creates the directory `path` itself, never taking over one that exists: true when this call made
// it, with the security of make_private_security, sealed when own_token_elevated() (nothing
// inherited from where TMP points). Where that cannot be made, the directory gets the default
// security; where the token may not give the administrators the ownership, the default owner.
// False with `*error` set: the system's reason (ERROR_ALREADY_EXISTS when it existed).
bool create_private_directory(const wchar_t* path, uint32_t* error);

// The same for the fully qualified `path` (at most wide_path_capacity units), but made and opened
// in one step, so that nothing else can be put under its name in between: `*held` is then a handle
// with listing and read access (and DELETE with `renamable`), shared for reading and writing but
// never for deletion, so that nobody else renames the directory while it is open (only the handle
// itself, when `renamable`). The caller closes it.
bool create_held_private_directory(const wchar_t* path, uint32_t* error, void** held, bool renamable);

// Whether `descriptor` (a SECURITY_DESCRIPTOR, absolute or self-relative) seals a tree against
// every process below the administrators' level: its owner is the administrators or SYSTEM; its
// DACL is present, not NULL and protected; and every entry that allows access to anyone but the
// administrators, SYSTEM and TrustedInstaller allows reading and executing at most (FILE_GENERIC_READ,
// FILE_GENERIC_EXECUTE, GENERIC_READ, GENERIC_EXECUTE: no writing, appending, adding files or
// subdirectories, extended attributes or attributes written, no deleting, no deleting children,
// no changing the DACL or the owner). Entries that deny are accepted; an entry of any other type
// (callback, object, compound) is not. Inherit-only entries are judged alike: they reach what is
// created below. False for NULL and whenever the descriptor cannot be read.
bool descriptor_is_sealed(const void* descriptor);

// Whether the object behind `handle` (opened with READ_CONTROL) has a descriptor that
// descriptor_is_sealed accepts, read through GetSecurityInfo. False when it cannot be read.
bool handle_is_sealed(void* handle);

// Whether `owner_sid` (a SID, may be NULL) is one this process trusts as the owner of its own files:
// the user it runs as, or the default owner its token gives new objects (the administrators, for an
// elevated process). False for NULL and whenever the token cannot be read.
bool is_own_owner(const void* owner_sid);

// Whether `owner_sid` (may be NULL) may own a tree that this process uses: one that is_own_owner
// accepts, or the administrators or SYSTEM (who may change anything of the user's anyway).
bool is_trusted_owner(const void* owner_sid);

// Whether the object behind `handle` (opened with READ_CONTROL) has an owner that
// is_trusted_owner accepts, read through GetSecurityInfo. False when it cannot be read.
bool handle_has_trusted_owner(void* handle);

// The same with is_own_owner: an object that this user's processes (at this level) made.
bool handle_has_own_owner(void* handle);

#endif
