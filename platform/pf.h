// The packet filtering driver: interfaces, filters, global filters and the filter log, with the
// calls and structures of the Windows packet filtering API.
//
// Model. An interface has a default action per direction and a list of filters per direction;
// the filters are the exceptions to the default: on a forwarding direction a packet that matches
// any filter is dropped, on a dropping direction a packet that matches any filter is forwarded.
// An interface filters the traffic of the one local address it is bound to: input packets
// received on that address and output packets sent from it. Packets on an address that no
// interface is bound to are forwarded. Two interfaces are never bound to the same address.
//
// Matching. A filter matches when the packet's source and destination, each under the filter's
// mask, equal the filter's addresses under the same mask (0.0.0.0/0.0.0.0 matches all); when its
// protocol is 0 (any) or the packet's; and then, by protocol:
//   - TCP (6) and UDP (17): the source and destination ports lie in the filter's ranges, low to
//     high inclusive; 0..0 is any port, a high below the low means the low port alone;
//   - ICMP (1): the source port fields are the type range and the destination port fields the
//     code range, with the same rules, and a low of 255 also means any;
//   - other protocols, and filters of protocol 0: the port fields are not looked at.
// FD_FLAGS_NOSYN makes a filter match only TCP segments without SYN.
//
// Fragments. A fragment other than the first carries no transport header. Without the fragment
// cache it is decided on addresses and protocol alone: a filter that looks at ports, ICMP type or
// code, or the SYN flag does not match it. A first fragment too short to hold the whole
// transport header (TCP 20, UDP 8, ICMP 8 bytes) is decided the same way.
//
// Global filters, per interface:
//   GF_FRAGMENTS   drops bad fragments (frame type PFFT_FRAG): a non-last fragment that is empty
//                  or not a multiple of 8 bytes, a first fragment too short for its transport
//                  header, a TCP fragment at offset 8, one that ends beyond 65,535 bytes, and one
//                  that partly overlaps an earlier fragment of the same datagram (an exact
//                  repeat is let through: it is a retransmission), and the pieces of a datagram
//                  cut into more than 128 (the overlap check keeps no more);
//   GF_STRONGHOST  drops an input packet whose destination is not the bound address (frame type
//                  PFFT_SPOOF);
//   GF_FRAGCACHE   later fragments of a datagram follow the decision made on its first fragment
//                  (datagrams keyed by source, destination, protocol and IP id; the cache is
//                  bounded and entries expire). A later fragment whose first fragment was not
//                  seen is decided alone, as without the cache.
//
// Malformed packets (shorter than an IPv4 header, another version, a header length below 20 or
// beyond the bytes, a total length below the header or beyond the bytes, an unfragmented TCP,
// UDP or ICMP packet without its whole transport header) are never read further: they are
// dropped, counted in Statistics::malformed, and not logged, whatever the interfaces say.
// Bytes beyond the total length (link padding) are ignored.
//
// The filter log. Interfaces created with logging on write a PFLOGFRAME for every packet they
// drop into the buffer lent with PfSetLogBuffer: the 32-byte fixed part, then the IP header and
// at most kPfLogMaxAdditionalData bytes after it; dwTotalSizeUsed is 32 plus those bytes rounded
// up to a multiple of 8, so every frame starts 8-aligned from the buffer's start (the last
// frame's padding may be cut where the buffer ends). The event given
// to PfMakeLog is set when the lent buffer reaches its entry or byte threshold, when a frame does
// not fit (it and those after it are counted as lost), and when a frame has waited about a
// second. Frames are not written while no buffer is lent.
//
// Handles are 32-bit, never 0, and counted up, so a deleted handle is not handed out again until
// the count wraps.
//
// Errors. Every call returns 0 or a Win32 error number and, on failure, also sets the thread's
// last error. Nothing is changed by a call that fails. Interface handles that are not valid give
// kPfErrorNoPfInterface, unknown filter handles kErrorInvalidHandle, null pointers and out-of-range
// actions kErrorInvalidParameter, an address type other than PF_IPV4 kErrorNotSupported, and a
// descriptor the driver cannot honour (another address type, a null address cell, unknown flag
// bits, a protocol above 255, late binding) kPfErrorInvalidFilter. With the kernel backend, a
// change the kernel refuses is kPfErrorKernelRefused, and neither the kernel nor the engine
// has changed.
//
// Threads. Every call may be made from any thread at any time; decisions share a reader lock and
// run in parallel, changes take it exclusively. The log has a lock of its own.
//
// Two backends decide packets on Linux; each answers the calls below as PacketFilterBackend.
//   The engine (pf_driver, pf_index, pf_packet, beside this file) decides the packets that reach
//   it: test packets on the packet socket below, on a simulated computer and on a real host alike.
//   The kernel backend (linux/pf/: pf_kernel, pf_ruleset, pf_nflog) also puts the same rules into
//   the Linux kernel as the nftables table `ip zantor`, so that a real host's own traffic is
//   filtered, and reads the packets the kernel drops from nflog into the same filter log. The
//   engine keeps every rule too and answers the packet socket with what the kernel does.
// PfStartDriver picks one (see there). The kernel follows the model above, with these
// differences, where nftables cannot do what the engine does or sees packets another way:
//   - Loopback: traffic on the loopback device (the host talking to itself, to any of its own
//     addresses) is accepted before any rule, so an interface bound to 127.0.0.1 filters
//     nothing in the kernel.
//   - Which interface decides an input packet: the one bound to its destination address,
//     whichever device it arrived on; output: the one bound to its source address.
//   - GF_STRONGHOST checks one device: an input packet that arrives on the device that held the
//     bound address when it was bound, and is addressed to another address, is dropped and
//     logged (PFFT_SPOOF) on the interface. Addresses of other interfaces bound on the same
//     device are theirs to decide, not spoofs; the first interface of the device with the check
//     names the frame; an address that no device held has no such check. The engine's test
//     packets carry no device; their local address stands for it, so both answer alike.
//   - GF_FRAGCACHE on: the interface decides at the input hook, where the kernel has put the
//     datagram together, so later fragments follow the first; a dropped datagram is logged once,
//     as the whole datagram (its entry text is the first fragment's), where the engine logs every
//     fragment. A datagram whose first fragment is too short for its transport header, which
//     the engine decides on addresses and protocol alone, the kernel decides on the whole
//     header.
//     Off: the interface decides every fragment alone, before reassembly (prerouting, priority
//     -450), where filters on ports, ICMP type and code, or SYN do not match a later fragment or
//     a first fragment too short for its transport header, as in the engine.
//     Turning it on or off moves the interface's input from one hook to the other; a packet
//     that is between the two hooks at that moment may meet the interface at both (and be
//     counted twice), never at neither: turning it on is one transaction (prerouting first, so
//     a packet that was not decided there is decided at input), turning it off two (the
//     interface is added at prerouting, then taken from input).
//   - GF_FRAGMENTS: the stateless checks are rules before reassembly, logged as PFFT_FRAG. A
//     fragment that partly overlaps another makes the kernel's reassembly discard the whole
//     datagram, unlogged; the 128-piece limit is the reassembly's own (its queue limits); and
//     of the fragments that end beyond 65,535 bytes only those at offsets of 65,520 bytes or more
//     are dropped by the rules, the others are discarded, unlogged, with their datagram by the
//     reassembly.
//   - Output: the output hook sees a datagram whole, before the kernel fragments it: it is
//     decided once, on its whole transport header, as with the fragment cache.
//   - Malformed packets: the kernel drops bad IP headers before any rule and never logs them; a
//     packet whose transport header is cut short does reach the rules and may be logged.
//   - Packets on the packet socket are answered by the engine but not logged: with the kernel
//     backend the filter log holds real traffic only.
//   - Filters are set elements where their masks, ports and types allow a key (each port or
//     type range is one value or all), so a packet's cost does not grow with their number; a
//     filter with a port or type range or a rule number is a rule. Rules that name an address
//     are grouped by its network (at most /24; an input's source, an output's destination
//     first), and a packet passes only the rules of its own networks and those that name no
//     address.
//   - Statistics (PfGetInterfaceStatistics) are the kernel's counters, read afresh by each
//     call (pf_ruleset.h says where they are). A datagram the kernel decides whole (the fragment
//     cache, output) counts once, as in the engine, where the later fragments follow the first
//     uncounted. Filters of one interface and direction with the same key share one set
//     element, and each reports every packet of it; the engine counts the one that matched.
//     The filter log's counts are the engine's, which writes the kernel's drops.
//   - The anti-lockout rule, below: the packets of established SSH sessions into the host pass.
//
// The anti-lockout rule (the kernel backend only). Administrators reach a real host over SSH,
// and filtering the address their session runs on must not cut it off. So the kernel lets the
// packets of established SSH sessions into this host through ahead of every rule of the table
// but the loopback's (strong host included), and nothing else:
//   - In: TCP to one of sshd's ports on one of the host's own addresses, of a connection that
//     the kernel's connection tracking calls established (it has seen packets of it both ways),
//     that the host did not open itself (below), and that no destination NAT sends elsewhere.
//     Out: TCP from one of those ports, of such a connection (its replies).
//   - Nothing forwarded: TCP to sshd's port of another host, routed through this one, meets the
//     filters (strong host) as any other port does. Nothing a NAT rewrites: a connection to the
//     host's sshd port that a destination NAT sends on to another host meets the filters of
//     the address it came to, new or established, and is forwarded only if they let it in.
//   - Nothing new: the first packet of a connection is never established, so new connections
//     to sshd meet the filters as configured, and what those drop is logged; what the rule lets
//     through is not dropped, so not logged. A connection the host opens from sshd's port (any
//     process that can bind the port can open one) is no session into the host: its SYN meets
//     the output filters, and what comes back the input filters.
//   - One exception, for sessions taken up: a packet from sshd's port that tracking calls new
//     passes when it carries no SYN. That is sshd answering on a session that tracking has not
//     seen yet (below); no program opens a connection without a SYN. Tracking then knows the
//     session the wrong way round, as one the host opened. So the rule marks the other kind
//     instead: a SYN the host sends from sshd's port labels its connection (connection
//     tracking label 126), and an established connection without that label is a session both
//     ways, whichever side tracking saw first. Tracking comes on a moment before the table's
//     rules take effect, in the same transaction, and what it picks up in that moment carries
//     no label either. (A connection that a process opened from sshd's port while no table
//     was in force is a session the same way: nothing tells the two apart.)
//   - On unless the file driver/antilockout in the computer root says "off" ("on" or "off", in
//     any letter case, white space around it; anything else fails the start as a bad
//     driver/backend does). Read when the driver starts; the service log says which, beside
//     the line that names the backend.
//   - sshd's ports: those its configuration names, read when the driver starts (the Port lines
//     of /etc/ssh/sshd_config and of the files its Include lines name, the ports its
//     ListenAddress lines give), or 22, sshd's own default, when it names none or cannot be
//     read. Not the sockets sshd listens on: the service starts before the network, and so
//     before sshd, and its unit hides the host's other processes from it; the configuration is
//     what sshd listens on once it runs. After a change of sshd's ports, restart the service.
//   - "Related" is left out. Connection tracking calls ICMP errors about a connection related
//     (and connections that a helper expects, never sshd's): they are not TCP to or from
//     sshd's port, and letting them through would take a rule for ICMP beside the one for
//     sshd. They meet the filters; a filter for ICMP type 3 lets them in where path MTU
//     discovery needs them.
//   - Where: connection tracking (priority -200) knows a connection only after the prerouting
//     chain (priority -450), and a destination NAT (priority -100) rewrites it after that. So an
//     unfragmented TCP packet to one of sshd's ports on one of the host's own addresses skips
//     the rest of that chain and is decided at priority -150, between the two: by the rule, and
//     then by the checks it skipped, in their order (strong host, then its interface); an
//     interface with the fragment cache decides at the input hook, after the rule once more.
//     Fragments are decided before reassembly as ever, and the TCP datagram they make is
//     decided once more, whole, at priority -150: like the fragment cache, the kernel then
//     decides one whose first fragment is too short for its TCP header on the whole header too.
//   - Connection tracking is on in the host's network namespace while the table is there
//     (nftables turns it on for the rule), with its limits (net.netfilter.nf_conntrack_max).
//     Connections it saw before the service stopped stay known across a restart. A session
//     that began while nothing tracked connections (while the service was stopped, say) is
//     taken up when it is next seen (net.netfilter.nf_conntrack_tcp_loose, on by default):
//     once the host has sent on it (the shell's prompt after the start command does), it is
//     established; until then what comes in on it meets the filters, so one that the host
//     never answers stays cut while input is dropped.
//   - The engine knows no connections: it decides packets to and from sshd, on the packet
//     socket, by the filters alone, as it always has, and simulated computers are not
//     changed. Off, SSH is filtered like all other traffic and nothing turns connection
//     tracking on.
//
// On Windows (win32/pf_api_win32.cpp) the system's own packet filtering functions (iphlpapi.dll,
// looked up at run time) take the kernel backend's place, PfBackend::kKernel, when they are there
// and work; the engine keeps every rule beside them. Where they are missing or not implemented
// the engine decides alone and the service log says that the host's traffic is not filtered. The
// packet socket is a UDP socket on 127.0.0.1 whose port is written to driver/packets.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "platform/errors.h"
#include "platform/event.h"

