// The POSIX back-end: how a name becomes a device, what may be opened, who holds it.

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include "serial/line_events.h"
#include "serial/posix_serial_device.h"
#include "serial/pty.h"
#include "serial/serial_device.h"
#include "serial/tcomm.h"
#include "testing/temp_dir.h"

namespace ol {
namespace {

std::string OpenError(const std::string& name) {
  try {
    OpenSerialDevice(name);
  } catch (const ECommsError& e) {
    return e.what();
  }
  return "opened";
}

TEST(SerialDevice, NamesMapToDevicePaths) {
  EXPECT_EQ(PosixDevicePath("ttyUSB0"), "/dev/ttyUSB0");
  EXPECT_EQ(PosixDevicePath("COM2"), "/dev/COM2");
  EXPECT_EQ(PosixDevicePath("/dev/pts/7"), "/dev/pts/7");
}

TEST(SerialDevice, OnlyTerminalsOpen) {
  testing::TempDir dir;
  std::string file = (dir.Path() / "plain").string();
  testing::WriteBytes(file, "not a port");
  EXPECT_EQ(OpenError(file), "File handle is not a comm handle ");
  EXPECT_EQ(OpenError("/dev/null"), "File handle is not a comm handle ");
  EXPECT_EQ(OpenError("null"), "File handle is not a comm handle ");  // i.e. /dev/null
  EXPECT_EQ(OpenError((dir.Path() / "missing").string()), "Error opening serial port");
  EXPECT_EQ(OpenError("orderlink-no-such-port"), "Error opening serial port");
  testing::Pty pty;
  EXPECT_EQ(OpenError(pty.Path()), "opened");
}

// Runs in a child: holds the port until the parent says otherwise or kills it.
[[noreturn]] void HoldPort(const std::string& path, int ready, int release) {
  char ok = 0;
  try {
    auto device = OpenSerialDevice(path);
    ok = 1;
    if (::write(ready, &ok, 1) != 1) ::_exit(2);
    char c;
    [[maybe_unused]] auto n = ::read(release, &c, 1);
  } catch (...) {
    [[maybe_unused]] auto n = ::write(ready, &ok, 1);
  }
  ::_exit(0);
}

TEST(SerialDevice, PortHeldByAnotherProcessIsRefusedUntilItDies) {
  testing::Pty pty;
  int ready[2], release[2];
  ASSERT_EQ(::pipe(ready), 0);
  ASSERT_EQ(::pipe(release), 0);
  pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) HoldPort(pty.Path(), ready[1], release[0]);
  char ok = 0;
  ASSERT_EQ(::read(ready[0], &ok, 1), 1);
  ASSERT_EQ(ok, 1);
  EXPECT_EQ(OpenError(pty.Path()), "Error opening serial port");
  // A holder that crashes releases the port.
  ::kill(child, SIGKILL);
  int status = 0;
  ::waitpid(child, &status, 0);
  EXPECT_EQ(OpenError(pty.Path()), "opened");
  for (int fd : {ready[0], ready[1], release[0], release[1]}) ::close(fd);
}

TEST(SerialLineEvents, CounterChangesBecomeEventsAndErrorFlags) {
  LineCounters a{10, 3, 0, 0, 0, 0, 0};
  LineCounters b = a;
  EXPECT_EQ(DiffLineCounters(a, b, 0x1A0).eventMask, 0u);

  b.dcd = 11;
  b.rng = 4;
  LineChange both = DiffLineCounters(a, b, 0x1A0);
  EXPECT_EQ(both.eventMask, EV_RLSD | EV_RING);
  EXPECT_EQ(both.errorFlags, 0u);

  LineCounters e = a;
  e.frame = 1;
  e.overrun = 2;
  e.brk = 1;
  LineChange err = DiffLineCounters(a, e, 0x1A0);
  EXPECT_EQ(err.eventMask, EV_ERR);
  EXPECT_EQ(err.errorFlags, CE_FRAME | CE_OVERRUN | CE_BREAK);
  e.parity = 5;
  e.bufOverrun = 1;
  EXPECT_EQ(DiffLineCounters(a, e, 0x1A0).errorFlags,
            CE_FRAME | CE_OVERRUN | CE_BREAK | CE_RXPARITY | CE_RXOVER);

  // Unwatched events are not raised, but errors are still collected.
  LineChange quiet = DiffLineCounters(a, e, EV_RLSD);
  EXPECT_EQ(quiet.eventMask, 0u);
  EXPECT_NE(quiet.errorFlags, 0u);
  // Counters that went back (a reset driver) are no event.
  EXPECT_EQ(DiffLineCounters(b, a, 0x1A0).eventMask, 0u);
}

}  // namespace
}  // namespace ol
