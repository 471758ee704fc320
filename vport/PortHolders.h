#pragma once

#include <string>
#include <sys/types.h>
#include <vector>

// A program that holds a port open, as the system tells it: its process and its name.
struct PortHolder {
    pid_t pid = 0;
    std::string program;  // the process's command name ("picocom")
};

// The processes that have the device behind linkPath (a port's link) open, found in
// /proc; only those the system lets this user look into (the user's own). None when the link
// leads nowhere.
std::vector<PortHolder> PortHolders(const std::string& linkPath);
