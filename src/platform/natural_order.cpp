#include "platform/system_info.h"

namespace ol {

bool NaturalLess(const std::string& a, const std::string& b) {
  auto isDigit = [](char c) { return c >= '0' && c <= '9'; };
  std::size_t i = 0, j = 0;
  while (i < a.size() && j < b.size()) {
    if (isDigit(a[i]) && isDigit(b[j])) {
      std::size_t ie = i, je = j;
      while (ie < a.size() && isDigit(a[ie])) ++ie;
      while (je < b.size() && isDigit(b[je])) ++je;
      // Compare by value: skip leading zeros, then the longer run is larger.
      std::size_t is = i, js = j;
      while (is + 1 < ie && a[is] == '0') ++is;
      while (js + 1 < je && b[js] == '0') ++js;
      if (ie - is != je - js) return ie - is < je - js;
      int c = a.compare(is, ie - is, b, js, je - js);
      if (c != 0) return c < 0;
      // Equal values: fewer leading zeros first, so the order is total.
      if (ie - i != je - j) return ie - i < je - j;
      i = ie;
      j = je;
    } else {
      if (a[i] != b[j]) return static_cast<unsigned char>(a[i]) < static_cast<unsigned char>(b[j]);
      ++i;
      ++j;
    }
  }
  return a.size() - i < b.size() - j;
}

}  // namespace ol
