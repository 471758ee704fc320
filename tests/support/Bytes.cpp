#include "Bytes.h"

Bytes Pattern(size_t size, uint32_t seed)
{
    Bytes bytes(size);
    uint32_t x = seed * 2654435761u + 1;
    for (auto& b : bytes) {
        x = x * 1103515245u + 12345u;
        b = static_cast<uint8_t>(x >> 16);
    }
    return bytes;
}

Bytes AllByteValues()
{
    Bytes bytes(256);
    for (int i = 0; i < 256; ++i)
        bytes[i] = static_cast<uint8_t>(i);
    return bytes;
}

Bytes ToBytes(const std::string& text)
{
    return Bytes(text.begin(), text.end());
}
