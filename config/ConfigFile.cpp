#include "config/ConfigFile.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

const char* TypeName(mode_t mode)
{
    if (S_ISDIR(mode))
        return "a folder";
    if (S_ISFIFO(mode))
        return "a FIFO";
    if (S_ISCHR(mode))
        return "a character device";
    if (S_ISBLK(mode))
        return "a block device";
    if (S_ISSOCK(mode))
        return "a socket";
    return "an unknown kind of file";
}

Reason NotRegular(const std::string& path, mode_t mode)
{
    return {Reason::Kind::ConfigNotRegularFile, path, TypeName(mode)};
}

std::string FolderOf(const std::string& path)
{
    const size_t slash = path.rfind('/');
    if (slash == std::string::npos)
        return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

// Makes the folder and its missing parents, each 0700. 0 or the errno of the failing step.
int MakeFolders(const std::string& folder)
{
    struct stat st {};
    if (stat(folder.c_str(), &st) == 0)
        return S_ISDIR(st.st_mode) ? 0 : ENOTDIR;
    if (errno != ENOENT)
        return errno;
    const std::string parent = FolderOf(folder);
    if (parent != folder)
        if (const int error = MakeFolders(parent))
            return error;
    if (mkdir(folder.c_str(), 0700) == 0 || errno == EEXIST)
        return stat(folder.c_str(), &st) == 0 && !S_ISDIR(st.st_mode) ? ENOTDIR : 0;
    return errno;
}

int WriteAll(int fd, const QByteArray& text)
{
    qsizetype done = 0;
    while (done < text.size()) {
        const ssize_t n = write(fd, text.constData() + done, static_cast<size_t>(text.size() - done));
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return errno;
        done += n;
    }
    return 0;
}

// The file a path names: a link is followed to the file it names.
std::string TargetOf(const std::string& path)
{
    struct stat st {};
    if (lstat(path.c_str(), &st) == 0 && S_ISLNK(st.st_mode)) {
        char resolved[PATH_MAX];
        if (realpath(path.c_str(), resolved))
            return resolved;
    }
    return path;
}

// ".<name>." of the new files that replace name.
std::string TemporaryPrefix(const std::string& target)
{
    const size_t slash = target.rfind('/');
    return "." + target.substr(slash == std::string::npos ? 0 : slash + 1) + ".";
}

// mkostemp's six letters and digits.
bool IsTemporaryName(const std::string& name, const std::string& prefix)
{
    return name.size() == prefix.size() + 6 && name.compare(0, prefix.size(), prefix) == 0
           && std::all_of(name.begin() + static_cast<ptrdiff_t>(prefix.size()), name.end(),
                          [](char c) { return std::isalnum(static_cast<unsigned char>(c)) != 0; });
}

// A new locked file for the text; -1 with errno. Locked before anyone could take it for a
// leftover: a cleaner that took the name between its making and the lock has removed it,
// and another name is made.
int MakeTemporary(const std::string& target, std::string& temporary)
{
    const size_t slash = target.rfind('/');
    for (int attempt = 0; attempt < 8; ++attempt) {
        temporary = target.substr(0, slash == std::string::npos ? 0 : slash + 1) + TemporaryPrefix(target) + "XXXXXX";
        const int fd = mkostemp(temporary.data(), O_CLOEXEC);
        if (fd < 0)
            return -1;
        struct stat held {
        }, named{};
        if (flock(fd, LOCK_EX) == 0 && fstat(fd, &held) == 0 && lstat(temporary.c_str(), &named) == 0
            && held.st_ino == named.st_ino && held.st_dev == named.st_dev)
            return fd;
        close(fd);
    }
    errno = EAGAIN;
    return -1;
}

}  // namespace

