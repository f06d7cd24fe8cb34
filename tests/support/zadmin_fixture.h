// zadmin against the real service of the local computer, for the tests of zadmin.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

#include "tests/support/service_process.h"
#include "tests/support/zadmin_run.h"

namespace zantor::test {

// The local computer with its addresses 10.0.0.5, 192.168.1.20 and 127.0.0.1, and its service.
class ZadminWithService : public ::testing::Test {
  protected:
    using Lines = std::vector<std::string>;

    Computer pc;
    ServiceProcess svc{pc};
    World world{pc.root(), pc.root() / "network"};

    void SetUp() override {
        ASSERT_TRUE(
            Eventually([&] { return std::filesystem::exists(pc.root() / "pipe" / "qzw2kflt"); }));
    }
    ZadminRun zadmin(std::vector<std::string> args) { return Zadmin(world, args, pc.root()); }
    std::size_t Sent() { return svc.ReceivedCommands().size(); }
    Lines SentSince(std::size_t skip) {
        const Lines all = svc.ReceivedCommands();
        return {all.begin() + static_cast<long>(std::min(skip, all.size())), all.end()};
    }
};

}  // namespace zantor::test
