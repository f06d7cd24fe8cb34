// Not locking the administrator out: whether, after a change zadmin is about to send, the service
// would drop a new SSH connection into the address the administrator's own session came in
// through. The packet filter engine decides, as it decides real packets, on a model of that
// address as the change leaves it.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/computer.h"
#include "shared/address.h"
#include "shared/filter_model.h"

namespace zantor::console::cli {

// What the service holds for one address, as far as its input decisions go.
struct AddressFiltering {
    std::string address;
    bool filtering = false;
    bool inDrop = false;           // the input default action
    std::vector<FilterRecord> in;  // the input filters, in list order
    // Input filters the service keeps that could not be read: an address that does not filter
    // answers no "gif", though it keeps its filters for its next start.
    std::size_t unreadIn = 0;
    std::uint32_t globals = 0;  // bit n for global filter n, as the greeting sends the set
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

// The IPv4 address a session end names ("10.0.0.5", or "::ffff:10.0.0.5" from a socket that
// takes both families); nullopt for IPv6 or anything else.
std::optional<IPAddr> SessionIPv4(std::string_view text);

}  // namespace zantor::console::cli