namespace platform {

using DWORD = std::uint32_t;
using INTERFACE_HANDLE = std::uint32_t;  // never 0 for a valid one
using FILTER_HANDLE = std::uint32_t;     // never 0 for a valid one

enum PFFORWARD_ACTION : DWORD { PF_ACTION_FORWARD = 0, PF_ACTION_DROP = 1 };
enum PFADDRESSTYPE : DWORD { PF_IPV4 = 0, PF_IPV6 = 1 };
enum GLOBAL_FILTER : DWORD { GF_FRAGMENTS = 2, GF_STRONGHOST = 8, GF_FRAGCACHE = 9 };
inline constexpr DWORD FD_FLAGS_NOSYN = 0x1;
enum PFFRAMETYPE : DWORD { PFFT_FILTER = 1, PFFT_FRAG = 2, PFFT_SPOOF = 3 };

// A filter. The four address fields point to 4-byte cells in network byte order that the caller
// owns; the driver copies them. Port fields are in host byte order.
struct PF_FILTER_DESCRIPTOR {
    DWORD dwFilterFlags;
    DWORD dwRule;
    PFADDRESSTYPE pfatType;
    std::uint8_t* SrcAddr;
    std::uint8_t* SrcMask;
    std::uint8_t* DstAddr;
    std::uint8_t* DstMask;
    DWORD dwProtocol;
    DWORD fLateBound;
    std::uint16_t wSrcPort;
    std::uint16_t wDstPort;
    std::uint16_t wSrcPortHighRange;
    std::uint16_t wDstPortHighRange;
};

// One record of the filter log: the 32-byte fixed part, then the packet bytes.
struct PFLOGFRAME {
    std::int64_t Timestamp;  // 100-nanosecond intervals since 1601-01-01 UTC
    PFFRAMETYPE pfeTypeOfFrame;
    DWORD dwTotalSizeUsed;                // this frame's bytes: the distance to the next frame
    DWORD dwFilterRule;                   // dwRule of the filter that decided, else 0
    std::uint16_t wSizeOfAdditionalData;  // bytes logged after the IP header
    std::uint16_t wSizeOfIpHeader;        // bytes of the IP header logged
    DWORD dwInterfaceName;  // the interface's name, or its handle when it was created with 0
    DWORD dwIPIndex;        // always 0: the driver does not know the address table's indexes
    std::uint8_t bPacketData[1];
};

// The statistics of one filter: the packets it decided and the filter as it was added.
// In PfGetInterfaceStatistics's buffer the four address pointers of `info` point to 4-byte cells
// in the same buffer, after the last record.
struct PF_FILTER_STATS {
    DWORD dwNumPacketsFiltered;
    PF_FILTER_DESCRIPTOR info;
};

// The statistics of one interface, followed in the buffer by one PF_FILTER_STATS per filter
// (FilterInfo runs on past its declared one element). The 64-bit fields are 8-aligned on every
// target, as the system lays them out (its LARGE_INTEGER).
struct PF_INTERFACE_STATS {
    void* pvDriverContext;  // always null
    DWORD dwFlags;          // always 0
    DWORD dwInDrops;        // input packets the default action dropped
    DWORD dwOutDrops;       // output packets the default action dropped
    PFFORWARD_ACTION eaInAction;
    PFFORWARD_ACTION eaOutAction;
    DWORD dwNumInFilters;
    DWORD dwNumOutFilters;
    DWORD dwFrag;       // fragments that fragment checking (GF_FRAGMENTS) dropped
    DWORD dwSpoof;      // input packets that strong host checking (GF_STRONGHOST) dropped
    DWORD dwReserved1;  // always 0
    DWORD dwReserved2;  // always 0
    alignas(8) std::int64_t liSYN;          // always 0: no driver here counts SYN segments apart
    alignas(8) std::int64_t liTotalLogged;  // frames of this interface written to the filter log
    DWORD dwLostLogEntries;                 // frames of this interface the log had no room for
    PF_FILTER_STATS FilterInfo[1];
};

inline constexpr DWORD kPfLogFrameHeaderSize = 32;
static_assert(offsetof(PFLOGFRAME, bPacketData) == kPfLogFrameHeaderSize);
inline constexpr DWORD kPfLogMaxAdditionalData = 128;
// A lent buffer must hold at least one frame with a minimal IP header.
inline constexpr DWORD kPfLogMinBufferSize = kPfLogFrameHeaderSize + 20;

enum class PacketDirection : std::uint8_t { kInput = 0, kOutput = 1 };

namespace pf {

// One interface as the engine holds it: what it was created with, the address it is bound to and
// the global filters that are on. A backend beside the engine reads it from there
// (PacketFilterDriver::ReadInterface) and keeps what it has passed on.
struct InterfaceRecord {
    INTERFACE_HANDLE handle = 0;
    DWORD name = 0;
    PFFORWARD_ACTION actions[2] = {PF_ACTION_FORWARD, PF_ACTION_FORWARD};  // by PacketDirection
    bool useLog = false;
    bool bound = false;
    std::uint32_t address = 0;  // network byte order in memory
    DWORD globals = 0;          // bit g for each GLOBAL_FILTER g that is on

