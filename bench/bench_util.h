#pragma once
// What the benchmarks share: pseudo-terminals for simulated stations, a copy of the real
// program started in a folder of its own, CPU and memory of a process from /proc, and
// one way of printing a figure beside its bound and the machine's load.

#include <fcntl.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace bench {

using Clock = std::chrono::steady_clock;

inline double Ms(Clock::duration d) {
  return std::chrono::duration<double, std::milli>(d).count();
}

// The master side of a pseudo-terminal in raw mode; the slave stays open here as well, so
// the line survives the program's closing and reopening it.
struct Pty {
  int master = -1;
  int keep = -1;
  std::string slave;

  Pty() {
    master = posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK);
    if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0) return;
    slave = ptsname(master);
    termios raw{};
    tcgetattr(master, &raw);
    cfmakeraw(&raw);
    tcsetattr(master, TCSANOW, &raw);
    keep = open(slave.c_str(), O_RDWR | O_NOCTTY);
  }
  ~Pty() {
    if (keep >= 0) close(keep);
    if (master >= 0) close(master);
  }
  Pty(const Pty&) = delete;
  Pty& operator=(const Pty&) = delete;
  bool Ok() const { return master >= 0 && keep >= 0; }
};

// A copy of a program in a temporary folder with its TXT folder beside it.
class Folder {
 public:
  explicit Folder(const char* tag)
      : path_(std::filesystem::temp_directory_path() /
              ("orderlink-" + std::string(tag) + "-" + std::to_string(getpid()))) {
    std::filesystem::remove_all(path_);
    std::filesystem::create_directories(path_ / "TXT");
  }
  ~Folder() {
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
  }
  const std::filesystem::path& Path() const { return path_; }
  std::filesystem::path Txt(const char* name) const { return path_ / "TXT" / name; }
  void Write(const char* name, const std::string& bytes) const {
    std::ofstream(Txt(name), std::ios::binary) << bytes;
  }

 private:
  std::filesystem::path path_;
};

// Starts a program offscreen with its standard error silenced; returns its process id.
inline pid_t Spawn(const std::filesystem::path& program, const std::vector<std::string>& args) {
  const pid_t child = fork();
  if (child == 0) {
    setenv("QT_QPA_PLATFORM", "offscreen", 1);
    const int devnull = open("/dev/null", O_WRONLY);
    dup2(devnull, 2);
    std::vector<char*> argv{const_cast<char*>(program.c_str())};
    for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    execv(program.c_str(), argv.data());
    _exit(127);
  }
  return child;
}

// Ends a child: asks first, then insists after a second.
inline void Stop(pid_t child) {
  if (child <= 0) return;
  kill(child, SIGTERM);
  for (int i = 0; i < 20; ++i) {
    if (waitpid(child, nullptr, WNOHANG) == child) return;
    usleep(50'000);
  }
  kill(child, SIGKILL);
  waitpid(child, nullptr, 0);
}

// CPU time of every live thread of a process, in seconds, to the nanosecond.
inline double CpuSeconds(pid_t pid) {
  double total = 0;
  std::error_code ec;
  const auto dir = std::filesystem::path("/proc") / std::to_string(pid) / "task";
  for (const auto& task : std::filesystem::directory_iterator(dir, ec)) {
    std::ifstream in(task.path() / "schedstat");
    unsigned long long ns = 0;
    if (in >> ns) total += static_cast<double>(ns) / 1e9;
  }
  return total;
}

// CPU time of a process's main thread alone, in seconds.
inline double MainThreadCpuSeconds(pid_t pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/task/" + std::to_string(pid) + "/schedstat");
  unsigned long long ns = 0;
  in >> ns;
  return static_cast<double>(ns) / 1e9;
}

// How often the live threads of a process slept and were woken (voluntary context
// switches) and were preempted (the others), summed.
struct Switches {
  long wakeUps = 0;
  long preempted = 0;
};
inline Switches ContextSwitches(pid_t pid) {
  Switches total;
  std::error_code ec;
  const auto dir = std::filesystem::path("/proc") / std::to_string(pid) / "task";
  for (const auto& task : std::filesystem::directory_iterator(dir, ec)) {
    std::ifstream in(task.path() / "status");
    for (std::string line; std::getline(in, line);) {
      if (line.starts_with("voluntary_ctxt_switches:"))
        total.wakeUps += std::stol(line.substr(line.find(':') + 1));
      if (line.starts_with("nonvoluntary_ctxt_switches:"))
        total.preempted += std::stol(line.substr(line.find(':') + 1));
    }
  }
  return total;
}

// A field of /proc/PID/status in kB (VmRSS, RssAnon, RssFile, RssShmem).
inline long StatusKb(pid_t pid, const std::string& field) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/status");
  for (std::string line; std::getline(in, line);)
    if (line.starts_with(field + ":")) return std::stol(line.substr(field.size() + 1));
  return -1;
}

inline std::string LoadAverage() {
  std::ifstream in("/proc/loadavg");
  std::string a, b, c;
  in >> a >> b >> c;
  return a + " " + b + " " + c;
}

inline double Percentile(std::vector<double> v, double p) {
  if (v.empty()) return 0;
  std::sort(v.begin(), v.end());
  auto i = static_cast<std::size_t>(p / 100.0 * static_cast<double>(v.size() - 1) + 0.5);
  return v[std::min(i, v.size() - 1)];
}

// One figure of the suite: its value, the bound it is held to (0: none) and their ratio,
// and the load average as it was measured.
inline void Row(const std::string& what, double value, const char* unit, double bound = 0) {
  char ratio[32] = "-";
  char limit[32] = "-";
  if (bound > 0) {
    std::snprintf(ratio, sizeof ratio, "%.3f", value / bound);
    std::snprintf(limit, sizeof limit, "%.3f", bound);
  }
  std::printf("  %-52s %11.3f %-3s bound %10s  ratio %6s  load %s\n", what.c_str(), value, unit,
              limit, ratio, LoadAverage().c_str());
  std::fflush(stdout);
}

// p50, p99 and max of a set of samples, each against the same bound.
inline void Tail(const std::string& what, const std::vector<double>& v, const char* unit,
                 double bound = 0) {
  if (v.empty()) {
    std::printf("  %-52s no samples\n", what.c_str());
    return;
  }
  Row(what + " p50", Percentile(v, 50), unit, bound);
  Row(what + " p99", Percentile(v, 99), unit, bound);
  Row(what + " max", *std::max_element(v.begin(), v.end()), unit, bound);
}

}  // namespace bench
