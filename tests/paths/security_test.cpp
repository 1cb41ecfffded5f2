// The private unpack directory under Wine: made only when it did not exist, with a protected DACL
// for the user, SYSTEM and the administrators; and the system's random bytes.
#include <gtest/gtest.h>

#include <windows.h>
#include <sddl.h>

#include <map>
#include <string>
#include <vector>

#include "paths/security.h"
#include "tests/support/self_process.h"

namespace {

std::wstring sid_text(PSID sid)
{
    wchar_t* text = nullptr;
    if (!ConvertSidToStringSidW(sid, &text)) return L"?";
    std::wstring copy = text;
    LocalFree(text);
    return copy;
}

// This process's TOKEN_USER, empty when it cannot be read.
std::vector<unsigned char> token_user()
{
    HANDLE token = nullptr;
    std::vector<unsigned char> user(512);
    DWORD size = 0;
    bool read = OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token) &&
                GetTokenInformation(token, TokenUser, user.data(), static_cast<DWORD>(user.size()), &size);
    if (token != nullptr) CloseHandle(token);
    if (!read) user.clear();
    return user;
}

PSID user_sid(const std::vector<unsigned char>& user) { return reinterpret_cast<const TOKEN_USER*>(user.data())->User.Sid; }

}  // namespace

TEST(PrivateDirectory, IsMadeOnlyWhenItDidNotExist)
{
    testing_support::temp_directory temp;
    std::wstring path = temp.wstr() + L"\\private";
    uint32_t error = 0;
    ASSERT_TRUE(create_private_directory(path.c_str(), &error)) << error;
    EXPECT_FALSE(create_private_directory(path.c_str(), &error));
    EXPECT_EQ(error, static_cast<uint32_t>(ERROR_ALREADY_EXISTS));
}

// The descriptor make_private_security gives (`sealed` or not): protected, owned by the
// administrators when sealed, and each ACE inherited, allowing what it grants whom.
static void expect_private_security(bool sealed)
{
    private_security security;
    ASSERT_TRUE(make_private_security(&security, sealed));
    SECURITY_DESCRIPTOR_CONTROL control = 0;
    DWORD revision = 0;
    ASSERT_TRUE(GetSecurityDescriptorControl(security.descriptor, &control, &revision));
    EXPECT_NE(control & SE_DACL_PROTECTED, 0);
    BOOL present = FALSE, defaulted = TRUE;
    PACL dacl = nullptr;
    ASSERT_TRUE(GetSecurityDescriptorDacl(security.descriptor, &present, &dacl, &defaulted));
    ASSERT_TRUE(present && dacl != nullptr);
    PSID owner = nullptr;
    ASSERT_TRUE(GetSecurityDescriptorOwner(security.descriptor, &owner, &defaulted));
    EXPECT_EQ(owner == nullptr ? L"<default>" : sid_text(owner), sealed ? L"S-1-5-32-544" : L"<default>");
    EXPECT_EQ(descriptor_is_sealed(security.descriptor), sealed);

    const std::vector<unsigned char> user = token_user();
    ASSERT_FALSE(user.empty());

    std::map<std::wstring, DWORD> granted;
    for (DWORD i = 0; i < dacl->AceCount; ++i) {
        ACCESS_ALLOWED_ACE* ace = nullptr;
        ASSERT_TRUE(GetAce(dacl, i, reinterpret_cast<void**>(&ace)));
        EXPECT_EQ(ace->Header.AceType, ACCESS_ALLOWED_ACE_TYPE);
        EXPECT_EQ(ace->Header.AceFlags, OBJECT_INHERIT_ACE | CONTAINER_INHERIT_ACE);
        granted[sid_text(&ace->SidStart)] = ace->Mask;
    }
    const DWORD all = FILE_ALL_ACCESS, read_execute = FILE_GENERIC_READ | FILE_GENERIC_EXECUTE;
    std::map<std::wstring, DWORD> expected = {{sid_text(user_sid(user)), sealed ? read_execute : all}, {L"S-1-5-18", all},
                                              {L"S-1-5-32-544", all}};
    if (sealed) expected[L"S-1-3-4"] = read_execute;  // OWNER RIGHTS
    EXPECT_EQ(granted, expected);
}

TEST(PrivateDirectory, DaclIsProtectedAndAdmitsTheUserSystemAndAdministratorsOnly)
{
    // Wine 8 neither keeps nor enforces a directory's DACL (it reads back one made from the Unix
    // permissions), so the descriptor is read as the directory is given it. Sealed (an elevated
    // run's), the user and whoever owns what is made below may only read and execute.
    expect_private_security(false);
    expect_private_security(true);
}