    bool Has(GLOBAL_FILTER g) const { return g < 32 && (globals >> g & 1) != 0; }
    // What the filter log calls it: its name, or its handle when it was created without one.
    DWORD LogName() const { return name != 0 ? name : handle; }
};

// One filter's statistics as a backend gathers them, before they are laid into the caller's
// buffer.
struct FilterStatistics {
    FILTER_HANDLE handle = 0;
    PacketDirection direction = PacketDirection::kInput;
    PF_FILTER_DESCRIPTOR info{};      // as it was added; the address pointers are null
    std::uint32_t addresses[4] = {};  // source, its mask, destination, its mask, as added
    std::uint64_t packets = 0;
};

// One interface's statistics as a backend gathers them.
struct InterfaceStatistics {
    InterfaceRecord record;
    std::uint64_t inDrops = 0, outDrops = 0;  // by the default actions
    std::uint64_t fragments = 0, spoofs = 0;  // by GF_FRAGMENTS and GF_STRONGHOST
    std::uint64_t logged = 0, lost = 0;       // frames of the filter log
    std::size_t inFilters = 0;                // filters[0, inFilters) are the input ones
    // The input filters, then the output ones, each in the order they were added.
    std::vector<FilterStatistics> filters;
};

// The bytes PfGetInterfaceStatistics writes for an interface with `filters` filters.
std::uint64_t InterfaceStatisticsSize(std::size_t filters);

// Lays `s` into the caller's buffer with the sizes and errors of PfGetInterfaceStatistics; every
// backend that gathers its own answers through it.
DWORD WriteInterfaceStatistics(const InterfaceStatistics& s, PF_INTERFACE_STATS* ppfStats,
                               DWORD* pdwBufferSize);

}  // namespace pf

// The calls of the packet filtering API as every backend answers them: the engine below, the
// Linux kernel's (linux/pf/pf_kernel.h) and the Windows system's functions
// (win32/pf_api_win32.cpp). The Pf* functions below pass each call to the backend in use
// (pf_api.cpp); the methods have the contracts of the functions of the same name. A backend that
// does not keep a part itself (the kernel's filter log) hands it to the engine beside it.
class PacketFilterBackend {
  public:
    virtual ~PacketFilterBackend() = default;

