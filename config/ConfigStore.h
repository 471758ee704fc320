#pragma once

#include <cstdint>

#include "config/GlobalSettings.h"
#include "link/PortTable.h"  // PortFields: the six stored values of one port

// The persistent configuration: the four global values and one group "1".."200" per port
// slot, in QSettings(NativeFormat, UserScope, "Torvane", "HOLBRN"), that is
// $XDG_CONFIG_HOME/Torvane/HOLBRN.conf on Linux. Main thread only.
//
// Reading never fails: a value that is missing, unreadable or outside its read rule keeps
// what the caller put in the field. Writing is all or nothing: a file that cannot be read
// cleanly or cannot be written is left untouched.
class ConfigStore {
public:
    static constexpr int SlotCount = 200;

    // Reads SocketPort, Password, OnlyOnePort and VPortNo over the values in settings.
    void LoadSettings(GlobalSettings& settings) const;

    // Reads slot's group over the values in fields; the peer address gets socketPort as its
    // port. Returns whether the slot exists, that is whether the caller brings it into
    // service.
    bool LoadPortConfig(int slot, PortFields& fields, uint16_t socketPort) const;

    // Writes all six values of slot, creating the group as needed.
    void SavePortConfig(int slot, const PortFields& fields) const;

    // Removes slot's group; a missing group is not an error.
    void DeletePortConfig(int slot) const;

    // Writes SocketPort, OnlyOnePort, VPortNo and Password. False when nothing could be
    // written.
    bool SaveSettings(const GlobalSettings& settings) const;
};
