#include "link/DtuPacket.h"

#include <algorithm>
#include <cstring>

namespace DtuPacket {

std::optional<std::string_view> ReadCode(const uint8_t* data, int length)
{
    if (length < CodeFieldSize)
        return std::nullopt;
    const void* nul = std::memchr(data, 0, CodeFieldSize);
    if (!nul)
        return std::nullopt;
    return std::string_view(reinterpret_cast<const char*>(data), static_cast<const uint8_t*>(nul) - data);
}

void BuildLoginReply(const uint8_t* request, uint8_t reply[LoginReplySize])
{
    std::memcpy(reply, request, CodeFieldSize);
    reply[TypeOffset] = static_cast<uint8_t>(DtuPacketType::LoginReply);
    reply[13] = 'O';
    reply[14] = 'K';
}

int BuildDataDatagram(std::string_view code, const uint8_t* payload, int count, uint8_t* out)
{
    const size_t codeLength = std::min<size_t>(code.size(), MaxCodeLength);
    count = std::clamp(count, 0, MaxPayload);
    std::memset(out, 0, CodeFieldSize);
    std::memcpy(out, code.data(), codeLength);
    out[TypeOffset] = static_cast<uint8_t>(DtuPacketType::Data);
    if (count > 0)
        std::memcpy(out + HeaderSize, payload, count);
    return HeaderSize + count;
}

}  // namespace DtuPacket
