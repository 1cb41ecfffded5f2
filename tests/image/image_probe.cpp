// A stand-in for the launcher in the image checks: a wide GUI entry that uses KERNEL32 and SHELL32
// like the launcher does, built with tavrin_launcher_image(). It lets the checks run on an image
// with the launcher's settings and resources whatever state the launcher's own code is in.
#include <windows.h>
#include <shellapi.h>

int WINAPI wWinMain(HINSTANCE, HINSTANCE, LPWSTR, int)
{
    int argc = 0;
    LPWSTR* argv = CommandLineToArgvW(GetCommandLineW(), &argc);
    if (argv != NULL) {
        LocalFree(argv);
    }
    return argc;
}
