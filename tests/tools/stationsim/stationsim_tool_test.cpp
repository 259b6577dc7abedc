// The real orderlink-stationsim program on pseudo-terminals, talked to as the gateway
// would: open the printed device path, send frames, read the answers. Every wait is
// bounded.

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <map>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "core/gbk.h"
#include "core/text_file.h"
#include "gateway/hex.h"
#include "serial/flight_recorder.h"
#include "testing/temp_dir.h"

namespace {

using namespace std::chrono_literals;
using ol::BytesToHex;
using ol::FrameCheck;
using ol::HexToBytes;

class Tool {
 public:
  Tool(const std::vector<std::string>& args, const std::filesystem::path& out) {
    pid_ = fork();
    if (pid_ == 0) {
      int null = open("/dev/null", O_RDONLY);
      int log = open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
      dup2(null, 0);
      dup2(log, 1);
      dup2(log, 2);
      std::vector<char*> argv;
      std::string bin = STATIONSIM_BIN;
      argv.push_back(bin.data());
      for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
      argv.push_back(nullptr);
      execv(bin.c_str(), argv.data());
      _exit(127);
    }
  }
  ~Tool() {
    if (pid_ > 0 && !exited_) {
      kill(pid_, SIGKILL);
      waitpid(pid_, nullptr, 0);
    }
  }
  // Exit status, or -1 when the program is still running after the wait.
  int Wait(std::chrono::milliseconds limit) {
    auto end = std::chrono::steady_clock::now() + limit;
    while (std::chrono::steady_clock::now() < end) {
      int status = 0;
      if (waitpid(pid_, &status, WNOHANG) == pid_) {
        exited_ = true;
        return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
      }
      std::this_thread::sleep_for(10ms);
    }
    return -1;
  }
  void Terminate() { kill(pid_, SIGTERM); }

