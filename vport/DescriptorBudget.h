#pragma once

#include <string>

#include "net/Reason.h"

// How many descriptors the process may still open. A port takes a few (its pseudo-terminal,
// the path-only descriptor its link leads through, and for a moment while it is made its
// terminal's other end), and
// the ports must leave some for everything else the program opens while it runs: the
// configuration file on a save or reload, TCP connections, the bus.
namespace DescriptorBudget {

// What one more port takes, at most, and a TCP port's link (its socket).
constexpr int PerPort = 3;
constexpr int PerTcpLink = 1;
// What the ports leave to the rest of the program.
constexpr int Reserve = 16;

// The soft limit on open descriptors (RLIMIT_NOFILE), -1 when it is unlimited or unknown.
long Limit();
// Descriptors open in this process now, -1 when they cannot be counted.
int Open();
// True when needed more descriptors fit under the limit with the reserve left over (also when
// the limit or the count is unknown: the calls that make them then say whether they fit).
bool Room(int needed);
// Why the port called name is not served when Room said no: DescriptorLimit with the limit.
Reason Shortage(const std::string& name);
// Why the port called name is not served when a call for it failed with error: kind, or
// DescriptorLimit with the limit when the error is that no descriptor is left.
Reason Failure(Reason::Kind kind, const std::string& name, int error);

}  // namespace DescriptorBudget
