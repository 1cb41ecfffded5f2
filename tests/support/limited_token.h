// Test support (Windows), header only, shared with the benchmarks: the limited token linked to this
// process's elevated one. Wine 8 starts every process from Linux elevated; a process started with
// this token (CreateProcessAsUserW) reports TokenElevation 0, as a user's normal start does.
#ifndef TAVRIN_TESTS_LIMITED_TOKEN_H
#define TAVRIN_TESTS_LIMITED_TOKEN_H

#include <windows.h>

// The linked token as a primary token (the caller keeps it for the process's life), or NULL with
// GetLastError set when there is none.
inline HANDLE open_limited_token()
{
    HANDLE own = nullptr, primary = nullptr;
    TOKEN_LINKED_TOKEN linked = {};
    DWORD size = 0;
    bool made = OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &own) &&
                GetTokenInformation(own, TokenLinkedToken, &linked, sizeof linked, &size) &&
                DuplicateTokenEx(linked.LinkedToken, TOKEN_ALL_ACCESS, nullptr, SecurityImpersonation, TokenPrimary, &primary);
    DWORD error = GetLastError();
    if (linked.LinkedToken != nullptr) CloseHandle(linked.LinkedToken);
    if (own != nullptr) CloseHandle(own);
    SetLastError(error);
    return made ? primary : nullptr;
}

#endif
