#pragma once

#include <string>

#include "support/Bytes.h"
#include "support/LoopPort.h"
#include "support/RuntimeDir.h"
#include "support/SerialApp.h"
#include "support/Wait.h"

// True when fd has bytes to read right now.
bool FdReadable(int fd);
std::string RunCommand(const std::string& command, int* status);
