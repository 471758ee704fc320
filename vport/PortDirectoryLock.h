#pragma once

#include <string>
#include <sys/types.h>

// One running instance per port directory: an flock on "<port directory>/.lock", held while
// the object lives and let go by the kernel when the process ends, however it ends. The
// holder writes its process id into the file so that a second start can name it.
class PortDirectoryLock {
public:
    enum class Result { Taken, HeldByOther, Failed };

    explicit PortDirectoryLock(std::string directory);
    ~PortDirectoryLock();
    PortDirectoryLock(const PortDirectoryLock&) = delete;
    PortDirectoryLock& operator=(const PortDirectoryLock&) = delete;

    // Makes the directory as the ports do, then takes the lock without waiting.
    Result Take();

    const std::string& Directory() const { return directory; }
    // After HeldByOther: the running instance's process id, 0 when it wrote none.
    pid_t Holder() const { return holder; }
    // After Failed: why, naming the directory and the system's reason.
    const std::string& Failure() const { return failure; }

private:
    std::string directory;
    int fd = -1;
    pid_t holder = 0;
    std::string failure;
};
