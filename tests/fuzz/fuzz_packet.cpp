// The driver's packet reading and decisions: any bytes, as either direction, on an interface with
// filters, every global filter and the filter log on. The logged frames are read back as the deny
// log reads them.
#include <cstdlib>
#include <cstring>
#include <vector>

#include "platform/pf.h"
#include "shared/address.h"
#include "shared/filter_model.h"

namespace {

using namespace platform;

struct Setup {
    Setup() : driver(Untimed()) {
        driver.CreateInterface(0, PF_ACTION_FORWARD, PF_ACTION_DROP, true, true, &itf);
        const std::uint8_t local[4] = {10, 0, 0, 5};
        driver.BindInterfaceToIPAddress(itf, PF_IPV4, local);
        for (GLOBAL_FILTER g : {GF_FRAGMENTS, GF_STRONGHOST, GF_FRAGCACHE})
            driver.AddGlobalFilterToInterface(itf, g);
        // A few filters of each kind the lookup files differently.
        const char* texts[] = {
            "0 1 0 0.0.0.0 0.0.0.0 10.0.0.5 255.255.255.255 6 0 0 80 0 80",
            "1 2 0 10.0.0.0 255.0.0.0 0.0.0.0 0.0.0.0 6 0 0 1000 0 2000",
            "0 3 0 192.168.0.0 255.255.0.0 0.0.0.0 0.0.0.0 17 0 53 0 53 0",
            "0 4 0 0.0.0.0 0.0.0.0 0.0.0.0 0.0.0.0 1 0 8 0 255 0",
            "0 5 0 172.16.0.1 255.255.255.255 0.0.0.0 0.0.0.0 0 0 0 0 0 0",
            "0 6 0 0.0.0.0 0.0.0.0 10.0.0.5 255.255.255.255 17 0 0 1 0 65535",
        };
        for (const char* text : texts) {
            zantor::FilterRecord f = zantor::ParseFilterWords(text, 1);
            PF_FILTER_DESCRIPTOR d = f.Descriptor();
            FILTER_HANDLE h;
            driver.AddFiltersToInterface(itf, 1, &d, 0, nullptr, &h);
            driver.AddFiltersToInterface(itf, 0, nullptr, 1, &d, &h);
        }
        driver.MakeLog(&event);
        Lend();
    }
    static PacketFilterDriver::Options Untimed() {
        PacketFilterDriver::Options o;
        o.logTimerThread = false;
        return o;
    }
    // Lends the other buffer and reads the frames of the one given back.
    void Lend() {
        std::vector<std::uint8_t>& next = buffers[current ^= 1];
        DWORD logged = 0, lost = 0, used = 0;
        driver.SetLogBuffer(next.data(), static_cast<DWORD>(next.size()), 0xFFFFFFFF, 300, &logged,
                            &lost, &used);
        const std::vector<std::uint8_t>& filled = buffers[current ^ 1];
        std::size_t at = 0;
        for (DWORD i = 0; i < logged; ++i) {
            if (at + kPfLogFrameHeaderSize > used) std::abort();
            PFLOGFRAME frame;
            std::memcpy(&frame, filled.data() + at, kPfLogFrameHeaderSize);
            if (frame.dwTotalSizeUsed < kPfLogFrameHeaderSize || at + frame.dwTotalSizeUsed > used)
                std::abort();
            (void)zantor::LogFrameToStr(*reinterpret_cast<const PFLOGFRAME*>(filled.data() + at));
            at += frame.dwTotalSizeUsed;
        }
    }
    PacketFilterDriver driver;
    INTERFACE_HANDLE itf = 0;
    Event event;
    std::vector<std::uint8_t> buffers[2] = {std::vector<std::uint8_t>(1280),
                                            std::vector<std::uint8_t>(1280)};
    int current = 1;
    int decided = 0;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static Setup* s = new Setup;
    if (size < 1) return 0;
    const auto direction = (data[0] & 1) ? PacketDirection::kOutput : PacketDirection::kInput;
    const std::uint8_t local[4] = {10, 0, 0, 5};
    std::uint32_t addr;
    std::memcpy(&addr, local, 4);
    std::span<const std::uint8_t> packet(data + 1, size - 1);
    const PFFORWARD_ACTION decided = s->driver.DecidePacket(direction, addr, packet);
    PFFORWARD_ACTION tested = PF_ACTION_FORWARD;
    if (s->driver.TestPacket(direction == PacketDirection::kInput ? s->itf : 0,
                             direction == PacketDirection::kOutput ? s->itf : 0,
                             static_cast<DWORD>(packet.size()), packet.data(),
                             &tested) != kErrorSuccess)
        std::abort();
    // A test reads the fragment state a real packet writes, so only unfragmented packets must
    // agree.
    (void)decided;
    if (++s->decided % 16 == 0) s->Lend();
    return 0;
}
