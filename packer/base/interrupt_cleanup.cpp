// Removing the half-written output on interruption: the registered path kept as a ready C string
// for the handlers, the POSIX signal handlers and the Windows console control handler.
#include "packer/base/interrupt_cleanup.h"

#include <atomic>
#include <string>

#include "packer/base/errors.h"

#ifdef _WIN32
#include <fcntl.h>
#include <io.h>
#include <windows.h>

#include <ext/stdio_filebuf.h>
#else
#include <csignal>

#include <unistd.h>
#endif

namespace tavrin {
namespace fs = std::filesystem;
namespace {

#ifdef _WIN32
using path_char = wchar_t;
#else
using path_char = char;
#endif

// The registered path: `registered` is written only while `armed` is null, and `armed` points
// into it while the file is to be removed. The handlers take the pointer with one atomic exchange,
// so that the file is removed once at most.
std::basic_string<path_char> registered;
std::atomic<const path_char*> armed{nullptr};
static_assert(ATOMIC_POINTER_LOCK_FREE == 2, "the handlers need a lock-free pointer");

#ifdef _WIN32
constexpr DWORD control_c_exit = 0xC000013A;  // STATUS_CONTROL_C_EXIT
#else
extern "C" void on_signal(int number)
{
    if (const char* file = armed.exchange(nullptr)) unlink(file);
    // The handler was installed with SA_RESETHAND: the signal, blocked until this returns, then
    // takes its default action.
    raise(number);
}
#endif

}  // namespace

void install_interrupt_cleanup()
{
#ifdef _WIN32
    SetConsoleCtrlHandler(interrupt_console_handler, TRUE);
#else
    struct sigaction action {};
    action.sa_handler = on_signal;
    action.sa_flags = SA_RESETHAND;
    sigemptyset(&action.sa_mask);
    for (int number : {SIGINT, SIGTERM, SIGHUP}) {
        struct sigaction previous {};
        // A signal ignored when the tool started (nohup, a background job's SIGINT) stays ignored.
        if (sigaction(number, nullptr, &previous) == 0 && previous.sa_handler == SIG_IGN) continue;
        sigaction(number, &action, nullptr);
    }
#endif
}

#ifdef _WIN32
int __stdcall interrupt_console_handler(unsigned long event)
{
    switch (event) {
    case CTRL_C_EVENT:
    case CTRL_BREAK_EVENT:
    case CTRL_CLOSE_EVENT:
    case CTRL_LOGOFF_EVENT:
    case CTRL_SHUTDOWN_EVENT:
        break;
    default:
        return FALSE;
    }
    if (const wchar_t* file = armed.exchange(nullptr)) DeleteFileW(file);
    // Not ExitProcess: the other threads stop where they are, possibly holding the runtime's locks
    // that its exit handlers would wait for.
    TerminateProcess(GetCurrentProcess(), control_c_exit);
    return TRUE;
}
#endif

void remove_on_interrupt(const fs::path& file)
{
    keep_on_interrupt();
    std::error_code error;
    fs::path absolute = fs::absolute(file, error);
    registered = (error ? file : absolute).native();
    armed.store(registered.c_str());
}

void keep_on_interrupt() { armed.store(nullptr); }

#ifdef _WIN32
struct interruptible_output::buffer {
    explicit buffer(int descriptor) : file(descriptor, std::ios::in | std::ios::out | std::ios::binary, 1 << 16) {}
    __gnu_cxx::stdio_filebuf<char> file;
};

interruptible_output::interruptible_output(const fs::path& file) : file_(file)
{
    HANDLE handle = CreateFileW(file.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr,
                                CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle == INVALID_HANDLE_VALUE) throw pack_error("cannot create '" + file.u8string() + "'");
    int descriptor = _open_osfhandle(reinterpret_cast<intptr_t>(handle), _O_BINARY);
    if (descriptor < 0) {
        CloseHandle(handle);
        throw pack_error("cannot create '" + file.u8string() + "'");
    }
    buffer_ = std::make_unique<buffer>(descriptor);
    stream_ = std::make_unique<std::iostream>(&buffer_->file);
}

interruptible_output::~interruptible_output()
{
    stream_.reset();
    buffer_.reset();
}

void interruptible_output::close()
{
    stream_->flush();
    const bool written = stream_->good() && buffer_->file.close() != nullptr;
    if (!written) throw pack_error("cannot write '" + file_.u8string() + "'");
}
#else
interruptible_output::interruptible_output(const fs::path& file)
    : file_(file), stream_(std::make_unique<std::fstream>(file, std::ios::in | std::ios::out | std::ios::binary | std::ios::trunc))
{
    if (!*stream_) throw pack_error("cannot create '" + file.u8string() + "'");
}

interruptible_output::~interruptible_output() = default;

void interruptible_output::close()
{
    stream_->close();
    if (stream_->fail()) throw pack_error("cannot write '" + file_.u8string() + "'");
}
#endif

}  // namespace tavrin
