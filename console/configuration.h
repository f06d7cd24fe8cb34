// A configuration file as a restore reads it: what it asks for at each address, read and checked
// whole before anything is sent.
#pragma once

#include <string>
#include <vector>

namespace zantor::console {

// What a file asks for at one address: everything a restore sends for it.
struct AddressPlan {
    bool filtering = false;  // Filtering=Off: nothing is sent for this address
    std::string address;
    int in = 0, out = 0;                  // the default actions, 1 for drop
    std::string global;                   // the GlobalFilter text
    std::vector<std::string> filters[2];  // input, output: the values to send, "0" placeholders
                                          // left out
};

// The file's sections in order; false, with the message a restore shows in `problem`, for a file
// that cannot be read, is no configuration, or declares a section, key or value that a restore
// could not send. A restore that stopped at such a place would leave the computer cleared and
// half restored.
bool ReadConfigurationPlan(const std::string& fileName, std::vector<AddressPlan>& plan,
                           std::string& problem);

}  // namespace zantor::console
