// The process's own token, the system's random generator, private and sealed directories, through
// calls looked up at run time (advapi32, ntdll), so that the image imports only KERNEL32, SHELL32
// and msvcrt.
#include "paths/security.h"

#include <windows.h>
#include <winternl.h>

#include "base/process_state.h"
#include "paths/bounded.h"

namespace {

enum { max_sid_bytes = 68, token_user_bytes = 512 };
enum {
    token_user_class = 1,
    token_owner_class = 4,
    token_elevation_class = 20,
    token_is_app_container_class = 29,
    token_app_container_sid_class = 31
};

// What a sealed directory grants the user: reading and executing (listing and traversing, for a
// directory), nothing more; and what it may grant anyone but the administrators, SYSTEM and
// TrustedInstaller, the same in specific or generic rights.
const DWORD read_execute_access = FILE_GENERIC_READ | FILE_GENERIC_EXECUTE;
const DWORD read_execute_mask = read_execute_access | GENERIC_READ | GENERIC_EXECUTE;

// NT SERVICE\TrustedInstaller, S-1-5-80-956008885-3418522649-1831038044-1853292631-2271478464: the
// owner of the system's own files, which a sealed tree may trust as it trusts SYSTEM.
const struct {
    BYTE revision, count, authority[6];
    DWORD sub_authority[6];
} trusted_installer_sid = {1, 6, {0, 0, 0, 0, 0, 5}, {80, 956008885u, 3418522649u, 1831038044u, 1853292631u, 2271478464u}};
static_assert(sizeof trusted_installer_sid == 32, "a SID's layout");

// One lookup per function, on first use; NULL when the system lacks it.
FARPROC advapi_function(const char* name)
{
    static HMODULE advapi = LoadLibraryExW(L"advapi32.dll", NULL, LOAD_LIBRARY_SEARCH_SYSTEM32);
    return advapi != NULL ? GetProcAddress(advapi, name) : NULL;
}

template <typename function_type>
function_type lookup(const char* name)
{
    return reinterpret_cast<function_type>(reinterpret_cast<void*>(advapi_function(name)));
}

typedef BOOL(WINAPI* open_process_token_function)(HANDLE, DWORD, HANDLE*);
typedef BOOL(WINAPI* get_token_information_function)(HANDLE, int, void*, DWORD, DWORD*);
typedef BOOLEAN(WINAPI* gen_random_function)(void*, ULONG);
typedef BOOL(WINAPI* initialize_acl_function)(ACL*, DWORD, DWORD);
typedef BOOL(WINAPI* add_ace_function)(ACL*, DWORD, DWORD, DWORD, PSID);
typedef BOOL(WINAPI* well_known_sid_function)(int, PSID, PSID, DWORD*);
typedef BOOL(WINAPI* initialize_descriptor_function)(PSECURITY_DESCRIPTOR, DWORD);
typedef BOOL(WINAPI* set_dacl_function)(PSECURITY_DESCRIPTOR, BOOL, ACL*, BOOL);
typedef BOOL(WINAPI* set_control_function)(PSECURITY_DESCRIPTOR, WORD, WORD);
typedef BOOL(WINAPI* equal_sid_function)(PSID, PSID);
typedef BOOL(WINAPI* valid_sid_function)(PSID);
typedef DWORD(WINAPI* get_security_info_function)(HANDLE, int, DWORD, PSID*, PSID*, ACL**, ACL**, PSECURITY_DESCRIPTOR*);
typedef BOOL(WINAPI* set_owner_function)(PSECURITY_DESCRIPTOR, PSID, BOOL);
typedef BOOL(WINAPI* get_owner_function)(PSECURITY_DESCRIPTOR, PSID*, BOOL*);
typedef BOOL(WINAPI* get_dacl_function)(PSECURITY_DESCRIPTOR, BOOL*, ACL**, BOOL*);
typedef BOOL(WINAPI* get_control_function)(PSECURITY_DESCRIPTOR, SECURITY_DESCRIPTOR_CONTROL*, DWORD*);
typedef BOOL(WINAPI* get_ace_function)(ACL*, DWORD, void**);
typedef NTSTATUS(NTAPI* nt_create_file_function)(HANDLE*, ACCESS_MASK, OBJECT_ATTRIBUTES*, IO_STATUS_BLOCK*, LARGE_INTEGER*,
                                                  ULONG, ULONG, ULONG, ULONG, void*, ULONG);
typedef ULONG(NTAPI* status_to_error_function)(NTSTATUS);

// One of the system's well-known SIDs (WinLocalSystemSid, ...) into `sid` (max_sid_bytes).
bool well_known(int type, void* sid)
{
    well_known_sid_function create = lookup<well_known_sid_function>("CreateWellKnownSid");
    DWORD size = max_sid_bytes;
    return create != NULL && create(type, NULL, sid, &size);
}

// Whether `sid` is the administrators', SYSTEM's or, with `installer`, TrustedInstaller's.
bool is_administration_sid(PSID sid, bool installer)
{
    equal_sid_function equal = lookup<equal_sid_function>("EqualSid");
    valid_sid_function valid = lookup<valid_sid_function>("IsValidSid");
    if (sid == NULL || equal == NULL || valid == NULL || !valid(sid)) return false;
    unsigned char known[max_sid_bytes];
    if (well_known(WinBuiltinAdministratorsSid, known) && equal(sid, known)) return true;
    if (well_known(WinLocalSystemSid, known) && equal(sid, known)) return true;
    return installer && equal(sid, const_cast<void*>(static_cast<const void*>(&trusted_installer_sid)));
}

// Reads the owner and the DACL of the object behind `handle` into a descriptor that the caller
// frees with LocalFree; NULL when it cannot be read.
PSECURITY_DESCRIPTOR read_descriptor(HANDLE handle, DWORD parts)
{
    get_security_info_function get_info = lookup<get_security_info_function>("GetSecurityInfo");
    PSID owner = NULL;
    ACL* dacl = NULL;
    PSECURITY_DESCRIPTOR descriptor = NULL;
    const int file_object = 1;  // SE_FILE_OBJECT
    if (get_info == NULL || get_info(handle, file_object, parts, &owner, NULL, &dacl, NULL, &descriptor) != ERROR_SUCCESS)
        return NULL;
    return descriptor;
}

}  // namespace

