#include "vport/LineState.h"

#include <cstdio>
#include <fcntl.h>
#include <unistd.h>

namespace {

// The value after "key=" up to the next space, or "" when the key is missing.
std::string Field(const std::string& text, const std::string& key)
{
    size_t at = text.find(key + "=");
    if (at == std::string::npos || (at > 0 && text[at - 1] != ' '))
        return {};
    at += key.size() + 1;
    return text.substr(at, text.find_first_of(" \n", at) - at);
}

bool Number(const std::string& text, unsigned long max, unsigned long& out)
{
    if (text.empty() || text.size() > 10 || text.find_first_not_of("0123456789") != std::string::npos)
        return false;
    out = std::stoul(text);
    return out <= max;
}

}  // namespace

std::string LineState::Text() const
{
    std::string text = std::to_string(baud) + " " + std::to_string(dataBits) + parity + std::to_string(stopBits);
    if (flow != "none")
        text += ", " + flow;
    text += std::string(", DTR ") + (dtr ? "on" : "off") + ", RTS " + (rts ? "on" : "off");
    return text;
}

std::optional<LineState> LineState::Parse(const std::string& text)
{
    LineState state;
    unsigned long baud, data, stop, dtr, rts;
    std::string parity = Field(text, "parity");
    state.flow = Field(text, "flow");
    if (!Number(Field(text, "baud"), 0xffffffffUL, baud) || !Number(Field(text, "data"), 8, data) || data < 5
        || !Number(Field(text, "stop"), 2, stop) || stop < 1 || !Number(Field(text, "dtr"), 1, dtr)
        || !Number(Field(text, "rts"), 1, rts) || parity.size() != 1
        || std::string("NEOMS").find(parity[0]) == std::string::npos
        || (state.flow != "none" && state.flow != "rtscts" && state.flow != "xonxoff"))
        return std::nullopt;
    state.baud = static_cast<unsigned>(baud);
    state.dataBits = static_cast<int>(data);
    state.parity = parity[0];
    state.stopBits = static_cast<int>(stop);
    state.dtr = dtr == 1;
    state.rts = rts == 1;
    return state;
}

std::string LineState::FileFor(const std::string& linkPath)
{
    size_t slash = linkPath.rfind('/');
    if (slash == std::string::npos || slash + 1 == linkPath.size())
        return {};
    return linkPath.substr(0, slash + 1) + "." + linkPath.substr(slash + 1) + ".line";
}

std::optional<LineState> LineState::ForLink(const std::string& linkPath)
{
    std::string path = FileFor(linkPath);
    if (path.empty())
        return std::nullopt;
    // The library writes 64 bytes; anything longer is not its.
    int fd = open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0)
        return std::nullopt;
    char buffer[128];
    ssize_t n = pread(fd, buffer, sizeof buffer, 0);
    close(fd);
    if (n <= 0 || n > 64)
        return std::nullopt;
    return Parse(std::string(buffer, static_cast<size_t>(n)));
}