    virtual DWORD CreateInterface(DWORD dwName, PFFORWARD_ACTION inAction,
                                  PFFORWARD_ACTION outAction, bool bUseLog, bool bMustBeUnique,
                                  INTERFACE_HANDLE* ppInterface) = 0;
    virtual DWORD DeleteInterface(INTERFACE_HANDLE hInterface) = 0;
    virtual DWORD BindInterfaceToIPAddress(INTERFACE_HANDLE hInterface, PFADDRESSTYPE pfatType,
                                           const std::uint8_t* IPAddress) = 0;
    virtual DWORD UnBindInterface(INTERFACE_HANDLE hInterface) = 0;
    virtual DWORD AddFiltersToInterface(INTERFACE_HANDLE hInterface, DWORD cInFilters,
                                        const PF_FILTER_DESCRIPTOR* pfiltIn, DWORD cOutFilters,
                                        const PF_FILTER_DESCRIPTOR* pfiltOut,
                                        FILTER_HANDLE* pfHandle) = 0;
    virtual DWORD RemoveFilterHandles(INTERFACE_HANDLE hInterface, DWORD cFilters,
                                      const FILTER_HANDLE* pvHandles) = 0;
    virtual DWORD AddGlobalFilterToInterface(INTERFACE_HANDLE hInterface,
                                             GLOBAL_FILTER gfFilter) = 0;
    virtual DWORD RemoveGlobalFilterFromInterface(INTERFACE_HANDLE hInterface,
                                                  GLOBAL_FILTER gfFilter) = 0;
    virtual DWORD MakeLog(Event* hEvent) = 0;
    virtual DWORD SetLogBuffer(std::uint8_t* pbBuffer, DWORD dwSize, DWORD dwThreshold,
                               DWORD dwEntries, DWORD* pdwLoggedEntries, DWORD* pdwLostEntries,
                               DWORD* pdwSizeUsed) = 0;
    virtual DWORD DeleteLog() = 0;
    virtual DWORD TestPacket(INTERFACE_HANDLE hInInterface, INTERFACE_HANDLE hOutInterface,
                             DWORD cBytes, const std::uint8_t* pbPacket,
                             PFFORWARD_ACTION* ppAction) = 0;
    virtual DWORD GetInterfaceStatistics(INTERFACE_HANDLE pInterface, PF_INTERFACE_STATS* ppfStats,
                                         DWORD* pdwBufferSize, bool fResetCounters) = 0;
};

// The engine behind the Pf* calls. The functions below act on one process-wide instance; tests
// make their own.
class PacketFilterDriver final : public PacketFilterBackend {
  public:
    struct Options {
        // The clock of fragment expiry and of the log's flush; empty means steady_clock::now.
        std::function<std::chrono::steady_clock::time_point()> clock;
        // A thread that sets the log event when frames have waited logFlushDelay. Without it,
        // CheckLogTimer does that when called.
        bool logTimerThread = true;
        std::chrono::milliseconds logFlushDelay{1000};
        std::size_t fragmentCacheCapacity = 4096;  // datagrams per interface
        std::chrono::seconds fragmentLifetime{30};
    };