 private:
  pid_t pid_ = -1;
  bool exited_ = false;
};

// Station ID -> device path, from the ports file once it appears.
std::map<std::string, std::string> WaitForPorts(const std::filesystem::path& file) {
  std::map<std::string, std::string> ports;
  for (int i = 0; i < 500 && ports.empty(); ++i) {
    if (auto text = ol::ReadWholeFile(file)) {
      for (const std::string& line : ol::SplitLines(*text)) {
        if (line.size() > 6) ports[line.substr(0, 2)] = line.substr(6);
      }
    } else {
      std::this_thread::sleep_for(10ms);
    }
  }
  return ports;
}

int OpenRaw(const std::string& path) {
  int fd = open(path.c_str(), O_RDWR | O_NOCTTY);
  if (fd < 0) return fd;
  termios t{};
  tcgetattr(fd, &t);
  cfmakeraw(&t);
  tcsetattr(fd, TCSANOW, &t);
  return fd;
}

void WriteHex(int fd, const std::string& hex) {
  std::string bytes = HexToBytes(hex);
  ASSERT_EQ(write(fd, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
}

// Reads until n bytes have come or the time is up; returns them as hex.
std::string ReadHex(int fd, std::size_t n, std::chrono::milliseconds limit) {
  std::string got;
  auto end = std::chrono::steady_clock::now() + limit;
  while (got.size() < n) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        end - std::chrono::steady_clock::now());
    if (left.count() <= 0) break;
    pollfd p{fd, POLLIN, 0};
    if (poll(&p, 1, static_cast<int>(left.count())) <= 0) continue;
    char buf[512];
    ssize_t r = read(fd, buf, std::min(sizeof buf, n - got.size()));
    if (r > 0) got.append(buf, static_cast<std::size_t>(r));
  }
  return BytesToHex(got);
}

TEST(StationSimTool, AnswersChannelQueryOnPtyAcrossReopen) {
  ol::testing::TempDir dir;
  auto portsFile = dir.Path() / "ports.txt";
  Tool tool({"--station", "1:ch5:5", "--station", "12:ch64:10,11", "--ports-file",
             portsFile.string(), "--timeout", "20"},
            dir.Path() / "out.txt");
  auto ports = WaitForPorts(portsFile);
  ASSERT_EQ(ports.size(), 2u);
  ASSERT_EQ(ports["01"].substr(0, 1), "/");

  for (int open = 0; open < 2; ++open) {  // the gateway closes and reopens its port
    int fd = OpenRaw(ports["01"]);
    ASSERT_GE(fd, 0);
    WriteHex(fd, "AA400000BB");
    EXPECT_EQ(ReadHex(fd, 6, 2000ms), "AA4F010400BB");
    close(fd);
  }
  int fd = OpenRaw(ports["12"]);
  ASSERT_GE(fd, 0);
  WriteHex(fd, "AA400000BB");
  EXPECT_EQ(ReadHex(fd, 6, 2000ms), "AA4F0C3F00BB");
  close(fd);

  tool.Terminate();
  EXPECT_EQ(tool.Wait(5000ms), 0);
  std::string out = ol::ReadWholeFile(dir.Path() / "out.txt").value_or("");
  EXPECT_NE(out.find("summary:"), std::string::npos) << out;
}

TEST(StationSimTool, ScenarioRequestGetsItsReplyAndExitsWhenDone) {
  ol::testing::TempDir dir;
  auto portsFile = dir.Path() / "ports.txt";
  auto scenario = dir.Path() / "scenario.txt";
  ol::WriteFileAtomic(scenario,
                      "# one order\n"
                      "at 0.1 station 1 handheld 5 request DC payload \"桌03\" "
                      "expect text \"OK\\r\\n\"\n");
  Tool tool({"--station", "1:ch5:5,6", "--ports-file", portsFile.string(), "--scenario",
             scenario.string(), "--exit-when-done", "--timeout", "20"},
            dir.Path() / "out.txt");
  auto ports = WaitForPorts(portsFile);
  ASSERT_EQ(ports.size(), 1u);
  int fd = OpenRaw(ports["01"]);
  ASSERT_GE(fd, 0);

  std::string answer;
  for (int i = 0; i < 50 && answer.empty(); ++i) {  // poll as the gateway does
    WriteHex(fd, "AA0106" + FrameCheck("AA0106"));
    WriteHex(fd, "AA010500B0");
    answer = ReadHex(fd, 3, 100ms);
  }
  ASSERT_EQ(answer, "A50105");
  WriteHex(fd, "02010501014E4F00A7");
  std::string packet = ReadHex(fd, 57, 2000ms);
  ASSERT_EQ(packet.size(), 114u);
  EXPECT_EQ(packet.substr(110), FrameCheck(packet.substr(0, 110)));
  EXPECT_EQ(packet.substr(30, 2), "53");
  EXPECT_EQ(HexToBytes(packet.substr(32, 8)), ol::Utf8ToGbk("桌03"));
  WriteHex(fd, "02010501014F4B00A4");

  std::string stamp = packet.substr(18, 12);
  std::string body = BytesToHex("OK\r\n") + "AABB";
  std::string reply =
      "03010555555500"
      "000D" +
      stamp + "53" + body + FrameCheck(body);
  reply += FrameCheck(reply);
  WriteHex(fd, reply);
  std::string confirm = ReadHex(fd, 9, 2000ms);
  EXPECT_EQ(confirm.substr(0, 6), "040105");
  EXPECT_EQ(confirm.size(), 18u);

  EXPECT_EQ(tool.Wait(5000ms), 0);
  close(fd);
  std::string out = ol::ReadWholeFile(dir.Path() / "out.txt").value_or("");
  EXPECT_NE(out.find("reply received: code DC (53)"), std::string::npos) << out;
  EXPECT_NE(out.find("1 met, 0 not met, 0 pending"), std::string::npos) << out;
}

TEST(StationSimTool, RejectsBadScenarioBeforeStarting) {
  ol::testing::TempDir dir;
  auto scenario = dir.Path() / "scenario.txt";
  ol::WriteFileAtomic(scenario, "station 1 handheld 9 request DL\n");
  Tool tool({"--station", "1:ch5:5", "--scenario", scenario.string()}, dir.Path() / "out.txt");
  EXPECT_EQ(tool.Wait(5000ms), 2);
  std::string out = ol::ReadWholeFile(dir.Path() / "out.txt").value_or("");
  EXPECT_NE(out.find("line 1: handheld 9 is not at station 1"), std::string::npos) << out;
}

TEST(StationSimTool, RefusesACaptureItCannotReplayBeforeStarting) {
  ol::testing::TempDir dir;
  const std::string poll = HexToBytes("AA010500B0");
  using Dir = ol::FlightRecorder::Direction;
  std::string truncated = ol::ToPcapng({"ttyS0"}, {{1000, 1, Dir::Out, poll}});
  const std::size_t packet = truncated.size() - 52;  // the last block; the header's size varies
  truncated.resize(truncated.size() - 6);
  const struct {
    std::string capture;
    std::vector<std::string> stations;
    std::string message;
  } cases[] = {
      {truncated,
       {"1:ch5:5"},
       "pcapng offset " + std::to_string(packet) + ": block of 52 bytes, only 46 left"},
      {ol::ToPcapng({"ttyS0", "ttyS1"}, {{1000, 1, Dir::Out, poll}}),
       {"1:ch5:5", "2:ch7:9"},
       "has 1 station port(s) (ttyS0); give one --station for each"},
      {ol::ToPcapng({"ttyS0"}, {{1000, 1, Dir::Out, poll}}),
       {"3:ch5:5"},
       "port ttyS0 polls station 1, its --station says 3"},
      // Without --station, a capture of an earlier version names what it lacks.
      {ol::ToPcapng({"ttyS0"}, {{1000, 1, Dir::Out, poll}}),
       {},
       "the capture does not describe the station on port ttyS0"},
      // Simple packet blocks carry no direction: told, not taken for an empty capture.
      {ol::ToPcapng({"ttyS0"}, {}) + std::string("\x03\0\0\0\x14\0\0\0\x03\0\0\0", 12) +
           poll.substr(0, 3) + std::string("\0\x14\0\0\0", 5),
       {},
       "1 simple or obsolete packet block(s) left out"},
  };
  for (const auto& c : cases) {
    ol::WriteFileAtomic(dir.Path() / "c.pcapng", c.capture);
    std::vector<std::string> args{"--replay", (dir.Path() / "c.pcapng").string()};
    for (const std::string& s : c.stations) args.insert(args.end(), {"--station", s});
    Tool tool(args, dir.Path() / "out.txt");
    EXPECT_EQ(tool.Wait(5000ms), 2) << c.message;
    std::string out = ol::ReadWholeFile(dir.Path() / "out.txt").value_or("");
    EXPECT_NE(out.find(c.message), std::string::npos) << out;
    EXPECT_EQ(out.find("/dev/pts"), std::string::npos) << "ports opened: " << out;
  }
}

TEST(StationSimTool, HandheldTakesDownloadAndVerifiesTable) {
  ol::testing::TempDir dir;
  auto portsFile = dir.Path() / "ports.txt";
  auto packed = dir.Path() / "table6.bin";
  std::string image(32, 'c');
  ol::WriteFileAtomic(packed, image);
  Tool tool({"--station", "1:ch5:5", "--ports-file", portsFile.string(), "--table",
             "6=" + packed.string(), "--timeout", "20"},
            dir.Path() / "out.txt");
  auto ports = WaitForPorts(portsFile);
  ASSERT_EQ(ports.size(), 1u);
  int fd = OpenRaw(ports["01"]);
  ASSERT_GE(fd, 0);
  WriteHex(fd, "0A01060105" + FrameCheck("0A01060105"));
  EXPECT_EQ(ReadHex(fd, 5, 2000ms), "0A0105FFFF");
  std::string data =
      "0A01000106"
      "0000"
      "0000" +
      BytesToHex(image);
  for (int i = 0; i < 96; ++i) data += "FF";
  WriteHex(fd, data + FrameCheck(data));
  EXPECT_EQ(ReadHex(fd, 5, 2000ms), "0A01050000");
  close(fd);
  tool.Terminate();
  EXPECT_EQ(tool.Wait(5000ms), 0);
  std::string out = ol::ReadWholeFile(dir.Path() / "out.txt").value_or("");
  EXPECT_NE(out.find("table 6 received, 128 bytes, matches its packed file"), std::string::npos)
      << out;
}

}  // namespace
