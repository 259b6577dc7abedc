#include "platform/system_info.h"

#include <iconv.h>
#include <langinfo.h>
#include <locale.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <fstream>
#include <stdexcept>

#include "core/error_text.h"
#include "core/text_file.h"

namespace ol {

namespace {

// Text in a locale's own character set, as UTF-8.
std::string ToUtf8(const std::string& text, const char* codeset) {
  bool ascii = true;
  for (char c : text) ascii = ascii && static_cast<unsigned char>(c) < 0x80;
  if (ascii || std::strcmp(codeset, "UTF-8") == 0) return text;
  iconv_t cd = iconv_open("UTF-8", codeset);
  if (cd == reinterpret_cast<iconv_t>(-1)) return text;
  std::string in = text;
  std::string out(4 * text.size() + 8, '\0');
  char* src = in.data();
  char* dst = out.data();
  std::size_t srcLeft = in.size();
  std::size_t dstLeft = out.size();
  const bool ok = iconv(cd, &src, &srcLeft, &dst, &dstLeft) != static_cast<std::size_t>(-1);
  iconv_close(cd);
  if (!ok) return text;
  out.resize(out.size() - dstLeft);
  return out;
}

// The locale of that name, loaded once per thread: loading reads and maps its files, which
// the clock's tick every second should not.
locale_t LocaleNamed(const char* name) {
  struct Cached {
    std::string name;
    locale_t loc = static_cast<locale_t>(0);
    ~Cached() {
      if (loc != static_cast<locale_t>(0)) freelocale(loc);
    }
  };
  thread_local Cached cached;
  if (cached.loc != static_cast<locale_t>(0) && cached.name == name) return cached.loc;
  if (cached.loc != static_cast<locale_t>(0)) freelocale(cached.loc);
  cached.loc = newlocale(LC_TIME_MASK | LC_CTYPE_MASK, name, static_cast<locale_t>(0));
  if (cached.loc == static_cast<locale_t>(0))
    cached.loc = newlocale(LC_TIME_MASK | LC_CTYPE_MASK, "C", static_cast<locale_t>(0));
  cached.name = name;
  return cached.loc;
}

}  // namespace

std::string SystemDateTimeText(const LocalDateTime& when, const char* localeName) {
  locale_t loc = LocaleNamed(localeName);
  std::tm tm{};
  tm.tm_year = when.year - 1900;
  tm.tm_mon = when.month - 1;
  tm.tm_mday = when.day;
  tm.tm_hour = when.hour;
  tm.tm_min = when.minute;
  tm.tm_sec = when.second;
  tm.tm_isdst = -1;
  // The weekday and the day of the year, which some formats show.
  std::tm copy = tm;
  std::time_t t = timegm(&copy);
  gmtime_r(&t, &copy);
  tm.tm_wday = copy.tm_wday;
  tm.tm_yday = copy.tm_yday;
  char buf[128];
  std::size_t n = strftime_l(buf, sizeof buf, "%x %X", &tm, loc);
  return ToUtf8(std::string(buf, n), nl_langinfo_l(CODESET, loc));
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

std::filesystem::path LongPathForm(const std::filesystem::path& path) {
  return path;
}

std::string ProgramFolder() {
  std::error_code ec;
  std::filesystem::path exe = std::filesystem::read_symlink("/proc/self/exe", ec);
  if (ec) throw std::runtime_error("cannot find the program file: " + ErrorText(ec));
  std::string folder = exe.parent_path().string();
  if (folder.empty() || folder.back() != '/') folder += '/';
  return folder;
}

}  // namespace ol
