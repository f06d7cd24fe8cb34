// Named pipes on Windows: the system's own, in byte mode, with overlapped I/O so that every wait
// can be cut short by Cancel (from another thread) or by the end's time limit.
//
// Where the system's numbers differ from the Linux emulation: a second CreateNamedPipeA of a name
// fails with kErrorAccessDenied (FILE_FLAG_FIRST_PIPE_INSTANCE; Wine ignores that flag and fails
// with kErrorPipeBusy, as one instance is the limit), and a client sees kErrorPipeBusy straight
// from CreateFile, with no handshake byte: the system knows a busy instance itself.
#include "platform/pipe.h"

#include "platform/computer.h"

#include <windows.h>

#include <algorithm>
#include <atomic>
#include <filesystem>
#include <string>

namespace platform {

namespace {

// An event handle owned by one end.
class EventHandle {
  public:
    EventHandle() : handle_(::CreateEventA(nullptr, TRUE, FALSE, nullptr)) {}
    ~EventHandle() {
        if (handle_) ::CloseHandle(handle_);
    }
    EventHandle(const EventHandle&) = delete;
    EventHandle& operator=(const EventHandle&) = delete;
    HANDLE Get() const { return handle_; }

  private:
    HANDLE handle_;
};

class Win32PipeEnd : public PipeServer {
  public:
    explicit Win32PipeEnd(HANDLE handle, bool server) : handle_(handle), server_(server) {}
    ~Win32PipeEnd() override {
        if (server_) ::DisconnectNamedPipe(handle_);
        ::CloseHandle(handle_);
    }
    Win32PipeEnd(const Win32PipeEnd&) = delete;
    Win32PipeEnd& operator=(const Win32PipeEnd&) = delete;

    bool Valid() const { return io_.Get() && cancel_.Get(); }

    Win32Error Read(void* buffer, std::size_t size, std::size_t* read) override {
        if (!buffer || !read || size == 0) return Fail(kErrorInvalidParameter);
        const DWORD chunk = static_cast<DWORD>(std::min<std::size_t>(size, 1u << 30));
        for (;;) {
            DWORD done = 0;
            if (Win32Error e = Transfer(
                    [&](OVERLAPPED* o) { return ::ReadFile(handle_, buffer, chunk, nullptr, o); },
                    &done))
                return e;
            // A zero-byte message from a writer of empty buffers is no data: wait on.
            if (done > 0) {
                *read = done;
                return kErrorSuccess;
            }
        }
    }

    Win32Error Write(const void* buffer, std::size_t size) override {
        if (!buffer && size > 0) return Fail(kErrorInvalidParameter);
        const char* bytes = static_cast<const char*>(buffer);
        while (size > 0) {
            const DWORD chunk = static_cast<DWORD>(std::min<std::size_t>(size, 1u << 30));
            DWORD done = 0;
            if (Win32Error e = Transfer(
                    [&](OVERLAPPED* o) { return ::WriteFile(handle_, bytes, chunk, nullptr, o); },
                    &done))
                return e;
            bytes += done;
            size -= done;
        }
        return kErrorSuccess;
    }

    void Cancel() override {
        cancelled_ = true;
        ::SetEvent(cancel_.Get());
        ::CancelIoEx(handle_, nullptr);
    }

    void SetTimeout(std::chrono::milliseconds limit) override { timeout_ = limit.count(); }

    Win32Error ConnectNamedPipe() override {
        DWORD unused = 0;
        const Win32Error e =
            Transfer([&](OVERLAPPED* o) { return ::ConnectNamedPipe(handle_, o); }, &unused,
                     /*timed=*/false);
        // A client that opened the instance before this call is connected already.
        if (e == ERROR_PIPE_CONNECTED) return Fail(kErrorSuccess);
        return e;
    }

