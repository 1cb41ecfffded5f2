// What stands at a path (lstat or stat on POSIX; the name, the attributes and the handle's type on
// Windows), the checks of the output and of a package to read, and extract's file writer.
#include "packer/base/file_places.h"

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "packer/base/errors.h"
#include "packer/base/names.h"

#ifdef _WIN32
#include <windows.h>
#else
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>
#endif

namespace tavrin {
namespace fs = std::filesystem;
namespace {

std::string quoted(const fs::path& path) { return "'" + path.u8string() + "'"; }

// Rounds of look, open and check before extract gives up on a place that keeps changing.
constexpr int open_rounds = 8;

[[noreturn]] void refuse_extract_place(const fs::path& file, const place& found)
{
    throw pack_error(quoted(file) + " is " + found.what + ": extract writes only where a regular file, a link or nothing stands");
}

#ifndef _WIN32
std::string device_numbers(const struct stat& status)
{
    return " (" + std::to_string(major(status.st_rdev)) + ", " + std::to_string(minor(status.st_rdev)) + ")";
}

[[noreturn]] void system_refusal(const std::string& doing, const fs::path& file)
{
    throw pack_error("cannot " + doing + " " + quoted(file) + ": " + std::strerror(errno));
}
#else
[[noreturn]] void system_refusal(const std::string& doing, const fs::path& file)
{
    throw pack_error("cannot " + doing + " " + quoted(file) + " (Windows error " + std::to_string(GetLastError()) + ")");
}
#endif

}  // namespace

#ifndef _WIN32
place look_at(const fs::path& path, bool follow_link)
{
    struct stat status {};
    if ((follow_link ? stat(path.c_str(), &status) : lstat(path.c_str(), &status)) != 0) return {};
    const mode_t mode = status.st_mode;
    if (S_ISREG(mode)) return {place_kind::regular_file, "a regular file"};
    if (S_ISLNK(mode)) return {place_kind::link, "a symbolic link"};
    if (S_ISDIR(mode)) return {place_kind::directory, "a directory"};
    if (S_ISCHR(mode)) return {place_kind::special, "a character device" + device_numbers(status)};
    if (S_ISBLK(mode)) return {place_kind::special, "a block device" + device_numbers(status)};
    if (S_ISFIFO(mode)) return {place_kind::special, "a FIFO"};
    if (S_ISSOCK(mode)) return {place_kind::special, "a socket"};
    return {place_kind::special, "neither a file nor a directory"};
}
#else
place look_at(const fs::path& path, bool follow_link)
{
    const std::string device = windows_device_problem(path.u16string());
    if (!device.empty()) return {place_kind::special, device};
    const DWORD attributes = GetFileAttributesW(path.c_str());
    const DWORD attribute_error = attributes == INVALID_FILE_ATTRIBUTES ? GetLastError() : ERROR_SUCCESS;
    if (attribute_error == ERROR_FILE_NOT_FOUND || attribute_error == ERROR_PATH_NOT_FOUND) return {};
    if (attribute_error == ERROR_SUCCESS) {
        if (!follow_link && (attributes & FILE_ATTRIBUTE_REPARSE_POINT)) return {place_kind::link, "a link (reparse point)"};
        if (attributes & FILE_ATTRIBUTE_DIRECTORY) return {place_kind::directory, "a directory"};
        if (attributes & FILE_ATTRIBUTE_DEVICE) return {place_kind::special, "a device"};
    }
    // Opened for its attributes only: no data moves, and a pipe is not connected to.
    HANDLE handle = CreateFileW(path.c_str(), FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS | (follow_link ? 0 : FILE_FLAG_OPEN_REPARSE_POINT), nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        const DWORD error = GetLastError();
        if (attribute_error == ERROR_SUCCESS) return {place_kind::regular_file, "a regular file"};
        if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND || error == ERROR_ACCESS_DENIED) return {};
        return {place_kind::special, "not a file on a disk (Windows error " + std::to_string(error) + ")"};
    }
    const DWORD type = GetFileType(handle);
    CloseHandle(handle);
    switch (type) {
    case FILE_TYPE_DISK: return {place_kind::regular_file, "a regular file"};
    case FILE_TYPE_CHAR: return {place_kind::special, "a character device"};
    case FILE_TYPE_PIPE: return {place_kind::special, "a pipe (or FIFO)"};
    default: return {place_kind::special, "not a file on a disk"};
    }
}
#endif

void check_output_place(const fs::path& output)
{
    const place found = look_at(output, false);
    if (found.kind == place_kind::directory || found.kind == place_kind::special)
        throw pack_error("the output " + quoted(output) + " is " + found.what +
                         ": tavrin-pack replaces only a regular file or a symbolic link");
#ifdef _WIN32
    // The rename cannot put a file in a directory link's place (Wine 8: "Is a directory"), and
    // removing the link first would, under Wine 8, remove an empty target instead.
    if (found.kind == place_kind::link && look_at(output, true).kind == place_kind::directory)
        throw pack_error("the output " + quoted(output) + " is a link to a directory, which a file cannot replace on Windows");
#endif
}

