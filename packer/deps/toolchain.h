// The mingw-w64 toolchain installed on the packing machine, asked where its runtime DLLs lie.
#ifndef TAVRIN_PACKER_TOOLCHAIN_H
#define TAVRIN_PACKER_TOOLCHAIN_H

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace tavrin {

// The runtime DLLs of the mingw-w64 toolchain: libstdc++-6.dll, libgcc_s_seh-1.dll and
// libwinpthread-1.dll.
extern const char* const mingw_runtime_dlls[3];

struct toolchain_runtime {
    std::string compiler;                           // the compiler that answered, as it was asked for
    std::vector<std::filesystem::path> directories;  // where it finds the runtime DLLs, in their order, each once
};

// The compilers asked, in order: x86_64-w64-mingw32-g++-posix (posix threads, as the launcher is
// built), x86_64-w64-mingw32-g++-win32, x86_64-w64-mingw32-g++; on Windows g++.
std::vector<std::string> toolchain_compilers();

// Asks each compiler of toolchain_compilers() in turn, found on PATH, for the runtime DLLs
// (`-print-file-name=libstdc++-6.dll` and so on) and returns the first that names at least one
// existing file, with the directories of those files (made lexically normal). Only one toolchain is
// taken: a posix and a win32 libstdc++ look alike but do not mix. On Windows, the g++ found on PATH
// is taken, and its own directory comes after its answers: the mingw-w64 distributions for Windows
// keep the runtime DLLs beside the compiler, where -print-file-name does not look. Nothing when no
// compiler runs or none names a runtime DLL. A compiler's output is read up to 64 KiB; its standard
// error is the tool's on POSIX, none on Windows.
std::optional<toolchain_runtime> find_toolchain_runtime();

}  // namespace tavrin

#endif
