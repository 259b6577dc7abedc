// The POSIX (termios) back-end of the serial component.

#include "serial/posix_serial_device.h"

#include <fcntl.h>
#include <linux/serial.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <mutex>

#include "serial/line_events.h"
#include "serial/port.h"
#include "serial/serial_device.h"

namespace ol {

std::string PosixDevicePath(const std::string& name) {
  if (!name.empty() && name.front() == '/') return name;
  return "/dev/" + name;
}

namespace {

using Clock = std::chrono::steady_clock;

// How often modem lines and error counters are read while a read waits; the kernel's
// blocking wait for modem changes cannot be woken by the close event.
constexpr auto kLineCheckPeriod = std::chrono::milliseconds{100};

struct BaudEntry {
  std::uint32_t rate;
  speed_t code;
};

constexpr BaudEntry kBauds[] = {
    {50, B50},           {75, B75},           {110, B110},         {134, B134},
    {150, B150},         {200, B200},         {300, B300},         {600, B600},
    {1200, B1200},       {1800, B1800},       {2400, B2400},       {4800, B4800},
    {9600, B9600},       {19200, B19200},     {38400, B38400},     {57600, B57600},
    {115200, B115200},   {230400, B230400},   {460800, B460800},   {500000, B500000},
    {576000, B576000},   {921600, B921600},   {1000000, B1000000}, {1152000, B1152000},
    {1500000, B1500000}, {2000000, B2000000}, {2500000, B2500000}, {3000000, B3000000},
    {3500000, B3500000}, {4000000, B4000000},
};

bool BaudCode(std::uint32_t rate, speed_t& code) {
  for (const auto& e : kBauds) {
    if (e.rate == rate) {
      code = e.code;
      return true;
    }
  }
  return false;
}

std::uint32_t BaudRate(speed_t code) {
  for (const auto& e : kBauds) {
    if (e.code == code) return e.rate;
  }
  return 0;
}

bool IsDisconnect(int err) {
  return err == EIO || err == ENXIO || err == ENODEV || err == EPIPE;
}

// Milliseconds until t, rounded up so that a poll never wakes before t.
int MillisUntil(Clock::time_point t, Clock::time_point now) {
  if (t <= now) return 0;
  auto us = std::chrono::duration_cast<std::chrono::microseconds>(t - now).count();
  auto ms = (us + 999) / 1000;
  return static_cast<int>(std::min<long long>(ms, 1 << 30));
}

class PosixSerialDevice final : public SerialDevice {
 public:
  explicit PosixSerialDevice(int fd) : fd_(fd) {}

  ~PosixSerialDevice() override {
    if (closeFd_ >= 0) ::close(closeFd_);
    if (wakeFd_ >= 0) ::close(wakeFd_);
    // The exclusive flag outlives this descriptor when someone else still holds the
    // terminal open, so drop it explicitly; the flock goes with the descriptor.
    ::ioctl(fd_, TIOCNXCL);
    ::close(fd_);
  }

  bool GetCommState(DeviceControlBlock& dcb) override {
    termios t{};
    if (::tcgetattr(fd_, &t) != 0) return false;
    dcb.baudRate = BaudRate(::cfgetospeed(&t));
    switch (t.c_cflag & CSIZE) {
      case CS5:
        dcb.byteSize = 5;
        break;
      case CS6:
        dcb.byteSize = 6;
        break;
      case CS7:
        dcb.byteSize = 7;
        break;
      default:
        dcb.byteSize = 8;
        break;
    }
    if (!(t.c_cflag & PARENB)) {
      dcb.parity = 0;
    } else if (t.c_cflag & CMSPAR) {
      dcb.parity = (t.c_cflag & PARODD) ? 3 : 4;
    } else {
      dcb.parity = (t.c_cflag & PARODD) ? 1 : 2;
    }
    dcb.stopBits = (t.c_cflag & CSTOPB) ? (dcb.byteSize == 5 ? 1 : 2) : 0;
    dcb.xonChar = t.c_cc[VSTART];
    dcb.xoffChar = t.c_cc[VSTOP];
    dcb.eofChar = t.c_cc[VEOF];
    std::lock_guard lock(mutex_);
    dcb.flags = lastFlags_;
    dcb.xonLim = lastXonLim_;
    dcb.xoffLim = lastXoffLim_;
    dcb.errorChar = lastErrorChar_;
    dcb.evtChar = lastEvtChar_;
    return true;
  }

