// The process port's shared half: the console control handler and the origin of its event.
#include <atomic>

#include "platform/process_shared.h"

namespace platform {

namespace {

std::atomic<PHANDLER_ROUTINE> gCtrlHandler{nullptr};
// Set once, before the handler runs; never freed, because the handler may still ask for it while
// the process ends.
std::atomic<const ConsoleCtrlOrigin*> gCtrlOrigin{nullptr};

}  // namespace

Win32Error ClaimConsoleCtrlHandler(PHANDLER_ROUTINE handler) {
    if (!handler) return Fail(kErrorInvalidParameter);
    PHANDLER_ROUTINE none = nullptr;
    if (!gCtrlHandler.compare_exchange_strong(none, handler)) return Fail(kErrorAlreadyExists);
    return kErrorSuccess;
}

void ReleaseConsoleCtrlHandler() {
    gCtrlHandler = nullptr;
}

void RunConsoleCtrlHandler(const ConsoleCtrlOrigin& origin) {
    const auto* kept = new ConsoleCtrlOrigin(origin);
    gCtrlOrigin = kept;
    gCtrlHandler.load()(kept->ctrlType);
}

Win32Error GetConsoleCtrlOrigin(ConsoleCtrlOrigin* origin) {
    if (!origin) return Fail(kErrorInvalidParameter);
    const ConsoleCtrlOrigin* known = gCtrlOrigin;
    if (!known) return Fail(kErrorNotFound);
    *origin = *known;
    return kErrorSuccess;
}

}  // namespace platform
