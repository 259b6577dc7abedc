// The real gateway program, started as the host starts it, with a test host on the
// POSIX host link.
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <csignal>
#include <cstring>

#include "app/program_start.h"
#include "core/real_loop.h"
#include "core/text_file.h"
#include "core/version.h"
#include "platform/posix_host_link.h"
#include "platform/single_instance.h"
#include "process.h"
#include "testing/temp_dir.h"

namespace ol::testing {
namespace {

using namespace std::chrono_literals;

// What a restarted host does to find the running gateway by its title: a datagram to the
// instance's name from a socket with an address (autobound) brings the handle back. Nothing
// when no gateway holds the name.
std::optional<WindowHandle> FindGateway() {
  const int fd = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  EXPECT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(sa_family_t)), 0);
  const std::string name = SingleInstance::SocketName(::getuid(), "无线点菜机系统");
  std::memcpy(addr.sun_path + 1, name.data(), name.size());
  const auto len = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + name.size());
  std::optional<WindowHandle> found;
  unsigned char answer[8];
  pollfd wait{fd, POLLIN, 0};
  if (::sendto(fd, "?", 1, 0, reinterpret_cast<sockaddr*>(&addr), len) == 1 &&
      ::poll(&wait, 1, 10000) == 1 && ::recv(fd, answer, sizeof answer, 0) == 4)
    found =
        answer[0] | answer[1] << 8 | answer[2] << 16 | static_cast<WindowHandle>(answer[3]) << 24;
  ::close(fd);
  return found;
}

class ProgramTest : public ::testing::Test {
 protected:
  ProgramTest() {
    program = InstallProgram(ORDERLINK_PROGRAM, dir.Path() / "bin");
    host = std::make_unique<PosixHostLink>(loop, HostHandle());
    host->OnMessage = [this](const HostMessage& m) { received.push_back(m); };
  }
  // A handle of our own that no gateway takes (gateways use their process id).
  static WindowHandle HostHandle() { return 3000000000u + static_cast<WindowHandle>(getpid()); }

  std::unique_ptr<ChildProcess> StartGateway(std::vector<std::string> args) {
    return std::make_unique<ChildProcess>(
        program, args,
        std::vector<std::string>{"QT_QPA_PLATFORM=offscreen", "ASAN_OPTIONS=detect_leaks=0"},
        dir.Path() / "gateway.log");
  }
  std::unique_ptr<ChildProcess> StartWithHost() {
    auto gw = StartGateway({std::to_string(HostHandle())});
    EXPECT_TRUE(loop.RunUntil([&] { return !received.empty(); }, 10000));
    return gw;
  }
  std::filesystem::path Txt(const char* name) { return dir.Path() / "bin" / "TXT" / name; }

  TempDir dir;
  std::filesystem::path program;
  RealLoop loop;
  std::unique_ptr<PosixHostLink> host;
  std::vector<HostMessage> received;
};

TEST_F(ProgramTest, AnnouncesItselfCreatesItsFilesAndEndsOnTheHostsCommand) {
  auto gw = StartWithHost();
  ASSERT_FALSE(received.empty());
  const HostMessage hello = received[0];
  EXPECT_EQ(hello.message, 0x500u);
  EXPECT_EQ(hello.wparam, hello.lparam);
  EXPECT_EQ(hello.wparam, static_cast<std::uint32_t>(gw->Pid()));
  EXPECT_TRUE(host->WindowExists(hello.wparam));
  // The announcement comes before the start-up creates the files; the activity log
  // begins with the version the program was built as.
  for (const char* name : {"JZ.txt", "DCJ.txt", "logfile.txt"}) {
    ASSERT_TRUE(loop.RunUntil([&] { return std::filesystem::exists(Txt(name)); }, 5000)) << name;
    EXPECT_EQ(ReadBytes(Txt(name)), name == std::string("logfile.txt")
                                        ? "OrderLink " + std::string(kVersion) + "\r\n"
                                        : "")
        << name;
  }
  // A second start while this one runs ends at once, without a message.
  auto second = StartGateway({std::to_string(HostHandle())});
  EXPECT_EQ(second->Wait(5s), std::optional<int>(0));
  // The host's close command ends it.
  host->Post(hello.wparam, 0x500, 0, 16);
  EXPECT_EQ(gw->Wait(10s), std::optional<int>(0));
}