  bool SetCommState(const DeviceControlBlock& dcb) override {
    speed_t speed;
    if (!BaudCode(dcb.baudRate, speed)) return false;
    if (dcb.byteSize < 5 || dcb.byteSize > 8 || dcb.parity > 4 || dcb.stopBits > 2) return false;
    // Software flow control with one character for both directions cannot work.
    if ((dcb.OutX() || dcb.InX()) && dcb.xonChar == dcb.xoffChar) return false;
    termios t{};
    if (::tcgetattr(fd_, &t) != 0) return false;

    // Raw bytes both ways: no line editing, echo, signals or character translation.
    t.c_iflag &= ~(IGNBRK | BRKINT | PARMRK | ISTRIP | INLCR | IGNCR | ICRNL | IXON | IXOFF |
                   IXANY | INPCK | IGNPAR | IUCLC | IMAXBEL);
    t.c_oflag &= ~OPOST;
    t.c_lflag &= ~(ECHO | ECHONL | ICANON | ISIG | IEXTEN);
    t.c_cflag &= ~(CSIZE | PARENB | PARODD | CMSPAR | CSTOPB | CRTSCTS);
    // The modem lines are events here, never a reason to block or hang up.
    t.c_cflag |= CREAD | CLOCAL;
    static constexpr tcflag_t kSizes[] = {CS5, CS6, CS7, CS8};
    t.c_cflag |= kSizes[dcb.byteSize - 5];
    switch (dcb.parity) {
      case 1:
        t.c_cflag |= PARENB | PARODD;
        break;
      case 2:
        t.c_cflag |= PARENB;
        break;
      case 3:
        t.c_cflag |= PARENB | CMSPAR | PARODD;
        break;
      case 4:
        t.c_cflag |= PARENB | CMSPAR;
        break;
      default:
        break;
    }
    if (dcb.stopBits != 0) t.c_cflag |= CSTOPB;
    if (dcb.ParityCheck()) t.c_iflag |= INPCK;
    if (dcb.OutX()) t.c_iflag |= IXON;
    if (dcb.InX()) t.c_iflag |= IXOFF;
    if (dcb.OutxCtsFlow() || dcb.RtsMode() == 2) t.c_cflag |= CRTSCTS;
    t.c_cc[VSTART] = dcb.xonChar;
    t.c_cc[VSTOP] = dcb.xoffChar;
    t.c_cc[VMIN] = 1;
    t.c_cc[VTIME] = 0;
    ::cfsetispeed(&t, speed);
    ::cfsetospeed(&t, speed);
    if (::tcsetattr(fd_, TCSANOW, &t) != 0) return false;

    // Modem lines: a pseudo-terminal has none, so these may fail; that is not an error.
    int dtr = TIOCM_DTR;
    ::ioctl(fd_, dcb.DtrMode() == 0 ? TIOCMBIC : TIOCMBIS, &dtr);
    if (dcb.RtsMode() != 2) {
      int rts = TIOCM_RTS;
      ::ioctl(fd_, dcb.RtsMode() == 0 ? TIOCMBIC : TIOCMBIS, &rts);
    }
    discardNull_.store(dcb.DiscardNull(), std::memory_order_relaxed);
    std::lock_guard lock(mutex_);
    lastFlags_ = dcb.flags;
    lastXonLim_ = dcb.xonLim;
    lastXoffLim_ = dcb.xoffLim;
    lastErrorChar_ = dcb.errorChar;
    lastEvtChar_ = dcb.evtChar;
    return true;
  }

  bool GetCommTimeouts(CommTimeouts& timeouts) override {
    std::lock_guard lock(mutex_);
    timeouts = timeouts_;
    return true;
  }

