#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace ol {

// Frames are handled as upper-case hex text, two characters a byte; positions in the
// protocol descriptions count characters from 1, the helpers here take 0-based offsets.
std::string BytesToHex(std::string_view bytes);
std::string BytesToHex(const std::uint8_t* data, std::size_t length);
// Pairs from the start while a whole pair remains; an odd trailing character is ignored.
// A pair that is not hex becomes 0.
std::string HexToBytes(std::string_view hex);
// The digits read as one hexadecimal number; text that is not hex gives 0.
std::uint32_t HexToInt(std::string_view hex);
// An address byte of a frame as a number, or -1 while it is not set (empty).
inline int AddressOf(std::string_view hex) {
  return hex.empty() ? -1 : static_cast<int>(HexToInt(hex));
}
// Four hex digits: the sum of the bytes modulo 65536, high byte first.
std::string FrameCheck(std::string_view hex);
// n as width upper-case hex digits (two for a byte).
std::string IntToHex(std::uint32_t n, int width = 2);
// n in decimal with at least width digits ("005"; 100 stays "100").
std::string ZeroPad(long n, int width);

// Substring by 1-based position and count, clipped to the text (the layouts count so).
std::string_view Mid(std::string_view text, std::size_t pos1, std::size_t count);

}  // namespace ol
