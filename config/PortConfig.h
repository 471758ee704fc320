#pragma once

#include <string>

// The six stored values of one port slot, with their defaults.
struct PortConfig {
    int PortNumber = 0;
    int UseFixedIP = 0;
    int UseTcp = 0;
    int LoginInterval = 300;  // seconds, 10 to 100000 once loaded
    std::string Code;         // at most 11 bytes once loaded
    std::string PeerIP;       // dotted address text, "" when none is stored
};
