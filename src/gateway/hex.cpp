#include "gateway/hex.h"

#include <array>
#include <cstdio>

namespace ol {
namespace {

// A digit's value, or -1 for a character that is no hex digit; by table, since every frame
// sent and received goes through here.
constexpr std::array<signed char, 256> kNibbles = [] {
  std::array<signed char, 256> t{};
  for (auto& v : t) v = -1;
  for (int c = '0'; c <= '9'; ++c) t[c] = static_cast<signed char>(c - '0');
  for (int c = 'A'; c <= 'F'; ++c) t[c] = static_cast<signed char>(c - 'A' + 10);
  for (int c = 'a'; c <= 'f'; ++c) t[c] = static_cast<signed char>(c - 'a' + 10);
  return t;
}();

int Nibble(char c) {
  return kNibbles[static_cast<unsigned char>(c)];
}

}  // namespace

std::string BytesToHex(const std::uint8_t* data, std::size_t length) {
  static const char digits[] = "0123456789ABCDEF";
  std::string hex(length * 2, '0');
  for (std::size_t i = 0; i < length; ++i) {
    hex[2 * i] = digits[data[i] >> 4];
    hex[2 * i + 1] = digits[data[i] & 0x0F];
  }
  return hex;
}

std::string BytesToHex(std::string_view bytes) {
  return BytesToHex(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size());
}

std::string HexToBytes(std::string_view hex) {
  std::string bytes(hex.size() / 2, '\0');
  for (std::size_t i = 0; i < bytes.size(); ++i) {
    const int hi = Nibble(hex[2 * i]), lo = Nibble(hex[2 * i + 1]);
    // Either digit bad: a zero byte. Both good, (hi | lo) has no sign bit.
    bytes[i] = static_cast<char>((hi | lo) < 0 ? 0 : hi * 16 + lo);
  }
  return bytes;
}

std::uint32_t HexToInt(std::string_view hex) {
  std::uint32_t n = 0;
  for (char c : hex) {
    int v = Nibble(c);
    if (v < 0) return 0;
    n = n * 16 + static_cast<std::uint32_t>(v);
  }
  return n;
}

std::string FrameCheck(std::string_view hex) {
  // The bytes summed as they are read, without the copy; wrapping at 2^32 keeps the sum
  // modulo 65536.
  std::uint32_t sum = 0;
  for (std::size_t i = 0; i + 1 < hex.size(); i += 2) {
    const int hi = Nibble(hex[i]), lo = Nibble(hex[i + 1]);
    sum += static_cast<std::uint32_t>((hi | lo) < 0 ? 0 : hi * 16 + lo);
  }
  return IntToHex(sum % 65536, 4);
}

std::string IntToHex(std::uint32_t n, int width) {
  char buf[16];
  std::snprintf(buf, sizeof buf, "%0*X", width, n);
  return buf;
}

std::string ZeroPad(long n, int width) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "%0*ld", width, n);
  return buf;
}

std::string_view Mid(std::string_view text, std::size_t pos1, std::size_t count) {
  if (pos1 < 1 || pos1 > text.size()) return {};
  return text.substr(pos1 - 1, count);
}

}  // namespace ol
