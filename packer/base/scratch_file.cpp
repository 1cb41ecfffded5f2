// The scratch file: created exclusively in the temporary directory and made to vanish by itself
// (unlinked on POSIX, delete-on-close on Windows), read and written through a stdio_filebuf.
#include "packer/base/scratch_file.h"

#include <ext/stdio_filebuf.h>

#include <filesystem>
#include <random>
#include <string>

#include "packer/base/errors.h"

#ifdef _WIN32
#include <fcntl.h>
#include <io.h>
#include <windows.h>
#else
#include <cstdlib>

#include <unistd.h>
#endif

namespace tavrin {
namespace fs = std::filesystem;
namespace {

// The descriptor of a new file in the temporary directory that removes itself, or -1.
int open_scratch_descriptor()
{
    std::error_code error;
    const fs::path directory = fs::temp_directory_path(error);
    if (error) return -1;
#ifdef _WIN32
    std::random_device random;
    for (int attempt = 0; attempt < 16; ++attempt) {
        const fs::path file = directory / ("tavrin-pack-" + std::to_string(random()) + ".tmp");
        HANDLE handle = CreateFileW(file.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                                    FILE_ATTRIBUTE_TEMPORARY | FILE_FLAG_DELETE_ON_CLOSE, nullptr);
        if (handle == INVALID_HANDLE_VALUE) {
            if (GetLastError() == ERROR_FILE_EXISTS) continue;
            return -1;
        }
        const int descriptor = _open_osfhandle(reinterpret_cast<intptr_t>(handle), _O_BINARY);
        if (descriptor < 0) CloseHandle(handle);
        return descriptor;
    }
    return -1;
#else
    std::string name = (directory / "tavrin-pack-XXXXXX").string();
    const int descriptor = mkstemp(name.data());
    if (descriptor >= 0) unlink(name.c_str());
    return descriptor;
#endif
}

}  // namespace

struct scratch_file::buffer {
    explicit buffer(int descriptor) : file(descriptor, std::ios::in | std::ios::out | std::ios::binary, 1 << 16) {}
    __gnu_cxx::stdio_filebuf<char> file;  // closes the descriptor
};

scratch_file::scratch_file()
{
    const int descriptor = open_scratch_descriptor();
    if (descriptor < 0) throw pack_error("cannot create a temporary file in the temporary directory");
    buffer_ = std::make_unique<buffer>(descriptor);
    stream_ = std::make_unique<std::iostream>(&buffer_->file);
}

scratch_file::~scratch_file()
{
    stream_.reset();
    buffer_.reset();
}

}  // namespace tavrin
