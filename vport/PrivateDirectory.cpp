#include "vport/PrivateDirectory.h"

#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "net/Log.h"

DirectoryFd::~DirectoryFd()
{
    if (fd_ >= 0)
        close(fd_);
}

int OpenPrivateDirectory(const std::string& path, bool create, std::string* failure)
{
    auto refuse = [&](const std::string& why) {
        if (failure)
            *failure = "port directory " + path + " " + why;
        return -1;
    };
    const bool created = create && mkdir(path.c_str(), 0700) == 0;
    if (create && !created && errno != EEXIST)
        return refuse("cannot be created: " + Log::SystemReason(errno));
    const int fd = open(path.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) {
        const int err = errno;
        struct stat st {};
        if (lstat(path.c_str(), &st) == 0 && S_ISLNK(st.st_mode))
            return refuse("is a symbolic link; refused");
        return refuse("cannot be opened: " + Log::SystemReason(err));
    }
    if (created)
        fchmod(fd, 0700);  // the umask may have taken the owner's bits away
    struct stat st {};
    std::string why;
    if (fstat(fd, &st) != 0)
        why = "cannot be examined: " + Log::SystemReason(errno);
    else if (st.st_uid != geteuid())
        why = "belongs to user " + std::to_string(st.st_uid) + ", not to this user ("
              + std::to_string(geteuid()) + "); refused";
    else if ((st.st_mode & 077) != 0) {
        char mode[8];
        std::snprintf(mode, sizeof mode, "%04o", static_cast<unsigned>(st.st_mode & 07777));
        why = std::string("is open to other users (mode ") + mode + ", must be 0700); refused";
    }
    if (!why.empty()) {
        close(fd);
        return refuse(why);
    }
    return fd;
}
