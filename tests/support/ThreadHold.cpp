#include "support/ThreadHold.h"

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <dirent.h>
#include <fstream>
#include <sys/syscall.h>
#include <unistd.h>

#include "support/Wait.h"

namespace {

int holdPipe[2] = {-1, -1};
std::atomic<bool> inHandler{false};

void WaitForRelease(int)
{
    const int saved = errno;
    inHandler = true;
    char byte;
    while (read(holdPipe[0], &byte, 1) < 0 && errno == EINTR) {
    }
    inHandler = false;
    errno = saved;
}

int FindThread(const std::string& name)
{
    DIR* dir = opendir("/proc/self/task");
    if (!dir)
        return -1;
    int found = -1;
    while (dirent* entry = readdir(dir)) {
        if (entry->d_name[0] == '.')
            continue;
        std::ifstream comm(std::string("/proc/self/task/") + entry->d_name + "/comm");
        std::string text;
        if (std::getline(comm, text) && text == name)
            found = std::atoi(entry->d_name);
    }
    closedir(dir);
    return found;
}

}  // namespace

ThreadHold::ThreadHold(const std::string& threadName)
{
    const int tid = FindThread(threadName);
    if (tid < 0 || pipe(holdPipe) != 0)
        return;
    struct sigaction action {};
    action.sa_handler = WaitForRelease;
    sigemptyset(&action.sa_mask);
    sigaction(SIGUSR2, &action, nullptr);
    if (syscall(SYS_tgkill, getpid(), tid, SIGUSR2) != 0)
        return;
    held_ = WaitUntil([] { return inHandler.load(); });
}

ThreadHold::~ThreadHold()
{
    if (holdPipe[1] >= 0) {
        const char byte = 0;
        (void)!write(holdPipe[1], &byte, 1);
        WaitUntil([] { return !inHandler.load(); });
        close(holdPipe[0]);
        close(holdPipe[1]);
        holdPipe[0] = holdPipe[1] = -1;
    }
    signal(SIGUSR2, SIG_DFL);
}
