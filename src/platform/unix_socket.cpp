#include "platform/unix_socket.h"

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "platform/posix_host_link.h"

namespace ol::platform {
namespace {

// Fills addr with the abstract name and returns the address length, or 0 when the name
// does not fit.
socklen_t AbstractAddress(const std::string& name, sockaddr_un& addr) {
  std::memset(&addr, 0, sizeof addr);
  addr.sun_family = AF_UNIX;
  if (name.size() > MaxAbstractName()) return 0;
  // The leading NUL selects the abstract namespace; the name has no trailing NUL.
  std::memcpy(addr.sun_path + 1, name.data(), name.size());
  return static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + name.size());
}

}  // namespace

std::size_t MaxAbstractName() {
  return sizeof(sockaddr_un::sun_path) - 1;
}

int DatagramSocket() {
  int fd = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (fd < 0) throw HostLinkError("cannot create a socket: " + std::string(strerror(errno)));
  return fd;
}

void EnableCredentials(int fd) {
  int on = 1;
  if (::setsockopt(fd, SOL_SOCKET, SO_PASSCRED, &on, sizeof on) != 0) {
    int err = errno;
    ::close(fd);
    throw HostLinkError("cannot enable sender credentials: " + std::string(strerror(err)));
  }
}

int BindAbstract(int fd, const std::string& name) {
  sockaddr_un addr;
  socklen_t len = AbstractAddress(name, addr);
  if (len == 0) return ENAMETOOLONG;
  if (::bind(fd, reinterpret_cast<const sockaddr*>(&addr), len) != 0) return errno;
  return 0;
}

void SendAbstract(int fd, const std::string& name, const void* data, std::size_t size) {
  sockaddr_un addr;
  socklen_t len = AbstractAddress(name, addr);
  if (len == 0) return;
  [[maybe_unused]] ssize_t ignored = ::sendto(fd, data, size, MSG_DONTWAIT | MSG_NOSIGNAL,
                                              reinterpret_cast<const sockaddr*>(&addr), len);
}

bool AbstractNameBound(const std::string& name) {
  sockaddr_un addr;
  socklen_t len = AbstractAddress(name, addr);
  if (len == 0) return false;
  // When the test itself cannot be made (no descriptor, no memory), nothing is known
  // about the name; "still there" is the answer that ends nothing by mistake.
  int fd = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return true;
  int result = ::connect(fd, reinterpret_cast<const sockaddr*>(&addr), len);
  int err = errno;
  ::close(fd);
  if (result == 0) return true;
  // No such name, or a name held by a socket of another kind (not a window).
  return !(err == ECONNREFUSED || err == ENOENT || err == EPROTOTYPE);
}

}  // namespace ol::platform
