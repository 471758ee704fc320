#pragma once

#include <string>

// The window side of the automation interface. The main window owns the port table and the
// shared-port selection; the automation object only forwards to it.
class PortSelectionTarget {
public:
    // Makes the first port in service whose DTU code equals code (letters A to Z in any case)
    // the shared-port target. False when none matched; the earlier choice then stays.
    virtual bool SelectSharedTarget(const std::string& code) = 0;
    // The selected DTU's code, or "#NoSelected".
    virtual std::string GetSharedTargetCode() const = 0;
    // Brings the window forward (restores it from the tray when hidden there). False when the
    // run has no window to show (a service).
    virtual bool ShowWindow() = 0;

protected:
    ~PortSelectionTarget() = default;
};
