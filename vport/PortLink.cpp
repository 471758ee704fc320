#include "vport/PortLink.h"

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// An open directory descriptor that closes itself.
class DirectoryFd {
public:
    explicit DirectoryFd(int fd) : fd_(fd) {}
    ~DirectoryFd()
    {
        if (fd_ >= 0)
            close(fd_);
    }
    DirectoryFd(const DirectoryFd&) = delete;
    DirectoryFd& operator=(const DirectoryFd&) = delete;
    int Get() const { return fd_; }

private:
    int fd_;
};

// Opens the port directory, creating it with mode 0700 when asked and missing. The descriptor is
// refused (-1) unless it is a real directory (not reached through a symbolic link) owned by
// this user with no access for group or others. Every later step works relative to it, so
// nothing can swap the directory underneath.
int OpenPrivateDirectory(const std::string& path, bool create)
{
    bool created = create && mkdir(path.c_str(), 0700) == 0;
    if (create && !created && errno != EEXIST)
        return -1;
    int fd = open(path.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0)
        return -1;
    if (created)
        fchmod(fd, 0700);  // the umask may have taken the owner's bits away
    struct stat st {};
    if (fstat(fd, &st) != 0 || !S_ISDIR(st.st_mode) || st.st_uid != geteuid()
        || (st.st_mode & 077) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

// True when nothing is called name in the directory, or it is a symbolic link of this user
// (which may be replaced). Anything else must be left alone.
bool FreeOrOwnLink(int dirFd, const std::string& name)
{
    struct stat st {};
    if (fstatat(dirFd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0)
        return errno == ENOENT;
    return S_ISLNK(st.st_mode) && st.st_uid == geteuid();
}

bool PlainFileName(const std::string& name)
{
    // Room is left for the temporary name ".<name>.<pid>" used while replacing.
    return !name.empty() && name.size() <= NAME_MAX - 16 && name[0] != '.'
        && name.find('/') == std::string::npos && name.find('\0') == std::string::npos;
}

std::string ReadLink(int dirFd, const std::string& name)
{
    char buffer[PATH_MAX];
    ssize_t n = readlinkat(dirFd, name.c_str(), buffer, sizeof buffer);
    return n > 0 ? std::string(buffer, static_cast<size_t>(n)) : std::string();
}

}  // namespace

std::string PortLink::Directory()
{
    const char* runtime = std::getenv("XDG_RUNTIME_DIR");
    if (runtime && runtime[0] == '/')
        return std::string(runtime) + "/MV5840VSP";
    return "/tmp/MV5840VSP-" + std::to_string(geteuid());
}

std::unique_ptr<PortLink> PortLink::Create(const std::string& name, const std::string& target)
{
    if (!PlainFileName(name) || target.empty())
        return nullptr;
    std::string directory = Directory();
    DirectoryFd dir(OpenPrivateDirectory(directory, true));
    if (dir.Get() < 0 || !FreeOrOwnLink(dir.Get(), name))
        return nullptr;

    // Link under a temporary name, then rename over the final one: an application never sees
    // the name missing or half made while a stale link is replaced.
    std::string temporary = "." + name + "." + std::to_string(getpid());
    if (!FreeOrOwnLink(dir.Get(), temporary))
        return nullptr;
    unlinkat(dir.Get(), temporary.c_str(), 0);
    if (symlinkat(target.c_str(), dir.Get(), temporary.c_str()) != 0)
        return nullptr;
    if (renameat(dir.Get(), temporary.c_str(), dir.Get(), name.c_str()) != 0) {
        unlinkat(dir.Get(), temporary.c_str(), 0);
        return nullptr;
    }
    return std::unique_ptr<PortLink>(new PortLink(std::move(directory), name, target));
}

PortLink::PortLink(std::string directory, std::string name, std::string target)
    : directory_(std::move(directory)), name_(std::move(name)), target_(std::move(target))
{
}

PortLink::~PortLink()
{
    DirectoryFd dir(OpenPrivateDirectory(directory_, false));
    if (dir.Get() >= 0 && FreeOrOwnLink(dir.Get(), name_) && ReadLink(dir.Get(), name_) == target_)
        unlinkat(dir.Get(), name_.c_str(), 0);
}
