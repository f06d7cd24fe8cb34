// zadmin's command line: the computers, the command and its arguments, checked as a whole before
// anything is sent, so that a typing error costs a usage line and touches no computer.
#pragma once

#include <chrono>
#include <optional>
#include <string>
#include <vector>

namespace zantor::console::cli {

// What add-filter puts into the filter editor; an option not given leaves its field as it is.
struct FilterOptions {
    std::optional<std::string> proto, src, srcMask, dst, dstMask, sport, dport;
    bool noSyn = false;
};

struct Request {
    std::vector<std::string> computers;  // as typed; "." when none was given
    // How long a connection waits while the service has no free instance of its pipe.
    std::chrono::milliseconds wait = std::chrono::seconds(5);
    // How long the service may take to take a connection, greet, and answer each line.
    std::chrono::milliseconds timeout = std::chrono::seconds(30);
    std::string command;
    std::vector<std::string> args;  // after the command; for send, the words of the line
    bool tsv = false;
    bool oem = false;
    FilterOptions filter;
};

// The parsed command line, or the reason it is wrong.
struct Parsed {
    std::optional<Request> request;
    bool help = false;
    std::string problem;
};

Parsed ParseCommandLine(const std::vector<std::string>& args);

// "{computer}" in a file name replaced by the computer's name, so that several computers can
// each have a file of their own.
std::string FileFor(const std::string& file, const std::string& computer);

}  // namespace zantor::console::cli