bool make_private_security(private_security* security, bool sealed)
{
    static_assert(sizeof security->descriptor >= sizeof(SECURITY_DESCRIPTOR), "room for the descriptor");
    static_assert(sizeof security->owner >= max_sid_bytes, "room for a SID");
    SECURITY_DESCRIPTOR* descriptor = reinterpret_cast<SECURITY_DESCRIPTOR*>(security->descriptor);
    ACL* acl = reinterpret_cast<ACL*>(security->acl);
    initialize_acl_function initialize_acl = lookup<initialize_acl_function>("InitializeAcl");
    add_ace_function add_ace = lookup<add_ace_function>("AddAccessAllowedAceEx");
    initialize_descriptor_function initialize = lookup<initialize_descriptor_function>("InitializeSecurityDescriptor");
    set_dacl_function set_dacl = lookup<set_dacl_function>("SetSecurityDescriptorDacl");
    set_control_function set_control = lookup<set_control_function>("SetSecurityDescriptorControl");
    set_owner_function set_owner = lookup<set_owner_function>("SetSecurityDescriptorOwner");
    if (!initialize_acl || !add_ace || !initialize || !set_dacl || !set_control || !set_owner) return false;

    union {
        TOKEN_USER user;
        unsigned char bytes[token_user_bytes];
    } user;
    if (!query_own_token(token_user_class, &user, sizeof user)) return false;
    unsigned char system_sid[max_sid_bytes], administrators_sid[max_sid_bytes], owner_rights_sid[max_sid_bytes];
    if (!well_known(WinLocalSystemSid, system_sid) || !well_known(WinBuiltinAdministratorsSid, administrators_sid) ||
        !well_known(WinCreatorOwnerRightsSid, owner_rights_sid))
        return false;

    const DWORD inherit = OBJECT_INHERIT_ACE | CONTAINER_INHERIT_ACE;
    // Sealed, the user reads and executes only. OWNER RIGHTS limits whoever owns a file below to
    // the same: the files get the token's default owner, which a policy may make the user, whose
    // implicit right to change the DACL would otherwise reopen them.
    const DWORD user_access = sealed ? read_execute_access : FILE_ALL_ACCESS;
    if (!initialize_acl(acl, sizeof security->acl, ACL_REVISION)) return false;
    if (!add_ace(acl, ACL_REVISION, inherit, user_access, user.user.User.Sid) ||
        !add_ace(acl, ACL_REVISION, inherit, FILE_ALL_ACCESS, system_sid) ||
        !add_ace(acl, ACL_REVISION, inherit, FILE_ALL_ACCESS, administrators_sid) ||
        (sealed && !add_ace(acl, ACL_REVISION, inherit, read_execute_access, owner_rights_sid)))
        return false;
    // Inside an AppContainer the process's own access is checked against its AppContainer SID too:
    // without an entry for it, the process would lock itself out of its own directory.
    DWORD in_container = 0;
    union {
        TOKEN_APPCONTAINER_INFORMATION container;
        unsigned char bytes[token_user_bytes];
    } container;
    if (query_own_token(token_is_app_container_class, &in_container, sizeof in_container) && in_container != 0) {
        if (!query_own_token(token_app_container_sid_class, &container, sizeof container) ||
            container.container.TokenAppContainer == NULL ||
            !add_ace(acl, ACL_REVISION, inherit, user_access, container.container.TokenAppContainer))
            return false;
    }
    if (!initialize(descriptor, SECURITY_DESCRIPTOR_REVISION) || !set_dacl(descriptor, TRUE, acl, FALSE) ||
        !set_control(descriptor, SE_DACL_PROTECTED, SE_DACL_PROTECTED))
        return false;
    if (!sealed) return true;
    // The administrators as the owner, whatever the token's default owner is: an owner may always
    // change the DACL, so the user must not be it.
    for (int i = 0; i < max_sid_bytes; ++i) reinterpret_cast<unsigned char*>(security->owner)[i] = administrators_sid[i];
    return set_owner(descriptor, security->owner, FALSE) != FALSE;
}

