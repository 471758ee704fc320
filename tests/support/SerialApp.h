#pragma once

#include <chrono>
#include <cstddef>
#include <string>
#include <termios.h>

#include "Bytes.h"

// What the application does with the line right after open(2).
struct SerialSetup {
    bool nonBlocking;
    bool raw;  // cfmakeraw at 115200 Bd, as most serial programs do first
};
inline constexpr SerialSetup RawNonBlocking{true, true};
// Blocking, with the settings the port hands out: for checking what those are.
inline constexpr SerialSetup AsOpened{false, false};

// A serial application's side of a port: open(2) on the port's link, as terminal programs do.
class SerialApp {
public:
    explicit SerialApp(const std::string& path, SerialSetup setup = RawNonBlocking);
    ~SerialApp();
    SerialApp(const SerialApp&) = delete;
    SerialApp& operator=(const SerialApp&) = delete;

    bool IsOpen() const { return fd_ >= 0; }
    int Fd() const { return fd_; }
    void Close();
    termios Settings() const;
    void Apply(const termios& t);
    // Writes all bytes, waiting while the terminal is full; false when it stays full.
    bool Write(const Bytes& bytes);
    // Reads until count bytes came, the line ended or the limit passed.
    Bytes Read(size_t count, std::chrono::milliseconds limit = std::chrono::seconds(10));
    // True when anything at all is readable within the limit.
    bool Readable(std::chrono::milliseconds limit);

private:
    int fd_;
};
