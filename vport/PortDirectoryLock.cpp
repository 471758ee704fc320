#include "vport/PortDirectoryLock.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include "net/Log.h"
#include "vport/PrivateDirectory.h"

namespace {
const char LockName[] = ".lock";

// The process holding an flock on the file with this device and inode, from /proc/locks
// ("1: FLOCK  ADVISORY  WRITE 4242 fd:01:1234567 0 EOF"); 0 for none. Reading the table takes
// no lock, so a start at the same moment never finds the lock held by the one who asks.
pid_t FlockHolder(dev_t device, ino_t inode)
{
    FILE* locks = std::fopen("/proc/locks", "re");
    if (!locks)
        return 0;
    pid_t holder = 0;
    char line[256];
    while (holder == 0 && std::fgets(line, sizeof line, locks)) {
        int pid = 0;
        unsigned devMajor = 0, devMinor = 0;
        unsigned long long number = 0;
        if (std::sscanf(line, "%*d: FLOCK %*s %*s %d %x:%x:%llu", &pid, &devMajor, &devMinor, &number) == 4
            && devMajor == major(device) && devMinor == minor(device) && number == inode)
            holder = pid;
    }
    std::fclose(locks);
    return holder;
}

}  // namespace

pid_t PortDirectoryLock::RunningHolder(const std::string& directory, const std::vector<std::string>& fallbacks)
{
    std::vector<std::string> places{directory};
    places.insert(places.end(), fallbacks.begin(), fallbacks.end());
    for (const std::string& place : places) {
        struct stat st {};
        const std::string file = place + "/" + LockName;
        if (lstat(file.c_str(), &st) != 0 || !S_ISREG(st.st_mode) || st.st_uid != geteuid())
            continue;
        if (const pid_t holder = FlockHolder(st.st_dev, st.st_ino))
            return holder;
    }
    return 0;
}

PortDirectoryLock::PortDirectoryLock(std::string directory, std::vector<std::string> fallbacks)
    : portDirectory_(directory), directory_(std::move(directory)), fallbacks_(std::move(fallbacks))
{
}

std::vector<std::string> PortDirectoryLock::FallbackDirectories()
{
    std::vector<std::string> places;
    const std::string userRuntime = "/run/user/" + std::to_string(geteuid());
    struct stat st {};
    if (lstat(userRuntime.c_str(), &st) == 0 && S_ISDIR(st.st_mode) && st.st_uid == geteuid()
        && (st.st_mode & 077) == 0)
        places.push_back(userRuntime + "/MV5840VSP");
    char host[256] = {};
    if (gethostname(host, sizeof host - 1) != 0 || host[0] == '\0' || std::strchr(host, '/'))
        std::strcpy(host, "localhost");
    const char* cache = std::getenv("XDG_CACHE_HOME");
    const char* home = std::getenv("HOME");
    if (cache && cache[0] == '/')
        places.push_back(std::string(cache) + "/MV5840VSP-" + host);
    else if (home && home[0] == '/')
        places.push_back(std::string(home) + "/.cache/MV5840VSP-" + host);
    return places;
}

PortDirectoryLock::~PortDirectoryLock()
{
    if (fd_ >= 0)
        close(fd_);
}

PortDirectoryLock::Result PortDirectoryLock::Take()
{
    if (fd_ >= 0)
        return Result::Taken;
    directory_ = portDirectory_;
    refusal_.clear();
    const Result result = TakeIn(portDirectory_);
    if (result != Result::Failed)
        return result;
    const std::string refused = failure_;
    for (const std::string& place : fallbacks_) {
        mkdir(place.substr(0, place.rfind('/')).c_str(), 0700);  // ~/.cache may not be there yet
        const Result fallback = TakeIn(place);
        if (fallback != Result::Failed) {
            directory_ = place;
            refusal_ = refused;
            failure_.clear();
            return fallback;
        }
    }
    failure_ = refused;
    return Result::Failed;
}

PortDirectoryLock::Result PortDirectoryLock::TakeIn(const std::string& place)
{
    failure_.clear();
    holder_ = 0;
    Reason unsafe;
    DirectoryFd dir(OpenPrivateDirectory(place, true, &unsafe));
    if (dir.Get() < 0) {
        failure_ = unsafe.English();
        return Result::Failed;
    }
    // O_NOFOLLOW: a link planted under the lock's name is refused, never followed.
    const int file = openat(dir.Get(), LockName, O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (file < 0) {
        failure_ = "cannot open the lock file " + place + "/" + LockName + ": " + Log::SystemReason(errno);
        return Result::Failed;
    }
    struct stat st {};
    if (fstat(file, &st) != 0 || !S_ISREG(st.st_mode) || st.st_uid != geteuid()) {
        close(file);
        failure_ = "the lock file " + place + "/" + LockName + " is not a plain file of this user's";
        return Result::Failed;
    }
    if (flock(file, LOCK_EX | LOCK_NB) != 0) {
        const int err = errno;
        if (err == EWOULDBLOCK) {
            char text[32] = {};
            const ssize_t n = pread(file, text, sizeof text - 1, 0);
            holder_ = n > 0 ? static_cast<pid_t>(std::strtol(text, nullptr, 10)) : 0;
            close(file);
            return Result::HeldByOther;
        }
        close(file);
        failure_ = "cannot lock " + place + "/" + LockName + ": " + Log::SystemReason(err);
        return Result::Failed;
    }
    const std::string pid = std::to_string(getpid()) + "\n";
    // Names this process to a second start; the lock holds whether or not the write works.
    const bool named = ftruncate(file, 0) == 0 && pwrite(file, pid.data(), pid.size(), 0) > 0;
    static_cast<void>(named);
    fd_ = file;
    return Result::Taken;
}
