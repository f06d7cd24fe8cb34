// A test suite whose cases run in order on one fleet, booted once for the suite and torn down
// after its last case, which then checks that nothing of it was left on the machine. A machine
// that cannot boot hosts skips every case, saying why.
#pragma once

#include <gtest/gtest.h>

#include <string>

#include "tests/support/fleet.h"

namespace zantor::test {

template <int kHosts>
class FleetSuite : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        if (!Fleet::CanBoot(&skip_) || fleet_) return;
        fleet_ = new Fleet(kHosts);
    }
    static void TearDownTestSuite() {
        delete fleet_;
        fleet_ = nullptr;
        for (const std::string& left : Fleet::Leftovers()) ADD_FAILURE() << "left behind: " << left;
    }
    void SetUp() override {
        if (!skip_.empty()) GTEST_SKIP() << skip_;
        ASSERT_EQ(fleet_->error(), "") << fleet_->BootReport();
    }

    static Fleet& fleet() { return *fleet_; }
    // Host i, from 1.
    static FleetHost& host(int i) { return fleet_->host(static_cast<std::size_t>(i - 1)); }

  private:
    static inline std::string skip_;
    static inline Fleet* fleet_ = nullptr;
};

}  // namespace zantor::test