  private:
    // Starts one overlapped operation and waits for its end, for a Cancel, or (`timed`) for the
    // end's time limit; a cancelled or timed-out operation is cancelled and awaited, so that the
    // buffer is never written after the call returns.
    template <class Start>
    Win32Error Transfer(Start start, DWORD* done, bool timed = true) {
        if (cancelled_) return Fail(kErrorOperationAborted);
        OVERLAPPED overlapped{};
        overlapped.hEvent = io_.Get();
        ::ResetEvent(io_.Get());
        if (!start(&overlapped)) {
            const DWORD e = ::GetLastError();
            if (e != ERROR_IO_PENDING)
                return Fail(e == ERROR_OPERATION_ABORTED && cancelled_ ? kErrorOperationAborted
                                                                       : e);
            const long long limit = timed ? timeout_.load() : 0;
            HANDLE waits[2] = {io_.Get(), cancel_.Get()};
            const DWORD waited = ::WaitForMultipleObjects(
                2, waits, FALSE, limit > 0 ? static_cast<DWORD>(limit) : INFINITE);
            if (waited != WAIT_OBJECT_0) {
                ::CancelIoEx(handle_, &overlapped);
                ::GetOverlappedResult(handle_, &overlapped, done, TRUE);
                return Fail(waited == WAIT_TIMEOUT ? kErrorTimeout : kErrorOperationAborted);
            }
        }
        if (!::GetOverlappedResult(handle_, &overlapped, done, TRUE)) {
            const DWORD e = ::GetLastError();
            return Fail(e == ERROR_OPERATION_ABORTED && cancelled_ ? kErrorOperationAborted : e);
        }
        return kErrorSuccess;
    }

    HANDLE handle_;
    bool server_;
    EventHandle io_;
    EventHandle cancel_;
    std::atomic<bool> cancelled_{false};
    std::atomic<long long> timeout_{0};
};

// The pipe's own name as the system takes it; `local` asks for a pipe of this computer.
Win32Error SystemPipeName(std::string_view name, bool local, std::string& path) {
    Place place;
    if (Win32Error e = LocatePipe(name, place)) return e;
    if (local && place.computer.kind != ComputerKind::kThis) return Fail(kErrorInvalidName);
    path = place.path.string();
    return kErrorSuccess;
}

// In, out: one page, as the control protocol's lines are short.
constexpr DWORD kPipeBufferSize = 4096;

}  // namespace

Win32Error CreateNamedPipeA(std::string_view name, std::unique_ptr<PipeServer>* pipe) {
    if (!pipe) return Fail(kErrorInvalidParameter);
    std::string path;
    if (Win32Error e = SystemPipeName(name, /*local=*/true, path)) return e;
    HANDLE handle = ::CreateNamedPipeA(
        path.c_str(), PIPE_ACCESS_DUPLEX | FILE_FLAG_OVERLAPPED | FILE_FLAG_FIRST_PIPE_INSTANCE,
        PIPE_TYPE_BYTE | PIPE_READMODE_BYTE | PIPE_WAIT, 1, kPipeBufferSize, kPipeBufferSize, 0,
        nullptr);
    if (handle == INVALID_HANDLE_VALUE) return Fail(::GetLastError());
    auto end = std::make_unique<Win32PipeEnd>(handle, /*server=*/true);
    if (!end->Valid()) return Fail(::GetLastError());
    *pipe = std::move(end);
    return kErrorSuccess;
}

Win32Error OpenPipe(std::string_view name, std::unique_ptr<Pipe>* pipe,
                    std::chrono::milliseconds timeout) {
    if (!pipe) return Fail(kErrorInvalidParameter);
    std::string path;
    if (Win32Error e = SystemPipeName(name, /*local=*/false, path)) return e;
    HANDLE handle = ::CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                  OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
    if (handle == INVALID_HANDLE_VALUE) return Fail(::GetLastError());
    auto end = std::make_unique<Win32PipeEnd>(handle, /*server=*/false);
    if (!end->Valid()) return Fail(::GetLastError());
    end->SetTimeout(timeout);
    *pipe = std::move(end);
    return kErrorSuccess;
}

// Remote computers are the system's own business on Windows; nothing bridges pipes over SSH.
int RunPipeBridge(std::string_view) {
    return static_cast<int>(Fail(kErrorNotSupported));
}

}  // namespace platform
