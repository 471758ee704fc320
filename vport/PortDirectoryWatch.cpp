#include "vport/PortDirectoryWatch.h"

#include <algorithm>
#include <cerrno>
#include <sys/epoll.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

#include "net/Log.h"
#include "vport/PortDirectoryLock.h"
#include "vport/PortLink.h"

PortDirectoryWatch::PortDirectoryWatch(EventLoop& loop)
    : loop_(loop), watch_(loop, [this](uint32_t) { OnEvents(); }), settle_(loop, [this] { Restore(); })
{
    // Without it a removal is mended only by a reload or an edit.
    inotifyFd_ = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    if (inotifyFd_ >= 0 && watch_.Add(inotifyFd_, EPOLLIN) != 0) {
        close(inotifyFd_);
        inotifyFd_ = -1;
    }
}

PortDirectoryWatch::~PortDirectoryWatch()
{
    settle_.Cancel();
    watch_.Remove();
    if (inotifyFd_ >= 0)
        close(inotifyFd_);
}

void PortDirectoryWatch::Add(PortLink& link)
{
    links_.push_back(&link);
    if (directoryWatch_ < 0)
        WatchDirectory();
}

void PortDirectoryWatch::Remove(PortLink& link)
{
    links_.erase(std::remove(links_.begin(), links_.end(), &link), links_.end());
}

void PortDirectoryWatch::WatchDirectory()
{
    // A directory removed while a file in it is still open (the lock of the instance) never
    // tells it is gone: its watch is moved to the directory now at the path.
    const std::string directory = PortLink::Directory();
    struct stat st {};
    if (inotifyFd_ < 0 || lstat(directory.c_str(), &st) != 0)
        return;
    if (directoryWatch_ >= 0 && st.st_dev == watchedDevice_ && st.st_ino == watchedInode_)
        return;
    if (directoryWatch_ >= 0)
        inotify_rm_watch(inotifyFd_, directoryWatch_);
    directoryWatch_ = inotify_add_watch(inotifyFd_, directory.c_str(),
                                        IN_DELETE | IN_MOVED_FROM | IN_DELETE_SELF | IN_MOVE_SELF | IN_ONLYDIR
                                            | IN_DONT_FOLLOW);
    watchedDevice_ = st.st_dev;
    watchedInode_ = st.st_ino;
}

void PortDirectoryWatch::OnEvents()
{
    alignas(inotify_event) char buffer[8192];
    bool removed = false;
    for (;;) {
        const ssize_t n = read(inotifyFd_, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        for (ssize_t at = 0; at < n;) {
            const auto* event = reinterpret_cast<const inotify_event*>(buffer + at);
            at += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
            if (event->mask & IN_IGNORED)
                directoryWatch_ = -1;  // the directory is gone, and its watch with it
            if (event->mask & (IN_IGNORED | IN_DELETE_SELF | IN_MOVE_SELF | IN_Q_OVERFLOW)) {
                removed = true;
            } else if (event->len > 0) {
                // A port's link or the lock file; the names links are made under and the line
                // settings' files come and go.
                const std::string name = event->name;
                removed = removed || name == ".lock"
                          || std::any_of(links_.begin(), links_.end(),
                                         [&](const PortLink* link) { return link->Name() == name; });
            }
        }
    }
    if (removed && !links_.empty())
        settle_.At(loop_.Now() + Settle);
}

void PortDirectoryWatch::Restore()
{
    settle_.Cancel();
    if (links_.empty())
        return;
    const std::string directory = PortLink::Directory();
    struct stat st {};
    const bool directoryGone = lstat(directory.c_str(), &st) != 0 && errno == ENOENT;
    // The lock first, which makes the directory: a second instance started meanwhile must not
    // find the place free. One already held (by this run) is left as it is.
    auto lock = std::make_unique<PortDirectoryLock>(directory);
    const PortDirectoryLock::Result locked = lock->Take();
    if (locked == PortDirectoryLock::Result::Taken) {
        lock_ = std::move(lock);
    } else if (locked == PortDirectoryLock::Result::HeldByOther && lock->Holder() != getpid()) {
        Log::Error("port directory " + directory + " was removed, and another instance (process "
                   + std::to_string(lock->Holder()) + ") took it meanwhile; the links of this one are not made again");
        return;
    } else if (locked == PortDirectoryLock::Result::Failed) {
        // Said once for all the ports, not once for each.
        Log::Error(lock->Failure() + "; the links of " + std::to_string(links_.size())
                   + (links_.size() == 1 ? " port" : " ports") + " cannot be made again");
        return;
    }

    std::string made;
    int count = 0;
    for (PortLink* link : links_) {
        bool remade = false;
        if (const Reason failure = link->Restore(remade))
            Log::Error(failure.English());
        else if (remade)
            made += (count++ == 0 ? "" : ", ") + link->Name();
    }
    WatchDirectory();
    if (directoryGone)
        Log::Warning("port directory " + directory + " was removed; it is made again with the links of "
                     + std::to_string(count) + (count == 1 ? " port" : " ports"));
    else if (count > 0)
        Log::Warning("the link" + std::string(count == 1 ? " " : "s ") + made + " in " + directory
                     + (count == 1 ? " was" : " were") + " removed; made again");
}
