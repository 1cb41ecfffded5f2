// The private unpack directory under Wine: made only when it did not exist, with a protected DACL
// for the user, SYSTEM and the administrators; and the system's random bytes.
#include <gtest/gtest.h>

#include <windows.h>
#include <sddl.h>

#include <set>
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

TEST(PrivateDirectory, DaclIsProtectedAndAdmitsTheUserSystemAndAdministratorsOnly)
{
    // Wine 8 neither keeps nor enforces a directory's DACL (it reads back one made from the Unix
    // permissions), so the descriptor is read as the directory is given it.
    private_security security;
    ASSERT_TRUE(make_private_security(&security));
    SECURITY_DESCRIPTOR_CONTROL control = 0;
    DWORD revision = 0;
    ASSERT_TRUE(GetSecurityDescriptorControl(security.descriptor, &control, &revision));
    EXPECT_NE(control & SE_DACL_PROTECTED, 0);
    BOOL present = FALSE, defaulted = TRUE;
    PACL dacl = nullptr;
    ASSERT_TRUE(GetSecurityDescriptorDacl(security.descriptor, &present, &dacl, &defaulted));
    ASSERT_TRUE(present && dacl != nullptr);

    const std::vector<unsigned char> user = token_user();
    ASSERT_FALSE(user.empty());

    std::set<std::wstring> sids;
    for (DWORD i = 0; i < dacl->AceCount; ++i) {
        ACCESS_ALLOWED_ACE* ace = nullptr;
        ASSERT_TRUE(GetAce(dacl, i, reinterpret_cast<void**>(&ace)));
        EXPECT_EQ(ace->Header.AceType, ACCESS_ALLOWED_ACE_TYPE);
        EXPECT_EQ(ace->Header.AceFlags, OBJECT_INHERIT_ACE | CONTAINER_INHERIT_ACE);
        EXPECT_EQ(ace->Mask, static_cast<DWORD>(FILE_ALL_ACCESS));
        sids.insert(sid_text(&ace->SidStart));
    }
    std::set<std::wstring> expected = {sid_text(user_sid(user)), L"S-1-5-18",
                                       L"S-1-5-32-544"};
    EXPECT_EQ(sids, expected);
}

TEST(PrivateDirectory, RandomBytesComeFromTheSystem)
{
    unsigned char first[8] = {}, second[8] = {};
    ASSERT_TRUE(fill_system_random(first, sizeof first));
    ASSERT_TRUE(fill_system_random(second, sizeof second));
    EXPECT_NE(std::string(first, first + 8), std::string(second, second + 8));
}

TEST(PrivateDirectory, OnlyTheUsersOwnOwnerIsAccepted)
{
    // Wine 8 reports the user as the owner of what the user makes; another owner cannot be given
    // a directory there (it keeps no descriptor), so the decision is tested on the owner itself.
    const std::vector<unsigned char> user = token_user();
    ASSERT_FALSE(user.empty());
    EXPECT_TRUE(is_own_owner(user_sid(user)));
    PSID other = nullptr;
    for (const wchar_t* text : {L"S-1-5-18", L"S-1-1-0", L"S-1-5-21-1-2-3-1001"}) {
        ASSERT_TRUE(ConvertStringSidToSidW(text, &other));
        EXPECT_FALSE(is_own_owner(other)) << testing_support::narrow(text);
        LocalFree(other);
    }
    EXPECT_FALSE(is_own_owner(nullptr));

    testing_support::temp_directory temp;
    HANDLE directory = CreateFileW(temp.wstr().c_str(), READ_CONTROL, FILE_SHARE_READ | FILE_SHARE_WRITE, NULL, OPEN_EXISTING,
                                   FILE_FLAG_BACKUP_SEMANTICS, NULL);
    ASSERT_NE(directory, INVALID_HANDLE_VALUE);
    EXPECT_TRUE(handle_has_own_owner(directory));
    CloseHandle(directory);
}
