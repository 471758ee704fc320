#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

// Type byte of a DTU datagram (offset 12).
enum class DtuPacketType : uint8_t { Login = 0, LoginReply = 1, Data = 3 };

// Byte layout of the DTU datagrams: a 12-byte code field holding the NUL-terminated code, the
// type byte, then the body.
namespace DtuPacket {

constexpr int CodeFieldSize = 12;
constexpr int TypeOffset = 12;
constexpr int HeaderSize = 13;
constexpr int LoginReplySize = 15;
constexpr int MaxPayload = 1000;  // a pump reads at most this much at a time
constexpr int MaxDataDatagram = HeaderSize + MaxPayload;
constexpr int MaxCodeLength = CodeFieldSize - 1;

// The code: the bytes before the first NUL of the code field. Empty optional when the datagram
// is shorter than the code field or the field holds no NUL. The view points into data.
std::optional<std::string_view> ReadCode(const uint8_t* data, int length);

// The 15-byte reply to a login: the request's 12 code bytes as received, 1, "OK".
void BuildLoginReply(const uint8_t* request, uint8_t reply[LoginReplySize]);

// code, NUL, zero padding to 12 bytes, 3, then count payload bytes. The code is cut to 11
// characters and count to MaxPayload; out holds at least MaxDataDatagram bytes. Returns the
// datagram's length.
int BuildDataDatagram(std::string_view code, const uint8_t* payload, int count, uint8_t* out);

}  // namespace DtuPacket
