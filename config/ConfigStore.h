#pragma once

#include <cstdint>

#include "config/GlobalSettings.h"
#include "link/VirtualPortEntry.h"

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

    // Reads slot's group over the record's six configuration fields; the peer address gets
    // socketPort as its port. Returns whether the slot exists, that is whether the caller
    // brings the record into service.
    bool LoadPortConfig(int slot, VirtualPortEntry& entry, uint16_t socketPort) const;

    // Writes the record's six configuration values to slot's group, creating it as needed.
    void SavePortConfig(int slot, const VirtualPortEntry& entry) const;

    // Removes slot's group; a missing group is not an error.
    void DeletePortConfig(int slot) const;

    // Writes SocketPort, OnlyOnePort, VPortNo and Password. False when nothing could be
    // written.
    bool SaveSettings(const GlobalSettings& settings) const;
};