bool query_own_token(int info_class, void* buffer, uint32_t size)
{
    open_process_token_function open_token = lookup<open_process_token_function>("OpenProcessToken");
    get_token_information_function query = lookup<get_token_information_function>("GetTokenInformation");
    HANDLE token = NULL;
    if (open_token == NULL || query == NULL || !open_token(GetCurrentProcess(), TOKEN_QUERY, &token)) return false;
    DWORD needed = 0;
    BOOL done = query(token, info_class, buffer, size, &needed);
    CloseHandle(token);
    return done != FALSE;
}

bool own_token_elevated()
{
    DWORD elevated = 1;
    if (!query_own_token(token_elevation_class, &elevated, sizeof elevated)) return true;
    return elevated != 0;
}

bool fill_system_random(unsigned char* bytes, uint32_t count)
{
    // RtlGenRandom, exported by advapi32 under this name since Windows XP.
    gen_random_function generate = lookup<gen_random_function>("SystemFunction036");
    return generate != NULL && generate(bytes, count) != FALSE;
}

namespace {

// `path` (fully qualified, or already "\\?\" or "\\.\") as an NT path in `nt` (capacity units):
// "\??\C:\...", "\??\UNC\server\share\...". Aborts when it does not fit.
void nt_path_form(const wchar_t* path, wchar_t* nt, size_t capacity)
{
    const wchar_t* rest = path;
    const wchar_t* prefix = L"\\??\\";
    if (path[0] == L'\\' && path[1] == L'\\') {
        if ((path[2] == L'?' || path[2] == L'.') && path[3] == L'\\') {
            rest = path + 4;
        } else {
            prefix = L"\\??\\UNC\\";
            rest = path + 2;
        }
    }
    copy_wide_bounded(nt, prefix, capacity);
    append_wide_bounded(nt, rest, capacity);
}

// One attempt at making the directory with `security` (NULL: the default security): through
// CreateDirectoryW, or with `held` through NtCreateFile, which makes and opens it in one step (with
// DELETE access when `renamable`).
bool create_directory_once(const wchar_t* path, void* security, void** held, bool renamable, uint32_t* error)
{
    if (held == NULL) {
        SECURITY_ATTRIBUTES attributes;
        attributes.nLength = sizeof attributes;
        attributes.bInheritHandle = FALSE;
        attributes.lpSecurityDescriptor = security;
        if (CreateDirectoryW(path, &attributes)) return true;
        *error = GetLastError();
        return false;
    }
    HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
    nt_create_file_function create = reinterpret_cast<nt_create_file_function>(
        reinterpret_cast<void*>(ntdll != NULL ? GetProcAddress(ntdll, "NtCreateFile") : NULL));
    status_to_error_function to_error = reinterpret_cast<status_to_error_function>(
        reinterpret_cast<void*>(ntdll != NULL ? GetProcAddress(ntdll, "RtlNtStatusToDosError") : NULL));
    if (create == NULL || to_error == NULL) {
        *error = ERROR_PROC_NOT_FOUND;
        return false;
    }
    static wchar_t nt[wide_path_capacity + 8];
    nt_path_form(path, nt, wide_path_capacity + 8);
    UNICODE_STRING name;
    name.Buffer = nt;
    name.Length = static_cast<USHORT>(wcslen(nt) * sizeof(wchar_t));
    name.MaximumLength = static_cast<USHORT>(name.Length + sizeof(wchar_t));
    OBJECT_ATTRIBUTES object;
    InitializeObjectAttributes(&object, &name, OBJ_CASE_INSENSITIVE, NULL, security);
    IO_STATUS_BLOCK status_block;
    HANDLE directory = NULL;
    const ACCESS_MASK access = (renamable ? DELETE : 0) | READ_CONTROL | FILE_LIST_DIRECTORY | FILE_TRAVERSE |
                               FILE_READ_ATTRIBUTES | SYNCHRONIZE;
    NTSTATUS status = create(&directory, access, &object, &status_block, NULL, FILE_ATTRIBUTE_NORMAL,
                             FILE_SHARE_READ | FILE_SHARE_WRITE, FILE_CREATE, FILE_DIRECTORY_FILE | FILE_SYNCHRONOUS_IO_NONALERT,
                             NULL, 0);
    if (status >= 0) {
        *held = directory;
        return true;
    }
    *error = to_error(status);
    return false;
}

bool create_directory(const wchar_t* path, uint32_t* error, void** held, bool renamable)
{
    private_security security;
    bool sealed = own_token_elevated();
    if (!make_private_security(&security, sealed)) return create_directory_once(path, NULL, held, renamable, error);
    if (create_directory_once(path, security.descriptor, held, renamable, error)) return true;
    // A token that may not make the administrators the owner (an elevated token without them):
    // the token's default owner, and the DACL as it is.
    if (!sealed || *error != ERROR_INVALID_OWNER) return false;
    set_owner_function set_owner = lookup<set_owner_function>("SetSecurityDescriptorOwner");
    return set_owner != NULL && set_owner(security.descriptor, NULL, FALSE) &&
           create_directory_once(path, security.descriptor, held, renamable, error);
}

}  // namespace

