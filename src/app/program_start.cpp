#include "app/program_start.h"

#include <cstdio>
#include <exception>
#include <string>

#include "app/gateway.h"

namespace ol {

namespace {

bool ParseHandle(const char* text, WindowHandle& handle) {
  std::string s(text);
  if (s.empty() || s.size() > 10 || s.find_first_not_of("0123456789") != std::string::npos)
    return false;
  unsigned long long v = std::stoull(s);
  if (v == 0 || v > 0xFFFFFFFFull) return false;
  handle = static_cast<WindowHandle>(v);
  return true;
}

}  // namespace

std::optional<int> StartProgram(int argc, char** argv, std::unique_ptr<SingleInstance>& instance,
                                WindowHandle& host) {
  try {
    instance = SingleInstance::Acquire(Gateway::kTitle);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "orderlink: %s\n", e.what());
    return 3;
  }
  if (!instance) return 0;
  if (argc < 2) return 0;
  if (!ParseHandle(argv[1], host)) {
    std::fprintf(stderr,
                 "orderlink: argument 1 must be the host window handle, a decimal number "
                 "from 1 to 4294967295; got \"%s\"\n",
                 argv[1]);
    return 2;
  }
  return std::nullopt;
}

}  // namespace ol
