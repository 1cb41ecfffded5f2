// An unnamed temporary file for data too large to hold in memory, gone when it is closed or the
// process ends, however it ends.
#ifndef TAVRIN_PACKER_SCRATCH_FILE_H
#define TAVRIN_PACKER_SCRATCH_FILE_H

#include <iostream>
#include <memory>

namespace tavrin {

// A new file in the system's temporary directory, under a name that nobody else had (created
// exclusively), written and read back through stream(). POSIX: unlinked as soon as it is open;
// Windows: opened delete-on-close, so the system removes it when the last handle goes, also when the
// process is killed. Throws pack_error when it cannot be created.
class scratch_file {
public:
    scratch_file();
    ~scratch_file();
    scratch_file(const scratch_file&) = delete;
    scratch_file& operator=(const scratch_file&) = delete;

    std::iostream& stream() { return *stream_; }

private:
    struct buffer;
    std::unique_ptr<buffer> buffer_;
    std::unique_ptr<std::iostream> stream_;
};

}  // namespace tavrin

#endif
