#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

using Bytes = std::vector<uint8_t>;

// size pseudo-random bytes; the same seed gives the same bytes.
Bytes Pattern(size_t size, uint32_t seed);
// 0x00 to 0xFF in order.
Bytes AllByteValues();
Bytes ToBytes(const std::string& text);
