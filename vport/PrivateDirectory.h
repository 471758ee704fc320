#pragma once

#include <string>

#include "net/Reason.h"

// Opens the port directory, creating it with mode 0700 when asked and missing. The descriptor
// is refused (-1, with failure saying why) unless it is a real directory (not reached through
// a symbolic link) owned by this user with no access for group or others. Every later step
// works relative to it, so nothing can swap the directory underneath.
int OpenPrivateDirectory(const std::string& path, bool create, Reason* failure = nullptr);

// An open directory descriptor that closes itself.
class DirectoryFd {
public:
    explicit DirectoryFd(int fd) : fd_(fd) {}
    ~DirectoryFd();
    DirectoryFd(const DirectoryFd&) = delete;
    DirectoryFd& operator=(const DirectoryFd&) = delete;
    int Get() const { return fd_; }

private:
    int fd_;
};
