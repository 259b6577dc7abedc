// The table of request kinds in the integrator's guide, made from the dispatcher's own
// table, so the guide cannot say other than what the gateway writes to T1.txt.
//
//   request_kinds_table                 prints the guide's section
//   request_kinds_table --check GUIDE   fails when the guide's section differs
//   request_kinds_table --update GUIDE  writes the section into the guide
#include <cstdio>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>

#include "gateway/dispatcher.h"

namespace {

constexpr const char* kBegin =
    "<!-- request-kinds begin: made by request_kinds_table --update, do not edit -->\n";
constexpr const char* kEnd = "<!-- request-kinds end -->\n";

std::string Hex(int value) {
  char text[8];
  std::snprintf(text, sizeof text, "0x%02X", value);
  return text;
}

std::string Columns(const ol::RequestKind& kind) {
  if (kind.padWidth > 0)
    return "整个载荷；不足 " + std::to_string(kind.padWidth + 1) + " 个字符时用空格补足到 " +
           std::to_string(kind.padWidth + 1) + " 个";
  if (kind.ranges.empty()) return "无（只有头行）";
  std::string text;
  for (auto [first, last] : kind.ranges) {
    if (!text.empty()) text += " · ";
    if (last == 0)
      text += std::to_string(first) + "–末尾";
    else if (last == first)
      text += std::to_string(first) + "（1）";
    else
      text += std::to_string(first) + "–" + std::to_string(last) + "（" +
              std::to_string(last - first + 1) + "）";
  }
  return text;
}

std::string Section() {
  std::ostringstream out;
  out << kBegin;
  out << "| 索引 | 代码 | `T1.txt` 的头行 | 记录行：载荷中的位置（宽度） | 回复名称 | 说明 |\n";
  out << "|---:|:---:|---|---|---|---|\n";
  for (int i = 0; i < ol::kRequestKinds; ++i) {
    const ol::RequestKind& kind = ol::RequestKindAt(i);
    const std::string header = kind.header;
    const std::string headerName = header.substr(0, header.find(' '));
    std::string note;
    if (i == 0) note = "回复帧在文本之前带网关时钟的本地日期和时间";
    if (header.empty()) note = "`T1.txt` 为空；回复任何种类的名称都可以";
    if (!header.empty() && headerName != kind.reply)
      note = "回复名称与请求名称不同；头行 `" + header + "hhh` 同样指明回复";
    std::string headerLine = "—", record = "—";
    if (!header.empty()) {
      headerLine = "`" + header + "hhh`";
      record = i == ol::kOrderKind ? "多行，见下文" : Columns(kind);
    }
    out << "| " << i << " | " << Hex(0x4C + i) << " | " << headerLine << " | " << record << " | `"
        << kind.reply << "` | " << note << " |\n";
  }
  // The order's record comes from its own code: an example shows what it makes.
  const std::string item1 = std::string("10001") + "   2" + "0011" + "LESS SPICY  " + "01" + ' ';
  const std::string item2 =
      std::string("10002") + "  1 " + "0012" + std::string(12, ' ') + "02" + '!';
  const std::string payload =
      std::string("A12    ") + "0007" + "000000004711" + '\x02' + item1 + item2;
  out << "\n例：时间戳为 12:34:56 的点菜请求，载荷为 `" << payload.substr(0, 23)
      << "`、一个值为 2 的字节和两个菜品\n`" << item1 << "`、`" << item2 << "`，`T1.txt` 为：\n\n";
  out << "    " << ol::RequestHeaderName(ol::kOrderKind) << "005\n";
  for (const std::string& line : ol::RequestRecordLines(ol::kOrderKind, payload, "563412010203"))
    out << "    " << line << "\n";
  out << kEnd;
  return out.str();
}

bool Read(const char* path, std::string& text) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return false;
  text.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  const std::string section = Section();
  if (argc == 1) {
    std::fputs(section.c_str(), stdout);
    return 0;
  }
  const std::string mode = argv[1];
  if (argc != 3 || (mode != "--check" && mode != "--update")) {
    std::fprintf(stderr, "usage: %s [--check GUIDE | --update GUIDE]\n", argv[0]);
    return 2;
  }
  std::string guide;
  if (!Read(argv[2], guide)) {
    std::fprintf(stderr, "request_kinds_table: cannot read %s\n", argv[2]);
    return 2;
  }
  const std::size_t begin = guide.find(kBegin);
  const std::size_t end = guide.find(kEnd, begin == std::string::npos ? 0 : begin);
  if (begin == std::string::npos || end == std::string::npos) {
    std::fprintf(stderr, "request_kinds_table: %s has no section between\n  %s  and %s", argv[2],
                 kBegin, kEnd);
    return 1;
  }
  const std::size_t after = end + std::string(kEnd).size();
  if (guide.compare(begin, after - begin, section) == 0) return 0;
  if (mode == "--check") {
    std::fprintf(stderr,
                 "request_kinds_table: the request kinds in %s differ from the gateway's; "
                 "run request_kinds_table --update %s and read the change. The gateway's:\n%s",
                 argv[2], argv[2], section.c_str());
    return 1;
  }
  guide.replace(begin, after - begin, section);
  std::ofstream out(argv[2], std::ios::binary | std::ios::trunc);
  out << guide;
  return out.flush() ? 0 : 2;
}
