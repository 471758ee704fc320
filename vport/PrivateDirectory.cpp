#include "vport/PrivateDirectory.h"

#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

DirectoryFd::~DirectoryFd()
{
    if (fd_ >= 0)
        close(fd_);
}

int OpenPrivateDirectory(const std::string& path, bool create, Reason* failure)
{
    using K = Reason::Kind;
    auto refuse = [&](K kind, int error = 0, std::string detail = {}) {
        if (failure)
            *failure = {kind, path, std::move(detail), error};
        return -1;
    };
    const bool created = create && mkdir(path.c_str(), 0700) == 0;
    if (create && !created && errno != EEXIST)
        return refuse(K::DirectoryNotCreated, errno);
    const int fd = open(path.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) {
        const int err = errno;
        struct stat st {};
        if (lstat(path.c_str(), &st) == 0 && S_ISLNK(st.st_mode))
            return refuse(K::DirectoryIsLink);
        return refuse(K::DirectoryNotOpened, err);
    }
    if (created)
        fchmod(fd, 0700);  // the umask may have taken the owner's bits away
    struct stat st {};
    Reason why;
    if (fstat(fd, &st) != 0) {
        why = {K::DirectoryNotExamined, path, {}, errno};
    } else if (st.st_uid != geteuid()) {
        why = {K::DirectoryOfOtherUser, path, std::to_string(st.st_uid)};
    } else if ((st.st_mode & 077) != 0) {
        char mode[8];
        std::snprintf(mode, sizeof mode, "%04o", static_cast<unsigned>(st.st_mode & 07777));
        why = {K::DirectoryOpenToOthers, path, mode};
    }
    if (why) {
        close(fd);
        if (failure)
            *failure = why;
        return -1;
    }
    return fd;
}
