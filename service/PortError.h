#pragma once

#include <string>

// Why the service refused a request: a kind a front end can act on and the text the user
// sees (the window's message box text where the window has one).
struct PortError {
    enum class Kind {
        None,
        NumberOutOfRange,
        NumberInUse,
        TableFull,
        CodeTooLong,
        IntervalOutOfRange,
        FrameGapOutOfRange,
        InvalidAddress,
        NoSuchPort,
        PortInUse,
        SaveFailed,           // the configuration file could not be written
        InvalidArgument,
        // The configuration file cannot take a change: nothing was changed.
        ConfigNotRegularFile,  // a FIFO, a device, a folder
        ConfigTooLarge,        // beyond what is read
        ConfigUnreadable,      // the system refuses to read it
        ConfigNotSettings,     // a line in it is not a setting
    };

    Kind kind = Kind::None;
    std::string message;

    explicit operator bool() const { return kind != Kind::None; }

    // The kind's name as front ends publish it ("NumberInUse"); "" for None.
    static const char* Name(Kind kind);
};
