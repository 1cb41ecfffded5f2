// A C++ DLL entry (run_code; not a program entry) built as C++ usually is, without -static: it imports
// libstdc++-6.dll and libgcc_s_seh-1.dll, and libwinpthread-1.dll through them, which packing collects.
#include "include/tavrin/onefile.h"

#include <cstdio>
#include <string>
#include <thread>

// Prints a greeting made on another thread and returns 40 plus its argument count (so 41 without
// arguments): an exit code that only a run which reached here can give.
TAVRIN_RUN_CODE(argc, argv, first_file_path)
{
    (void)argv;
    (void)first_file_path;
    std::string greeting;
    std::thread worker([&greeting] { greeting = std::string("collected ") + "runtime"; });
    worker.join();
    std::printf("%s\n", greeting.c_str());
    std::fflush(stdout);
    return 40 + argc;
}
