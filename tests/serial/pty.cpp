#include "serial/pty.h"

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <sys/resource.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <stdexcept>

namespace ol::testing {

Pty::Pty() {
  char name[256] = {};
  if (::openpty(&master_, &slave_, name, nullptr, nullptr) != 0)
    throw std::runtime_error("openpty failed");
  path_ = name;
  // The master side must pass bytes through untouched, too.
  termios t{};
  ::tcgetattr(master_, &t);
  ::cfmakeraw(&t);
  ::tcsetattr(master_, TCSANOW, &t);
  ::fcntl(master_, F_SETFL, ::fcntl(master_, F_GETFL) | O_NONBLOCK);
}

Pty::~Pty() {
  CloseMaster();
  if (slave_ >= 0) ::close(slave_);
}

void Pty::Write(const std::string& bytes) {
  std::size_t done = 0;
  while (done < bytes.size()) {
    ssize_t n = ::write(master_, bytes.data() + done, bytes.size() - done);
    if (n > 0) {
      done += static_cast<std::size_t>(n);
    } else if (n < 0 && (errno == EAGAIN || errno == EINTR)) {
      pollfd p{master_, POLLOUT, 0};
      ::poll(&p, 1, 100);
    } else {
      throw std::runtime_error("pty write failed");
    }
  }
}

std::string Pty::Read(std::size_t want, int ms) {
  std::string got;
  char buf[4096];
  while (got.size() < want) {
    pollfd p{master_, POLLIN, 0};
    if (::poll(&p, 1, ms) <= 0) break;
    ssize_t n = ::read(master_, buf, sizeof buf);
    if (n <= 0) break;
    got.append(buf, static_cast<std::size_t>(n));
  }
  return got;
}

void Pty::CloseMaster() {
  if (master_ >= 0) ::close(master_);
  master_ = -1;
}

void Pty::HoldOutput() {
  if (::tcflow(slave_, TCOOFF) != 0) throw std::runtime_error("tcflow failed");
}

void Pty::ReleaseOutput() {
  if (::tcflow(slave_, TCOON) != 0) throw std::runtime_error("tcflow failed");
}

bool PortsShareable() {
  return false;
}

long long ProcessCpuMicros() {
  rusage u{};
  ::getrusage(RUSAGE_SELF, &u);
  return (u.ru_utime.tv_sec + u.ru_stime.tv_sec) * 1000000LL + u.ru_utime.tv_usec +
         u.ru_stime.tv_usec;
}

}  // namespace ol::testing
