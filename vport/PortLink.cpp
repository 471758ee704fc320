#include "vport/PortLink.h"

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "vport/PrivateDirectory.h"

namespace {

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
    return !name.empty() && name.size() <= NAME_MAX - 16 && name[0] != '.' && name.find('/') == std::string::npos
           && name.find('\0') == std::string::npos;
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

std::unique_ptr<PortLink> PortLink::Create(const std::string& name, const std::string& target, Reason* failure)
{
    using K = Reason::Kind;
    auto refuse = [failure](K kind, std::string subject, int error = 0) {
        if (failure)
            *failure = {kind, std::move(subject), {}, error};
        return nullptr;
    };
    if (!PlainFileName(name) || target.empty())
        return refuse(K::BadPortName, name);
    std::string directory = Directory();
    DirectoryFd dir(OpenPrivateDirectory(directory, true, failure));
    if (dir.Get() < 0)
        return nullptr;
    if (!FreeOrOwnLink(dir.Get(), name))
        return refuse(K::LinkTaken, directory + "/" + name);

    // Link under a temporary name, then rename over the final one: an application never sees
    // the name missing or half made while a stale link is replaced.
    std::string temporary = "." + name + "." + std::to_string(getpid());
    if (!FreeOrOwnLink(dir.Get(), temporary))
        return refuse(K::LinkTaken, directory + "/" + temporary);
    unlinkat(dir.Get(), temporary.c_str(), 0);
    if (symlinkat(target.c_str(), dir.Get(), temporary.c_str()) != 0)
        return refuse(K::LinkNotMade, directory + "/" + temporary, errno);
    if (renameat(dir.Get(), temporary.c_str(), dir.Get(), name.c_str()) != 0) {
        const int err = errno;
        unlinkat(dir.Get(), temporary.c_str(), 0);
        return refuse(K::LinkNotMade, directory + "/" + name, err);
    }
    return std::unique_ptr<PortLink>(new PortLink(std::move(directory), name, target));
}

PortLink::PortLink(std::string directory, std::string name, std::string target)
    : directory_(std::move(directory)), name_(std::move(name)), target_(std::move(target))
{
}

Reason PortLink::Restore(bool& made) const
{
    made = false;
    Reason failure;
    DirectoryFd dir(OpenPrivateDirectory(directory_, true, &failure));
    if (dir.Get() < 0)
        return failure;
    struct stat st {};
    if (fstatat(dir.Get(), name_.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 || errno != ENOENT)
        return {};
    if (symlinkat(target_.c_str(), dir.Get(), name_.c_str()) != 0)
        return {Reason::Kind::LinkNotMade, Path(), {}, errno};
    made = true;
    return {};
}

PortLink::~PortLink()
{
    DirectoryFd dir(OpenPrivateDirectory(directory_, false));
    if (dir.Get() >= 0 && FreeOrOwnLink(dir.Get(), name_) && ReadLink(dir.Get(), name_) == target_)
        unlinkat(dir.Get(), name_.c_str(), 0);
}
