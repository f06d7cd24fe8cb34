#include "service/filter_service.h"

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>

#include "platform/computer.h"
#include "platform/pf.h"
#include "service/checkpoint.h"
#include "service/config_store.h"
#include "service/connection.h"
#include "service/deny_log.h"
#include "service/interfaces.h"
#include "service/service_log.h"
#include "service/service_state.h"
#include "shared/error_text.h"

namespace zantor::service {

namespace {

// The instance the listener waits on, so that a stop can end the wait.
std::mutex gListenMutex;
std::condition_variable gStopSignal;
platform::PipeServer* gListening = nullptr;

}  // namespace

std::unique_ptr<platform::PipeServer> WaitForClient() {
    std::unique_ptr<platform::PipeServer> pipe;
    // While a connection holds the only instance this fails with "pipe busy"; nothing to report.
    if (platform::CreateNamedPipeA(kPipeName, &pipe) != platform::kErrorSuccess) return nullptr;
    {
        std::lock_guard lock(gListenMutex);
        if (StopRequested) return nullptr;
        gListening = pipe.get();
    }
    platform::Win32Error r = pipe->ConnectNamedPipe();
    {
        std::lock_guard lock(gListenMutex);
        gListening = nullptr;
    }
    if (r != platform::kErrorSuccess) {
        if (!StopRequested)
            ServiceLog("Error [" + std::to_string(r) + "] in ConnectNamedPipe:" + LastErrorText());
        return nullptr;
    }
    return pipe;
}

namespace {

// A line that says why the service cannot filter as asked: an administrator reads it in the
// service log, or on the screen with "-run".
void DriverLine(const std::string& line) {
    ConsoleLine(line);
    ServiceLog(line);
}

}  // namespace

platform::Win32Error RunFilterService() {
    // Which backend decides real packets comes first: a kernel that was asked for and cannot be
    // had ends the start here, rather than leaving the host unfiltered behind a running service.
    platform::PfBackend backend = platform::PfBackend::kEngine;
    if (platform::Win32Error e =
            platform::PfStartDriver(platform::LocalComputerRoot(), DriverLine, &backend))
        return e;

    // The driver lives in this process: packets reach it once the service runs.
    if (platform::Win32Error e = platform::StartPacketEndpoint(platform::LocalComputerRoot()))
        ServiceLog("Error [" + std::to_string(e) + "] In packet driver socket (" + SysErrorText(e) +
                   ")");

    ServiceLog("Creating IP Address list ...");
    CreateIPList();

    ServiceLog("Activating log ...");
    ActivateDenyLog();

    // A damaged store is set aside before anything is read from it, so that filtering comes back
    // from the last good copy instead of silently from nothing.
    const bool storeSound = CheckStoredConfiguration();

    // A change still waiting for its confirmation when the service ended is undone before the
    // replay: the configuration kept before it is the one replayed.
    RollBackPendingCheckpoint();

    // The replay runs before the pipe exists, so no client sees a half-built list.
    ServiceLog("ProcessingRegistry ...");
    if (ProcessRegistry() && storeSound) SaveLastKnownGood();

    // The replayed configuration replaces, in one transaction, whatever rules the kernel still
    // holds from an earlier run, so the host is filtered throughout.
    std::string why;
    if (platform::Win32Error e = platform::PfWriteKernelRules(&why)) {
        DriverLine("Error [" + std::to_string(e) + "] while writing the kernel's rules (" + why +
                   "): " + SysErrorText(e));
        StopDenyLog();
        platform::StopPacketEndpoint();
        platform::PfStopDriver(false);
        return e;
    }

    StartCheckpointTimer();
    ServiceLog("Creating NamedPipe [qzw2kflt] ...");
    while (!StopRequested) {
        if (auto pipe = WaitForClient()) TFilterCommandsThread::Start(std::move(pipe));
        // The instance exists again only after this pause, so a client that comes within a
        // second of the previous one's end finds no pipe and tries again.
        std::unique_lock lock(gListenMutex);
        gStopSignal.wait_for(lock, std::chrono::seconds(1), [] { return StopRequested.load(); });
    }
    TFilterCommandsThread::EndActiveConnection();
    // A checkpoint still pending stays in the store: the next start rolls it back.
    StopCheckpointTimer();
    // Nothing changes the store any more: what it holds now is the configuration to come back to.
    if (storeSound) SaveLastKnownGood();
    // No packet arrives after the deny log's last batch.
    platform::StopPacketEndpoint();
    // An orderly stop takes the service's rules out of the kernel; a crash leaves them in force.
    // The kernel's last drops reach the filter log before the deny log's final batch is taken.
    if (platform::Win32Error e = platform::PfStopDriver(true, &why))
        DriverLine("Error [" + std::to_string(e) + "] while removing the kernel's rules (" + why +
                   "): " + SysErrorText(e));
    else if (backend == platform::PfBackend::kKernel)
        ServiceLog("The kernel's rules are removed.");
    StopDenyLog();
    return platform::kErrorSuccess;
}

void RequestServiceStop() {
    {
        std::lock_guard lock(gListenMutex);
        StopRequested = true;
        if (gListening) gListening->Cancel();
    }
    gStopSignal.notify_all();
    TFilterCommandsThread::EndActiveConnection();
}

}  // namespace zantor::service
