// The C runtimes loaded in the launcher's process, told what an application run in this process
// must see: the environment as the system holds it, and its arguments.
#ifndef TAVRIN_LAUNCHER_RUNTIMES_H
#define TAVRIN_LAUNCHER_RUNTIMES_H

// Gives the variables `names` (`count` ASCII names) to every C runtime loaded in this process as
// the system holds them now ("NAME=value", or "NAME=" for one that is unset, which removes it).
// A C runtime keeps a copy of the environment made when it started (msvcrt.dll, which the launcher
// shares with applications built by mingw-w64; ucrtbase.dll, which applications built by MSVC and
// by mingw-w64's UCRT flavour use, and which Wine 8 loads into every process); a runtime is every
// loaded module that exports _wputenv. A runtime loaded later reads the system's environment itself.
void give_variables_to_runtimes(const char* const* names, int count);

// Makes every loaded C runtime's __argc, __wargv and __argv (narrow, in the ANSI code page) the
// `count` arguments `vector` (NULL after the last), so that they agree with what run_code gets.
// A runtime here is every loaded module that exports __p___argc, __p___wargv and __p___argv (as
// ucrtbase.dll does), or the variables __argc, __wargv and __argv themselves (as the 64-bit
// msvcrt.dll does). The vectors are on the heap and never freed; no memory ends the process.
void give_arguments_to_runtimes(int count, wchar_t** vector);

#endif
