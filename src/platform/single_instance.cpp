#include "platform/single_instance.h"

#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "platform/posix_host_link.h"
#include "platform/unix_socket.h"

namespace ol {

std::string SingleInstance::SocketName(unsigned uid, std::string_view titleUtf8) {
  return "orderlink/" + std::to_string(uid) + "/title/" + std::string(titleUtf8);
}

std::string SingleInstance::MachineName(std::string_view titleUtf8) {
  return SocketName(::getuid(), titleUtf8);
}

// One per user: a socket name of the user's is not seen from another network namespace,
// and there is no login session apart from the user's to tell.
std::unique_ptr<SingleInstance> SingleInstance::Acquire(std::string_view titleUtf8,
                                                        bool* otherSession) {
  if (otherSession) *otherSession = false;
  std::string name = SocketName(::getuid(), titleUtf8);
  if (name.size() > platform::MaxAbstractName())
    throw HostLinkError("window title too long for the instance lock");
  int fd = platform::DatagramSocket();
  int err = platform::BindAbstract(fd, name);
  if (err == 0) return std::unique_ptr<SingleInstance>(new SingleInstance(fd));
  ::close(fd);
  if (err == EADDRINUSE) return nullptr;
  throw HostLinkError("cannot take the instance lock: " + std::string(strerror(err)));
}

SingleInstance::~SingleInstance() {
  ::close(static_cast<int>(held_));
}

}  // namespace ol
