#pragma once

#include <QObject>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "config/GlobalSettings.h"
#include "config/PortConfig.h"
#include "link/PortStatus.h"
#include "service/PortError.h"
#include "service/PortView.h"
#include "vport/LineState.h"

// Where the window gets its ports: the ports this run serves itself, or those of another
// instance of the user's reached over the session bus. The window's flows, checks and
// messages go through this alone, so they are the same whichever it has. Changes and traces
// answer through a callback, at once or once the other instance answered; the window's thread
// never waits on one. Main thread only.
class PortSource : public QObject {
    Q_OBJECT
public:
    // A change's outcome: the refusal (none when taken) and its text as the window shows it.
    using Done = std::function<void(const PortError& error, const std::string& text)>;
    // The reading end of a trace, which the callee then owns; -1 when there is none.
    using TraceDone = std::function<void(int fd)>;

    struct Started {
        bool hostNameFailed = false;
        // What went wrong while starting, in the window's words, each logged already.
        std::vector<std::string> notices;
    };

    using QObject::QObject;

    // The window's list, before Start; nullptr detaches it.
    virtual void Attach(PortView* view) = 0;
    // Brings the ports (or the link to them) up and fills the attached list.
    virtual Started Start() = 0;

    // The settings the ports run with.
    virtual const GlobalSettings& Settings() const = 0;
    virtual std::optional<PortStatus> StatusOf(int record) const = 0;
    virtual std::optional<LineState> LineSettings(int record) const = 0;

    virtual void Add(const PortConfig& config, Done done) = 0;
    virtual void Edit(int record, const PortConfig& config, Done done) = 0;
    virtual void Remove(int record, bool force, Done done) = 0;
    // Stores the globals for the next start of whoever serves the ports.
    virtual void SaveSettings(const GlobalSettings& entered, Done done) = 0;
    virtual void OpenTrace(int record, TraceDone done) = 0;

    // The ports an application holds open among those that end with the window (none when
    // the window serves no port itself).
    virtual std::vector<PortStatus> PortsEndingInUse() const = 0;
    // What the user must do for stored globals to apply, in the window's words; whether the
    // window then ends (it does when it serves the ports itself).
    virtual std::string RestartAdvice() const = 0;
    virtual bool EndsForNewSettings() const = 0;
    // Whether the list shows the ports as they are (false while the instance that serves
    // them is away), and what the window says meanwhile.
    virtual bool Current() const = 0;
    virtual std::string Absence() const = 0;

    virtual bool SelectSharedTarget(const std::string& code) = 0;
    virtual std::string GetSharedTargetCode() const = 0;

signals:
    // Ports were added, edited or removed, or their states changed.
    void PortsChanged();
    // Current() changed.
    void CurrentChanged();
};