    struct Statistics {
        std::uint64_t malformed = 0;  // packets that could not be read, dropped
    };

    PacketFilterDriver();
    explicit PacketFilterDriver(Options options);
    ~PacketFilterDriver();
    PacketFilterDriver(const PacketFilterDriver&) = delete;
    PacketFilterDriver& operator=(const PacketFilterDriver&) = delete;

    DWORD CreateInterface(DWORD dwName, PFFORWARD_ACTION inAction, PFFORWARD_ACTION outAction,
                          bool bUseLog, bool bMustBeUnique, INTERFACE_HANDLE* ppInterface) override;
    DWORD DeleteInterface(INTERFACE_HANDLE hInterface) override;
    DWORD BindInterfaceToIPAddress(INTERFACE_HANDLE hInterface, PFADDRESSTYPE pfatType,
                                   const std::uint8_t* IPAddress) override;
    DWORD UnBindInterface(INTERFACE_HANDLE hInterface) override;
    DWORD AddFiltersToInterface(INTERFACE_HANDLE hInterface, DWORD cInFilters,
                                const PF_FILTER_DESCRIPTOR* pfiltIn, DWORD cOutFilters,
                                const PF_FILTER_DESCRIPTOR* pfiltOut,
                                FILTER_HANDLE* pfHandle) override;
    DWORD RemoveFilterHandles(INTERFACE_HANDLE hInterface, DWORD cFilters,
                              const FILTER_HANDLE* pvHandles) override;
    DWORD AddGlobalFilterToInterface(INTERFACE_HANDLE hInterface, GLOBAL_FILTER gfFilter) override;
    DWORD RemoveGlobalFilterFromInterface(INTERFACE_HANDLE hInterface,
                                          GLOBAL_FILTER gfFilter) override;
    DWORD MakeLog(Event* hEvent) override;
    DWORD SetLogBuffer(std::uint8_t* pbBuffer, DWORD dwSize, DWORD dwThreshold, DWORD dwEntries,
                       DWORD* pdwLoggedEntries, DWORD* pdwLostEntries, DWORD* pdwSizeUsed) override;
    DWORD DeleteLog() override;
    DWORD TestPacket(INTERFACE_HANDLE hInInterface, INTERFACE_HANDLE hOutInterface, DWORD cBytes,
                     const std::uint8_t* pbPacket, PFFORWARD_ACTION* ppAction) override;
    DWORD GetInterfaceStatistics(INTERFACE_HANDLE pInterface, PF_INTERFACE_STATS* ppfStats,
                                 DWORD* pdwBufferSize, bool fResetCounters) override;