bool create_private_directory(const wchar_t* path, uint32_t* error) { return create_directory(path, error, NULL, false); }

bool create_held_private_directory(const wchar_t* path, uint32_t* error, void** held, bool renamable)
{
    return create_directory(path, error, held, renamable);
}

bool is_own_owner(const void* owner_sid)
{
    equal_sid_function equal = lookup<equal_sid_function>("EqualSid");
    valid_sid_function valid = lookup<valid_sid_function>("IsValidSid");
    PSID owner = const_cast<PSID>(owner_sid);
    if (owner == NULL || equal == NULL || valid == NULL || !valid(owner)) return false;
    union {
        TOKEN_USER user;
        TOKEN_OWNER owner;
        unsigned char bytes[token_user_bytes];
    } token;
    if (query_own_token(token_user_class, &token, sizeof token) && equal(owner, token.user.User.Sid)) return true;
    return query_own_token(token_owner_class, &token, sizeof token) && equal(owner, token.owner.Owner);
}

bool is_trusted_owner(const void* owner_sid)
{
    return is_own_owner(owner_sid) || is_administration_sid(const_cast<void*>(owner_sid), false);
}

// Whether the owner of the object behind `handle` passes `accepted`; false when it cannot be read.
static bool handle_owner_passes(void* handle, bool (*accepted)(const void*))
{
    get_owner_function get_owner = lookup<get_owner_function>("GetSecurityDescriptorOwner");
    PSECURITY_DESCRIPTOR descriptor = read_descriptor(handle, OWNER_SECURITY_INFORMATION);
    PSID owner = NULL;
    BOOL defaulted = FALSE;
    bool passes = descriptor != NULL && get_owner != NULL && get_owner(descriptor, &owner, &defaulted) &&
                  accepted(owner);
    if (descriptor != NULL) LocalFree(descriptor);
    return passes;
}