TEST_F(ProgramTest, HostCloseDuringTheStartUpEndsTheProgram) {
  // Four stations on ports that do not exist: the start-up waits on each before it fails.
  std::filesystem::create_directories(Txt(""));
  WriteBytes(Txt("JZ.txt"), "01 01 ttyOL91\r\n02 02 ttyOL92\r\n03 03 ttyOL93\r\n04 04 ttyOL94\r\n");
  auto gw = StartWithHost();
  ASSERT_FALSE(received.empty());
  host->Post(received[0].wparam, 0x500, 0, 16);
  EXPECT_EQ(gw->Wait(10s), std::optional<int>(0));
}

TEST_F(ProgramTest, StartsOnlyWithAWellFormedHostHandle) {
  auto none = StartGateway({});
  EXPECT_EQ(none->Wait(5s), std::optional<int>(0));
  const std::vector<std::string> bad = {"abc", "0", "99999999999", "-2147483649"};
  for (const std::string& arg : bad) {
    auto gw = StartGateway({arg});
    auto status = gw->Wait(5s);
    ASSERT_TRUE(status.has_value()) << arg;
    EXPECT_NE(*status, 0) << arg;
  }
  // No port was opened and nothing created for a refused start, but each left its reason.
  EXPECT_FALSE(std::filesystem::exists(Txt("JZ.txt")));
  const auto reasons = SplitLines(ReadWholeFile(Txt(kStartFailures)).value_or(""));
  ASSERT_EQ(reasons.size(), bad.size());
  for (std::size_t i = 0; i < bad.size(); ++i)
    EXPECT_NE(reasons[i].find("\xA1\xB0" + bad[i] + "\xA1\xB1"), std::string::npos) << reasons[i];
}

TEST_F(ProgramTest, WithoutADisplayRefusesToStartAndSaysWhy) {
  ChildProcess gw(program, {std::to_string(HostHandle())},
                  {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM", "ASAN_OPTIONS=detect_leaks=0"},
                  dir.Path() / "gateway.log");
  EXPECT_EQ(gw.Wait(10s), std::optional<int>(5)) << "an exit of its own, not abort()";
  EXPECT_FALSE(std::filesystem::exists(Txt("JZ.txt")));
  const std::string said = ReadWholeFile(dir.Path() / "gateway.log").value_or("");
  EXPECT_NE(said.find("QT_QPA_PLATFORM=offscreen"), std::string::npos) << said;
  EXPECT_NE(ReadWholeFile(Txt(kStartFailures)).value_or("").find("QT_QPA_PLATFORM=offscreen"),
            std::string::npos);
}

// The host died without a word: its gateway runs on, addressed to it, and a start by the
// host's next run ends as a second instance. That host finds the gateway by its name,
// closes it and starts it with its own handle.
TEST_F(ProgramTest, ARestartedHostFindsItsGatewayClosesItAndStartsItAgain) {
  auto first = StartWithHost();
  ASSERT_FALSE(received.empty());
  const WindowHandle gateway = received[0].wparam;
  host.reset();
  PosixHostLink restarted(loop);
  std::vector<HostMessage> heard;
  restarted.OnMessage = [&](const HostMessage& m) { heard.push_back(m); };
  EXPECT_EQ(FindGateway(), std::optional<WindowHandle>(gateway));
  restarted.Post(gateway, 0x500, 0, 16);
  EXPECT_EQ(first->Wait(10s), std::optional<int>(0));
  EXPECT_EQ(FindGateway(), std::nullopt);
  auto second = StartGateway({std::to_string(restarted.OwnHandle())});
  ASSERT_TRUE(loop.RunUntil([&] { return !heard.empty(); }, 10000));
  EXPECT_EQ(heard[0].wparam, static_cast<WindowHandle>(second->Pid()));
  EXPECT_EQ(FindGateway(), std::optional<WindowHandle>(heard[0].wparam));
  restarted.Post(heard[0].wparam, 0x500, 0, 16);
  EXPECT_EQ(second->Wait(10s), std::optional<int>(0));
}

TEST_F(ProgramTest, SystemQueryHidesWhileTheHostLivesAndEndsOnceItIsGone) {
  auto gw = StartWithHost();
  gw->Signal(SIGTERM);
  EXPECT_FALSE(gw->Wait(1500ms).has_value());  // the host lives: hidden, still running
  host.reset();                                // the host goes away
  gw->Signal(SIGTERM);
  EXPECT_EQ(gw->Wait(5s), std::optional<int>(0));
}

}  // namespace
}  // namespace ol::testing
