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

#include <atomic>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "bench_util.h"
#include "core/real_loop.h"
#include "core/text_file.h"
#include "gateway/hex.h"
#include "platform/posix_host_link.h"

namespace {

using bench::Clock;
using bench::Ms;

constexpr std::size_t kLongestReply = 8192;

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

}  // namespace

int main(int argc, char** argv) {
  const int rounds = argc > 1 ? std::atoi(argv[1]) : 20;
  bench::Folder dir("cyclebench");
  const std::filesystem::path folder = dir.Path();
  const auto program = folder / "orderlink";
  std::filesystem::copy_file(ORDERLINK_PROGRAM, program);
  bench::Pty pty;
  if (!pty.Ok()) return 1;
  const int master = pty.master;
  ol::WriteFileAtomic(folder / "TXT" / "JZ.txt", "01 05 " + pty.slave + "\r\n");
  ol::WriteFileAtomic(folder / "TXT" / "DCJ.txt", "01 005\r\n");

  ol::RealLoop loop;
  const ol::WindowHandle hostHandle =
      3500000000u + static_cast<ol::WindowHandle>(getpid() % 100000);
  ol::PosixHostLink host(loop, hostHandle);
  std::atomic<bool> stop{false};
  std::mutex mutex;
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

  const pid_t child = bench::Spawn(program, {std::to_string(hostHandle)});

  // The station: answers the channel query, answers polls with a request while a round
  // is due, sends the packet when asked, confirms the reply. Every frame is consumed
  // whole by its kind and length, and a byte that begins no frame is dropped, so nothing
  // the gateway sends can stall it; a round that gets no further for three seconds is
  // given up.
  std::atomic<int> lost{0};
  std::thread station([&] {
    std::string acc;
    int done = 0;
    bool stamped = false;
    auto nextRound = Clock::now() + std::chrono::milliseconds(500);
    auto roundStart = Clock::now();
    auto finish = [&] {
      phase = 0;
      stamped = false;
      ++done;
      nextRound = Clock::now() + std::chrono::milliseconds(300);
      if (done >= rounds) {
        stop = true;
        loop.Post([] {});  // wakes the main loop, which waits for the stop
      }
    };
    while (!stop) {
      if (phase != 0 && Clock::now() - roundStart > std::chrono::seconds(3)) {
        ++lost;
        acc.clear();
        finish();
      }
      pollfd pfd{master, POLLIN, 0};
      if (poll(&pfd, 1, 5) <= 0) continue;
      unsigned char buf[512];
      ssize_t n = read(master, buf, sizeof buf);
      if (n <= 0) continue;
      const auto now = Clock::now();
      acc += ol::BytesToHex(buf, static_cast<std::size_t>(n));
      while (acc.size() >= 2) {
        const std::string head = acc.substr(0, 2);
        if (head == "AA") {  // five bytes: the channel query or a poll
          if (acc.size() < 10) break;
          const std::string frame = acc.substr(0, 10);
          acc.erase(0, 10);
          if (frame == "AA400000BB") {
            WriteHex(master, "AA4F000400BB");
          } else if (frame.starts_with("AA0105") && phase == 0 && now >= nextRound &&
                     done < rounds) {
            WriteHex(master, "A50105");
          }
        } else if (head == "02") {  // nine bytes: a packet acknowledgement
          if (acc.size() < 18) break;
          const std::string ack = acc.substr(0, 18);
          acc.erase(0, 18);
          if (ack == "02010501014E4F00A7" && phase == 0) {
            roundStart = Clock::now();
            packetSent = Clock::now();
            phase = 1;
            WriteHex(master, OnePacketRequest());
          }
        } else if (head == "03") {  // a reply: L + 19 bytes, L in bytes 7 and 8
          if (phase == 2 && !stamped) {
            std::lock_guard lock(mutex);
            toWire.push_back(Ms(now - replyReady));
            stamped = true;
          }
          if (acc.size() < 18) break;
          const std::size_t bytes = ol::HexToInt(acc.substr(14, 4)) + 19;
          if (bytes > kLongestReply) {  // no reply is this long: not a frame start
            acc.erase(0, 2);
            continue;
          }
          if (acc.size() < 2 * bytes) break;
          acc.erase(0, 2 * bytes);
          if (phase == 2) {
            WriteHex(master, "040105000000000000");
            finish();
          }
        } else {
          acc.erase(0, 2);
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

  std::printf("cycle_bench: hand-overs of the real program over a pseudo-terminal, %d rounds\n",
              rounds);
  // The request is complete one read interval (20 ms on the first station port) after
  // its last byte; the reply leaves after the relay's fixed waits of 20 and 100 ms.
  bench::Tail("last request byte -> host notified", toHost, "ms", 20);
  bench::Tail("host reply-ready -> first reply byte", toWire, "ms", 120);
  if (lost) std::printf("  %d rounds got no further within 3 s and were given up\n", lost.load());
  return toHost.empty() || toWire.empty() ? 1 : 0;
}
