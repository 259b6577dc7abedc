#include "core/gbk.h"

#ifdef _WIN32
#include <windows.h>
#else
#include <iconv.h>
#endif

#include <cerrno>
#include <cstring>

namespace ol {
namespace {

#ifdef _WIN32
// Code page 936 through the system's own tables. Windows has no iconv; the conversions
// keep its rules: a byte that begins no character becomes '?' alone.
constexpr UINT kGbk = 936;

void AppendUtf8(std::string& out, const wchar_t* wide, int n) {
  char buf[16];
  int m = WideCharToMultiByte(CP_UTF8, 0, wide, n, buf, sizeof buf, nullptr, nullptr);
  out.append(buf, static_cast<std::size_t>(m));
}

// The UTF-16 of one GBK character of 1 or 2 bytes; 0 when the code page has none. The
// private-use characters the table gives to the user-defined areas and to GBK's gaps
// show as '?', as on Linux: no font on the screen draws them.
int DecodeGbk(const char* bytes, int n, wchar_t* wide) {
  const int got = MultiByteToWideChar(kGbk, MB_ERR_INVALID_CHARS, bytes, n, wide, 2);
  if (got == 1 && wide[0] >= 0xE000 && wide[0] <= 0xF8FF) return 0;
  return got;
}

std::string GbkToUtf8Impl(std::string_view in) {
  std::string out;
  out.reserve(in.size() * 3 / 2);
  std::size_t i = 0;
  while (i < in.size()) {
    auto c = static_cast<unsigned char>(in[i]);
    if (c < 0x80) {
      out.push_back(in[i++]);
      continue;
    }
    wchar_t wide[2];
    int n = 0;
    if (i + 1 < in.size()) n = DecodeGbk(in.data() + i, 2, wide);
    if (n == 1) {
      AppendUtf8(out, wide, 1);
      i += 2;
      continue;
    }
    out.push_back('?');
    ++i;
  }
  return out;
}

std::string Utf8ToGbkImpl(std::string_view in) {
  std::string out;
  out.reserve(in.size());
  std::size_t i = 0;
  while (i < in.size()) {
    auto c = static_cast<unsigned char>(in[i]);
    if (c < 0x80) {
      out.push_back(in[i++]);
      continue;
    }
    // One UTF-8 sequence; an invalid one costs one byte.
    const std::size_t len = c >= 0xF0 ? 4 : c >= 0xE0 ? 3 : c >= 0xC0 ? 2 : 1;
    wchar_t wide[2];
    int n = len > 1 && i + len <= in.size()
                ? MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, in.data() + i,
                                      static_cast<int>(len), wide, 2)
                : 0;
    if (n == 0) {
      out.push_back('?');
      ++i;
      continue;
    }
    char buf[8];
    BOOL lossy = FALSE;
    int m = WideCharToMultiByte(kGbk, WC_NO_BEST_FIT_CHARS, wide, n, buf, sizeof buf, "?", &lossy);
    if (m <= 0 || lossy)
      out.push_back('?');
    else
      out.append(buf, static_cast<std::size_t>(m));
    i += len;
  }
  return out;
}
#else
// A converter per direction and thread, opened once: opening one loads its tables, and
// every frame and file line goes through here.
iconv_t Converter(const char* from, const char* to) {
  struct Cached {
    const char* from = nullptr;
    const char* to = nullptr;
    iconv_t cd = reinterpret_cast<iconv_t>(-1);
    ~Cached() {
      if (cd != reinterpret_cast<iconv_t>(-1)) iconv_close(cd);
    }
  };
  thread_local Cached cached[2];
  for (Cached& c : cached)
    if (c.from && std::strcmp(c.from, from) == 0 && std::strcmp(c.to, to) == 0) {
      iconv(c.cd, nullptr, nullptr, nullptr, nullptr);  // back to the initial state
      return c.cd;
    }
  Cached& slot = cached[std::strcmp(to, "UTF-8") == 0 ? 0 : 1];
  if (slot.cd != reinterpret_cast<iconv_t>(-1)) iconv_close(slot.cd);
  slot.cd = iconv_open(to, from);
  slot.from = slot.cd == reinterpret_cast<iconv_t>(-1) ? nullptr : from;
  slot.to = to;
  return slot.cd;
}

std::string Convert(std::string_view in, const char* from, const char* to) {
  iconv_t cd = Converter(from, to);
  if (cd == reinterpret_cast<iconv_t>(-1)) return std::string(in);
  // Converted straight into the result, which is cut to what was written: four bytes out
  // for each byte in is more than either direction needs, so it grows only in theory.
  std::string out(4 * in.size() + 16, '\0');
  std::size_t used = 0;
  char* src = const_cast<char*>(in.data());
  size_t srcLeft = in.size();
  while (srcLeft > 0) {
    char* dst = out.data() + used;
    size_t dstLeft = out.size() - used;
    size_t r = iconv(cd, &src, &srcLeft, &dst, &dstLeft);
    used = static_cast<std::size_t>(dst - out.data());
    if (r == static_cast<size_t>(-1)) {
      if (errno == E2BIG) {
        out.resize(2 * out.size());
        continue;
      }
      // Invalid or incomplete sequence: replace one byte and go on.
      if (used == out.size()) out.resize(2 * out.size());
      out[used++] = '?';
      ++src;
      --srcLeft;
      iconv(cd, nullptr, nullptr, nullptr, nullptr);
    }
  }
  out.resize(used);
  return out;
}
#endif

bool IsLeadByte(unsigned char c) {
  return c >= 0x81 && c <= 0xFE;
}

bool IsTrailByte(unsigned char c) {
  return c >= 0x40 && c <= 0xFE && c != 0x7F;
}

}  // namespace

std::string GbkRoundTrip(std::string_view gbk) {
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
    // The code page maps every lead byte followed by a trail byte and writes it back as
    // it was: the user-defined areas and the gaps of GBK to private-use characters. Not
    // asked of glibc, whose GBK lacks the gaps and some of the code page's characters.
    if (IsLeadByte(c) && i + 1 < gbk.size() &&
        IsTrailByte(static_cast<unsigned char>(gbk[i + 1]))) {
      out.append(gbk.substr(i, 2));
      i += 2;
      continue;
    }
    // A byte that begins no character: replaced alone, the next byte is read afresh.
    out.push_back('?');
    ++i;
  }
  return out;
}

#ifdef _WIN32
std::string GbkToUtf8(std::string_view gbk) {
  return GbkToUtf8Impl(gbk);
}
std::string Utf8ToGbk(std::string_view utf8) {
  return Utf8ToGbkImpl(utf8);
}
#else
std::string GbkToUtf8(std::string_view gbk) {
  return Convert(gbk, "GBK", "UTF-8");
}
std::string Utf8ToGbk(std::string_view utf8) {
  return Convert(utf8, "UTF-8", "GBK");
}
#endif

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
