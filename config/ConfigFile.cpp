#include "config/ConfigFile.h"

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <fcntl.h>
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
    std::string target = path;
    struct stat st {};
    if (lstat(path.c_str(), &st) == 0 && S_ISLNK(st.st_mode)) {
        char resolved[PATH_MAX];
        if (realpath(path.c_str(), resolved))
            target = resolved;
    }
    const std::string folder = FolderOf(target);
    if (const int error = MakeFolders(folder))
        return error;
    std::string temporary = target + ".XXXXXX";
    const size_t slash = temporary.rfind('/');
    temporary.insert(slash == std::string::npos ? 0 : slash + 1, ".");
    const int fd = mkostemp(temporary.data(), O_CLOEXEC);
    if (fd < 0)
        return errno;
    int error = fchmod(fd, 0600) == 0 ? WriteAll(fd, text) : errno;
    if (error == 0 && fsync(fd) != 0)
        error = errno;
    if (close(fd) != 0 && error == 0)
        error = errno;
    if (error == 0 && rename(temporary.c_str(), target.c_str()) != 0)
        error = errno;
    if (error != 0) {
        unlink(temporary.c_str());
        return error;
    }
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