bool handle_has_trusted_owner(void* handle) { return handle_owner_passes(handle, is_trusted_owner); }

bool handle_has_own_owner(void* handle) { return handle_owner_passes(handle, is_own_owner); }

bool descriptor_is_sealed(const void* descriptor)
{
    get_owner_function get_owner = lookup<get_owner_function>("GetSecurityDescriptorOwner");
    get_dacl_function get_dacl = lookup<get_dacl_function>("GetSecurityDescriptorDacl");
    get_control_function get_control = lookup<get_control_function>("GetSecurityDescriptorControl");
    get_ace_function get_ace = lookup<get_ace_function>("GetAce");
    if (descriptor == NULL || !get_owner || !get_dacl || !get_control || !get_ace) return false;
    PSECURITY_DESCRIPTOR read = const_cast<void*>(descriptor);
    PSID owner = NULL;
    BOOL defaulted = FALSE, present = FALSE;
    ACL* dacl = NULL;
    SECURITY_DESCRIPTOR_CONTROL control = 0;
    DWORD revision = 0;
    if (!get_owner(read, &owner, &defaulted) || !is_administration_sid(owner, false)) return false;
    // No DACL, or a NULL one, lets everyone do everything; an unprotected one takes in whatever the
    // levels above grant.
    if (!get_dacl(read, &present, &dacl, &defaulted) || !present || dacl == NULL) return false;
    if (!get_control(read, &control, &revision) || (control & SE_DACL_PROTECTED) == 0) return false;
    for (DWORD index = 0; index < dacl->AceCount; ++index) {
        ACE_HEADER* header = NULL;
        if (!get_ace(dacl, index, reinterpret_cast<void**>(&header))) return false;
        if (header->AceType == ACCESS_DENIED_ACE_TYPE) continue;
        if (header->AceType != ACCESS_ALLOWED_ACE_TYPE) return false;
        ACCESS_ALLOWED_ACE* allowed = reinterpret_cast<ACCESS_ALLOWED_ACE*>(header);
        if ((allowed->Mask & ~read_execute_mask) != 0 && !is_administration_sid(&allowed->SidStart, true)) return false;
    }
    return true;
}

bool handle_is_sealed(void* handle)
{
    PSECURITY_DESCRIPTOR descriptor = read_descriptor(handle, OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION);
    bool sealed = descriptor_is_sealed(descriptor);
    if (descriptor != NULL) LocalFree(descriptor);
    return sealed;
}
