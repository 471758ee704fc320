#pragma once

#include <optional>
#include <string>

// The line settings and modem lines an application set on a port, as the serial compatibility
// library (mv5840vsp-run) reports them in "<port directory>/.<port>.line": one fixed-size line
// of text such as "baud=9600 data=8 parity=E stop=1 flow=none dtr=1 rts=1". Nothing of it
// reaches the DTU; it is for showing users what their application expects of the real line.
struct LineState {
    unsigned baud = 0;
    int dataBits = 8;
    char parity = 'N';  // N, E, O, M or S
    int stopBits = 1;
    std::string flow = "none";  // none, rtscts or xonxoff
    bool dtr = false;
    bool rts = false;

    // "9600 8E1, DTR on, RTS off" (with the flow control when there is any).
    std::string Text() const;

    // The state reported for the port whose link is linkPath; empty when none is reported
    // (no application uses the library on it) or the text is not the library's.
    static std::optional<LineState> ForLink(const std::string& linkPath);
    static std::optional<LineState> Parse(const std::string& text);
    static std::string FileFor(const std::string& linkPath);
};
