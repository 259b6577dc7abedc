#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

namespace ol {

// Holds the name "orderlink/U/title/<title>" (U the user id) for as long as the object
// lives, so a second program with the same window title can tell that one already runs.
// The name goes away with the process, however it ends. On Windows the name is a mutex of
// the session, and a top-level window with that title also counts as a running instance.
class SingleInstance {
 public:
  // Null when another process holds the name. Throws HostLinkError when the name cannot
  // be tried at all (no socket, or a title too long for a socket name).
  static std::unique_ptr<SingleInstance> Acquire(std::string_view titleUtf8);
  ~SingleInstance();
  SingleInstance(const SingleInstance&) = delete;
  SingleInstance& operator=(const SingleInstance&) = delete;

  static std::string SocketName(unsigned uid, std::string_view titleUtf8);

 private:
  explicit SingleInstance(std::intptr_t held) : held_(held) {}
  std::intptr_t held_;  // the socket (POSIX) or the mutex handle (Windows)
};

}  // namespace ol
