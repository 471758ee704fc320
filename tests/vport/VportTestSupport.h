#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <string>
#include <termios.h>
#include <vector>

// A private XDG_RUNTIME_DIR for one test, removed with everything in it afterwards.
class TempRuntimeDir {
public:
    TempRuntimeDir();
    ~TempRuntimeDir();
    const std::string& Path() const { return path_; }
    std::string PortDir() const { return path_ + "/MV5840VSP"; }

private:
    std::string path_;
    std::string saved_;
    bool hadSaved_ = false;
};

// A serial application's side of a port: open(2) on the link, as terminal programs do.
class AppPort {
public:
    explicit AppPort(const std::string& path, bool nonBlocking = false);
    ~AppPort();
    AppPort(const AppPort&) = delete;
    AppPort& operator=(const AppPort&) = delete;

    bool IsOpen() const { return fd_ >= 0; }
    int Fd() const { return fd_; }
    void Close();
    termios Settings() const;
    void Apply(const termios& t);
    bool WriteAll(const std::vector<uint8_t>& bytes);
    // Reads until count bytes came or the deadline passed.
    std::vector<uint8_t> ReadFor(size_t count, std::chrono::milliseconds limit);
    // True when anything at all is readable within the limit.
    bool Readable(std::chrono::milliseconds limit);

private:
    int fd_;
};

// Polls the condition until it holds or the generous limit passes.
bool WaitUntil(const std::function<bool()>& condition,
               std::chrono::milliseconds limit = std::chrono::seconds(10));

std::vector<uint8_t> AllByteValues();
std::vector<uint8_t> Pattern(size_t size, uint32_t seed);
bool FdReadable(int fd);
std::string RunCommand(const std::string& command, int* status);
