// The deny log, "IPDenyLog.Log": one line for every packet the service's filtering denied, copied
// from the driver's filter log by TLogThread.
#pragma once

#include <string>
#include <string_view>

namespace zantor::service {

inline constexpr std::string_view kDenyLogName = "IPDenyLog.Log";

// Starts the filter log with two buffers and the thread that writes them out. Failures are
// logged; the service then runs without a deny log.
void ActivateDenyLog();

// Ends the deny-log thread (service stop), writing out first what the driver holds. The driver
// keeps no buffer of ours afterwards.
void StopDenyLog();

}  // namespace zantor::service
