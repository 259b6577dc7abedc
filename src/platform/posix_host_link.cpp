#include "platform/posix_host_link.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstring>

#include "platform/unix_socket.h"

namespace ol {

struct PosixHostLink::Shared {
  PosixHostLink* link = nullptr;  // read and cleared on the loop's thread only
  std::atomic<int> inFlight{0};
  std::atomic<bool> stop{false};
  std::atomic<std::uint64_t> accepted{0};
  std::atomic<std::uint64_t> wrongSize{0};
  std::atomic<std::uint64_t> foreignUser{0};
};

namespace {

void PutU32(unsigned char* p, std::uint32_t v) {
  for (int i = 0; i < 4; ++i) p[i] = static_cast<unsigned char>(v >> (8 * i));
}

std::uint32_t GetU32(const unsigned char* p) {
  std::uint32_t v = 0;
  for (int i = 3; i >= 0; --i) v = (v << 8) | p[i];
  return v;
}

void Wake(int fd) {
  char byte = 1;
  // A full pipe already holds a wake-up, so a failed write loses nothing.
  [[maybe_unused]] ssize_t ignored = ::write(fd, &byte, 1);
}

}  // namespace

std::string PosixHostLink::SocketName(uid_t uid, WindowHandle handle) {
  return "orderlink/" + std::to_string(uid) + "/hwnd/" + std::to_string(handle);
}

WindowHandle PosixHostLink::NextOwnHandle(WindowHandle after) {
  return after == 0xFFFFFFFFu ? kFirstOwnHandle : after + 1;
}

PosixHostLink::PosixHostLink(EventLoop& loop) : loop_(loop) {
  socket_ = platform::DatagramSocket();
  platform::EnableCredentials(socket_);
  auto uid = ::getuid();
  WindowHandle candidate = FirstOwnHandle(static_cast<std::uint32_t>(::getpid()));
  // The pid is the usual handle; a name held by a process that reused our pid, or by a
  // test link, moves us to the next free number.
  for (int attempt = 0; attempt < 100000; ++attempt) {
    int err = platform::BindAbstract(socket_, SocketName(uid, candidate));
    if (err == 0) {
      handle_ = candidate;
      Start();
      return;
    }
    if (err != EADDRINUSE) {
      ::close(socket_);
      throw HostLinkError("cannot bind the host link socket: " + std::string(strerror(err)));
    }
    candidate = NextOwnHandle(candidate);
  }
  ::close(socket_);
  throw HostLinkError("no free window handle for the host link");
}

PosixHostLink::PosixHostLink(EventLoop& loop, WindowHandle handle) : loop_(loop) {
  if (handle == 0) throw HostLinkError("window handle 0 cannot be bound");
  socket_ = platform::DatagramSocket();
  platform::EnableCredentials(socket_);
  int err = platform::BindAbstract(socket_, SocketName(::getuid(), handle));
  if (err != 0) {
    ::close(socket_);
    throw HostLinkError("cannot bind window handle " + std::to_string(handle) + ": " +
                        std::string(strerror(err)));
  }
  handle_ = handle;
  Start();
}

void PosixHostLink::Start() {
  int fds[2];
  if (::pipe2(fds, O_CLOEXEC | O_NONBLOCK) != 0) {
    int err = errno;
    ::close(socket_);
    throw HostLinkError("cannot create the wake-up pipe: " + std::string(strerror(err)));
  }
  wakeRead_ = fds[0];
  wakeWrite_ = fds[1];
  try {
    sender_ = platform::DatagramSocket();
  } catch (...) {
    ::close(socket_);
    ::close(wakeRead_);
    ::close(wakeWrite_);
    throw;
  }
  shared_ = std::make_shared<Shared>();
  shared_->link = this;
  receiver_ = std::thread([this] { Receive(); });
}

PosixHostLink::~PosixHostLink() {
  shared_->link = nullptr;
  shared_->stop = true;
  Wake(wakeWrite_);
  receiver_.join();
  ::close(socket_);
  ::close(sender_);
  ::close(wakeRead_);
  ::close(wakeWrite_);
}

void PosixHostLink::Post(WindowHandle to, std::uint32_t message, std::uint32_t wparam,
                         std::uint32_t lparam) {
  if (to == 0) return;
  unsigned char datagram[12];
  PutU32(datagram, message);
  PutU32(datagram + 4, wparam);
  PutU32(datagram + 8, lparam);
  platform::SendAbstract(sender_, SocketName(::getuid(), to), datagram, sizeof datagram);
}

bool PosixHostLink::WindowExists(WindowHandle handle) const {
  if (handle == 0) return false;
  return platform::AbstractNameBound(SocketName(::getuid(), handle));
}

HostLinkCounts PosixHostLink::Counts() const {
  return {shared_->accepted.load(), shared_->wrongSize.load(), shared_->foreignUser.load()};
}

void PosixHostLink::Receive() {
  auto shared = shared_;
  const uid_t ownUid = ::getuid();
  for (;;) {
    pollfd fds[2] = {{wakeRead_, POLLIN, 0}, {socket_, 0, 0}};
    if (shared->inFlight.load() < kMaxInFlight) fds[1].events = POLLIN;
    if (::poll(fds, 2, -1) < 0) {
      if (errno == EINTR) continue;
      return;
    }
    if (fds[0].revents != 0) {
      char drain[64];
      while (::read(wakeRead_, drain, sizeof drain) > 0) {
      }
    }
    if (shared->stop.load()) return;
    if ((fds[1].revents & POLLIN) == 0) continue;

    while (shared->inFlight.load() < kMaxInFlight) {
      // One byte more than a message, so a longer datagram is seen as longer.
      unsigned char buf[13];
      iovec iov{buf, sizeof buf};
      alignas(cmsghdr) char control[CMSG_SPACE(sizeof(ucred))];
      msghdr msg{};
      msg.msg_iov = &iov;
      msg.msg_iovlen = 1;
      msg.msg_control = control;
      msg.msg_controllen = sizeof control;
      ssize_t n = ::recvmsg(socket_, &msg, MSG_DONTWAIT);
      if (n < 0) break;  // EAGAIN: drained; anything else: try again at the next poll

      const ucred* cred = nullptr;
      for (cmsghdr* c = CMSG_FIRSTHDR(&msg); c != nullptr; c = CMSG_NXTHDR(&msg, c)) {
        if (c->cmsg_level == SOL_SOCKET && c->cmsg_type == SCM_CREDENTIALS &&
            c->cmsg_len >= CMSG_LEN(sizeof(ucred)))
          cred = reinterpret_cast<const ucred*>(CMSG_DATA(c));
      }
      if (cred == nullptr || cred->uid != ownUid) {
        ++shared->foreignUser;
        continue;
      }
      if (n != 12 || (msg.msg_flags & MSG_TRUNC) != 0) {
        ++shared->wrongSize;
        continue;
      }
      HostMessage m{GetU32(buf), GetU32(buf + 4), GetU32(buf + 8)};
      ++shared->accepted;
      ++shared->inFlight;
      int wake = wakeWrite_;
      loop_.Post([shared, m, wake] {
        bool wasFull = shared->inFlight.fetch_sub(1) >= kMaxInFlight;
        PosixHostLink* link = shared->link;
        if (link == nullptr) return;
        // The receiver stopped reading at the limit; let it go on.
        if (wasFull) Wake(wake);
        if (link->OnMessage) link->OnMessage(m);
      });
    }
  }
}

}  // namespace ol