  bool SetCommTimeouts(const CommTimeouts& timeouts) override {
    std::lock_guard lock(mutex_);
    timeouts_ = timeouts;
    return true;
  }

  bool Purge(unsigned what) override {
    bool ok = true;
    if ((what & PURGE_INPUT) && ::tcflush(fd_, TCIFLUSH) != 0) ok = false;
    if ((what & PURGE_OUTPUT) && ::tcflush(fd_, TCOFLUSH) != 0) ok = false;
    return ok;
  }

  bool CreateCloseEvent() override {
    closeFd_ = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    wakeFd_ = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    return closeFd_ >= 0 && wakeFd_ >= 0;
  }

  void SetCloseEvent() override {
    if (closeSet_.exchange(true)) return;
    std::uint64_t one = 1;
    // Never read back: the descriptor stays readable, like a manual-reset event.
    if (closeFd_ >= 0) [[maybe_unused]]
      auto r = ::write(closeFd_, &one, sizeof one);
  }

  bool CloseEventSet() const override { return closeSet_.load(); }

  bool SetEventMask(std::uint32_t mask) override {
    eventMask_ = mask;
    watch_ = Watch::None;
    serial_icounter_struct ic{};
    if (::ioctl(fd_, TIOCGICOUNT, &ic) == 0) {
      watch_ = Watch::Counters;
      counters_ = FromIcount(ic);
    } else if (::ioctl(fd_, TIOCMGET, &modemBits_) == 0) {
      watch_ = Watch::ModemBits;
    }
    nextLineCheck_ = Clock::now() + kLineCheckPeriod;
    return true;
  }

  Input WaitForInput(std::uint8_t* buffer, std::size_t capacity) override {
    if (closeSet_) return {Status::Closed};
    if (hungUp_) return {Status::Failed};
    if (pendingEvents_ != 0) {
      Input in{Status::Ok, 0, pendingEvents_};
      pendingEvents_ = 0;
      return in;
    }
    CommTimeouts to;
    {
      std::lock_guard lock(mutex_);
      to = timeouts_;
    }
    const bool immediate = to.readInterval == 0xFFFFFFFFu;
    const auto interval = std::chrono::milliseconds{immediate ? 0 : to.readInterval};
    const std::uint64_t totalMs =
        std::uint64_t{to.readTotalMultiplier} * capacity + to.readTotalConstant;
    auto start = Clock::now();
    Clock::time_point lastByte{};
    std::size_t have = 0;
    for (;;) {
      auto now = Clock::now();
      Clock::time_point wake = Clock::time_point::max();
      if (have > 0) {
        if (immediate || to.readInterval != 0) wake = std::min(wake, lastByte + interval);
      }
      if (totalMs != 0) {
        auto total = start + std::chrono::milliseconds{totalMs};
        if (total <= now && have == 0) {
          // A total time-out with nothing received is not a chunk; keep waiting.
          start = now;
          total = start + std::chrono::milliseconds{totalMs};
        }
        wake = std::min(wake, total);
      }
      if (have > 0 && wake <= now) return {Status::Ok, have, 0};
      bool watching = watch_ != Watch::None && eventMask_ != 0;
      if (watching) {
        if (now >= nextLineCheck_) {
          bool failed = false;
          std::uint32_t events = CheckLines(failed);
          nextLineCheck_ = now + kLineCheckPeriod;
          if (failed) return HangUp(have);
          if (events != 0) {
            if (have == 0) return {Status::Ok, 0, events};
            // Keep the chunk whole; the event follows it.
            pendingEvents_ |= events;
          }
          continue;
        }
        wake = std::min(wake, nextLineCheck_);
      }
      int timeout = wake == Clock::time_point::max() ? -1 : MillisUntil(wake, now);
      pollfd fds[2] = {{closeFd_, POLLIN, 0}, {fd_, POLLIN, 0}};
      int r = ::poll(fds, 2, timeout);
      if (r < 0) {
        if (errno == EINTR) continue;
        return {Status::Failed};
      }
      if (closeSet_ || (fds[0].revents & POLLIN)) return {Status::Closed};
      if (fds[1].revents & POLLNVAL) return {Status::Gone};
      if (fds[1].revents == 0) continue;
      ssize_t n = ::read(fd_, buffer + have, capacity - have);
      if (n > 0) {
        lastByte = Clock::now();
        std::size_t got = static_cast<std::size_t>(n);
        if (discardNull_.load(std::memory_order_relaxed)) {
          auto* begin = buffer + have;
          got = static_cast<std::size_t>(std::remove(begin, begin + got, 0) - begin);
        }
        have += got;
        if (have == capacity) return {Status::Ok, have, 0};
        if (immediate && have > 0) return {Status::Ok, have, 0};
        continue;
      }
      if (n == 0) return HangUp(have);  // end of file: the other side is gone
      if (errno == EINTR) continue;
      if (errno == EAGAIN || errno == EWOULDBLOCK) {
        // Readable but nothing to read: only a hang-up or error condition does that.
        if (fds[1].revents & (POLLHUP | POLLERR)) return HangUp(have);
        continue;
      }
      if (errno == EBADF) return {Status::Gone};
      return HangUp(have);
    }
  }

