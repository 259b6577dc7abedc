#pragma once

#include <memory>
#include <string>
#include <string_view>

namespace ol {

// Holds the name "orderlink/U/title/<title>" (U the user id) for as long as the object
// lives, so a second program with the same window title can tell that one already runs.
// The name goes away with the process, however it ends.
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
  explicit SingleInstance(int fd) : fd_(fd) {}
  int fd_;
};

}  // namespace ol
