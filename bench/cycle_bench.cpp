// Latency of the gateway's two hand-overs, measured on the real program over a
// pseudo-terminal: from the last request packet on the wire to the host's notification
// (T1.txt is written before it), and from the host's reply-ready message to the first
// byte of the reply frame on the wire. The bench is the station and the host at once.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "core/real_loop.h"
#include "core/text_file.h"
#include "gateway/hex.h"
#include "platform/posix_host_link.h"

namespace {

using Clock = std::chrono::steady_clock;

double Ms(Clock::duration d) {
  return std::chrono::duration<double, std::milli>(d).count();
}

void WriteHex(int fd, const std::string& hex) {
  std::string bytes = ol::HexToBytes(hex);
  [[maybe_unused]] auto n = write(fd, bytes.data(), bytes.size());
}

std::string OnePacketRequest() {
  // DL from station 1 handheld 5: L = 9 + 24, stamp, code 4C, payload, 4 bytes.
  std::string p = "0101050101000000210102030405064C";
  p += ol::BytesToHex("1234567890ABCDEFGHIJKLMN") + "11223344";
  p.resize(110, '0');
  return p + ol::FrameCheck(p);
}

void Report(const char* what, std::vector<double> v) {
  std::sort(v.begin(), v.end());
  if (v.empty()) {
    std::printf("%-44s no samples\n", what);
    return;
  }
  std::printf("%-44s n=%zu  min %.2f ms  median %.2f ms  p90 %.2f ms  max %.2f ms\n", what,
              v.size(), v.front(), v[v.size() / 2], v[v.size() * 9 / 10], v.back());
}

}  // namespace

int main(int argc, char** argv) {
  const int rounds = argc > 1 ? std::atoi(argv[1]) : 20;
  const std::filesystem::path folder =
      std::filesystem::temp_directory_path() / ("orderlink-bench-" + std::to_string(getpid()));
  std::filesystem::create_directories(folder / "TXT");
  const auto program = folder / "orderlink";
  std::filesystem::copy_file(ORDERLINK_PROGRAM, program);

  int master = posix_openpt(O_RDWR | O_NOCTTY);
  if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0) return 1;
  const std::string slave = ptsname(master);
  termios raw{};
  tcgetattr(master, &raw);
  cfmakeraw(&raw);
  tcsetattr(master, TCSANOW, &raw);
  int keepOpen = open(slave.c_str(), O_RDWR | O_NOCTTY);  // the line survives reopens
  ol::WriteFileAtomic(folder / "TXT" / "JZ.txt", "01 05 " + slave + "\r\n");
  ol::WriteFileAtomic(folder / "TXT" / "DCJ.txt", "01 005\r\n");

  ol::RealLoop loop;
  const ol::WindowHandle hostHandle =
      3500000000u + static_cast<ol::WindowHandle>(getpid() % 100000);
  ol::PosixHostLink host(loop, hostHandle);
  std::atomic<bool> stop{false};
  std::mutex mutex;
  std::atomic<int> pendingReplies{0};
  Clock::time_point packetSent, replyReady;
  std::vector<double> toHost, toWire;
  std::atomic<int> phase{0};  // 0 idle, 1 request sent, 2 reply awaited
  ol::WindowHandle gateway = 0;

  host.OnMessage = [&](const ol::HostMessage& m) {
    if (m.wparam == m.lparam && m.wparam > 1 && m.wparam != 11) {
      gateway = m.wparam;
      return;
    }
    if (m.wparam == 1 && m.lparam == 1 && phase == 1) {
      toHost.push_back(Ms(Clock::now() - packetSent));
      ol::WriteFileAtomic(folder / "TXT" / "R1.txt", "DL\r\nOK\r\n");
      phase = 2;
      replyReady = Clock::now();
      host.Post(gateway, 0x500, 0, 1);
    }
  };

  pid_t child = fork();
  if (child == 0) {
    setenv("QT_QPA_PLATFORM", "offscreen", 1);
    const std::string arg = std::to_string(hostHandle);
    int devnull = open("/dev/null", O_WRONLY);
    dup2(devnull, 2);
    execl(program.c_str(), program.c_str(), arg.c_str(), static_cast<char*>(nullptr));
    _exit(127);
  }

  // The station: answers the channel query, answers polls with a request while a round
  // is due, sends the packet when asked, confirms the reply.
  std::thread station([&] {
    std::string acc;
    int done = 0;
    auto nextRound = Clock::now() + std::chrono::milliseconds(500);
    while (!stop) {
      pollfd pfd{master, POLLIN, 0};
      if (poll(&pfd, 1, 5) <= 0) continue;
      unsigned char buf[512];
      ssize_t n = read(master, buf, sizeof buf);
      if (n <= 0) continue;
      const auto now = Clock::now();
      if (phase == 2 && buf[0] == 0x03 && acc.empty()) {
        std::lock_guard lock(mutex);
        toWire.push_back(Ms(now - replyReady));
      }
      acc += ol::BytesToHex(buf, static_cast<std::size_t>(n));
      for (;;) {
        if (acc.starts_with("AA400000BB")) {
          WriteHex(master, "AA4F000400BB");
          acc.erase(0, 10);
        } else if (acc.starts_with("AA0105") && acc.size() >= 10) {
          acc.erase(0, 10);
          if (phase == 0 && now >= nextRound && done < rounds) WriteHex(master, "A50105");
        } else if (acc.starts_with("02") && acc.size() >= 18) {
          const std::string ack = acc.substr(0, 18);
          acc.erase(0, 18);
          if (ack == "02010501014E4F00A7" && phase == 0) {
            phase = 1;
            packetSent = Clock::now();
            WriteHex(master, OnePacketRequest());
          }
        } else if (acc.starts_with("03") && acc.size() >= 36 && phase == 2) {
          // The whole reply frame has arrived (its length is in bytes 7-8).
          const std::size_t bytes = 16 + ol::HexToInt(acc.substr(14, 4)) + 2;
          if (acc.size() < 2 * bytes) break;
          acc.erase(0, 2 * bytes);
          WriteHex(master, "040105000000000000");
          phase = 0;
          ++done;
          nextRound = Clock::now() + std::chrono::milliseconds(300);
          if (done >= rounds) stop = true;
        } else if (!acc.empty() && !acc.starts_with("AA") && !acc.starts_with("02") &&
                   !acc.starts_with("03")) {
          acc.erase(0, 2);
        } else {
          break;
        }
      }
    }
  });

  loop.RunUntil([&] { return stop.load(); }, 20000 + 2000 * rounds);
  stop = true;
  station.join();
  if (gateway != 0) host.Post(gateway, 0x500, 0, 16);
  for (int i = 0; i < 100 && waitpid(child, nullptr, WNOHANG) == 0; ++i) loop.RunFor(50);
  kill(child, SIGKILL);
  waitpid(child, nullptr, 0);
  close(keepOpen);
  close(master);
  std::filesystem::remove_all(folder);
  (void)pendingReplies;

  std::printf("gateway end-to-end latency over a pseudo-terminal (%d rounds)\n", rounds);
  Report("last request packet -> T1.txt + host notified", toHost);
  Report("host reply-ready -> first reply byte on wire", toWire);
  std::printf("(the reply path includes the gateway's fixed waits of 20 ms and 100 ms)\n");
  return toHost.empty() || toWire.empty() ? 1 : 0;
}
