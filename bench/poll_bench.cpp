// The real program polling four stations of 48 handhelds each over pseudo-terminals with
// nobody answering: time from start to every station polled, the poll cadence, CPU, wake-ups
// and system calls per poll and CPU in all with the window hidden and shown, the same with
// the flight recorder off (what the recorder costs, and what ten minutes of this polling
// take in it), the same program with no stations, and resident memory against a bare Qt
// window of the same build.
#include <poll.h>

#include <array>
#include <atomic>
#include <cctype>
#include <cmath>
#include <cstring>
#include <functional>
#include <mutex>
#include <optional>
#include <thread>

#include "bench_util.h"
#include "core/real_loop.h"
#include "platform/posix_host_link.h"
#include "serial/flight_recorder.h"

namespace {

using bench::Clock;
using bench::Ms;
using bench::Row;

constexpr int kStations = 4;
constexpr int kHandhelds = 48;
constexpr double kPollMs = 70;
constexpr double kLoadPerStationMs = 330;
// From exec to the window's creation handler: the program's own start.
constexpr double kProgramStartMs = 150;

// Four stations that answer the channel query and hear polls, which nobody answers.
class Stations {
 public:
  Stations() : thread_([this] { Run(); }) {}
  ~Stations() {
    stop_ = true;
    thread_.join();
  }
  std::array<bench::Pty, kStations>& Ptys() { return ptys_; }
  // Time of every poll frame seen so far, and of the first on each station.
  std::vector<Clock::time_point> Polls() {
    std::lock_guard lock(mutex_);
    return polls_;
  }
  std::array<Clock::time_point, kStations> FirstPolls() {
    std::lock_guard lock(mutex_);
    return first_;
  }
  // Time of each station's first channel query.
  std::array<Clock::time_point, kStations> Queries() {
    std::lock_guard lock(mutex_);
    return queried_;
  }

 private:
  void Run() {
    std::array<std::string, kStations> acc;
    while (!stop_) {
      pollfd fds[kStations];
      for (int i = 0; i < kStations; ++i) fds[i] = {ptys_[i].master, POLLIN, 0};
      if (poll(fds, kStations, 20) <= 0) continue;
      const auto now = Clock::now();
      for (int i = 0; i < kStations; ++i) {
        if (!(fds[i].revents & POLLIN)) continue;
        char buf[512];
        const ssize_t n = read(ptys_[i].master, buf, sizeof buf);
        if (n > 0) acc[i].append(buf, static_cast<std::size_t>(n));
        // Five-byte frames beginning AA: the channel query or a poll. Anything else is
        // skipped a byte at a time, so a stray byte never stalls the station.
        while (!acc[i].empty()) {
          if (static_cast<unsigned char>(acc[i][0]) != 0xAA) {
            acc[i].erase(0, 1);
            continue;
          }
          if (acc[i].size() < 5) break;
          if (static_cast<unsigned char>(acc[i][1]) == 0x40) {
            const unsigned char answer[] = {0xAA, 0x4F, 0x00, static_cast<unsigned char>(4 + i),
                                            0x00, 0xBB};
            [[maybe_unused]] auto w = write(ptys_[i].master, answer, sizeof answer);
            std::lock_guard lock(mutex_);
            if (queried_[i] == Clock::time_point{}) queried_[i] = now;
          } else {
            std::lock_guard lock(mutex_);
            polls_.push_back(now);
            if (first_[i] == Clock::time_point{}) first_[i] = now;
          }
          acc[i].erase(0, 5);
        }
      }
    }
  }

