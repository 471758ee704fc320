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
//
// What a change makes is measured against the file as the store last loaded or wrote it: a
// save writes only the values that differ from that, so a line edited by hand and not loaded
// yet stays as the user left it, and the save says so (LastNotice).
class ConfigStore {
public:
    static constexpr int SlotCount = StoredConfig::SlotCount;

    // fileName: the settings file; by default the one of the user's configuration home.
    explicit ConfigStore(std::string fileName = DefaultFileName());

    // Also what later saves measure their changes against, unless the load failed after an
    // earlier one had read the file (what runs then stays what that one read).
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
    // What the last save kept or did besides its change (hand edits it left in place, a group
    // removed by hand that it wrote again), none when nothing; logged as a warning.
    const Reason& LastNotice() const { return lastNotice_; }

    // Removes the temporary files that saves cut short (a crash, SIGKILL) left beside the
    // file: only files of its own naming that belong to this user. Saves do it first as well.
    void RemoveLeftovers() const;

    const std::string& FileName() const { return fileName_; }
    // What the last load reported, none when it went well: for a window to show.
    const Reason& LastFailure() const { return lastFailure_; }
    // $XDG_CONFIG_HOME/Torvane/HOLBRN.conf, or ~/.config/Torvane/HOLBRN.conf.
    static std::string DefaultFileName();

private:
    // Reads the file, lets edit change it and writes it back when anything changed; what edit
    // returns becomes the notice of a save that succeeds.
    Reason Change(const std::function<Reason(SettingsFile&)>& edit) const;
    // What a load read becomes what saves measure against.
    void Remember(const StoredConfig& stored) const;
    void Fail(const Reason& reason) const;
    void WarnWhenOpenToOthers(mode_t mode) const;

    std::string fileName_;
    mutable Reason lastFailure_;
    mutable Reason lastNotice_;
    mutable bool warnedOpenToOthers_ = false;
    // The file as last loaded or written, what changes are measured against; unknown before
    // the first load (a save then measures against the file itself).
    mutable bool known_ = false;
    mutable GlobalSettings knownSettings_;
    mutable std::optional<PortConfig> knownPorts_[SlotCount];
};
