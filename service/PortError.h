#pragma once

#include <string>
#include <utility>

#include "net/Reason.h"

// Why the service refused a request: a kind a front end can act on, and what the refusal
// names where its kind needs it. Each surface says it in its own language: the window and
// the bus's error text in Chinese (PortMessages::Text), the command-line tool in English by
// the kind's name.
struct PortError {
    enum class Kind {
        None,
        NumberOutOfRange,
        NumberInUse,
        TableFull,
        CodeTooLong,
        IntervalOutOfRange,
        FrameGapOutOfRange,
        NetPortOutOfRange,
        NetPortInUse,  // another port's network clients use the TCP port
        NetModeInvalid,
        InvalidAddress,
        NoSuchPort,
        PortInUse,
        InvalidArgument,
        // The configuration file cannot keep the change, so nothing was changed.
        SaveFailed,            // the new file could not be written
        ConfigNotRegularFile,  // a FIFO, a device, a folder
        ConfigTooLarge,        // beyond what is read
        ConfigUnreadable,      // the system refuses to read it
        ConfigNotSettings,     // a line in it is not a setting
        // A front end on the bus: the instance that serves the ports did not answer. key:
        // "gone" when none runs (nothing changed), else the change may or may not be made.
        NotAnswered,
        // The data path's loop did not take the change in time: nothing was changed ...
        NotAnswering,
        // ... or the change is stored and is made once the loop gets round to it.
        NotAnsweredYet,
    };

    PortError() = default;
    PortError(Kind kind, std::string key = {}, std::string value = {}, Reason cause = {})
        : kind(kind), key(std::move(key)), value(std::move(value)), cause(std::move(cause))
    {
    }

    Kind kind = Kind::None;
    // NoSuchPort: how the port was asked for ("slot", "number" or "code"); InvalidArgument:
    // the request's key.
    std::string key;
    // NoSuchPort: the slot, number or code asked for; InvalidAddress: the text given;
    // InvalidArgument: what is wrong with the key (only a bus client sees it, in English).
    std::string value;
    // SaveFailed and the Config kinds: why the file could not keep the change.
    Reason cause;

    explicit operator bool() const { return kind != Kind::None; }
    // The configuration file refused the change (SaveFailed or a Config kind): asking again
    // with other values does not help until the file is mended.
    bool ByTheFile() const;

    // The kind's name as front ends publish it ("NumberInUse"); "" for None.
    static const char* Name(Kind kind);
};
