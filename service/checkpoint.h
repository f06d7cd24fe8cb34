// A change that undoes itself unless it is confirmed.
//
// "ckp SECONDS" keeps the whole stored configuration as it is now (everything below the
// Parameters key) as a checkpoint, durably, with a deadline SECONDS from now. "cfm" confirms:
// the checkpoint is dropped and the configuration stays as it is. When the deadline passes first,
// the service itself puts the checkpoint back: in the store, and in memory and the packet filter
// as a restore of that configuration would (every address stopped and its filters dropped, then
// what the store holds replayed), and the service log says so. A service that starts while a
// checkpoint is pending (it crashed, was killed or the computer rebooted inside the window) puts
// it back before it replays the store, so before it serves the pipe.
//
// The store holds it in the key Checkpoint beside Parameters (kCheckpointKey below
// HKEY_LOCAL_MACHINE): the copy under its subkey Parameters (there only while it is pending), and
// the values "State" ("pending", "confirmed" or "rolledback"), "When" (the deadline while pending,
// else when it was confirmed or rolled back) and "Kept" (when it was kept), as REG_SZ seconds
// since 1970 (UTC), so that a restarted service and a console can tell what became of it.
//
// These commands are the "confirm" extension of the control protocol; the greeting names it.
#pragma once

#include <cstdint>
#include <ctime>
#include <mutex>
#include <string>
#include <string_view>

namespace zantor::service {

inline constexpr std::string_view kCheckpointKey =
    "\\SYSTEM\\CurrentControlSet\\Services\\ZantorSvc\\Checkpoint";

// The longest window a checkpoint may have: a week.
inline constexpr std::int32_t kMaxCheckpointSeconds = 7 * 24 * 3600;

// The lock under which InterfaceList and the store change once the service serves the pipe: the
// control connection holds it for each command, the checkpoint's timer for a roll-back, so that a
// roll-back never meets a command half done.
extern std::mutex ConfigurationMutex;

// "ckp SECONDS": "0 DEADLINE" (seconds since 1970, UTC); "-1" a checkpoint is pending already
// (confirm it, or let it roll back, first); "-2" SECONDS is 0 or more than
// kMaxCheckpointSeconds; the store's error number when it could not be kept. Throws ConvertError
// for a SECONDS that is no number. Runs under ConfigurationMutex.
std::string Checkpoint(std::string_view args);

// "cfm": "0", the change stays; "-1" nothing is pending; the store's error number.
std::string ConfirmCheckpoint(std::string_view args);

// "ckq": "0 pending DEADLINE SECONDSLEFT", "0 confirmed WHEN", "0 rolledback WHEN" or "0 none".
std::string CheckpointState(std::string_view args);

// At start, after the store was checked and before it is replayed: a checkpoint left pending is
// put back in the store, and the service log says so. Before any thread of the service runs.
void RollBackPendingCheckpoint();

// The timer that rolls back a checkpoint whose deadline passed; runs while the service serves
// the pipe.
void StartCheckpointTimer();
void StopCheckpointTimer();

// How many roll-backs this process has made: a connection that began before one ends instead of
// going on with the configuration it was changing.
std::uint64_t RollBacks();

}  // namespace zantor::service
