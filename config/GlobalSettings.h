#pragma once

#include <cstdint>
#include <string>

// The four global configuration values, with their defaults.
struct GlobalSettings {
    uint16_t SocketPort = 3700;  // port of every DTU address built from the configuration
    std::string Password;        // stored and edited, used by nothing else
    int OnlyOnePort = 0;         // shared-port mode
    int VPortNo = 5;             // COM number of the shared port
    // The address the ports' network servers listen on; loopback unless the user says so.
    std::string NetAddress = DefaultNetAddress;
    static constexpr const char* DefaultNetAddress = "127.0.0.1";
};
