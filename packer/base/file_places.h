// What stands at a path as the system shows it, and a file written only where a regular file, a
// symbolic link or nothing stands: the packer never replaces or writes into a device, a FIFO, a
// socket or a directory, nor follows a link to write.
#ifndef TAVRIN_PACKER_FILE_PLACES_H
#define TAVRIN_PACKER_FILE_PLACES_H

#include <cstddef>
#include <filesystem>
#include <string>

namespace tavrin {

enum class place_kind {
    nothing,       // no entry of that name (or its directory is missing)
    regular_file,  // a plain file on a disk
    link,          // a symbolic link (Windows: any reparse point), when not followed
    directory,
    special,       // a device, a FIFO, a socket, a pipe: anything else
};

struct place {
    place_kind kind = place_kind::nothing;
    std::string what;  // "a directory", "a FIFO", "a character device (1, 3)", ...; empty for nothing
};

// What stands at `path`; a final symbolic link is followed only when `follow_link` is set. Nothing
// is opened on POSIX. On Windows the name decides first (windows_device_problem: a reserved device
// name or a device path is `special` without any look at the disk), then the attributes, then
// GetFileType through a handle opened for its attributes only. Wine 8 gives a Unix FIFO, device or
// socket no attributes (ERROR_INVALID_PARAMETER) and reports FIFOs as pipes, devices as character
// devices: what cannot be opened for its attributes counts as special.
place look_at(const std::filesystem::path& path, bool follow_link);

// Throws pack_error unless `output` is a place that a written file may replace: nothing, a regular
// file or a symbolic link (which is replaced, its target never touched; on Windows not a link to a
// directory, which the rename cannot replace). The message names the path and what it is.
void check_output_place(const std::filesystem::path& output);

// Throws not_a_package_error when `file` (a link followed) is a directory, a device, a FIFO or a
// socket: reading one would block or never end.
void check_package_place(const std::filesystem::path& file);

// A file that extract writes, opened where nothing, a regular file or a link stands: nothing is
// created, a regular file truncated, and a link or a file with other hard links removed first, so
// that a new file takes the name and nothing outside is written. A directory, device, FIFO or socket
// there throws pack_error naming the path, and nothing is opened for writing. On POSIX the open
// does not follow links nor wait for a FIFO's reader (O_NOFOLLOW | O_NONBLOCK) and the kind is
// confirmed on the descriptor before anything is truncated; on Windows the handle is opened on the
// reparse point itself and its type checked. Wine 8 shows a Unix symbolic link to a file as the file.
class regular_file_output {
public:
    explicit regular_file_output(const std::filesystem::path& file);
    ~regular_file_output();
    regular_file_output(const regular_file_output&) = delete;
    regular_file_output& operator=(const regular_file_output&) = delete;

    // Both throw pack_error naming the file when the system refuses.
    void write(const char* data, std::size_t size);
    void close();

private:
    std::filesystem::path file_;
#ifdef _WIN32
    void* handle_ = nullptr;
#else
    int descriptor_ = -1;
#endif
};

}  // namespace tavrin

#endif
