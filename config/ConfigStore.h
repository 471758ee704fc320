#pragma once

#include <functional>
#include <optional>
#include <string>
#include <sys/types.h>

#include "config/ConfigFile.h"
#include "config/GlobalSettings.h"
#include "config/PortConfig.h"
#include "net/Reason.h"

class SettingsFile;

// Everything one load of the configuration yields: the globals and each slot that exists.
struct StoredConfig {
    static constexpr int SlotCount = 200;
    GlobalSettings settings;
    std::optional<PortConfig> ports[SlotCount];
};

// The persistent configuration: the four global values and one group "1".."200" per port
// slot, in the INI file QSettings(NativeFormat, UserScope, "Torvane", "HOLBRN") reads, that is
// $XDG_CONFIG_HOME/Torvane/HOLBRN.conf on Linux. Main thread only.
//
// Loading reads the file once, changes nothing and never fails: a value that is missing,
// unreadable or outside its read rule keeps its default. A save is all or nothing: it rewrites
// only the lines of what it changes (the user's comments and other lines stay as they are)
// and replaces the file atomically, or leaves the file untouched and says why. A file that
// cannot be read whole and cleanly is never written over. Every failure is reported through
// Log, naming the file and the reason.
class ConfigStore {
public:
    static constexpr int SlotCount = StoredConfig::SlotCount;

    // fileName: the settings file; by default the one of the user's configuration home.
    explicit ConfigStore(std::string fileName = DefaultFileName());

    StoredConfig Load() const;

    // Each save returns why the file could not keep the change, none when it did.
    // Writes the port's six values to slot's group, creating it as needed, and FrameGap when it
    // is not the default (it is removed when it is).
    Reason SavePortConfig(int slot, const PortConfig& port) const;
    // Writes a new port into the first slot that isFree and whose group the file does not hold
    // (a group written by hand and not reloaded yet is the user's); *slot is -1 when none is.
    Reason SaveNewPortConfig(const std::function<bool(int slot)>& isFree, const PortConfig& port, int* slot) const;
    // Removes slot's group; a missing group is not an error.
    Reason DeletePortConfig(int slot) const;
    // Writes SocketPort, OnlyOnePort, VPortNo and Password.
    Reason SaveSettings(const GlobalSettings& settings) const;

    const std::string& FileName() const { return fileName_; }
    // What the last load reported, none when it went well: for a window to show.
    const Reason& LastFailure() const { return lastFailure_; }
    // $XDG_CONFIG_HOME/Torvane/HOLBRN.conf, or ~/.config/Torvane/HOLBRN.conf.
    static std::string DefaultFileName();

private:
    // Reads the file, lets edit change it and writes it back when anything changed.
    Reason Change(const std::function<void(SettingsFile&)>& edit) const;
    void Fail(const Reason& reason) const;
    void WarnWhenOpenToOthers(mode_t mode) const;

    std::string fileName_;
    mutable Reason lastFailure_;
    mutable bool warnedOpenToOthers_ = false;
};
