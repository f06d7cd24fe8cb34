// Not locking the administrator out: whether, after a change zadmin is about to send, the service
// would drop a new SSH connection into the address the administrator's own session came in
// through. The packet filter engine decides, as it decides real packets, on a model of that
// address as the change leaves it.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "platform/computer.h"
#include "platform/pf.h"
#include "shared/address.h"
#include "shared/filter_model.h"

namespace zantor::console::cli {

// What the service holds for one address, as far as its decisions go. The lockout guard looks at
// input alone and leaves the output side empty.
struct AddressFiltering {
    std::string address;
    bool filtering = false;
    bool inDrop = false;           // the input default action
    std::vector<FilterRecord> in;  // the input filters, in list order
    // Input filters the service keeps that could not be read: an address that does not filter
    // answers no "gif", though it keeps its filters for its next start.
    std::size_t unreadIn = 0;
    std::uint32_t globals = 0;      // bit n for global filter n, as the greeting sends the set
    bool outDrop = false;           // the output default action
    std::vector<FilterRecord> out;  // the output filters, in list order
};

// The filtering of one address in a packet filter engine of our own, the one the service's own
// driver is: the address as `state` has it, decided as the service would decide it. Nothing is
// logged and nothing runs beside it.
class AddressEngine {
  public:
    explicit AddressEngine(const AddressFiltering& state);
    AddressEngine(const AddressEngine&) = delete;
    AddressEngine& operator=(const AddressEngine&) = delete;

    // The address, when it is one.
    std::optional<IPAddr> bound() const { return bound_; }
    // Whether the engine filters it (the state filters, and the engine took its interface).
    bool filtering() const { return filtering_; }

    // The engine's action on `packet`, received on (input) or sent from (output) `local`.
    platform::PFFORWARD_ACTION Decide(platform::PacketDirection direction, IPAddr local,
                                      std::span<const std::uint8_t> packet);

    // What dropped a packet, as the engine's counts tell it.
    struct Drop {
        enum class By { kNothing, kFilter, kDefault, kFragments, kStrongHost, kUnknown };
        By by = By::kNothing;
        int direction = 0;    // 0 input, 1 output
        std::size_t row = 0;  // kFilter: the filter's row in its list
    };
    // Decides `packet` as Decide does and says what dropped it (kNothing: it passed).
    Drop Explain(platform::PacketDirection direction, IPAddr local,
                 std::span<const std::uint8_t> packet);

  private:
    platform::PacketFilterDriver driver_;
    // For each filter the engine took, in the engine's order (input first): its row in its list.
    std::vector<std::size_t> rows_[2];
    std::optional<IPAddr> bound_;
    platform::INTERFACE_HANDLE handle_ = 0;
    bool filtering_ = false;
};

// `state` once the service has handled `line`, a command line as the console sends it ("staf",
// "stof", "df", "sif", "rif", "sig", "rig"). Lines for other addresses, lines that only read,
// and lines the service refuses leave it as it is.
void ApplyLine(AddressFiltering& state, std::string_view line);

enum class SshVerdict {
    kLetIn,
    kDropped,
    // Dropped unless one of the filters that could not be read says otherwise.
    kMayBeDropped,
};

// Whether a new TCP connection from end.clientAddress to end.address, port end.port, passes the
// input filtering of `state`. A session over IPv6, or into another address, is never touched by
// the filtering of an IPv4 address.
SshVerdict NewSshConnection(const platform::SshSessionEnd& end, const AddressFiltering& state);

// Where zadmin cannot tell the way its session came in, every way it may have come: a new SSH
// connection into `before.address` on one of `ports`, from `client` (the login records may name
// it) or from any client, that `before` lets in and `after` drops, or may drop. nullopt when
// there is none. Any client: one client from each group of clients that the filters' source
// addresses tell apart is tried; filters too many to tell apart so count as dropping one, whose
// client address is then empty.
std::optional<platform::SshSessionEnd> NewlyDroppedSshConnection(const AddressFiltering& before,
                                                                 const AddressFiltering& after,
                                                                 const std::vector<int>& ports,
                                                                 std::optional<IPAddr> client);

// One client address from each group of clients that the source addresses and masks of
// `filters` tell apart (each group of clients matches the same filters by source); nullopt where
// the groups are more than `limit`.
std::optional<std::vector<IPAddr>> ClientsToTry(const std::vector<FilterRecord>& filters,
                                                std::size_t limit = 4096);

// The IPv4 address a session end names ("10.0.0.5", or "::ffff:10.0.0.5" from a socket that
// takes both families); nullopt for IPv6 or anything else.
std::optional<IPAddr> SessionIPv4(std::string_view text);

}  // namespace zantor::console::cli
