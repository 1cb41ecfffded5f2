// The half-written output removed when tavrin-pack is interrupted: one file registered here is
// deleted by the signal handlers (POSIX) or the console control handler (Windows) before the process ends.
#ifndef TAVRIN_PACKER_INTERRUPT_CLEANUP_H
#define TAVRIN_PACKER_INTERRUPT_CLEANUP_H

#include <filesystem>
#include <fstream>
#include <memory>
#include <ostream>

namespace tavrin {

// Installs the handlers, once, before anything is registered. POSIX: SIGINT, SIGTERM and SIGHUP
// remove the registered file (unlink, async-signal-safe), then the signal is raised again with its
// default action, so that the process ends as it would have. Windows: Ctrl-C, Ctrl-Break, closing
// the console, logoff and shutdown delete the registered file, then end the process with
// STATUS_CONTROL_C_EXIT (0xC000013A), as the default handler does; the file must be open with
// delete sharing (interruptible_output) for the deletion to succeed while it is written.
void install_interrupt_cleanup();

// Registers `file` (made absolute here) as the one file to remove on interruption, in place of any
// earlier one. Without install_interrupt_cleanup nothing happens on interruption.
void remove_on_interrupt(const std::filesystem::path& file);

// Withdraws the registration: an interruption from now on leaves the file.
void keep_on_interrupt();

#ifdef _WIN32
// The console control handler that install_interrupt_cleanup registers, as the system calls it with
// an event: for the five above it does not return.
int __stdcall interrupt_console_handler(unsigned long event);
#endif

// A new file (an existing one is truncated) written, and read back, through a stream that the
// handlers can delete while it is open: on Windows opened with delete sharing, elsewhere an
// ordinary file stream.
// Throws pack_error when it cannot be created.
class interruptible_output {
public:
    explicit interruptible_output(const std::filesystem::path& file);
    ~interruptible_output();
    interruptible_output(const interruptible_output&) = delete;
    interruptible_output& operator=(const interruptible_output&) = delete;

    std::iostream& stream() { return *stream_; }
    // Flushes and closes the file; throws pack_error when anything could not be written.
    void close();

private:
    std::filesystem::path file_;
#ifdef _WIN32
    struct buffer;
    std::unique_ptr<buffer> buffer_;
    std::unique_ptr<std::iostream> stream_;
#else
    std::unique_ptr<std::fstream> stream_;
#endif
};

}  // namespace tavrin

#endif
