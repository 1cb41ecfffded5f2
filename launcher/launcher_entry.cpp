// Process entry of the launcher: the runtime's wide GUI start-up calls wWinMain, which runs the
// launch sequence; its result becomes the exit code.
#include <windows.h>

#include "launcher/launch.h"

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int)
{
    return run_launcher();
}