// The rule an elevated run applies to a kept tree, on descriptors made from their text: Wine 8 keeps
// no owner or DACL that it is given, so no tree under Wine ever shows one of these.
TEST(SealedTree, OnlyATreeOfTheAdministratorsThatOthersMayOnlyReadIsSealed)
{
    const std::wstring user = sid_text(user_sid(token_user()));
    const std::wstring dacl = L"D:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;0x1200a9;;;" + user + L")";
    const std::wstring installer = L"S-1-5-80-956008885-3418522649-1831038044-1853292631-2271478464";
    std::vector<std::pair<std::wstring, bool>> cases = {
        {L"O:BA" + dacl, true},
        {L"O:SY" + dacl + L"(A;OICI;GRGX;;;WD)(D;OICI;FA;;;AN)(A;OICI;FA;;;" + installer + L")", true},
        {L"O:" + user + dacl, false},  // the owner may always change the DACL
        {L"O:BU" + dacl, false},
        {L"O:BA" + dacl + L"(A;OICIIO;FA;;;" + user + L")", false},  // what is made below may be written
        {L"O:BAD:AI(A;OICI;FA;;;BA)(A;OICIID;0x1200a9;;;" + user + L")", false},  // not protected: takes in what is above
        {L"O:BA", false},                                                           // no DACL
    };
    // Writing, appending or adding, extended attributes or attributes, deleting, deleting children,
    // the DACL, the owner, generic writing and all: to the user, Everyone, Authenticated Users, Users.
    for (const wchar_t* who : {user.c_str(), L"WD", L"AU", L"BU"})
        for (DWORD right : {0x2u, 0x4u, 0x10u, 0x40u, 0x100u, 0x10000u, 0x40000u, 0x80000u, 0x40000000u, 0x10000000u}) {
            wchar_t ace[128];
            swprintf(ace, 128, L"(A;OICI;0x%lx;;;%ls)", static_cast<unsigned long>(0x1200a9u | right), who);
            cases.push_back({L"O:BA" + dacl + ace, false});
        }
    for (const auto& [text, sealed] : cases) {
        PSECURITY_DESCRIPTOR descriptor = nullptr;
        ASSERT_TRUE(ConvertStringSecurityDescriptorToSecurityDescriptorW(text.c_str(), SDDL_REVISION_1, &descriptor, nullptr))
            << testing_support::narrow(text);
        EXPECT_EQ(descriptor_is_sealed(descriptor), sealed) << testing_support::narrow(text);
        LocalFree(descriptor);
    }
    EXPECT_FALSE(descriptor_is_sealed(nullptr));
    // A NULL DACL lets everyone do everything, protected or not.
    SECURITY_DESCRIPTOR null_dacl;
    PSID administrators = nullptr;
    ASSERT_TRUE(ConvertStringSidToSidW(L"BA", &administrators));
    ASSERT_TRUE(InitializeSecurityDescriptor(&null_dacl, SECURITY_DESCRIPTOR_REVISION) &&
                SetSecurityDescriptorOwner(&null_dacl, administrators, FALSE) && SetSecurityDescriptorDacl(&null_dacl, TRUE, nullptr, FALSE) &&
                SetSecurityDescriptorControl(&null_dacl, SE_DACL_PROTECTED, SE_DACL_PROTECTED));
    EXPECT_FALSE(descriptor_is_sealed(&null_dacl));
    LocalFree(administrators);
}

TEST(PrivateDirectory, RandomBytesComeFromTheSystem)
{
    unsigned char first[8] = {}, second[8] = {};
    ASSERT_TRUE(fill_system_random(first, sizeof first));
    ASSERT_TRUE(fill_system_random(second, sizeof second));
    EXPECT_NE(std::string(first, first + 8), std::string(second, second + 8));
}

TEST(PrivateDirectory, TheUsersOwnOwnerIsAcceptedAndTheAdministratorsAreTrusted)
{
    // Wine 8 reports the user as the owner of what the user makes; another owner cannot be given
    // a directory there (it keeps no descriptor), so the decision is tested on the owner itself.
    // A run of the user's level trusts a tree that an elevated run made (the administrators').
    const std::vector<unsigned char> user = token_user();
    ASSERT_FALSE(user.empty());
    EXPECT_TRUE(is_own_owner(user_sid(user)));
    EXPECT_TRUE(is_trusted_owner(user_sid(user)));
    PSID other = nullptr;
    for (const wchar_t* text : {L"S-1-5-18", L"S-1-5-32-544", L"S-1-1-0", L"S-1-5-32-545", L"S-1-5-21-1-2-3-1001"}) {
        ASSERT_TRUE(ConvertStringSidToSidW(text, &other));
        const bool administration = std::wstring(text) == L"S-1-5-18" || std::wstring(text) == L"S-1-5-32-544";
        EXPECT_FALSE(is_own_owner(other)) << testing_support::narrow(text);
        EXPECT_EQ(is_trusted_owner(other), administration) << testing_support::narrow(text);
        LocalFree(other);
    }
    EXPECT_FALSE(is_own_owner(nullptr));
    EXPECT_FALSE(is_trusted_owner(nullptr));

    testing_support::temp_directory temp;
    HANDLE directory = CreateFileW(temp.wstr().c_str(), READ_CONTROL, FILE_SHARE_READ | FILE_SHARE_WRITE, NULL, OPEN_EXISTING,
                                   FILE_FLAG_BACKUP_SEMANTICS, NULL);
    ASSERT_NE(directory, INVALID_HANDLE_VALUE);
    EXPECT_TRUE(handle_has_trusted_owner(directory));
    EXPECT_TRUE(handle_has_own_owner(directory));
    EXPECT_FALSE(handle_is_sealed(directory));
    CloseHandle(directory);
}