    // The record of an interface as the engine holds it; false for a handle that is none.
    bool ReadInterface(INTERFACE_HANDLE hInterface, pf::InterfaceRecord* record) const;

    // The statistics of an interface as the engine counts them: its filters in their order, the
    // packets its decisions counted and the frames the filter log took or lost for it. False
    // for a handle that is none.
    bool ReadStatistics(INTERFACE_HANDLE hInterface, pf::InterfaceStatistics* s) const;
    // Takes the counts of `s` (an earlier read) off the interface's, so that they start again
    // from zero without losing what was counted since; filters gone since are passed over.
    // With `logOnly` only the filter log's counts (a backend that counts packets itself).
    void SubtractStatistics(const pf::InterfaceStatistics& s, bool logOnly = false);

    // Decides a packet received on (input) or sent from (output) the local address `localAddr`
    // (network byte order in memory, as in the descriptors), with every effect of a real packet:
    // the interface's log and fragment cache are written. Never fails: unreadable packets are
    // dropped.
    PFFORWARD_ACTION DecidePacket(PacketDirection direction, std::uint32_t localAddr,
                                  std::span<const std::uint8_t> packet);

    // While off, DecidePacket writes no frames and counts nothing: with the kernel backend the
    // log and the statistics hold the real packets the kernel saw, and packets asked about on
    // the packet socket are not traffic.
    void SetDecisionLogging(bool on);

    // Writes the frame of a packet that another decider (the kernel) dropped, exactly as a drop
    // of this engine's own: the IP header and at most kPfLogMaxAdditionalData bytes after it, of
    // what `packet` holds. Bytes that are not an IPv4 header are not logged.
    void LogDrop(DWORD interfaceName, PFFRAMETYPE frameType, DWORD rule,
                 std::span<const std::uint8_t> packet);

    // Sets the log event when frames in the lent buffer have waited the flush delay.
    void CheckLogTimer();

    Statistics GetStatistics() const;

