#pragma once

#include <optional>
#include <string>

#include "config/GlobalSettings.h"
#include "config/PortConfig.h"
#include "net/Reason.h"

// Everything one load of the configuration yields: the globals and each slot that exists.
struct StoredConfig {
    static constexpr int SlotCount = 200;
    GlobalSettings settings;
    std::optional<PortConfig> ports[SlotCount];
};

// The persistent configuration: the four global values and one group "1".."200" per port
// slot, in QSettings(NativeFormat, UserScope, "Torvane", "HOLBRN"), that is
// $XDG_CONFIG_HOME/Torvane/HOLBRN.conf on Linux. Main thread only.
//
// Loading reads the file once and never fails: a value that is missing, unreadable or outside
// its read rule keeps its default. Writing is all or nothing: a file that cannot be read
// cleanly or cannot be written is left untouched. Every failure is reported once through Log,
// naming the file and the reason.
class ConfigStore {
public:
    static constexpr int SlotCount = StoredConfig::SlotCount;

    // fileName: the settings file; by default the one of the user's configuration home.
    explicit ConfigStore(std::string fileName = DefaultFileName());

    StoredConfig Load() const;

    // Writes the port's six values to slot's group, creating it as needed, and FrameGap when it
    // is not the default (it is removed when it is).
    bool SavePortConfig(int slot, const PortConfig& port) const;
    // Removes slot's group; a missing group is not an error.
    bool DeletePortConfig(int slot) const;
    // Writes SocketPort, OnlyOnePort, VPortNo and Password.
    bool SaveSettings(const GlobalSettings& settings) const;

    const std::string& FileName() const { return fileName; }
    // What the last load or save reported, none when it went well: for a window to show.
    const Reason& LastFailure() const { return lastFailure; }
    // $XDG_CONFIG_HOME/Torvane/HOLBRN.conf, or ~/.config/Torvane/HOLBRN.conf.
    static std::string DefaultFileName();

private:
    bool CanWriteOver() const;
    void ReportSaveFailure() const;
    void Fail(const Reason& reason) const;

    std::string fileName;
    mutable Reason lastFailure;
};
