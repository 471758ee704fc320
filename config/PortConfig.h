#pragma once

#include <string>

// The stored values of one port slot, with their defaults.
struct PortConfig {
    static constexpr int DefaultFrameGap = 10;
    static constexpr int MaxFrameGap = 1000;

    int PortNumber = 0;
    int UseFixedIP = 0;
    int UseTcp = 0;
    int LoginInterval = 300;  // seconds, 10 to 100000 once loaded
    std::string Code;         // at most 11 bytes once loaded
    std::string PeerIP;       // dotted address text, "" when none is stored
    // Milliseconds the count of bytes an application wrote must stay unchanged before they
    // leave as one chunk; 0 sends them as soon as they are seen. 0 to MaxFrameGap.
    int FrameGap = DefaultFrameGap;
};
