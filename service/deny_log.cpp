#include "service/deny_log.h"

#include <atomic>
#include <cstdint>
#include <cstring>
#include <memory>
#include <thread>

#include "platform/event.h"
#include "platform/pf.h"
#include "service/service_log.h"
#include "service/service_state.h"
#include "shared/error_text.h"
#include "shared/filter_model.h"

namespace zantor::service {

namespace {

// The driver is lent one half of a static area while the thread writes out the other.
constexpr std::size_t kAreaSize = 3072;
constexpr std::size_t kHalf = kAreaSize / 2;
constexpr platform::DWORD kLentSize = 1280;             // fits a half after aligning to 8
constexpr platform::DWORD kByteThreshold = 0xFFFF1BA0;  // never reached: the entries decide
constexpr platform::DWORD kEntryThreshold = 300;

std::uint8_t gArea[kAreaSize];

std::uint8_t* Align8(std::uint8_t* p) {
    auto at = reinterpret_cast<std::uintptr_t>(p);
    return p + ((8 - at % 8) % 8);
}

platform::Event LogEvent;
std::uint8_t* LogBufferA = nullptr;
std::uint8_t* LogBufferB = nullptr;
std::uint8_t* CurrentLogBuffer = nullptr;

class TLogThread {
  public:
    explicit TLogThread(std::string fileName) : FileName(std::move(fileName)) {
        thread_ = std::thread([this] { Execute(); });
    }
    ~TLogThread() {
        terminated_ = true;
        LogEvent.Set();
        thread_.join();
    }

  private:
    void Execute() {
        for (;;) {
            LogEvent.Wait();
            LogEvent.Reset();
            // A stopping service takes what the driver holds, so that the denials of its last
            // second reach the file too.
            const bool last = terminated_;
            if (!WriteBatch(last)) return;
            if (last) return;
        }
    }

    // Lends the driver the other buffer and writes out the one it gives back. False when the
    // driver refused the exchange. The last batch of a stop is told only when it holds anything.
    bool WriteBatch(bool last) {
        std::uint8_t* filled = CurrentLogBuffer;
        CurrentLogBuffer = CurrentLogBuffer == LogBufferA ? LogBufferB : LogBufferA;
        platform::DWORD logged = 0, lost = 0, sizeUsed = 0;
        platform::DWORD r = platform::PfSetLogBuffer(CurrentLogBuffer, kLentSize, kByteThreshold,
                                                     kEntryThreshold, &logged, &lost, &sizeUsed);
        if (r != 0) {
            ServiceLog("Error !!!! " + std::to_string(r) + " (" + SysErrorText(r) +
                       ") in PfSetLogBuffer(Thread).");
            return false;
        }
        if (last && logged == 0 && lost == 0) return true;
        ServiceLog("Writing deny log (LoggedEntries: " + std::to_string(logged) +
                   ", LostEntries: " + std::to_string(lost) +
                   ", SizeUsed: " + std::to_string(sizeUsed) + " ...)");
        WriteFrames(filled, logged, sizeUsed);
        ConsoleLine("Log written.");
        return true;
    }

    // Frames lie one after another from the buffer's start; each gives its own size. A frame
    // that would reach past what the driver said it used is not read.
    void WriteFrames(const std::uint8_t* buffer, platform::DWORD logged, platform::DWORD sizeUsed) {
        const std::size_t end = std::min<std::size_t>(sizeUsed, kLentSize);
        std::size_t at = 0;
        for (platform::DWORD i = 0; i < logged; ++i) {
            if (at + platform::kPfLogFrameHeaderSize > end) break;
            const auto* frame = reinterpret_cast<const platform::PFLOGFRAME*>(buffer + at);
            if (frame->dwTotalSizeUsed < platform::kPfLogFrameHeaderSize ||
                at + frame->dwTotalSizeUsed > end)
                break;
            AppendLogLine(FileName, LogFrameToStr(*frame));
            at += frame->dwTotalSizeUsed;
        }
    }

    const std::string FileName;
    std::atomic<bool> terminated_{false};
    std::thread thread_;
};

std::unique_ptr<TLogThread> gLogThread;

}  // namespace

void ActivateDenyLog() {
    platform::DWORD r = platform::PfMakeLog(&LogEvent);
    if (r != 0) {
        ServiceLog("Error " + std::to_string(r) + " (" + SysErrorText(r) + ") in PfMakeLog.");
        return;
    }
    LogBufferA = Align8(gArea);
    LogBufferB = Align8(gArea + kHalf);
    CurrentLogBuffer = LogBufferA;
    platform::DWORD logged = 0, lost = 0, sizeUsed = 0;
    r = platform::PfSetLogBuffer(CurrentLogBuffer, kLentSize, kByteThreshold, kEntryThreshold,
                                 &logged, &lost, &sizeUsed);
    if (r != 0) {
        ServiceLog("Error " + std::to_string(r) + " (" + SysErrorText(r) + ") in PfSetLogBuffer.");
        return;
    }
    gLogThread = std::make_unique<TLogThread>(std::string(kDenyLogName));
}

void StopDenyLog() {
    gLogThread.reset();
    platform::PfDeleteLog();
}

}  // namespace zantor::service
