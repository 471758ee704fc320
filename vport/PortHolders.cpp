#include "vport/PortHolders.h"

#include <cctype>
#include <dirent.h>
#include <fstream>
#include <sys/stat.h>

namespace {

bool IsNumber(const char* name)
{
    if (!*name)
        return false;
    for (; *name; ++name) {
        if (!std::isdigit(static_cast<unsigned char>(*name)))
            return false;
    }
    return true;
}

// Whether one of the process's descriptors is the device.
bool Holds(const std::string& process, dev_t device)
{
    const std::string folder = process + "/fd";
    DIR* fds = opendir(folder.c_str());
    if (!fds)
        return false;  // another user's, or gone meanwhile
    bool holds = false;
    while (const dirent* entry = readdir(fds)) {
        struct stat target {};
        if (IsNumber(entry->d_name) && stat((folder + "/" + entry->d_name).c_str(), &target) == 0
            && S_ISCHR(target.st_mode) && target.st_rdev == device) {
            holds = true;
            break;
        }
    }
    closedir(fds);
    return holds;
}

}  // namespace

std::vector<PortHolder> PortHolders(const std::string& linkPath)
{
    std::vector<PortHolder> holders;
    struct stat port {};
    if (linkPath.empty() || stat(linkPath.c_str(), &port) != 0 || !S_ISCHR(port.st_mode))
        return holders;
    DIR* processes = opendir("/proc");
    if (!processes)
        return holders;
    while (const dirent* entry = readdir(processes)) {
        if (!IsNumber(entry->d_name))
            continue;
        const pid_t pid = static_cast<pid_t>(std::stol(entry->d_name));
        const std::string process = std::string("/proc/") + entry->d_name;
        if (!Holds(process, port.st_rdev))
            continue;
        PortHolder holder{pid, {}};
        std::ifstream comm(process + "/comm");
        std::getline(comm, holder.program);
        holders.push_back(std::move(holder));
    }
    closedir(processes);
    return holders;
}
