// zadmin's command line: the computers, the command and its arguments, checked as a whole before
// anything is sent, so that a typing error costs a usage line and touches no computer.
#pragma once

#include <chrono>
#include <cstddef>
#include <optional>
#include <string>
#include <vector>

namespace zantor::console::cli {

// What add-filter puts into the filter editor; an option not given leaves its field as it is.
struct FilterOptions {
    std::optional<std::string> proto, src, srcMask, dst, dstMask, sport, dport;
    bool noSyn = false;
};

// How many computers zadmin works on at once, unless --parallel says otherwise, and the most
// it may say.
inline constexpr int kDefaultParallel = 8;
inline constexpr int kMaxParallel = 256;

// The longest confirmation window zadmin asks for: a day.
inline constexpr int kMaxConfirmSeconds = 86400;

// The longest interval of stats --watch: an hour.
inline constexpr int kMaxWatchSeconds = 3600;

// A computers file larger than this is no list of computers.
inline constexpr std::size_t kMaxComputersFileBytes = 1u << 20;

struct Request {
    // As typed, from --computer and --computers in the order given, each computer once; "." when
    // none was given.
    std::vector<std::string> computers;
    // How many computers are worked on at once: 1 is one after the other.
    int parallel = kDefaultParallel;
    // A change that would drop new SSH connections into the administrator's own session is sent
    // without asking.
    bool yes = false;
    // Hosts reached over SSH whose key is not known yet are accepted, and their keys recorded.
    bool acceptNewHostKeys = false;
    // How long a connection waits while the service has no free instance of its pipe.
    std::chrono::milliseconds wait = std::chrono::seconds(5);
    // How long the service may take to take a connection, greet, and answer each line.
    std::chrono::milliseconds timeout = std::chrono::seconds(30);
    std::string command;
    std::vector<std::string> args;  // after the command; for send, the words of the line
    bool tsv = false;
    bool oem = false;
    // plan, apply and show: one JSON document per computer.
    bool json = false;
    // apply and restore: the service puts back the configuration it had unless zadmin confirms
    // the change over a new connection within this many seconds; 0: no confirmation asked.
    int confirmSeconds = 0;
    // apply with --confirm: the change is left waiting for a confirmation that a new session
    // sends (zadmin confirm), as a fleet tool that comes back over a connection of its own does.
    bool unconfirmed = false;
    // stats: read the counts again every this many seconds, until interrupted; 0: once.
    int watchSeconds = 0;
    // log deny: each entry followed by what drops such a packet now.
    bool explain = false;
    FilterOptions filter;
};

// The parsed command line, or the reason it is wrong.
struct Parsed {
    std::optional<Request> request;
    bool help = false;
    std::string problem;
};

Parsed ParseCommandLine(const std::vector<std::string>& args);

// The computer names of a computers file, appended to `names` in the order of their lines: one
// name a line, '#' starts a comment, blanks around a name and blank lines do not count. False,
// with what is wrong in `problem`, for a file that cannot be read (its error number and text), a
// line with more than one name, or a file that names no computer.
bool ReadComputersFile(const std::string& file, std::vector<std::string>& names,
                       std::string& problem);

// "{computer}" in a file name replaced by the computer's name, so that several computers can
// each have a file of their own.
std::string FileFor(const std::string& file, const std::string& computer);

}  // namespace zantor::console::cli
