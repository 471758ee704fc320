#include "vport/DescriptorBudget.h"

#include <cerrno>
#include <dirent.h>
#include <sys/resource.h>

namespace DescriptorBudget {

long Limit()
{
    rlimit limit{};
    if (getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY)
        return -1;
    return static_cast<long>(limit.rlim_cur);
}

int Open()
{
    DIR* dir = opendir("/proc/self/fd");
    if (!dir)
        return -1;
    int count = -1;  // the directory's own descriptor is not counted
    while (dirent* entry = readdir(dir)) {
        if (entry->d_name[0] != '.')
            ++count;
    }
    closedir(dir);
    return count;
}

bool Room(int needed)
{
    const long limit = Limit();
    if (limit < 0)
        return true;
    const int open = Open();
    return open < 0 || open + needed + Reserve <= limit;
}

Reason Shortage(const std::string& name)
{
    return {Reason::Kind::DescriptorLimit, name, std::to_string(Limit()), EMFILE};
}

Reason Failure(Reason::Kind kind, const std::string& name, int error)
{
    return error == EMFILE ? Shortage(name) : Reason{kind, name, {}, error};
}

}  // namespace DescriptorBudget
