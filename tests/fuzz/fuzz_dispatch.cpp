// The command dispatch of a service with three fresh addresses and the driver in this process:
// any command lines, as a client may send them, get their reply or end the connection, and never
// crash or leak. Each input starts from addresses that filter nothing; the store stays between
// inputs, as it does between connections.
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <string>
#include <string_view>

#include "platform/linux/reg_hive.h"
#include "platform/pf.h"
#include "service/connection.h"
#include "service/interfaces.h"
#include "shared/address.h"

namespace {

using namespace zantor;

void FreshAddresses() {
    for (service::RInterface& iface : service::InterfaceList)
        if (iface.Active) platform::PfDeleteInterface(iface.PfHandle);
    service::InterfaceList.clear();
    const IPAddr addrs[] = {MakeIP(10, 0, 0, 5), MakeIP(192, 168, 1, 20), MakeIP(127, 0, 0, 1)};
    std::uint32_t index = 2;
    for (IPAddr a : addrs) {
        service::RInterface iface;
        iface.Addr = a;
        iface.Mask = MakeIP(255, 255, 255, 0);
        iface.IfIndex = index++;
        service::InterfaceList.push_back(iface);
    }
}

bool Init() {
    // A computer of its own in memory where there is such a place: the store is written on every
    // change. The logs go to its system directory, so the corpus and artifacts are named by
    // absolute paths (scripts/fuzz.sh).
    std::filesystem::path base = std::filesystem::exists("/dev/shm")
                                     ? std::filesystem::path("/dev/shm")
                                     : std::filesystem::temp_directory_path();
    std::string root = (base / "zantor-fuzz-XXXXXX").string();
    if (!::mkdtemp(root.data())) std::abort();
    std::filesystem::create_directories(std::filesystem::path(root) / "system32");
    ::setenv("ZANTOR_ROOT", root.c_str(), 1);
    if (::chdir((std::filesystem::path(root) / "system32").c_str()) != 0) std::abort();
    platform::detail::SetCommitsReachDisk(false);
    static std::string made = root;
    std::atexit([] {
        std::error_code ec;
        std::filesystem::remove_all(made, ec);
    });
    return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static bool ready = Init();
    (void)ready;
    static int runs = 0;
    if (++runs % 5000 == 0) std::remove("ZantorSvc.Log");  // keep the log from growing for ever
    FreshAddresses();
    std::string_view text(reinterpret_cast<const char*>(data), size);
    for (int lines = 0; lines < 32 && !text.empty(); ++lines) {
        const std::size_t end = text.find('\n');
        std::string line(text.substr(0, end));
        text = end == std::string_view::npos ? std::string_view() : text.substr(end + 1);
        if (!line.empty() && line.back() == '\r') line.pop_back();
        try {
            (void)service::DispatchCommand(line);
        } catch (const std::exception&) {
            break;  // the connection would end here without a reply
        }
    }
    return 0;
}