  private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

// The process-wide driver that the functions below use (created on first use, with the timer).
PacketFilterDriver& ProcessPacketFilterDriver();

// PfCreateInterface: a new interface with the two default actions (PF_ACTION_FORWARD or
// PF_ACTION_DROP; others are refused). bUseLog: its drops go to the filter log. dwName is
// recorded for the log frames; every interface is unique, so bMustBeUnique changes nothing.
DWORD PfCreateInterface(DWORD dwName, PFFORWARD_ACTION inAction, PFFORWARD_ACTION outAction,
                        bool bUseLog, bool bMustBeUnique, INTERFACE_HANDLE* ppInterface);
// PfDeleteInterface: unbinds (when bound) and deletes the interface with its filters.
DWORD PfDeleteInterface(INTERFACE_HANDLE hInterface);
// PfBindInterfaceToIPAddress: binds to the 4-byte address at IPAddress. kPfErrorAlreadyBound
// when this interface is bound, kErrorAlreadyExists when another interface has the address.
DWORD PfBindInterfaceToIPAddress(INTERFACE_HANDLE hInterface, PFADDRESSTYPE pfatType,
                                 const std::uint8_t* IPAddress);
// PfUnBindInterface: kPfErrorNotBound when the interface is not bound.
DWORD PfUnBindInterface(INTERFACE_HANDLE hInterface);
// PfAddFiltersToInterface: adds cInFilters input and cOutFilters output filters, all or none;
// pfHandle receives one handle per filter, the input ones first. kPfErrorNoFiltersGiven when
// both counts are 0.
DWORD PfAddFiltersToInterface(INTERFACE_HANDLE hInterface, DWORD cInFilters,
                              const PF_FILTER_DESCRIPTOR* pfiltIn, DWORD cOutFilters,
                              const PF_FILTER_DESCRIPTOR* pfiltOut, FILTER_HANDLE* pfHandle);
// PfRemoveFilterHandles: removes the filters, all or none; kErrorInvalidHandle when one of the
// handles is not a filter of this interface; kPfErrorNoFiltersGiven for a count of 0.
DWORD PfRemoveFilterHandles(INTERFACE_HANDLE hInterface, DWORD cFilters,
                            const FILTER_HANDLE* pvHandles);
// PfAddGlobalFilterToInterface: turns a global filter on (again: no change).
// kPfErrorGlobalFilterNotSupported for numbers other than 2, 8 and 9.
DWORD PfAddGlobalFilterToInterface(INTERFACE_HANDLE hInterface, GLOBAL_FILTER gfFilter);
// PfRemoveGlobalFilterFromInterface: turns it off; kErrorNotFound when it is not on.
DWORD PfRemoveGlobalFilterFromInterface(INTERFACE_HANDLE hInterface, GLOBAL_FILTER gfFilter);
// PfMakeLog: starts the filter log with a manual-reset event that the caller owns and keeps
// alive until PfDeleteLog (or process end). A second call replaces the event.
DWORD PfMakeLog(Event* hEvent);
// PfSetLogBuffer: lends a buffer of dwSize bytes (at least kPfLogMinBufferSize) that the driver
// writes frames into until the next call, and hands back the counts of the buffer lent before
// (zeros on the first call). kPfErrorLogNotSetUp before PfMakeLog. dwThreshold is the byte
// count and dwEntries the frame count at which the event is set.
DWORD PfSetLogBuffer(std::uint8_t* pbBuffer, DWORD dwSize, DWORD dwThreshold, DWORD dwEntries,
                     DWORD* pdwLoggedEntries, DWORD* pdwLostEntries, DWORD* pdwSizeUsed);
// PfDeleteLog: ends the filter log; the driver forgets the event and the lent buffer.
DWORD PfDeleteLog();
// PfTestPacket: the action that the input interface (as receiver) and then the output interface
// (as sender) would take on the IPv4 packet; 0 for none. Nothing is logged or cached. A handle
// that is not 0 must be valid. Unreadable packets are dropped.
DWORD PfTestPacket(INTERFACE_HANDLE hInInterface, INTERFACE_HANDLE hOutInterface, DWORD cBytes,
                   const std::uint8_t* pbPacket, PFFORWARD_ACTION* ppAction);

// PfGetInterfaceStatistics: the statistics of the interface and of its filters, the input
// filters first, then the output ones, each in the order they were added. *pdwBufferSize gives
// the buffer's size:
//   - below sizeof(PF_INTERFACE_STATS): kPfErrorBufferTooSmall, and *pdwBufferSize is set to it;
//   - exactly sizeof(PF_INTERFACE_STATS): the interface's record alone (FilterInfo untouched);
//   - larger, but short of the filters' records: kErrorInsufficientBuffer, and *pdwBufferSize
//     is set to the size needed (InterfaceStatisticsSize), which the next change may alter;
//   - enough: every record, and *pdwBufferSize is set to the bytes written. Each filter's
//     address pointers point to 4-byte cells after the last record, in the same buffer.
// A call that fails writes nothing into the buffer. fResetCounters: once read, the counts start
// again from zero (packets counted meanwhile are kept). The counts are of packets, 32 bits each,
// wrapping as the system's do; liTotalLogged is 64 bits. A count lives as long as its filter:
// adding and removing other filters, changes on other interfaces and of the global filters
// leave it as it is; unbinding the interface starts all its counts again from zero, and so does
// a new process. What decides the packets counts them: the engine its decisions on the packet
// socket (not its answers to PfTestPacket, not those on the packet socket while the kernel
// decides), the kernel backend what nftables counted (see pf_ruleset.h for where), and on
// Windows the system.
DWORD PfGetInterfaceStatistics(INTERFACE_HANDLE pInterface, PF_INTERFACE_STATS* ppfStats,
                               DWORD* pdwBufferSize, bool fResetCounters);

// Which backend decides real packets (see the top of this file).
enum class PfBackend : std::uint8_t { kEngine, kKernel };

// Picks the backend for the computer at `root`; `report` receives the lines for the service log.
//   - The file driver/backend in the root, when present, says "engine" or "kernel" (any letter
//     case); anything else is kErrorInvalidData.
//   - Without it the kernel is chosen when the address table is the host's own (no ipaddrtable
//     in the root) and this process may change the kernel's rules; the engine otherwise.
//   - The file driver/antilockout, when present, says "on" or "off" (any letter case);
//     anything else is kErrorInvalidData, whichever backend is chosen. With the kernel, a line
//     says whether the anti-lockout rule is on, and for which ports (see the top of this file).
// The kernel asked for without the right to change the rules (or with another process holding
// the namespace's table) is a failure, never a quiet engine. When the engine is chosen for the
// host's own addresses, a line says that the host's traffic is not being filtered. With the
// kernel, changes reach the kernel only from PfWriteKernelRules on: the table an earlier run left
// stays in force until then. kErrorAlreadyExists when started already.
Win32Error PfStartDriver(const std::filesystem::path& root,
                         const std::function<void(const std::string&)>& report,
                         PfBackend* backend = nullptr);
// With the kernel: replaces its table, whatever an earlier run left, with the rules made so far,
// in one transaction; from then on every change reaches the kernel at once. The engine: nothing.
Win32Error PfWriteKernelRules(std::string* why = nullptr);
// Ends the kernel backend, and the engine alone goes on. `removeRules`: an orderly stop, which
// takes the table out of the kernel; without it the table stays in force, as after a crash.
Win32Error PfStopDriver(bool removeRules, std::string* why = nullptr);

// The packet socket. Packets reach the driver as datagrams on the Unix datagram socket
// driver/packets of a computer root: one byte direction (0 input, 1 output), the 4-byte local
// address in network byte order, then the IPv4 packet. Every datagram is answered with one byte
// to its sender: 0 forwarded, 1 dropped. A malformed datagram (too short, another direction
// byte, larger than any IPv4 packet) is answered 1 and counted. A sender without an address of
// its own gets no answer.
//
// Start creates the driver directory and the socket (owner-only) and a thread that receives;
// a socket file left by a process that is gone is replaced, a live one gives
// kErrorSharingViolation. Paths too long for a socket address are reached through the
// directory's descriptor. Stop ends the thread promptly and removes the socket file; it is safe
// to call when not started and is called by the destructor.
class PacketEndpoint {
  public:
    explicit PacketEndpoint(PacketFilterDriver& driver);
    ~PacketEndpoint();
    PacketEndpoint(const PacketEndpoint&) = delete;
    PacketEndpoint& operator=(const PacketEndpoint&) = delete;

