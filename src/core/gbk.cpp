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

}  // namespace

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