  std::optional<std::uint32_t> ClearCommError() override {
    if (watch_ == Watch::Counters) {
      bool failed = false;
      pendingEvents_ |= CheckLines(failed) & ~EV_ERR;
      if (failed) return std::nullopt;
    }
    std::uint32_t flags = errorFlags_;
    errorFlags_ = 0;
    return flags;
  }

  WriteResult Write(const std::uint8_t* data, std::size_t length) override {
    bool hangupSeen = false;
    for (;;) {
      if (closeSet_) return {Status::Closed};
      ssize_t n = ::write(fd_, data, length);
      if (n > 0) return {Status::Ok, static_cast<std::size_t>(n)};
      if (n < 0 && errno == EINTR) continue;
      if (n < 0 && errno == EBADF) return {Status::Gone};
      bool wouldBlock = n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK);
      if (!wouldBlock || hangupSeen) return {Status::Failed};
      pollfd fds[2] = {{closeFd_, POLLIN, 0}, {fd_, POLLOUT, 0}};
      int r = ::poll(fds, 2, -1);
      if (r < 0 && errno != EINTR) return {Status::Failed};
      if (closeSet_ || (fds[0].revents & POLLIN)) return {Status::Closed};
      if (fds[1].revents & POLLNVAL) return {Status::Gone};
      if (fds[1].revents & (POLLHUP | POLLERR)) hangupSeen = true;
    }
  }

  std::optional<std::size_t> TryWrite(const std::uint8_t* data, std::size_t length) override {
    if (closeSet_) return std::nullopt;
    const ssize_t n = ::write(fd_, data, length);  // the descriptor never blocks
    if (n >= 0) return static_cast<std::size_t>(n);
    if (errno == EAGAIN || errno == EWOULDBLOCK) return 0;
    return std::nullopt;
  }

  void SignalWriter() override {
    std::uint64_t one = 1;
    if (wakeFd_ >= 0) [[maybe_unused]]
      auto r = ::write(wakeFd_, &one, sizeof one);
  }

  Status WaitForWriteRequest() override {
    for (;;) {
      if (closeSet_) return Status::Closed;
      pollfd fds[2] = {{closeFd_, POLLIN, 0}, {wakeFd_, POLLIN, 0}};
      int r = ::poll(fds, 2, -1);
      if (r < 0) {
        if (errno == EINTR) continue;
        return Status::Failed;
      }
      if (closeSet_ || (fds[0].revents & POLLIN)) return Status::Closed;
      if (fds[1].revents & POLLIN) {
        std::uint64_t count;
        [[maybe_unused]] auto got = ::read(wakeFd_, &count, sizeof count);
        return Status::Ok;
      }
      if (fds[0].revents || fds[1].revents) return Status::Failed;
    }
  }

 private:
  enum class Watch { None, Counters, ModemBits };