void check_package_place(const fs::path& file)
{
    const place found = look_at(file, true);
    if (found.kind == place_kind::directory || found.kind == place_kind::special)
        throw not_a_package_error(quoted(file) + " is not a package: it is " + found.what);
}

#ifndef _WIN32
regular_file_output::regular_file_output(const fs::path& file) : file_(file)
{
    for (int round = 0; round < open_rounds; ++round) {
        const place found = look_at(file, false);
        if (found.kind == place_kind::directory || found.kind == place_kind::special) refuse_extract_place(file, found);
        if (found.kind == place_kind::link) {
            if (unlink(file.c_str()) != 0 && errno != ENOENT) system_refusal("remove the link", file);
            continue;
        }
        // No O_TRUNC: what was opened is truncated only once it is known to be a regular file.
        const int descriptor = open(file.c_str(), O_WRONLY | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC, 0666);
        if (descriptor < 0) {
            // A link, a FIFO without a reader or a directory put there since the look: look again.
            if (errno == ELOOP || errno == ENXIO || errno == EISDIR) continue;
            system_refusal("open", file);
        }
        struct stat status {};
        if (fstat(descriptor, &status) != 0 || !S_ISREG(status.st_mode)) {
            ::close(descriptor);
            continue;
        }
        if (status.st_nlink > 1) {
            // Its other names keep their content: this name gets a new file.
            ::close(descriptor);
            if (unlink(file.c_str()) != 0 && errno != ENOENT) system_refusal("remove the hard link", file);
            continue;
        }
        if (ftruncate(descriptor, 0) != 0) {
            const int error = errno;
            ::close(descriptor);
            errno = error;
            system_refusal("truncate", file);
        }
        descriptor_ = descriptor;
        return;
    }
    throw pack_error("cannot open " + quoted(file) + " for writing: what stands there keeps changing");
}

regular_file_output::~regular_file_output()
{
    if (descriptor_ >= 0) ::close(descriptor_);
}

void regular_file_output::write(const char* data, std::size_t size)
{
    while (size > 0) {
        const ssize_t written = ::write(descriptor_, data, size);
        if (written < 0 && errno == EINTR) continue;
        if (written <= 0) system_refusal("write", file_);
        data += written;
        size -= static_cast<std::size_t>(written);
    }
}

void regular_file_output::close()
{
    const int descriptor = descriptor_;
    descriptor_ = -1;
    if (descriptor >= 0 && ::close(descriptor) != 0) system_refusal("write", file_);
}
#else
regular_file_output::regular_file_output(const fs::path& file) : file_(file)
{
    for (int round = 0; round < open_rounds; ++round) {
        const place found = look_at(file, false);
        if (found.kind == place_kind::directory || found.kind == place_kind::special) refuse_extract_place(file, found);
        // On the reparse point itself, never on its target.
        HANDLE handle = CreateFileW(file.c_str(), GENERIC_WRITE | DELETE, FILE_SHARE_READ, nullptr, OPEN_ALWAYS,
                                    FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
        if (handle == INVALID_HANDLE_VALUE) system_refusal("open", file);
        BY_HANDLE_FILE_INFORMATION information{};
        if (GetFileType(handle) != FILE_TYPE_DISK || !GetFileInformationByHandle(handle, &information) ||
            (information.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) {
            CloseHandle(handle);
            continue;
        }
        if ((information.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) || information.nNumberOfLinks > 1) {
            // A link, or a file with other names, which keep their content: this name gets a new file.
            FILE_DISPOSITION_INFO disposition;
            disposition.DeleteFile = TRUE;
            const bool removed = SetFileInformationByHandle(handle, FileDispositionInfo, &disposition, sizeof disposition) != 0;
            const DWORD error = GetLastError();
            CloseHandle(handle);
            SetLastError(error);
            if (!removed) system_refusal("remove the link", file);
            continue;
        }
        FILE_END_OF_FILE_INFO end{};
        if (!SetFileInformationByHandle(handle, FileEndOfFileInfo, &end, sizeof end)) {
            const DWORD error = GetLastError();
            CloseHandle(handle);
            SetLastError(error);
            system_refusal("truncate", file);
        }
        handle_ = handle;
        return;
    }
    throw pack_error("cannot open " + quoted(file) + " for writing: what stands there keeps changing");
}

regular_file_output::~regular_file_output()
{
    if (handle_) CloseHandle(handle_);
}

void regular_file_output::write(const char* data, std::size_t size)
{
    while (size > 0) {
        const DWORD piece = static_cast<DWORD>(std::min<std::size_t>(size, 1u << 30));
        DWORD written = 0;
        if (!WriteFile(handle_, data, piece, &written, nullptr) || written == 0) system_refusal("write", file_);
        data += written;
        size -= written;
    }
}

void regular_file_output::close()
{
    void* handle = handle_;
    handle_ = nullptr;
    if (handle && !CloseHandle(handle)) system_refusal("write", file_);
}
#endif

}  // namespace tavrin
