#include "platform/linux/pf/pf_nflog.h"

#include <libnetfilter_log/libnetfilter_log.h>
#include <libnfnetlink/libnfnetlink.h>
#include <poll.h>
#include <sys/socket.h>

#include <cerrno>
#include <cstring>
#include <system_error>
#include <thread>
#include <vector>

#include "platform/linux/unix_socket.h"

namespace platform::pf {

namespace {

// The IP header at its longest and the 128 bytes a log frame keeps after it.
constexpr std::uint16_t kCopyRange = 60 + 128;
// Room for bursts: a packet waiting here is one the log would otherwise lose.
constexpr unsigned kReceiveBuffer = 4u << 20;

}  // namespace

struct NflogReader::Impl {
    Sink sink;
    nflog_handle* handle = nullptr;
    nflog_g_handle* groupHandle = nullptr;
    std::uint16_t group = 0;
    posix::WakePipe wake;
    std::thread thread;

    ~Impl() {
        if (thread.joinable()) {
            wake.Signal();
            thread.join();
        }
        if (groupHandle) nflog_unbind_group(groupHandle);
        if (handle) nflog_close(handle);
    }

    static int OnPacket(nflog_g_handle*, nfgenmsg*, nflog_data* data, void* self) {
        char* payload = nullptr;
        int length = nflog_get_payload(data, &payload);
        const char* prefix = nflog_get_prefix(data);
        if (length > 0 && payload && prefix)
            static_cast<Impl*>(self)->sink(prefix, {reinterpret_cast<const std::uint8_t*>(payload),
                                                    static_cast<std::size_t>(length)});
        return 0;
    }

    void Run() {
        std::vector<char> buffer(1 << 16);
        const int fd = nflog_fd(handle);
        while (posix::WaitReady(fd, POLLIN, wake) == kErrorSuccess) {
            ssize_t n = ::recv(fd, buffer.data(), buffer.size(), MSG_DONTWAIT);
            // ENOBUFS: the kernel had to throw packets away; the ones after them still come.
            if (n <= 0) continue;
            nflog_handle_packet(handle, buffer.data(), static_cast<int>(n));
        }
    }
};

NflogReader::NflogReader(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}

NflogReader::~NflogReader() = default;

std::uint16_t NflogReader::group() const {
    return impl_->group;
}

Win32Error NflogReader::Open(std::uint16_t firstGroup, int groupsToTry, Sink sink,
                             std::unique_ptr<NflogReader>* reader, std::string* why) {
    auto impl = std::make_unique<Impl>();
    impl->sink = std::move(sink);
    auto fail = [why](const char* call) {
        int err = errno;
        if (why) *why = std::string(call) + ": " + std::strerror(err);
        return Fail(ErrorFromErrno(err));
    };
    impl->handle = nflog_open();
    if (!impl->handle) return fail("nflog_open");
    for (int i = 0; i < groupsToTry && !impl->groupHandle; ++i) {
        impl->group = static_cast<std::uint16_t>(firstGroup + i);
        impl->groupHandle = nflog_bind_group(impl->handle, impl->group);
        if (!impl->groupHandle && errno != EBUSY) return fail("nflog_bind_group");
    }
    if (!impl->groupHandle) return fail("nflog_bind_group (every group tried is in use)");
    if (nflog_set_mode(impl->groupHandle, NFULNL_COPY_PACKET, kCopyRange) < 0)
        return fail("nflog_set_mode");
    // Each packet at once: the deny log's own buffer does the batching.
    if (nflog_set_qthresh(impl->groupHandle, 1) < 0) return fail("nflog_set_qthresh");
    if (nflog_set_timeout(impl->groupHandle, 1) < 0) return fail("nflog_set_timeout");
    nfnl_rcvbufsiz(nflog_nfnlh(impl->handle), kReceiveBuffer);
    if (nflog_callback_register(impl->groupHandle, &Impl::OnPacket, impl.get()) < 0)
        return fail("nflog_callback_register");
    if (!impl->wake.Valid()) return fail("pipe");
    try {
        Impl* raw = impl.get();
        impl->thread = std::thread([raw] { raw->Run(); });
    } catch (const std::system_error&) {
        return Fail(kErrorNotEnoughMemory);
    }
    reader->reset(new NflogReader(std::move(impl)));
    return kErrorSuccess;
}

}  // namespace platform::pf