  std::array<bench::Pty, kStations> ptys_;
  std::atomic<bool> stop_{false};
  std::mutex mutex_;
  std::vector<Clock::time_point> polls_;
  std::array<Clock::time_point, kStations> first_{};
  std::array<Clock::time_point, kStations> queried_{};
  std::thread thread_;
};

struct Gateway {
  bench::Folder folder{"pollbench"};
  pid_t pid = 0;
  Clock::time_point started;
};

bool Alive(pid_t pid) {
  return waitpid(pid, nullptr, WNOHANG) == 0;
}

// CPU share of a process over a fixed window, in per cent of one core.
// With mainShare, also the main thread's part of it.
double CpuPercent(pid_t pid, ol::RealLoop& loop, double seconds, double* cpuSeconds = nullptr,
                  double* mainShare = nullptr) {
  const double c0 = bench::CpuSeconds(pid);
  const double m0 = bench::MainThreadCpuSeconds(pid);
  const auto t0 = Clock::now();
  loop.RunFor(static_cast<ol::Millis>(seconds * 1000));
  const double cpu = bench::CpuSeconds(pid) - c0;
  if (cpuSeconds) *cpuSeconds = cpu;
  if (mainShare) *mainShare = cpu > 0 ? (bench::MainThreadCpuSeconds(pid) - m0) / cpu : 0;
  return 100.0 * cpu / (Ms(Clock::now() - t0) / 1000.0);
}

// System calls of every thread of a process per poll over a window, counted by strace,
// most frequent first; nullopt where strace is missing or cannot attach. polls() is the
// number of polls seen so far.
struct SystemCalls {
  double perPoll = 0;
  std::vector<std::pair<std::string, double>> top;
};
std::optional<SystemCalls> CountSystemCalls(pid_t pid, ol::RealLoop& loop, double seconds,
                                            const std::function<std::size_t()>& polls) {
  const std::string file = "/tmp/poll_bench-strace-" + std::to_string(getpid());
  const std::string target = std::to_string(pid);
  // Polls are counted over the tracer's whole life, as its system calls are.
  const std::size_t before = polls();
  const pid_t tracer = fork();
  if (tracer == 0) {
    const int devnull = open("/dev/null", O_WRONLY);
    dup2(devnull, 1);
    dup2(devnull, 2);
    execlp("strace", "strace", "-f", "-c", "-q", "-o", file.c_str(), "-p", target.c_str(),
           static_cast<char*>(nullptr));
    _exit(127);
  }
  loop.RunFor(static_cast<ol::Millis>(seconds * 1000));
  kill(tracer, SIGINT);
  int status = 0;
  waitpid(tracer, &status, 0);
  const std::size_t counted = polls() - before;
  std::ifstream in(file);
  SystemCalls out;
  double total = 0;
  for (std::string line; std::getline(in, line);) {
    std::istringstream words(line);
    std::vector<std::string> w;
    for (std::string word; words >> word;) w.push_back(word);
    // % time, seconds, usecs/call, calls, [errors,] name
    if (w.size() < 5 || !std::isdigit(static_cast<unsigned char>(w[0][0]))) continue;
    const double calls = std::atof(w[3].c_str());
    if (w.back() == "total")
      total = calls;
    else
      out.top.emplace_back(w.back(), calls);
  }
  std::filesystem::remove(file);
  if (total == 0 || counted == 0) return std::nullopt;
  out.perPoll = total / static_cast<double>(counted);
  for (auto& [name, calls] : out.top) calls /= static_cast<double>(counted);
  std::sort(out.top.begin(), out.top.end(),
            [](const auto& a, const auto& b) { return a.second > b.second; });
  return out;
}

}  // namespace

