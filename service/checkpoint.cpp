#include "service/checkpoint.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <optional>
#include <thread>

#include "platform/registry.h"
#include "service/config_store.h"
#include "service/connection.h"
#include "service/handlers.h"
#include "service/interfaces.h"
#include "service/service_log.h"
#include "service/service_state.h"
#include "shared/address.h"
#include "shared/error_text.h"
#include "shared/text.h"

namespace zantor::service {

using platform::Win32Error;

std::mutex ConfigurationMutex;

namespace {

using Clock = std::chrono::steady_clock;

// The timer's state, under ConfigurationMutex.
std::condition_variable gTimerWake;
std::optional<Clock::time_point> gDeadline;  // while a checkpoint is pending
bool gTimerStop = false;
std::thread gTimer;
std::atomic<std::uint64_t> gRollBacks{0};

// Seconds of a pending checkpoint's store entry that a failed roll-back waits before it tries
// again.
constexpr std::chrono::seconds kRetry{5};

std::string CopyPath() {
    return std::string(kCheckpointKey) + "\\Parameters";
}

std::int64_t Now() {
    return static_cast<std::int64_t>(std::time(nullptr));
}

std::string TimeText(std::int64_t when) {
    return LogTimeText(static_cast<std::time_t>(when));
}

// Tells the service log, and standard output in console mode.
void Tell(const std::string& line) {
    ConsoleLine(line);
    ServiceLog(line);
}

// An open key below HKEY_LOCAL_MACHINE, closed when it goes.
struct MachineKey {
    platform::HKEY key = nullptr;
    ~MachineKey() {
        if (key) platform::RegCloseKey(key);
    }
};

// What the store says about the last checkpoint.
struct Stored {
    std::string state;  // "pending", "confirmed", "rolledback"; empty: none was ever kept
    std::int64_t when = 0, kept = 0;
    bool copy = false;  // the kept configuration is there
};

std::int64_t Seconds(const std::string& text) {
    try {
        return StrToNonNegative(text);
    } catch (const ConvertError&) {
        return 0;
    }
}

Stored ReadStored() {
    Stored s;
    MachineKey key;
    if (platform::RegOpenKeyExA(platform::HKEY_LOCAL_MACHINE, kCheckpointKey, &key.key)) return s;
    std::string text;
    if (!platform::RegQueryString(key.key, "State", &text)) s.state = text;
    if (!platform::RegQueryString(key.key, "When", &text)) s.when = Seconds(text);
    if (!platform::RegQueryString(key.key, "Kept", &text)) s.kept = Seconds(text);
    MachineKey copy;
    s.copy = platform::RegOpenKeyExA(platform::HKEY_LOCAL_MACHINE, CopyPath(), &copy.key) ==
             platform::kErrorSuccess;
    return s;
}

Win32Error WriteState(std::string_view state, std::int64_t when, std::int64_t kept) {
    MachineKey key;
    Win32Error e =
        platform::RegCreateKeyExA(platform::HKEY_LOCAL_MACHINE, kCheckpointKey, &key.key);
    if (!e) e = platform::RegSetString(key.key, "State", state);
    if (!e) e = platform::RegSetString(key.key, "When", std::to_string(when));
    if (!e) e = platform::RegSetString(key.key, "Kept", std::to_string(kept));
    return e;
}

// Runs `writes` as one group of the store: all of it lands, or nothing. A failure is told with
// what was being done.
template <class F>
Win32Error InOneGroup(const std::string& doing, F&& writes) {
    StoreTransaction tx;
    Win32Error e = tx.Begin_result();
    if (!e) e = writes();
    if (!e) e = tx.Commit();
    if (e) Tell("Error [" + std::to_string(e) + "] while " + doing + " (" + SysErrorText(e) + ")");
    return e;
}

// The kept configuration back in the store's Parameters key, and the checkpoint marked rolled
// back, in one group.
Win32Error RestoreInStore(const Stored& s, std::int64_t now) {
    return InOneGroup("putting the kept configuration back in the store", [&] {
        Win32Error e = DeleteStoredKey(kParametersKey);
        if (!e) e = CopyStoredKey(CopyPath(), kParametersKey);
        if (!e) e = DeleteStoredKey(CopyPath());
        if (!e) e = WriteState("rolledback", now, s.kept);
        return e;
    });
}

// The deadline has passed: the store, memory and the packet filter go back to the checkpoint, as
// a restore of that configuration would leave them. Under ConfigurationMutex.
void RollBackLocked() {
    const Stored s = ReadStored();
    if (!s.copy) return;  // confirmed meanwhile
    Tell("No confirmation came by " + TimeText(s.when) +
         ": rolling back to the configuration kept at " + TimeText(s.kept) + ".");
    const std::int64_t now = Now();
    if (RestoreInStore(s, now)) {
        // The configuration in force stays; the store keeps the checkpoint, so a start rolls it
        // back if the timer cannot.
        Tell("The roll-back is tried again in " + std::to_string(kRetry.count()) + " seconds.");
        gDeadline = Clock::now() + kRetry;
        return;
    }
    // A connection that was changing the configuration must not go on on top of the one put
    // back: it is ended, and one that waits for this lock ends without its command.
    ++gRollBacks;
    TFilterCommandsThread::CancelActiveConnection();
    for (RInterface& iface : InterfaceList) {
        const std::string addr = IPToStr(iface.Addr);
        if (iface.Active) StopFiltering(addr, false);
        DropFilters(addr, false);
    }
    ProcessRegistry();
    Tell("Rolled back at " + TimeText(now) + ": the configuration kept at " + TimeText(s.kept) +
         " is in force again, in the store and in the packet filter.");
}

void TimerLoop() {
    std::unique_lock lock(ConfigurationMutex);
    while (!gTimerStop) {
        if (!gDeadline) {
            gTimerWake.wait(lock);
            continue;
        }
        const Clock::time_point deadline = *gDeadline;
        if (Clock::now() < deadline) {
            gTimerWake.wait_until(lock, deadline);
            continue;
        }
        gDeadline.reset();
        RollBackLocked();
    }
}

}  // namespace

std::string Checkpoint(std::string_view args) {
    ProcessingLine("Processing Checkpoint(", args);
    const std::int32_t seconds = StrToNonNegative(GetWord(args, 1));
    if (seconds == 0 || seconds > kMaxCheckpointSeconds) return "-2";
    const Stored s = ReadStored();
    if (gDeadline || s.copy) return "-1";
    const std::int64_t now = Now(), deadline = now + seconds;
    if (Win32Error e = InOneGroup("keeping the configuration as a checkpoint", [&] {
            Win32Error w = DeleteStoredKey(CopyPath());
            if (!w) w = CopyStoredKey(kParametersKey, CopyPath());
            if (!w) w = WriteState("pending", deadline, now);
            return w;
        }))
        return std::to_string(e);
    gDeadline = Clock::now() + std::chrono::seconds(seconds);
    gTimerWake.notify_all();
    Tell("Checkpoint kept: unless a confirmation comes by " + TimeText(deadline) +
         ", the configuration as it is now is put back then.");
    return "0 " + std::to_string(deadline);
}

std::string ConfirmCheckpoint(std::string_view args) {
    ProcessingLine("Processing ConfirmCheckpoint(", args);
    const Stored s = ReadStored();
    if (!s.copy) return "-1";
    const std::int64_t now = Now();
    if (Win32Error e = InOneGroup("confirming the change", [&] {
            Win32Error w = DeleteStoredKey(CopyPath());
            if (!w) w = WriteState("confirmed", now, s.kept);
            return w;
        }))
        return std::to_string(e);
    gDeadline.reset();
    gTimerWake.notify_all();
    Tell("Confirmed: the configuration stays as it is; the one kept at " + TimeText(s.kept) +
         " is dropped.");
    return "0";
}

std::string CheckpointState(std::string_view args) {
    ProcessingLine("Processing CheckpointState(", args);
    const Stored s = ReadStored();
    if (s.copy) {
        const std::int64_t left = s.when > Now() ? s.when - Now() : 0;
        return "0 pending " + std::to_string(s.when) + " " + std::to_string(left);
    }
    if (s.state == "confirmed" || s.state == "rolledback")
        return "0 " + s.state + " " + std::to_string(s.when);
    return "0 none";
}

void RollBackPendingCheckpoint() {
    const Stored s = ReadStored();
    if (!s.copy) return;
    Tell("A change was waiting for its confirmation (due by " + TimeText(s.when) +
         ") when the service last ended: rolling back to the configuration kept at " +
         TimeText(s.kept) + ".");
    const std::int64_t now = Now();
    if (RestoreInStore(s, now)) {
        Tell("The roll-back is tried again once the service runs.");
        return;
    }
    Tell("Rolled back at " + TimeText(now) + ": the configuration kept at " + TimeText(s.kept) +
         " is in force again.");
}

void StartCheckpointTimer() {
    std::lock_guard lock(ConfigurationMutex);
    gTimerStop = false;
    // A roll-back at start that the store refused is tried again at once.
    if (ReadStored().copy) gDeadline = Clock::now();
    gTimer = std::thread(TimerLoop);
}

void StopCheckpointTimer() {
    {
        std::lock_guard lock(ConfigurationMutex);
        gTimerStop = true;
    }
    gTimerWake.notify_all();
    if (gTimer.joinable()) gTimer.join();
}

std::uint64_t RollBacks() {
    return gRollBacks;
}

}  // namespace zantor::service
