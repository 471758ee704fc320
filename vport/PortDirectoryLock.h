#pragma once

#include <string>
#include <sys/types.h>
#include <vector>

// One running instance per port directory: an flock on "<port directory>/.lock", held while
// the object lives and let go by the kernel when the process ends, however it ends. The
// holder writes its process id into the file so that a second start can name it.
//
// When the port directory cannot be used (another user made /tmp/MV5840VSP-<uid> first, say),
// no port is served, but a second start must still be kept out: the lock is then taken in the
// first fallback directory that can be used, each a private directory of this user that no
// other user can make or hold.
class PortDirectoryLock {
public:
    enum class Result { Taken, HeldByOther, Failed };

    explicit PortDirectoryLock(std::string directory, std::vector<std::string> fallbacks = {});
    ~PortDirectoryLock();
    PortDirectoryLock(const PortDirectoryLock&) = delete;
    PortDirectoryLock& operator=(const PortDirectoryLock&) = delete;

    // Makes the directory as the ports do, then takes the lock without waiting.
    Result Take();

    // Where the lock is (or was found held): the port directory or a fallback.
    const std::string& Directory() const { return directory_; }
    // Why the port directory was not used when the lock is in a fallback; "" otherwise.
    const std::string& Refusal() const { return refusal_; }
    // This user's own places for the lock beside the port directory, best first:
    // /run/user/<uid>/MV5840VSP (when /run/user/<uid> is this user's and closed to others) and
    // MV5840VSP-<host name> in the user's cache directory ($XDG_CACHE_HOME or ~/.cache; the
    // host name keeps machines sharing a home directory apart).
    static std::vector<std::string> FallbackDirectories();
    // Without taking or making anything: the process id of the instance that holds the lock in
    // directory or in one of the fallbacks, as the kernel's lock table names it; 0 for none.
    static pid_t RunningHolder(const std::string& directory, const std::vector<std::string>& fallbacks);
    // After HeldByOther: the running instance's process id, 0 when it wrote none.
    pid_t Holder() const { return holder_; }
    // After Failed: why, naming the directory and the system's reason.
    const std::string& Failure() const { return failure_; }

private:
    Result TakeIn(const std::string& place);

    const std::string portDirectory_;
    std::string directory_;
    const std::vector<std::string> fallbacks_;
    std::string refusal_;
    int fd_ = -1;
    pid_t holder_ = 0;
    std::string failure_;
};