int main(int argc, char** argv) {
  // --window SECONDS: each measuring window; --program PATH: another build of the gateway
  // (a before-and-after comparison); --polling-only: without the program with no stations.
  double window = 10;
  std::filesystem::path program = ORDERLINK_PROGRAM;
  bool pollingOnly = false;
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--polling-only") == 0) pollingOnly = true;
    if (i + 1 >= argc) continue;
    if (std::strcmp(argv[i], "--window") == 0) window = std::atof(argv[i + 1]);
    if (std::strcmp(argv[i], "--program") == 0) program = argv[i + 1];
  }
  std::printf("poll_bench: %d stations x %d handhelds, nobody answering; windows of %.0f s\n",
              kStations, kHandhelds, window);

  ol::RealLoop loop;
  const ol::WindowHandle hostHandle =
      3600000000u + static_cast<ol::WindowHandle>(getpid() % 100000);
  ol::PosixHostLink host(loop, hostHandle);
  ol::WindowHandle announced = 0;
  host.OnMessage = [&](const ol::HostMessage& m) {
    if (m.wparam == m.lparam && m.wparam > 16) announced = m.wparam;
  };
  // Starts the gateway and waits for its announcement. Another instance of the same user
  // (a test run beside the bench) makes it end at once: it is tried again a few times.
  auto start = [&](Gateway& g) {
    std::filesystem::copy_file(program, g.folder.Path() / "orderlink",
                               std::filesystem::copy_options::overwrite_existing);
    for (int attempt = 0; attempt < 10; ++attempt) {
      announced = 0;
      g.started = Clock::now();
      g.pid = bench::Spawn(g.folder.Path() / "orderlink", {std::to_string(hostHandle)});
      for (int i = 0; i < 300 && announced == 0 && Alive(g.pid); ++i) loop.RunFor(10);
      if (announced != 0) return true;
      bench::Stop(g.pid);
      loop.RunFor(3000);
    }
    std::printf("  the gateway would not start (another instance running all along?)\n");
    return false;
  };
  auto end = [&](Gateway& g) {
    if (announced != 0) host.Post(announced, 0x500, 0, 16);
    for (int i = 0; i < 40 && Alive(g.pid); ++i) loop.RunFor(50);
    bench::Stop(g.pid);
  };
  int status = 0;

  // The yardstick.
  const pid_t bare = bench::Spawn(ORDERLINK_BARE_WINDOW, {});
  loop.RunFor(3000);
  const long bareKb = bench::StatusKb(bare, "VmRSS");
  const double bareCpu = CpuPercent(bare, loop, 2);
  bench::Stop(bare);
  Row("bare Qt window: resident memory", static_cast<double>(bareKb) / 1024.0, "MB");
  // The same with one line of the gateway's Chinese captions: what the fonts alone cost.
  const pid_t text =
      bench::Spawn(ORDERLINK_BARE_WINDOW, {"无线点菜机系统 实时监控 下载 设置 隐藏"});
  loop.RunFor(3000);
  const long textKb = bench::StatusKb(text, "VmRSS");
  bench::Stop(text);
  Row("bare Qt window with a Chinese label: resident memory", static_cast<double>(textKb) / 1024.0,
      "MB");
  Row("bare Qt window: idle CPU", bareCpu, "%");

  // No stations: what the program costs when there is nothing to do.
  if (!pollingOnly) {
    Gateway g;
    g.folder.Write("JZ.txt", "");
    g.folder.Write("DCJ.txt", "");
    if (!start(g)) return 1;
    loop.RunFor(3000);
    Row("no stations: idle CPU, hidden", CpuPercent(g.pid, loop, window), "%", 0.1);
    if (announced != 0) host.Post(announced, 0x500, 0, 12);
    loop.RunFor(1000);
    Row("no stations: idle CPU, shown", CpuPercent(g.pid, loop, window), "%", 0.1);
    Row("no stations: resident memory vs bare window",
        static_cast<double>(bench::StatusKb(g.pid, "VmRSS")) / 1024.0, "MB",
        1.25 * static_cast<double>(bareKb) / 1024.0);
    end(g);
  }

  // Four stations polled, with the flight recorder on (as shipped) and off.
  struct Polled {
    double hiddenCpu = 0, cpuPerPoll = 0, wakeUpsPerPoll = 0, pollsPerSecond = 0;
    long startKb = 0, hiddenKb = 0, endKb = 0;
  };
  auto polled = [&](bool recorder, Polled& out) {
    const char* tag = recorder ? "recorder on" : "recorder off";
    if (recorder)
      unsetenv("ORDERLINK_RECORDER");
    else
      setenv("ORDERLINK_RECORDER", "off", 1);
    Gateway g;
    Stations stations;
    std::string jz, dcj;
    for (int s = 1; s <= kStations; ++s) {
      char line[128];
      std::snprintf(line, sizeof line, "%02d %02d %s\r\n", s, 4 + s,
                    stations.Ptys()[static_cast<std::size_t>(s - 1)].slave.c_str());
      jz += line;
      for (int h = 1; h <= kHandhelds; ++h) {
        std::snprintf(line, sizeof line, "%02d %03d\r\n", s, h);
        dcj += line;
      }
    }
    g.folder.Write("JZ.txt", jz);
    g.folder.Write("DCJ.txt", dcj);
    const bool started = start(g);
    unsetenv("ORDERLINK_RECORDER");
    if (!started) return false;
    auto allPolled = [&] {
      for (auto t : stations.FirstPolls())
        if (t == Clock::time_point{}) return false;
      return true;
    };
    // The station thread does not wake the loop; look every few milliseconds.
    for (int i = 0; i < 1000 && !allPolled(); ++i) loop.RunFor(10);
    if (!allPolled()) {
      std::printf("  not every station was polled within 10 s\n");
      end(g);
      return false;
    }
    Clock::time_point last{};
    for (auto t : stations.FirstPolls()) last = std::max(last, t);
    // The load's own waits are 330 ms a station (30 ms before the open, 100 ms before and
    // 200 ms after the query); around them come the program's start before the first
    // query, and after the last station's answer the poll rotation reaching it, up to one
    // tick per station (its cursor carries on from where it was).
    const auto queries = stations.Queries();
    const std::string t = tag;
    Row(t + ": start-up: program start to the first query",
        Ms(queries[0] - g.started) - (kLoadPerStationMs - 200), "ms", kProgramStartMs);
    Row(t + ": start-up: the load's waits, first to last query",
        Ms(queries[kStations - 1] - queries[0]), "ms", (kStations - 1) * kLoadPerStationMs + 20);
    Row(t + ": start-up: last query to that station polled", Ms(last - queries[kStations - 1]),
        "ms", kStations * 70.0 + 20);
    Row(t + ": start-up to every station polled", Ms(last - g.started), "ms",
        kProgramStartMs + kStations * kLoadPerStationMs - 200 + kStations * 70.0 + 20);

    // Hidden: the window hides itself a second after the start.
    loop.RunFor(2500);
    out.startKb = bench::StatusKb(g.pid, "VmRSS");
    const std::size_t before = stations.Polls().size();
    const bench::Switches switches0 = bench::ContextSwitches(g.pid);
    double cpu = 0, mainShare = 0;
    const auto t0 = Clock::now();
    out.hiddenCpu = CpuPercent(g.pid, loop, window, &cpu, &mainShare);
    const double seconds = Ms(Clock::now() - t0) / 1000.0;
    const bench::Switches switches1 = bench::ContextSwitches(g.pid);
    out.hiddenKb = bench::StatusKb(g.pid, "VmRSS");
    const std::vector<Clock::time_point> polls = stations.Polls();
    const std::size_t counted = polls.size() - before;
    const double perPoll = counted ? 1.0 / static_cast<double>(counted) : 0;
    out.cpuPerPoll = 1000.0 * cpu * perPoll;
    out.wakeUpsPerPoll = static_cast<double>(switches1.wakeUps - switches0.wakeUps) * perPoll;
    out.pollsPerSecond = static_cast<double>(counted) / seconds;
    if (recorder) {
      std::vector<double> intervals, deviations;
      for (std::size_t i = before + 1; i < polls.size(); ++i) {
        intervals.push_back(Ms(polls[i] - polls[i - 1]));
        deviations.push_back(std::fabs(intervals.back() - kPollMs));
      }
      double mean = 0;
      for (double v : intervals) mean += v;
      if (!intervals.empty()) mean /= static_cast<double>(intervals.size());
      Row("poll cadence mean", mean, "ms", kPollMs);
      Row("poll cadence deviation p99", bench::Percentile(deviations, 99), "ms");
    }
    Row(std::string(tag) + ": CPU per poll, hidden", out.cpuPerPoll, "ms");
    Row(std::string(tag) + ": thread wake-ups per poll, hidden", out.wakeUpsPerPoll, "");
    Row(std::string(tag) + ": preemptions per poll, hidden",
        static_cast<double>(switches1.preempted - switches0.preempted) * perPoll, "");
    Row(std::string(tag) + ": CPU polling, hidden", out.hiddenCpu, "%", 0.3);
    std::printf("  (main thread %.0f %%, the other threads %.0f %% of it)\n", 100 * mainShare,
                100 * (1 - mainShare));
    if (counted == 0) status = 1;

    if (recorder) {
      // System calls, in a window of their own: tracing slows every one of them.
      const auto calls = CountSystemCalls(g.pid, loop, std::min(window, 10.0),
                                          [&] { return stations.Polls().size(); });
      if (calls) {
        Row("system calls per poll, hidden (strace)", calls->perPoll, "");
        std::printf("  (");
        for (std::size_t i = 0; i < calls->top.size() && i < 6; ++i)
          std::printf("%s%s %.2f", i ? ", " : "", calls->top[i].first.c_str(),
                      calls->top[i].second);
        std::printf(")\n");
      } else {
        std::printf("  system calls per poll: not counted (strace missing or not allowed)\n");
      }
      // Shown, as the host asks.
      if (announced != 0) host.Post(announced, 0x500, 0, 12);
      loop.RunFor(1000);
      const std::size_t before2 = stations.Polls().size();
      const double shown = CpuPercent(g.pid, loop, window, &cpu, &mainShare);
      const std::size_t counted2 = stations.Polls().size() - before2;
      Row("recorder on: CPU per poll, shown",
          counted2 ? 1000.0 * cpu / static_cast<double>(counted2) : 0, "ms");
      Row("recorder on: CPU polling, shown", shown, "%", 0.3);
      std::printf("  (main thread %.0f %%, the other threads %.0f %% of it)\n", 100 * mainShare,
                  100 * (1 - mainShare));
      if (counted2 == 0) status = 1;
    }
    out.endKb = bench::StatusKb(g.pid, "VmRSS");
    const double bound = 1.25 * static_cast<double>(bareKb) / 1024.0;
    Row(std::string(tag) + ": resident memory after start-up",
        static_cast<double>(out.startKb) / 1024.0, "MB", bound);
    Row(std::string(tag) + ": resident memory after the hidden window",
        static_cast<double>(out.hiddenKb) / 1024.0, "MB", bound);
    Row(std::string(tag) + ": resident memory at the end", static_cast<double>(out.endKb) / 1024.0,
        "MB", bound);
    if (recorder) {
      Row("4 stations: at the end against the Chinese-label window",
          static_cast<double>(out.endKb) / 1024.0, "MB", static_cast<double>(textKb) / 1024.0);
      std::printf("  (at the end: anonymous %.1f MB, file-backed %.1f MB, shared %.1f MB)\n",
                  static_cast<double>(bench::StatusKb(g.pid, "RssAnon")) / 1024.0,
                  static_cast<double>(bench::StatusKb(g.pid, "RssFile")) / 1024.0,
                  static_cast<double>(bench::StatusKb(g.pid, "RssShmem")) / 1024.0);
    }
    end(g);
    return true;
  };
  Polled on, off;
  if (!polled(true, on) || !polled(false, off)) return 1;
  Row("the recorder's cost: CPU polling, hidden", on.hiddenCpu - off.hiddenCpu, "%");
  Row("the recorder's cost: CPU per poll, hidden", on.cpuPerPoll - off.cpuPerPoll, "ms");
  // Taken at the same point of both runs: the shown window of the first costs memory too.
  Row("the recorder's cost: memory after the hidden window",
      static_cast<double>(on.hiddenKb - off.hiddenKb) / 1024.0, "MB");
  // What ten minutes of this polling hold in a recorder (its own reckoning of its bytes),
  // fed at the rate just measured against its bound.
  ol::FlightRecorder::Limits limits;
  std::int64_t now = 0;
  ol::FlightRecorder recorder(limits, [&now] { return now; });
  const double rate = on.pollsPerSecond > 0 ? on.pollsPerSecond : 1000.0 / kPollMs;
  const auto polls = static_cast<long>(rate * 600);
  const std::uint8_t frame[5] = {0xAA, 0x01, 0x01, 0x01, 0xAC};
  for (long i = 0; i < polls; ++i) {
    now = static_cast<std::int64_t>(static_cast<double>(i) * 1e6 / rate);
    recorder.Add(static_cast<int>(i % kStations) + 1, ol::FlightRecorder::Direction::Out, frame,
                 sizeof frame);
  }
  Row("the recorder holding ten minutes of this polling",
      static_cast<double>(recorder.Bytes()) / 1024.0 / 1024.0, "MB",
      static_cast<double>(limits.maxBytes) / 1024.0 / 1024.0);
  return status;
}