ConfigFile::Contents ConfigFile::Read(const std::string& path)
{
    Contents contents;
    // Looked at before it is opened: opening a FIFO or a device can wait or act.
    struct stat st {};
    if (stat(path.c_str(), &st) != 0) {
        if (errno != ENOENT)
            contents.error = {Reason::Kind::ConfigUnreadable, path, {}, errno};
        return contents;
    }
    contents.exists = true;
    if (!S_ISREG(st.st_mode)) {
        contents.error = NotRegular(path, st.st_mode);
        return contents;
    }
    const int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) {
        contents.error = {Reason::Kind::ConfigUnreadable, path, {}, errno};
        return contents;
    }
    // It may have been swapped since.
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        contents.error = NotRegular(path, st.st_mode);
        close(fd);
        return contents;
    }
    contents.mode = st.st_mode & 07777;
    const Reason tooLarge(Reason::Kind::ConfigTooLarge, path, std::to_string(MaxBytes / (1024 * 1024)));
    if (st.st_size > MaxBytes) {
        contents.error = tooLarge;
        close(fd);
        return contents;
    }
    contents.text.reserve(static_cast<qsizetype>(st.st_size));
    char buffer[65536];
    for (;;) {
        const ssize_t n = read(fd, buffer, sizeof buffer);
        if (n > 0) {
            contents.text.append(buffer, n);
            if (contents.text.size() > MaxBytes) {
                contents.error = tooLarge;
                contents.text.clear();
                break;
            }
        } else if (n == 0) {
            break;
        } else if (errno != EINTR) {
            contents.error = {Reason::Kind::ConfigUnreadable, path, {}, errno};
            contents.text.clear();
            break;
        }
    }
    close(fd);
    return contents;
}

int ConfigFile::Replace(const std::string& path, const QByteArray& text)
{
    struct stat st {};
    const std::string target = TargetOf(path);
    const std::string folder = FolderOf(target);
    if (const int error = MakeFolders(folder))
        return error;
    std::string temporary;
    const int fd = MakeTemporary(target, temporary);
    if (fd < 0)
        return errno;
    int error = fchmod(fd, 0600) == 0 ? WriteAll(fd, text) : errno;
    if (error == 0 && fsync(fd) != 0)
        error = errno;
    // Renamed while still locked, so it is never taken for a leftover.
    if (error == 0 && rename(temporary.c_str(), target.c_str()) != 0)
        error = errno;
    if (error != 0)
        unlink(temporary.c_str());
    if (close(fd) != 0 && error == 0)
        error = errno;
    if (error != 0)
        return error;
    // The program's own folder holds the DTU codes and the password: made private once the
    // save is done, so a refused save leaves everything as it was.
    if (target == path && stat(folder.c_str(), &st) == 0 && st.st_uid == geteuid() && (st.st_mode & 077) != 0)
        chmod(folder.c_str(), st.st_mode & 0700);
    // The rename itself lasts once the folder is synced.
    const int folderFd = open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (folderFd >= 0) {
        fsync(folderFd);
        close(folderFd);
    }
    return 0;
}

std::vector<std::string> ConfigFile::RemoveLeftovers(const std::string& path,
                                                     std::vector<std::pair<std::string, int>>* failed)
{
    std::vector<std::string> removed;
    const std::string target = TargetOf(path);
    const std::string folder = FolderOf(target);
    const std::string prefix = TemporaryPrefix(target);
    DIR* dir = opendir(folder.c_str());
    if (!dir)
        return removed;
    const int dirFd = dirfd(dir);
    while (const dirent* entry = readdir(dir)) {
        const std::string name = entry->d_name;
        if (!IsTemporaryName(name, prefix))
            continue;
        // Never through a link, never anything but a regular file of this user's.
        const int fd = openat(dirFd, name.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
        if (fd < 0)
            continue;
        struct stat held {
        }, named{};
        // A replacement in progress holds its lock; one cut short holds none any more.
        if (fstat(fd, &held) == 0 && S_ISREG(held.st_mode) && held.st_uid == geteuid()
            && flock(fd, LOCK_EX | LOCK_NB) == 0 && fstatat(dirFd, name.c_str(), &named, AT_SYMLINK_NOFOLLOW) == 0
            && named.st_ino == held.st_ino && named.st_dev == held.st_dev) {
            if (unlinkat(dirFd, name.c_str(), 0) == 0)
                removed.push_back(folder + "/" + name);
            else if (failed)
                failed->emplace_back(folder + "/" + name, errno);
        }
        close(fd);
    }
    closedir(dir);
    return removed;
}
