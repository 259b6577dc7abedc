#include "gateway/hex.h"

#include <cstdio>

namespace ol {
namespace {

int Nibble(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
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
  std::string bytes;
  bytes.reserve(hex.size() / 2);
  for (std::size_t i = 0; i + 1 < hex.size(); i += 2) {
    int hi = Nibble(hex[i]), lo = Nibble(hex[i + 1]);
    bytes.push_back(static_cast<char>(hi < 0 || lo < 0 ? 0 : hi * 16 + lo));
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
  std::uint32_t sum = 0;
  for (unsigned char b : HexToBytes(hex)) sum = (sum + b) % 65536;
  return IntToHex(sum, 4);
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
