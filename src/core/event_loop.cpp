#include "core/event_loop.h"

#include <ctime>

namespace ol {

LocalDateTime EventLoop::LocalTimeOf(std::chrono::system_clock::time_point when) const {
  std::time_t t = std::chrono::system_clock::to_time_t(when);
  std::tm tm{};
#ifdef _WIN32
  localtime_s(&tm, &t);
#else
  localtime_r(&t, &tm);
#endif
  return {tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec};
}

}  // namespace ol
