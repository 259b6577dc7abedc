#include "platform/system_info.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <stdexcept>

#include "core/text_file.h"

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

std::vector<std::string> ListSerialPorts(const std::filesystem::path& sysfsRoot) {
  namespace fs = std::filesystem;
  std::vector<std::string> ports;
  std::error_code ec;
  fs::directory_iterator it(sysfsRoot / "class" / "tty", ec);
  if (ec) return ports;
  for (; it != fs::directory_iterator(); it.increment(ec)) {
    if (ec) break;
    const fs::path& entry = it->path();
    std::error_code ignored;
    // Virtual terminals, consoles and pseudo-terminals have no device behind them.
    if (!fs::exists(entry / "device", ignored)) continue;
    // UART slots carry their port type; 0 is "unknown": the driver reserved the slot but
    // found no chip there.
    if (auto type = ReadWholeFile(entry / "type"); type && Trim(*type) == "0") continue;
    ports.push_back(entry.filename().string());
  }
  std::sort(ports.begin(), ports.end(), NaturalLess);
  return ports;
}

std::string ProgramFolder() {
  std::error_code ec;
  std::filesystem::path exe = std::filesystem::read_symlink("/proc/self/exe", ec);
  if (ec) throw std::runtime_error("cannot find the program file: " + ec.message());
  std::string folder = exe.parent_path().string();
  if (folder.empty() || folder.back() != '/') folder += '/';
  return folder;
}

}  // namespace ol
