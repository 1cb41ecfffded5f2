// The process's own token, the system's random generator and private directories, through calls
// looked up at run time (advapi32), so that the image imports only KERNEL32, SHELL32 and msvcrt.
#include "paths/security.h"

#include <windows.h>

namespace {

enum { max_sid_bytes = 68, token_user_bytes = 512 };
enum { token_user_class = 1, token_owner_class = 4, token_is_app_container_class = 29, token_app_container_sid_class = 31 };

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

}  // namespace

bool make_private_security(private_security* security)
{
    static_assert(sizeof security->descriptor >= sizeof(SECURITY_DESCRIPTOR), "room for the descriptor");
    SECURITY_DESCRIPTOR* descriptor = reinterpret_cast<SECURITY_DESCRIPTOR*>(security->descriptor);
    ACL* acl = reinterpret_cast<ACL*>(security->acl);
    initialize_acl_function initialize_acl = lookup<initialize_acl_function>("InitializeAcl");
    add_ace_function add_ace = lookup<add_ace_function>("AddAccessAllowedAceEx");
    well_known_sid_function well_known_sid = lookup<well_known_sid_function>("CreateWellKnownSid");
    initialize_descriptor_function initialize = lookup<initialize_descriptor_function>("InitializeSecurityDescriptor");
    set_dacl_function set_dacl = lookup<set_dacl_function>("SetSecurityDescriptorDacl");
    set_control_function set_control = lookup<set_control_function>("SetSecurityDescriptorControl");
    if (!initialize_acl || !add_ace || !well_known_sid || !initialize || !set_dacl || !set_control) return false;

    union {
        TOKEN_USER user;
        unsigned char bytes[token_user_bytes];
    } user;
    if (!query_own_token(token_user_class, &user, sizeof user)) return false;
    unsigned char system_sid[max_sid_bytes], administrators_sid[max_sid_bytes];
    DWORD size = sizeof system_sid;
    if (!well_known_sid(WinLocalSystemSid, NULL, system_sid, &size)) return false;
    size = sizeof administrators_sid;
    if (!well_known_sid(WinBuiltinAdministratorsSid, NULL, administrators_sid, &size)) return false;

    const DWORD inherit = OBJECT_INHERIT_ACE | CONTAINER_INHERIT_ACE;
    if (!initialize_acl(acl, sizeof security->acl, ACL_REVISION)) return false;
    if (!add_ace(acl, ACL_REVISION, inherit, FILE_ALL_ACCESS, user.user.User.Sid) ||
        !add_ace(acl, ACL_REVISION, inherit, FILE_ALL_ACCESS, system_sid) ||
        !add_ace(acl, ACL_REVISION, inherit, FILE_ALL_ACCESS, administrators_sid))
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
            !add_ace(acl, ACL_REVISION, inherit, FILE_ALL_ACCESS, container.container.TokenAppContainer))
            return false;
    }
    return initialize(descriptor, SECURITY_DESCRIPTOR_REVISION) && set_dacl(descriptor, TRUE, acl, FALSE) &&
           set_control(descriptor, SE_DACL_PROTECTED, SE_DACL_PROTECTED);
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

bool fill_system_random(unsigned char* bytes, uint32_t count)
{
    // RtlGenRandom, exported by advapi32 under this name since Windows XP.
    gen_random_function generate = lookup<gen_random_function>("SystemFunction036");
    return generate != NULL && generate(bytes, count) != FALSE;
}

bool create_private_directory(const wchar_t* path, uint32_t* error)
{
    private_security security;
    SECURITY_ATTRIBUTES attributes;
    attributes.nLength = sizeof attributes;
    attributes.bInheritHandle = FALSE;
    attributes.lpSecurityDescriptor = make_private_security(&security) ? security.descriptor : NULL;
    if (CreateDirectoryW(path, &attributes)) return true;
    *error = GetLastError();
    return false;
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

bool handle_has_own_owner(void* handle)
{
    get_security_info_function get_info = lookup<get_security_info_function>("GetSecurityInfo");
    if (get_info == NULL) return false;
    PSID owner = NULL;
    PSECURITY_DESCRIPTOR descriptor = NULL;
    const int file_object = 1;  // SE_FILE_OBJECT
    if (get_info(handle, file_object, OWNER_SECURITY_INFORMATION, &owner, NULL, NULL, NULL, &descriptor) != ERROR_SUCCESS)
        return false;
    bool own = is_own_owner(owner);
    LocalFree(descriptor);
    return own;
}
