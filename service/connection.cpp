#include "service/connection.h"

#include <condition_variable>
#include <exception>
#include <mutex>
#include <thread>
#include <vector>

#include "service/checkpoint.h"
#include "service/handlers.h"
#include "service/interfaces.h"
#include "service/service_log.h"
#include "service/service_state.h"
#include "shared/commands.h"
#include "shared/error_text.h"
#include "shared/pipe_lines.h"
#include "shared/text.h"

namespace zantor::service {

namespace {

// The one open connection, so that a stopping service can end it.
std::mutex gActiveMutex;
std::condition_variable gActiveEnded;
platform::Pipe* gActivePipe = nullptr;

}  // namespace

namespace {

// "0 " + r for r >= 0 (the global filter commands).
std::string ValueOrCode(std::int64_t r) {
    return r >= 0 ? "0 " + std::to_string(r) : std::to_string(r);
}

// "0 " + r for r > 0, r alone otherwise (the filter commands, whose success may be 0).
std::string HandleOrCode(std::int64_t r) {
    return r > 0 ? "0 " + std::to_string(r) : std::to_string(r);
}

}  // namespace

std::optional<std::string> DispatchCommand(std::string_view line) {
    const std::string_view code = GetWord(line, 1);
    const std::string args = GetWords(line, 2, -1);
    constexpr bool kPersist = true;
    switch (FindCommand(code)) {
        case kGetInterfaceGlobalFilter:
            return ValueOrCode(GetInterfaceGlobalFilter(args));
        case kSetInterfaceGlobalFilter:
            return ValueOrCode(SetInterfaceGlobalFilter(args, kPersist));
        case kRemInterfaceGlobalFilter:
            return ValueOrCode(RemInterfaceGlobalFilter(args));
        case kGetInterfaceFilter: {
            std::string text = GetInterfaceFilter(args);
            return WordsCount(text) > 3 ? "0 " + text : text;
        }
        case kSetInterfaceFilter:
            return HandleOrCode(SetInterfaceFilter(args, kPersist));
        case kRemInterfaceFilter:
            return HandleOrCode(RemInterfaceFilter(args, kPersist));
        case kStartFiltering:
            return std::to_string(StartFiltering(args, kPersist));
        case kStopFiltering:
            return std::to_string(StopFiltering(args, kPersist));
        case kChangeActions:
            // Known to the table but never acted on; the client gets no reply.
            return std::nullopt;
        case kDropFilters:
            return std::to_string(DropFilters(GetWord(line, 2), kPersist));
        case kReadLog:
            return std::string("0 ");
        case kCheckpoint:
            return Checkpoint(args);
        case kConfirmCheckpoint:
            return ConfirmCheckpoint(args);
        case kCheckpointState:
            return CheckpointState(args);
        case kGetInterfaceStatistics:
            return GetInterfaceStatistics(args);
        case kGetFilterStatistics:
            return GetFilterStatistics(args);
        case kGetInterfaceFilters:
            return GetInterfaceFilters(args);
        default:
            ServiceLog("Command [" + std::string(code) + "] Unknown.");
            return std::nullopt;
    }
}

TFilterCommandsThread::TFilterCommandsThread(std::unique_ptr<platform::PipeServer> pipe)
    : Pipe(std::move(pipe)) {
    ConsoleLine("Command Thread Created.");
}

TFilterCommandsThread::~TFilterCommandsThread() {
    Pipe.reset();
    ConsoleLine("Command Thread Destroyed.");
}

void TFilterCommandsThread::Start(std::unique_ptr<platform::PipeServer> pipe) {
    auto* self = new TFilterCommandsThread(std::move(pipe));
    {
        std::lock_guard lock(gActiveMutex);
        gActivePipe = self->Pipe.get();
    }
    std::thread([self] {
        self->Execute();
        {
            std::lock_guard lock(gActiveMutex);
            gActivePipe = nullptr;
            delete self;
        }
        gActiveEnded.notify_all();
    }).detach();
}

void TFilterCommandsThread::CancelActiveConnection() {
    std::lock_guard lock(gActiveMutex);
    if (gActivePipe) gActivePipe->Cancel();
}

void TFilterCommandsThread::EndActiveConnection() {
    std::unique_lock lock(gActiveMutex);
    if (gActivePipe) gActivePipe->Cancel();
    gActiveEnded.wait(lock, [] { return gActivePipe == nullptr; });
}

void TFilterCommandsThread::Execute() {
    // A roll-back puts back a configuration this connection did not see: the connection ends
    // rather than go on changing it.
    const std::uint64_t rollBacks = RollBacks();
    std::vector<std::string> greeting;
    {
        std::lock_guard lock(ConfigurationMutex);
        for (const RInterface& iface : InterfaceList) greeting.push_back(GreetingLine(iface));
    }
    greeting.push_back(GreetingEndLine());
    for (const std::string& line : greeting) WriteLnToPipe(*Pipe, kCrLf, line);

    std::string carry, line;
    try {
        for (;;) {
            if (StopRequested) return;
            ReadLnPipe(*Pipe, kCrLf, carry, line);
            if (line == kEndOfConnection) break;
            ConsoleLine("Processing Command [" + line + "]");
            std::optional<std::string> reply;
            {
                std::lock_guard lock(ConfigurationMutex);
                if (RollBacks() != rollBacks) {
                    ConsoleLine("Control Connection ended: the configuration was rolled back.");
                    return;
                }
                reply = DispatchCommand(line);
            }
            if (reply) WriteLnToPipe(*Pipe, kCrLf, *reply);
        }
    } catch (const std::exception&) {
        // Arguments that do not convert, or a line too long for the reader: the connection ends
        // without a reply, and what the handler changed before stays in force.
        return;
    }
    ConsoleLine("Control Connection terminated. (" + LastErrorText() + ")");
}

}  // namespace zantor::service
