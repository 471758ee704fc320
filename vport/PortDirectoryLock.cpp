#include "vport/PortDirectoryLock.h"

#include <cerrno>
#include <cstdlib>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include "net/Log.h"
#include "vport/PrivateDirectory.h"

namespace {
const char LockName[] = ".lock";
}

PortDirectoryLock::PortDirectoryLock(std::string directory) : directory(std::move(directory)) {}

PortDirectoryLock::~PortDirectoryLock()
{
    if (fd >= 0)
        close(fd);
}

PortDirectoryLock::Result PortDirectoryLock::Take()
{
    if (fd >= 0)
        return Result::Taken;
    failure.clear();
    holder = 0;
    Reason unsafe;
    DirectoryFd dir(OpenPrivateDirectory(directory, true, &unsafe));
    if (dir.Get() < 0) {
        failure = unsafe.English();
        return Result::Failed;
    }
    // O_NOFOLLOW: a link planted under the lock's name is refused, never followed.
    const int file = openat(dir.Get(), LockName, O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (file < 0) {
        failure = "cannot open the lock file " + directory + "/" + LockName + ": " + Log::SystemReason(errno);
        return Result::Failed;
    }
    struct stat st {};
    if (fstat(file, &st) != 0 || !S_ISREG(st.st_mode) || st.st_uid != geteuid()) {
        close(file);
        failure = "the lock file " + directory + "/" + LockName + " is not a plain file of this user's";
        return Result::Failed;
    }
    if (flock(file, LOCK_EX | LOCK_NB) != 0) {
        const int err = errno;
        if (err == EWOULDBLOCK) {
            char text[32] = {};
            const ssize_t n = pread(file, text, sizeof text - 1, 0);
            holder = n > 0 ? static_cast<pid_t>(std::strtol(text, nullptr, 10)) : 0;
            close(file);
            return Result::HeldByOther;
        }
        close(file);
        failure = "cannot lock " + directory + "/" + LockName + ": " + Log::SystemReason(err);
        return Result::Failed;
    }
    const std::string pid = std::to_string(getpid()) + "\n";
    // Names this process to a second start; the lock holds whether or not the write works.
    const bool named = ftruncate(file, 0) == 0 && pwrite(file, pid.data(), pid.size(), 0) > 0;
    static_cast<void>(named);
    fd = file;
    return Result::Taken;
}
