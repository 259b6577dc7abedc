#include "platform/single_instance.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <thread>

#include "platform/posix_host_link.h"
#include "platform/unix_socket.h"

namespace ol {

// Answers on its own thread, since the name is asked while the window may sit in a modal
// loop; closing the pipe's write end ends it.
struct SingleInstance::Answerer {
  int wakeRead = -1, wakeWrite = -1;
  std::thread thread;
  ~Answerer() {
    ::close(wakeWrite);
    if (thread.joinable()) thread.join();
    ::close(wakeRead);
  }
};

namespace {

void Answer(int fd, int wake, std::uint32_t handle) {
  const uid_t ownUid = ::getuid();
  unsigned char answer[4];
  for (int i = 0; i < 4; ++i) answer[i] = static_cast<unsigned char>(handle >> (8 * i));
  for (;;) {
    pollfd fds[2] = {{wake, POLLIN, 0}, {fd, POLLIN, 0}};
    if (::poll(fds, 2, -1) < 0) {
      if (errno == EINTR) continue;
      return;
    }
    if (fds[0].revents != 0) return;
    for (;;) {
      // What is asked does not matter, only who asks.
      unsigned char buf[16];
      iovec iov{buf, sizeof buf};
      sockaddr_un from{};
      alignas(cmsghdr) char control[CMSG_SPACE(sizeof(ucred))];
      msghdr msg{};
      msg.msg_name = &from;
      msg.msg_namelen = sizeof from;
      msg.msg_iov = &iov;
      msg.msg_iovlen = 1;
      msg.msg_control = control;
      msg.msg_controllen = sizeof control;
      if (::recvmsg(fd, &msg, MSG_DONTWAIT) < 0) break;
      const ucred* cred = nullptr;
      for (cmsghdr* c = CMSG_FIRSTHDR(&msg); c != nullptr; c = CMSG_NXTHDR(&msg, c))
        if (c->cmsg_level == SOL_SOCKET && c->cmsg_type == SCM_CREDENTIALS &&
            c->cmsg_len >= CMSG_LEN(sizeof(ucred)))
          cred = reinterpret_cast<const ucred*>(CMSG_DATA(c));
      // Another user's program is not told; an asker without an address cannot be.
      if (cred == nullptr || cred->uid != ownUid ||
          msg.msg_namelen <= offsetof(sockaddr_un, sun_path))
        continue;
      [[maybe_unused]] ssize_t ignored =
          ::sendto(fd, answer, sizeof answer, MSG_DONTWAIT | MSG_NOSIGNAL,
                   reinterpret_cast<const sockaddr*>(&from), msg.msg_namelen);
    }
  }
}

}  // namespace

SingleInstance::HolderLook SingleInstance::LookAtHolder(std::string_view) {
  return {true, true, true};
}

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

SingleInstance::SingleInstance(std::intptr_t held, std::intptr_t machine)
    : held_(held), machine_(machine) {}

void SingleInstance::AnswerWith(std::uint32_t handle) {
  if (answerer_) return;
  const int fd = static_cast<int>(held_);
  int on = 1;
  int fds[2];
  if (::setsockopt(fd, SOL_SOCKET, SO_PASSCRED, &on, sizeof on) != 0 ||
      ::pipe2(fds, O_CLOEXEC) != 0)
    throw HostLinkError("cannot answer on the instance lock: " + std::string(strerror(errno)));
  auto answerer = std::make_unique<Answerer>();
  answerer->wakeRead = fds[0];
  answerer->wakeWrite = fds[1];
  answerer->thread = std::thread(Answer, fd, fds[0], handle);
  answerer_ = std::move(answerer);
}

SingleInstance::~SingleInstance() {
  answerer_.reset();
  ::close(static_cast<int>(held_));
}

}  // namespace ol
