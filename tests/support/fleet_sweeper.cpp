// fleet_sweeper ID DIR SIDE-NAMESPACE: started by every fleet. It watches the test process that
// made the fleet, and when that process has ended without removing it (the test was killed),
// removes the hosts, their processes and control groups, and the fleet's directory.
#include <cstdio>

#include "tests/support/fleet.h"

int main(int argc, char** argv) {
    if (argc != 4) {
        std::fprintf(stderr, "usage: fleet_sweeper ID DIR SIDE-NAMESPACE\n");
        return 2;
    }
    return zantor::test::Fleet::Watch(argv[1], argv[2], argv[3]);
}