  static LineCounters FromIcount(const serial_icounter_struct& ic) {
    auto u = [](int v) { return static_cast<std::uint64_t>(static_cast<unsigned>(v)); };
    return LineCounters{u(ic.dcd),     u(ic.rng), u(ic.frame),      u(ic.parity),
                        u(ic.overrun), u(ic.brk), u(ic.buf_overrun)};
  }

  // Reads the modem lines / counters and returns the watched events since the last look.
  std::uint32_t CheckLines(bool& failed) {
    if (watch_ == Watch::Counters) {
      serial_icounter_struct ic{};
      if (::ioctl(fd_, TIOCGICOUNT, &ic) != 0) {
        if (IsDisconnect(errno))
          failed = true;
        else
          watch_ = Watch::None;
        return 0;
      }
      LineCounters now = FromIcount(ic);
      LineChange change = DiffLineCounters(counters_, now, eventMask_);
      counters_ = now;
      errorFlags_ |= change.errorFlags;
      return change.eventMask;
    }
    if (watch_ == Watch::ModemBits) {
      int bits = 0;
      if (::ioctl(fd_, TIOCMGET, &bits) != 0) {
        if (IsDisconnect(errno))
          failed = true;
        else
          watch_ = Watch::None;
        return 0;
      }
      std::uint32_t events = 0;
      if ((bits ^ modemBits_) & TIOCM_CAR) events |= EV_RLSD;
      if ((bits & TIOCM_RNG) && !(modemBits_ & TIOCM_RNG)) events |= EV_RING;
      modemBits_ = bits;
      return events & eventMask_;
    }
    return 0;
  }

  // The device went away. Bytes already collected are still delivered; the next wait
  // reports the failure.
  Input HangUp(std::size_t have) {
    hungUp_ = true;
    if (have > 0) return {Status::Ok, have, 0};
    return {Status::Failed};
  }

  const int fd_;
  int closeFd_ = -1;
  int wakeFd_ = -1;
  std::atomic<bool> closeSet_{false};
  std::atomic<bool> discardNull_{false};

  std::mutex mutex_;  // settings shared by the main thread and the reader
  CommTimeouts timeouts_;
  std::uint32_t lastFlags_ = 1;
  std::uint16_t lastXonLim_ = 0;
  std::uint16_t lastXoffLim_ = 0;
  std::uint8_t lastErrorChar_ = 0;
  std::uint8_t lastEvtChar_ = 0;

  // Reader thread only.
  std::uint32_t eventMask_ = 0;
  Watch watch_ = Watch::None;
  LineCounters counters_;
  int modemBits_ = 0;
  Clock::time_point nextLineCheck_{};
  std::uint32_t pendingEvents_ = 0;
  std::uint32_t errorFlags_ = 0;
  bool hungUp_ = false;
};

}  // namespace

std::unique_ptr<SerialDevice> OpenSerialDevice(const std::string& name) {
  std::string path = PosixDevicePath(name);
  int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) throw ECommsError("Error opening serial port");
  // One holder at a time, across processes; the lock dies with the descriptor, so a
  // crashed holder does not keep the port.
  if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
    ::close(fd);
    throw ECommsError("Error opening serial port");
  }
  if (!::isatty(fd)) {
    ::close(fd);
    throw ECommsError("File handle is not a comm handle ");
  }
  // Also keep out programs that do not take the lock (refused opens get EBUSY).
  ::ioctl(fd, TIOCEXCL);
  // USB adapters otherwise hold received bytes back for several milliseconds, which
  // would blur the inter-byte gap that ends a chunk.
  serial_struct ss{};
  if (::ioctl(fd, TIOCGSERIAL, &ss) == 0 && !(ss.flags & ASYNC_LOW_LATENCY)) {
    ss.flags |= ASYNC_LOW_LATENCY;
    ::ioctl(fd, TIOCSSERIAL, &ss);
  }
  try {
    return std::make_unique<PosixSerialDevice>(fd);
  } catch (...) {
    ::close(fd);
    throw ECommsError("Cannot setup comm buffer");
  }
}

}  // namespace ol
