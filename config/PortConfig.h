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
    // The TCP port network clients reach the port on (at the global NetAddress); 0: none.
    int NetPort = 0;
    // How they speak: "rfc2217" (Telnet with COM-PORT-OPTION) or "raw" (the bytes as they are).
    std::string NetMode = DefaultNetMode;
    static constexpr const char* DefaultNetMode = "rfc2217";
    static constexpr int MaxNetPort = 65535;
};