    // kErrorAlreadyExists when this endpoint is running already.
    Win32Error Start(const std::filesystem::path& root);
    void Stop();

    std::uint64_t MalformedDatagrams() const;

  private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

// The process-wide endpoint over ProcessPacketFilterDriver().
Win32Error StartPacketEndpoint(const std::filesystem::path& root);
void StopPacketEndpoint();

// The socket path of a root's packet endpoint.
inline std::filesystem::path PacketSocketPath(const std::filesystem::path& root) {
    return root / "driver" / "packets";
}

// Sends one packet to the endpoint of `root` and waits (at most `timeout`) for its verdict.
// kErrorFileNotFound when no endpoint listens there, kErrorTimeout when no answer came.
Win32Error SendTestPacket(const std::filesystem::path& root, PacketDirection direction,
                          std::uint32_t localAddr, std::span<const std::uint8_t> packet,
                          PFFORWARD_ACTION& verdict,
                          std::chrono::milliseconds timeout = std::chrono::seconds(5));

// Sends a datagram as it is (for tests of malformed ones) and returns the answer byte.
Win32Error SendRawDatagram(const std::filesystem::path& root,
                           std::span<const std::uint8_t> datagram, std::uint8_t& answer,
                           std::chrono::milliseconds timeout = std::chrono::seconds(5));

}  // namespace platform
