// What a reply file's size costs the gateway: for R1.txt from 1 KB to 100 MB, the time
// the main thread is busy relaying it (CPU time of the relay; its waits run on virtual
// time and cost nothing), the peak memory of the process, and the longest gap between
// two polls of another station from the request to the end of the exchange (virtual time:
// the poll interval plus the reply's own waits; add the busy time for the real gap). Each
// size runs in its own process so that its peak memory is its own.
#include <sys/resource.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include "core/manual_loop.h"
#include "gateway/handheld_gateway.h"
#include "gateway/hex.h"
#include "testing/fake_port.h"
#include "testing/recording_message_box.h"
#include "testing/temp_dir.h"

namespace {

using ol::Millis;

class SilentHost : public ol::HostLink {
 public:
  ol::WindowHandle OwnHandle() const override { return 1; }
  void Post(ol::WindowHandle, std::uint32_t, std::uint32_t, std::uint32_t) override {}
  bool WindowExists(ol::WindowHandle) const override { return true; }
};

double ThreadCpuMs() {
  timespec ts{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
  return static_cast<double>(ts.tv_sec) * 1000.0 + static_cast<double>(ts.tv_nsec) / 1e6;
}

std::string OnePacketRequest() {
  // DL from station 1 handheld 5: L = 9 + 24, stamp, code 4C, payload, 4 bytes.
  std::string p = "0101050101000000210102030405064C";
  p += ol::BytesToHex("1234567890ABCDEFGHIJKLMN") + "11223344";
  p.resize(110, '0');
  return p + ol::FrameCheck(p);
}

void WriteReply(const std::filesystem::path& file, std::size_t size) {
  std::ofstream out(file, std::ios::binary);
  std::string line(98, 'x');
  line += "\r\n";
  out << "DL\r\n";
  for (std::size_t written = 4; written < size; written += line.size())
    out.write(line.data(), static_cast<std::streamsize>(std::min(line.size(), size - written)));
}

struct Result {
  double busyMs = 0;
  Millis longestGap = 0;
  bool replied = false;
};

Result RunOnce(std::size_t size) {
  ol::ManualLoop loop;
  ol::FormModel form{loop};
  ol::Comms comms;
  ol::testing::TempDir dir;
  ol::TxtFolder txt{dir.Path() / "TXT"};
  ol::testing::RecordingMessageBox boxes;
  SilentHost host;
  ol::testing::FakePort ports[3] = {ol::testing::FakePort(&loop, 0),
                                    ol::testing::FakePort(&loop, 1),
                                    ol::testing::FakePort(&loop, 2)};
  ol::HandheldGateway gw{ol::GatewayEnv{loop, form, comms, txt, boxes, host}};
  for (int n = 1; n <= 2; ++n) {
    comms.Set(n, &ports[n]);
    ports[n].OpenPort();
    gw.AttachStationPort(ports[n]);
    form.At("JZID", n).SetText(ol::ZeroPad(n, 2));
    ol::StationStatus(form, n).SetText("05");
    gw.GetPolling().AddConnectedStation(n);
  }
  form["PADLIST1"].SetLines({"005"});
  form["PADLIST2"].SetLines({"010"});
  form["ListBox2"].SetLines({"01 005", "02 010"});
  gw.Host().SetHandle(7);
  std::vector<Millis> polls;
  ports[2].onSend = [&](const std::string& hex) {
    if (hex.rfind("AA020A", 0) == 0) polls.push_back(loop.Now());
  };
  bool replied = false;
  ports[1].onSend = [&](const std::string& hex) { replied |= hex.rfind("03", 0) == 0; };

  WriteReply(txt.Dir() / "R1.txt", size);
  const Millis start = loop.Now();
  polls.push_back(start);
  gw.GetPolling().ComTimerTimer();  // polls station 1
  ports[1].ReceiveHex("A50105");
  ports[1].ReceiveHex(OnePacketRequest());
  Result r;
  const double before = ThreadCpuMs();
  gw.Relay().HandleHostMessage({ol::kHostMessage, 0, 1});
  r.busyMs = ThreadCpuMs() - before;
  loop.Advance(ol::ReplyRelay::kExchangeTime + 1000);
  polls.push_back(loop.Now());
  for (std::size_t i = 1; i < polls.size(); ++i)
    r.longestGap = std::max(r.longestGap, polls[i] - polls[i - 1]);
  r.replied = replied;
  return r;
}

}  // namespace

int main() {
  const std::size_t sizes[] = {1u << 10, 4u << 10,  16u << 10, 64u << 10,
                               1u << 20, 10u << 20, 100u << 20};
  std::printf("%12s %12s %14s %22s %s\n", "R1.txt", "busy (ms)", "peak RSS (MB)",
              "longest poll gap (ms)", "replied");
  for (std::size_t size : sizes) {
    int fds[2];
    if (pipe(fds) != 0) return 1;
    pid_t child = fork();
    if (child == 0) {
      close(fds[0]);
      Result r = RunOnce(size);
      [[maybe_unused]] auto n = write(fds[1], &r, sizeof r);
      _exit(0);
    }
    close(fds[1]);
    Result r;
    const bool got = read(fds[0], &r, sizeof r) == static_cast<ssize_t>(sizeof r);
    close(fds[0]);
    int status = 0;
    rusage usage{};
    wait4(child, &status, 0, &usage);
    if (!got || !WIFEXITED(status)) {
      std::printf("%12zu failed\n", size);
      continue;
    }
    std::printf("%12zu %12.2f %14.1f %22lld %s\n", size, r.busyMs,
                static_cast<double>(usage.ru_maxrss) / 1024.0, static_cast<long long>(r.longestGap),
                r.replied ? "yes" : "NO");
  }
  return 0;
}
