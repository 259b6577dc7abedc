#include "core/gbk.h"

#include <iconv.h>

#include <cerrno>
#include <vector>

namespace ol {
namespace {

std::string Convert(std::string_view in, const char* from, const char* to) {
  iconv_t cd = iconv_open(to, from);
  if (cd == reinterpret_cast<iconv_t>(-1)) return std::string(in);
  std::string out;
  std::vector<char> buf(4 * in.size() + 16);
  char* src = const_cast<char*>(in.data());
  size_t srcLeft = in.size();
  while (srcLeft > 0) {
    char* dst = buf.data();
    size_t dstLeft = buf.size();
    size_t r = iconv(cd, &src, &srcLeft, &dst, &dstLeft);
    out.append(buf.data(), dst - buf.data());
    if (r == static_cast<size_t>(-1)) {
      if (errno == E2BIG) continue;
      // Invalid or incomplete sequence: replace one byte and go on.
      out.push_back('?');
      ++src;
      --srcLeft;
      iconv(cd, nullptr, nullptr, nullptr, nullptr);
    }
  }
  iconv_close(cd);
  return out;
}

bool IsLeadByte(unsigned char c) {
  return c >= 0x81 && c <= 0xFE;
}

bool IsTrailByte(unsigned char c) {
  return c >= 0x40 && c <= 0xFE && c != 0x7F;
}

// The three user-defined areas, which the code page maps to private-use characters.
bool IsUserDefined(unsigned char lead, unsigned char trail) {
  if (lead >= 0xAA && lead <= 0xAF) return trail >= 0xA1;
  if (lead >= 0xF8) return trail >= 0xA1;
  if (lead >= 0xA1 && lead <= 0xA7) return trail <= 0xA0;
  return false;
}

}  // namespace

std::string GbkRoundTrip(std::string_view gbk) {
  iconv_t cd = iconv_open("UTF-16LE", "GBK");
  std::string out;
  out.reserve(gbk.size());
  std::size_t i = 0;
  while (i < gbk.size()) {
    auto c = static_cast<unsigned char>(gbk[i]);
    // 0x80 is the euro sign, a character of its own.
    if (c <= 0x80) {
      out.push_back(gbk[i++]);
      continue;
    }
    if (IsLeadByte(c) && i + 1 < gbk.size() &&
        IsTrailByte(static_cast<unsigned char>(gbk[i + 1]))) {
      auto trail = static_cast<unsigned char>(gbk[i + 1]);
      bool known = IsUserDefined(c, trail);
      if (!known && cd != reinterpret_cast<iconv_t>(-1)) {
        char pair[2] = {gbk[i], gbk[i + 1]};
        char wide[8];
        char* src = pair;
        char* dst = wide;
        std::size_t srcLeft = 2;
        std::size_t dstLeft = sizeof wide;
        known = iconv(cd, &src, &srcLeft, &dst, &dstLeft) != static_cast<std::size_t>(-1) &&
                srcLeft == 0;
        iconv(cd, nullptr, nullptr, nullptr, nullptr);
      }
      // A pair the code page leaves undefined is one unknown character.
      if (known)
        out.append(gbk.substr(i, 2));
      else
        out.push_back('?');
      i += 2;
      continue;
    }
    // A byte that begins no character: replaced alone, the next byte is read afresh.
    out.push_back('?');
    ++i;
  }
  if (cd != reinterpret_cast<iconv_t>(-1)) iconv_close(cd);
  return out;
}

std::string GbkToUtf8(std::string_view gbk) {
  return Convert(gbk, "GBK", "UTF-8");
}
std::string Utf8ToGbk(std::string_view utf8) {
  return Convert(utf8, "UTF-8", "GBK");
}

std::size_t GbkPrefixLength(std::string_view gbk, std::size_t max) {
  std::size_t i = 0;
  while (i < gbk.size() && i < max) {
    auto c = static_cast<unsigned char>(gbk[i]);
    std::size_t width = (c >= 0x81 && c <= 0xFE) ? 2 : 1;
    if (i + width > max) break;
    i += width;
  }
  return std::min(i, gbk.size());
}

}  // namespace ol
