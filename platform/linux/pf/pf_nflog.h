// The kernel's filter log: the packets that the kernel backend's rules dropped, read from an
// nflog group (libnetfilter_log) on a thread of its own. Internal to the driver.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <string>
#include <string_view>

#include "platform/errors.h"

namespace platform::pf {

class NflogReader {
  public:
    // One logged packet: the rule's prefix and the packet from its IP header on, as much as the
    // group copies (at least the IP header and 128 bytes after it).
    using Sink = std::function<void(std::string_view prefix, std::span<const std::uint8_t>)>;

    // Binds the first free group of `groupsToTry` from `firstGroup` (another reader may hold
    // one) and starts the thread. `why` names the failing call.
    static Win32Error Open(std::uint16_t firstGroup, int groupsToTry, Sink sink,
                           std::unique_ptr<NflogReader>* reader, std::string* why);
    ~NflogReader();  // ends the thread and unbinds
    NflogReader(const NflogReader&) = delete;
    NflogReader& operator=(const NflogReader&) = delete;

    std::uint16_t group() const;

  private:
    struct Impl;
    explicit NflogReader(std::unique_ptr<Impl> impl);
    std::unique_ptr<Impl> impl_;
};

}  // namespace platform::pf
