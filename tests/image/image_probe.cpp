// A stand-in for the launcher in the image checks: a wide GUI entry that uses KERNEL32 and SHELL32
// like the launcher does, built with tavrin_launcher_image(). It lets the checks run on an image
// with the launcher's settings and resources whatever state the launcher's own code is in.
// Packed by tavrin-pack in place of the launcher, it shows what the directory spec placeholders
// give in a package: each argument is expanded as a spec and written to standard output as UTF-8,
// one line each ("<failed>" when the expansion fails).
#include <windows.h>
#include <shellapi.h>

#include "launcher/process_state.h"
#include "paths/directory_spec.h"

int WINAPI wWinMain(HINSTANCE, HINSTANCE, LPWSTR, int)
{
    int argc = 0;
    LPWSTR* argv = CommandLineToArgvW(GetCommandLineW(), &argc);
    if (argv != NULL) {
        HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
        static wchar_t expanded[wide_path_capacity];
        static char text[4 * wide_path_capacity];
        for (int i = 1; i < argc; ++i) {
            const wchar_t* line = expand_spec(expanded, argv[i], wide_path_capacity) ? expanded : L"<failed>";
            int length = WideCharToMultiByte(CP_UTF8, 0, line, -1, text, sizeof text - 1, NULL, NULL);
            if (length <= 0) continue;
            text[length - 1] = '\n';
            DWORD written = 0;
            WriteFile(out, text, static_cast<DWORD>(length), &written, NULL);
        }
        LocalFree(argv);
    }
    return argc;
}
