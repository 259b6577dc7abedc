#include "core/event_loop.h"

#include <cstdint>
#include <ctime>

#ifdef _WIN32
#include <windows.h>
#endif

namespace ol {

#ifdef _WIN32
namespace {

using FileTimeReader = void(WINAPI*)(LPFILETIME);

// The precise reading exists from Windows 8 on; Windows 7 has the one that moves with the
// system tick.
FileTimeReader SystemTimeReader() {
  const FARPROC precise =
      GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "GetSystemTimePreciseAsFileTime");
  if (!precise) return GetSystemTimeAsFileTime;
  return reinterpret_cast<FileTimeReader>(reinterpret_cast<void (*)()>(precise));
}

}  // namespace
#endif

std::chrono::system_clock::time_point SystemWallClock() {
#ifdef _WIN32
  // From the system's file time, not system_clock::now(): the 32-bit runtime's
  // clock_gettime holds the seconds in a 32-bit time_t.
  static const FileTimeReader read = SystemTimeReader();
  FILETIME now;
  read(&now);
  // 100 ns units since 1601-01-01, the start of the Unix era being 11644473600 s later.
  const std::int64_t units =
      static_cast<std::int64_t>(std::uint64_t{now.dwHighDateTime} << 32 | now.dwLowDateTime) -
      116444736000000000;
  using Units = std::chrono::duration<std::int64_t, std::ratio<1, 10000000>>;
  return std::chrono::system_clock::time_point{
      std::chrono::duration_cast<std::chrono::system_clock::duration>(Units{units})};
#else
  return std::chrono::system_clock::now();
#endif
}

LocalDateTime SystemLocalTime(std::chrono::system_clock::time_point when) {
  std::tm tm{};
#ifdef _WIN32
  // The 64-bit call by name: a 32-bit build's time_t is msvcrt's 32-bit one, and it cannot
  // be widened there without breaking struct timespec between our code and the prebuilt
  // thread library.
  const __time64_t t =
      std::chrono::duration_cast<std::chrono::seconds>(when.time_since_epoch()).count();
  _localtime64_s(&tm, &t);
#else
  const std::time_t t = std::chrono::system_clock::to_time_t(when);
  localtime_r(&t, &tm);
#endif
  return {tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec};
}

LocalDateTime EventLoop::LocalTimeOf(std::chrono::system_clock::time_point when) const {
  return SystemLocalTime(when);
}

}  // namespace ol
