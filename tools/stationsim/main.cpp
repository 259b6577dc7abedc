// orderlink-stationsim: simulated base stations with their handhelds, one pseudo-terminal
// per station, for running the gateway without radio hardware.

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "core/real_loop.h"
#include "core/text_file.h"
#include "gateway/hex.h"
#include "stationsim/replay.h"
#include "stationsim/scenario.h"
#include "stationsim/sim_station.h"

namespace {

using ol::Millis;
using namespace ol::sim;

const char kUsage[] =
    "usage: orderlink-stationsim --station ID:chN:H1,H2,... [--station ...] [options]\n"
    "  --station ID:chN:LIST  a station with ID 0-99 on channel N (1-64, as in JZ.txt)\n"
    "                         and the handhelds in LIST (0-191, comma-separated)\n"
    "  --ports-file FILE      write one line per station: ID, channel and device path,\n"
    "                         in the layout of JZ.txt (also printed on standard output)\n"
    "  --dcj-file FILE        write the handheld registrations in the layout of DCJ.txt\n"
    "  --scenario FILE        requests to make, one a line (default: standard input)\n"
    "  --exit-when-done       end once every request has its outcome: status 0 when all\n"
    "                         met their expectation, 1 otherwise\n"
    "  --timeout SECONDS      end with status 3 after this long\n"
    "  --radio-delay MS       delay of every handheld answer (default 10)\n"
    "  --reply-timeout MS     how long a handheld waits for its reply (default 15000)\n"
    "  --quiet                no line per packet, poll answer or acknowledgement\n"
    "Download side:\n"
    "  --table N=FILE         table N (1-6) must arrive equal to the packed FILE\n"
    "  --loss ID:H=RATE       handheld H of station ID misses this share (0-1) of the\n"
    "                         search and data frames\n"
    "  --never-answers ID:H   handheld H of station ID hears nothing of a download\n"
    "  --seed N               seed of the loss decisions (default 1)\n"
    "Replay of a capture (instead of a scenario):\n"
    "  --replay FILE.pcapng   play the stations' side of a gateway's capture and report\n"
    "                         every frame the gateway writes differently and every\n"
    "                         breach of its timing: status 0 when none, 1 when some, 2\n"
    "                         when the capture cannot be read. The stations come from the\n"
    "                         capture; --station, one per captured port in order, is\n"
    "                         needed only for a capture that does not describe them\n"
    "  --missing-after MS     a captured frame not written this long after it is due is\n"
    "                         missing (default 5000)\n"
    "  (a replay ends with status 3 after its capture's length and a minute more, unless\n"
    "  --timeout says otherwise)\n"
    "Scenario line: [at SECONDS] station ID handheld N request NAME [payload \"TEXT\"]\n"
    "  [fault corrupt-packet K | fault silent-after-a5 | fault no-confirm]\n"
    "  [expect reply | expect no-reply | expect none | expect text \"TEXT\" | expect code NAME]\n";

std::atomic<bool> gStop{false};
void OnSignal(int) {
  gStop = true;
}

[[noreturn]] void Fail(const std::string& message) {
  std::fprintf(stderr, "orderlink-stationsim: %s\n", message.c_str());
  std::exit(2);
}

long ParseNumber(const std::string& text, const std::string& what, long lo, long hi) {
  char* end = nullptr;
  errno = 0;
  long v = std::strtol(text.c_str(), &end, 10);
  if (text.empty() || *end != '\0' || errno != 0 || v < lo || v > hi) {
    Fail(what + " must be a number from " + std::to_string(lo) + " to " + std::to_string(hi) +
         ", not \"" + text + "\"");
  }
  return v;
}

StationPlan ParseStation(const std::string& arg) {
  std::size_t a = arg.find(':'), b = a == std::string::npos ? a : arg.find(':', a + 1);
  if (b == std::string::npos || arg.compare(a + 1, 2, "ch") != 0) {
    Fail("--station wants ID:chN:H1,H2,..., not \"" + arg + "\"");
  }
  StationPlan s;
  s.id = static_cast<std::uint8_t>(ParseNumber(arg.substr(0, a), "station ID", 0, 99));
  s.channel0 =
      static_cast<std::uint8_t>(ParseNumber(arg.substr(a + 3, b - a - 3), "channel", 1, 64) - 1);
  std::stringstream list(arg.substr(b + 1));
  std::string item;
  while (std::getline(list, item, ',')) {
    auto h = static_cast<std::uint8_t>(ParseNumber(item, "handheld", 0, 191));
    for (std::uint8_t x : s.handhelds) {
      if (x == h) Fail("handheld " + item + " is listed twice at station " + arg);
    }
    s.handhelds.push_back(h);
  }
  return s;
}

struct HandheldOption {
  int station = 0, handheld = 0;
  double rate = 0;
};

// ID:H, or ID:H=RATE when withRate.
HandheldOption ParseHandheldOption(const std::string& opt, const std::string& arg, bool withRate) {
  std::size_t colon = arg.find(':'), eq = arg.find('=');
  if (colon == std::string::npos || (withRate != (eq != std::string::npos)) || eq < colon) {
    Fail(opt + (withRate ? " wants ID:H=RATE" : " wants ID:H") + ", not \"" + arg + "\"");
  }
  HandheldOption h;
  h.station = static_cast<int>(ParseNumber(arg.substr(0, colon), "station ID", 0, 99));
  h.handheld = static_cast<int>(ParseNumber(
      arg.substr(colon + 1, withRate ? eq - colon - 1 : std::string::npos), "handheld", 0, 191));
  if (withRate) {
    std::string v = arg.substr(eq + 1);
    char* end = nullptr;
    h.rate = std::strtod(v.c_str(), &end);
    if (v.empty() || *end != '\0' || !(h.rate >= 0 && h.rate <= 1)) {
      Fail(opt + " needs a rate from 0 to 1, not \"" + v + "\"");
    }
  }
  return h;
}

struct Options {
  std::vector<StationPlan> stations;
  std::vector<HandheldOption> losses, never;
  std::map<int, std::string> tables;  // packed file contents
  std::uint32_t seed = 1;
  std::string portsFile, dcjFile, scenarioFile, replayFile;
  Millis missingAfter = 5000;
  bool exitWhenDone = false, quiet = false;
  double timeout = 0;
  Timing timing;
};

Options ParseOptions(int argc, char** argv) {
  Options o;
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    auto value = [&]() -> std::string {
      if (i + 1 >= argc) Fail(arg + " needs a value");
      return argv[++i];
    };
    if (arg == "--station") {
      o.stations.push_back(ParseStation(value()));
    } else if (arg == "--ports-file") {
      o.portsFile = value();
    } else if (arg == "--dcj-file") {
      o.dcjFile = value();
    } else if (arg == "--scenario") {
      o.scenarioFile = value();
    } else if (arg == "--replay") {
      o.replayFile = value();
    } else if (arg == "--missing-after") {
      o.missingAfter = ParseNumber(value(), "--missing-after", 1, 600000);
    } else if (arg == "--exit-when-done") {
      o.exitWhenDone = true;
    } else if (arg == "--quiet") {
      o.quiet = true;
    } else if (arg == "--timeout") {
      std::string v = value();
      char* end = nullptr;
      o.timeout = std::strtod(v.c_str(), &end);
      if (v.empty() || *end != '\0' || !std::isfinite(o.timeout) || o.timeout <= 0) {
        Fail("--timeout needs a positive number of seconds, not \"" + v + "\"");
      }
    } else if (arg == "--radio-delay") {
      o.timing.radioDelay = ParseNumber(value(), "--radio-delay", 0, 10000);
    } else if (arg == "--reply-timeout") {
      o.timing.replyTimeout = ParseNumber(value(), "--reply-timeout", 1, 3600000);
    } else if (arg == "--loss") {
      o.losses.push_back(ParseHandheldOption(arg, value(), true));
    } else if (arg == "--never-answers") {
      o.never.push_back(ParseHandheldOption(arg, value(), false));
    } else if (arg == "--seed") {
      o.seed = static_cast<std::uint32_t>(ParseNumber(value(), "--seed", 0, 0x7FFFFFFF));
    } else if (arg == "--table") {
      std::string v = value();
      std::size_t eq = v.find('=');
      if (eq == std::string::npos) Fail("--table wants N=FILE, not \"" + v + "\"");
      int table = static_cast<int>(ParseNumber(v.substr(0, eq), "table", 1, 6));
      std::optional<std::string> bytes = ol::ReadWholeFile(v.substr(eq + 1));
      if (!bytes) Fail("cannot read packed file " + v.substr(eq + 1));
      o.tables[table] = *bytes;
    } else if (arg == "--help" || arg == "-h") {
      std::fputs(kUsage, stdout);
      std::exit(0);
    } else {
      Fail("unknown option \"" + arg + "\"\n" + kUsage);
    }
  }
  if (o.stations.empty() && o.replayFile.empty())
    Fail(std::string("at least one --station is needed\n") + kUsage);
  if (!o.replayFile.empty() && (!o.scenarioFile.empty() || o.exitWhenDone || !o.tables.empty()))
    Fail("--replay plays the capture: --scenario, --exit-when-done and --table do not go with it");
  for (std::size_t i = 0; i < o.stations.size(); ++i) {
    for (std::size_t j = i + 1; j < o.stations.size(); ++j) {
      if (o.stations[i].id == o.stations[j].id) {
        Fail("station ID " + std::to_string(o.stations[i].id) + " is given twice");
      }
    }
  }
  return o;
}

// One station's pseudo-terminal. The tool keeps the slave side open itself, so that the
// gateway closing and reopening the device never hangs up the master.
struct Pty {
  int master = -1;
  int slaveKeep = -1;
  std::string path;
};

Pty OpenPty() {
  Pty p;
  p.master = posix_openpt(O_RDWR | O_NOCTTY);
  if (p.master < 0 || grantpt(p.master) != 0 || unlockpt(p.master) != 0) {
    Fail(std::string("cannot create a pseudo-terminal: ") + std::strerror(errno));
  }
  char name[128];
  if (ptsname_r(p.master, name, sizeof name) != 0) {
    Fail(std::string("cannot name the pseudo-terminal: ") + std::strerror(errno));
  }
  p.path = name;
  termios t{};
  if (tcgetattr(p.master, &t) == 0) {
    cfmakeraw(&t);
    cfsetispeed(&t, B9600);
    cfsetospeed(&t, B9600);
    tcsetattr(p.master, TCSANOW, &t);
  }
  p.slaveKeep = open(name, O_RDWR | O_NOCTTY);
  if (p.slaveKeep < 0) Fail("cannot open " + p.path + ": " + std::strerror(errno));
  fcntl(p.master, F_SETFL, fcntl(p.master, F_GETFL) | O_NONBLOCK);
  return p;
}

// Writes all bytes, waiting a little when the device is full; reports what it drops.
bool WriteAll(int fd, const std::string& bytes) {
  std::size_t done = 0;
  int waits = 0;
  while (done < bytes.size()) {
    ssize_t n = write(fd, bytes.data() + done, bytes.size() - done);
    if (n > 0) {
      done += static_cast<std::size_t>(n);
    } else if (n < 0 && errno == EINTR) {
      continue;
    } else if (n < 0 && errno == EAGAIN && waits++ < 10) {
      pollfd pfd{fd, POLLOUT, 0};
      poll(&pfd, 1, 20);
    } else {
      return false;
    }
  }
  return true;
}

std::vector<Pty> OpenPtys(const std::vector<StationPlan>& stations) {
  std::vector<Pty> ptys;
  for (std::size_t i = 0; i < stations.size(); ++i) ptys.push_back(OpenPty());
  return ptys;
}

void ClosePtys(std::vector<Pty>& ptys) {
  for (Pty& p : ptys) {
    close(p.slaveKeep);
    close(p.master);
  }
}

// The stations' lines of JZ.txt and DCJ.txt, written whole (a script waiting for the ports
// file never reads half of it) and printed.
void PublishPorts(const Options& o, const std::vector<Pty>& ptys) {
  std::string portsText, dcjText;
  for (std::size_t i = 0; i < o.stations.size(); ++i) {
    const StationPlan& plan = o.stations[i];
    std::string id = ol::ZeroPad(plan.id, 2);
    portsText += id + " " + ol::ZeroPad(plan.channel0 + 1, 2) + " " + ptys[i].path + "\n";
    for (std::uint8_t h : plan.handhelds) dcjText += id + " " + ol::ZeroPad(h, 3) + "\n";
  }
  try {
    if (!o.dcjFile.empty()) ol::WriteFileAtomic(o.dcjFile, dcjText);
    if (!o.portsFile.empty()) ol::WriteFileAtomic(o.portsFile, portsText);
  } catch (const ol::FileError& e) {
    Fail(e.what());
  }
  std::fputs(portsText.c_str(), stdout);
  std::fflush(stdout);
}

void CatchSignals() {
  struct sigaction sa {};
  sa.sa_handler = OnSignal;
  sigaction(SIGINT, &sa, nullptr);
  sigaction(SIGTERM, &sa, nullptr);
  signal(SIGPIPE, SIG_IGN);
}

std::string Printable(const std::string& utf8) {
  std::string out;
  for (char c : utf8) {
    if (c == '\r') {
      out += "\\r";
    } else if (c == '\n') {
      out += "\\n";
    } else if (c == '"' || c == '\\') {
      out += '\\';
      out += c;
    } else {
      out += c;
    }
  }
  return out;
}

class Simulator {
 public:
  explicit Simulator(Options options) : o_(std::move(options)) {}

  int Run();

 private:
  struct Tracked {
    ScenarioRequest request;
    int line = 0;
    bool resolved = false, met = false;
    std::optional<ReceivedReply> reply;
  };

  void Log(const std::string& text) {
    std::printf("[%9.3f] %s\n", static_cast<double>(loop_.Now()) / 1000.0, text.c_str());
    std::fflush(stdout);
  }
  std::string Who(std::size_t station, std::uint8_t handheld) const {
    return "st" + ol::ZeroPad(o_.stations[station].id, 2) + " hh" + ol::ZeroPad(handheld, 3);
  }
  void OnEvent(std::size_t st, const SimEvent& e);
  void OnReply(std::size_t st, const ReceivedReply& r);
  void Resolve(std::size_t st, std::uint64_t id, bool replied);
  // Checks a parsed line against the stations; the station's index, or an error text.
  std::size_t Check(const ScenarioRequest& s, std::string* error) const;
  void Submit(const ScenarioRequest& s, int line);
  void HandleLine(const std::string& line, int number);
  void Schedule(const ScenarioRequest& s, int number);
  void ReaderThread();
  void CheckDone();
  void Summary();

  Options o_;
  ol::RealLoop loop_;
  std::vector<Pty> ptys_;
  std::vector<std::unique_ptr<SimStation>> stations_;
  std::map<std::pair<std::size_t, std::uint64_t>, Tracked> tracked_;
  std::vector<std::pair<ScenarioRequest, int>> fileRequests_;
  int scheduled_ = 0;  // submissions waiting for their time
  int skipped_ = 0;    // lines that could not be made into requests
  int tableMismatches_ = 0;
  bool inputDone_ = false;
  int stdinLine_ = 0;
  std::string stdinBuffer_;
  std::atomic<bool> readerStop_{false};
  int exitCode_ = -1;
};

std::size_t Simulator::Check(const ScenarioRequest& s, std::string* error) const {
  for (std::size_t i = 0; i < o_.stations.size(); ++i) {
    if (o_.stations[i].id != s.station) continue;
    const auto& hh = o_.stations[i].handhelds;
    if (std::find(hh.begin(), hh.end(), s.request.handheld) == hh.end()) {
      *error = "handheld " + std::to_string(s.request.handheld) + " is not at station " +
               std::to_string(s.station);
      return i;
    }
    try {
      auto packets =
          BuildRequestPackets(0, 0, std::string(6, '\0'), s.request.code, s.request.payload);
      if (s.request.fault == Fault::CorruptPacket &&
          s.request.faultPacket > static_cast<int>(packets.size())) {
        *error = "the request has only " + std::to_string(packets.size()) + " packet(s)";
      }
    } catch (const std::exception& e) {
      *error = e.what();
    }
    return i;
  }
  *error = "no station with ID " + std::to_string(s.station);
  return 0;
}

void Simulator::Submit(const ScenarioRequest& s, int line) {
  std::string error;
  std::size_t st = Check(s, &error);
  if (!error.empty()) {
    Log("line " + std::to_string(line) + ": " + error + "; request skipped");
    ++skipped_;
    return;
  }
  std::uint64_t id = stations_[st]->QueueRequest(s.request);
  tracked_[{st, id}] = Tracked{s, line, false, false, std::nullopt};
}

void Simulator::HandleLine(const std::string& line, int number) {
  std::optional<ScenarioRequest> s;
  try {
    s = ParseScenarioLine(line);
  } catch (const ScenarioError& e) {
    Log("line " + std::to_string(number) + ": " + e.what() + "; request skipped");
    ++skipped_;
    return;
  }
  if (s) Schedule(*s, number);
}

void Simulator::Schedule(const ScenarioRequest& s, int number) {
  Millis due = static_cast<Millis>(s.at * 1000.0);
  if (due <= loop_.Now()) {
    Submit(s, number);
    return;
  }
  ++scheduled_;
  auto id = std::make_shared<ol::EventLoop::TimerId>(0);
  *id = loop_.StartTimer(due - loop_.Now(), [this, id, req = s, number] {
    loop_.StopTimer(*id);
    --scheduled_;
    Submit(req, number);
    CheckDone();
  });
}

void Simulator::OnEvent(std::size_t st, const SimEvent& e) {
  using K = SimEvent::Kind;
  std::string who = Who(st, e.handheld);
  std::string pk = std::to_string(e.packet) + "/" + std::to_string(e.total);
  std::string id = " #" + std::to_string(e.requestId);
  std::string stationTag = "st" + ol::ZeroPad(o_.stations[st].id, 2);
  switch (e.kind) {
    case K::ChannelQuery:
      Log(stationTag + " channel query answered: channel " + e.detail);
      break;
    case K::ChannelSet:
      Log(stationTag + " channel set to " + e.detail);
      break;
    case K::RequestQueued:
      Log(who + id + " request queued: " + e.detail);
      break;
    case K::A5Sent:
      if (!o_.quiet) {
        Log(who + id + " A5 sent (" + std::to_string(e.total) + " packet(s))" +
            (e.detail.empty() ? "" : ", " + e.detail));
      }
      break;
    case K::PacketSent:
      if (!o_.quiet)
        Log(who + id + " packet " + pk + " sent" + (e.detail.empty() ? "" : ", " + e.detail));
      break;
    case K::PacketAcked:
      if (!o_.quiet) Log(who + id + " packet " + pk + " acknowledged OK");
      break;
    case K::PacketNak:
      Log(who + id + " packet " + pk + " answered NO, sending it again");
      break;
    case K::UploadComplete:
      Log(who + id + " request uploaded, stamp " + e.detail);
      break;
    case K::AttemptAbandoned:
      Log(who + id + " upload abandoned: " + e.detail);
      break;
    case K::ReplyReceived:
      break;  // logged with its contents by OnReply
    case K::ReplyRejected:
      Log(who + " reply rejected: " + e.detail);
      break;
    case K::ConfirmSent:
      if (!o_.quiet) Log(who + id + " confirmation sent");
      break;
    case K::RequestDone:
      Resolve(st, e.requestId, true);
      break;
    case K::RequestFailed:
      Log(who + id + " request failed: " + e.detail);
      Resolve(st, e.requestId, false);
      break;
    case K::BadBytes:
      Log(stationTag + " " + e.detail);
      break;
    case K::DownloadEvent:
      Log(who + " " + e.detail);
      break;
  }
}

void Simulator::OnReply(std::size_t st, const ReceivedReply& r) {
  std::string who = Who(st, r.handheld);
  if (r.duplicate) {
    if (!o_.quiet) Log(who + " #" + std::to_string(r.requestId) + " reply received again");
    return;
  }
  std::string line = who + (r.requestId ? " #" + std::to_string(r.requestId) : " (unexpected)") +
                     " reply received: code " + r.codeName + " (" + ol::IntToHex(r.code) +
                     "), stamp " + ol::BytesToHex(r.stamp);
  if (r.time) {
    char buf[64];
    std::snprintf(buf, sizeof buf, ", time 20%02d-%02d-%02d %02d:%02d:%02d", r.time->year,
                  r.time->month, r.time->day, r.time->hour, r.time->minute, r.time->second);
    line += buf;
  }
  Log(line + ", text \"" + Printable(r.text) + "\"");
  auto it = tracked_.find({st, r.requestId});
  if (r.requestId != 0 && it != tracked_.end()) it->second.reply = r;
}

void Simulator::Resolve(std::size_t st, std::uint64_t id, bool replied) {
  auto it = tracked_.find({st, id});
  if (it == tracked_.end() || it->second.resolved) return;
  Tracked& t = it->second;
  t.resolved = true;
  const ReceivedReply* reply = replied && t.reply ? &*t.reply : nullptr;
  t.met = MeetsExpectation(t.request, reply);
  if (!t.met) {
    Log(Who(st, t.request.request.handheld) + " #" + std::to_string(id) + " (line " +
        std::to_string(t.line) + ") did not meet its expectation");
  }
  CheckDone();
}

void Simulator::CheckDone() {
  if (!o_.exitWhenDone || !inputDone_ || scheduled_ > 0) return;
  bool allMet = skipped_ == 0;
  for (const auto& [key, t] : tracked_) {
    if (!t.resolved) return;
    allMet = allMet && t.met;
  }
  if (exitCode_ >= 0) return;
  exitCode_ = allMet ? 0 : 1;
  // Lets the last confirmation, still on its radio delay, reach the gateway first.
  loop_.StartTimer(o_.timing.radioDelay + 200, [this] { loop_.Quit(); });
}

void Simulator::ReaderThread() {
  bool useStdin = o_.scenarioFile.empty();
  std::vector<pollfd> fds;
  for (const Pty& p : ptys_) fds.push_back({p.master, POLLIN, 0});
  if (useStdin) fds.push_back({STDIN_FILENO, POLLIN, 0});
  char buf[4096];
  while (!readerStop_) {
    int n = poll(fds.data(), fds.size(), 50);
    if (n <= 0) continue;
    for (std::size_t i = 0; i < fds.size(); ++i) {
      if (fds[i].revents == 0) continue;
      ssize_t got = read(fds[i].fd, buf, sizeof buf);
      if (i < ptys_.size()) {
        if (got > 0) {
          std::string bytes(buf, static_cast<std::size_t>(got));
          loop_.Post([this, i, bytes] { stations_[i]->Receive(bytes); });
        } else if (fds[i].revents & (POLLHUP | POLLERR)) {
          std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
      } else if (got > 0) {
        std::string text(buf, static_cast<std::size_t>(got));
        loop_.Post([this, text] {
          stdinBuffer_ += text;
          std::size_t nl;
          while ((nl = stdinBuffer_.find('\n')) != std::string::npos) {
            std::string line = stdinBuffer_.substr(0, nl);
            stdinBuffer_.erase(0, nl + 1);
            HandleLine(line, ++stdinLine_);
          }
          if (stdinBuffer_.size() > 65536) {  // no line is that long: drop it, say so
            Log("line " + std::to_string(++stdinLine_) + ": longer than 64 KiB; skipped");
            ++skipped_;
            stdinBuffer_.clear();
          }
        });
      } else if (got == 0 || (got < 0 && errno != EINTR && errno != EAGAIN)) {
        fds[i].fd = -1;  // standard input has ended
        loop_.Post([this] {
          if (!stdinBuffer_.empty()) HandleLine(stdinBuffer_, ++stdinLine_);
          stdinBuffer_.clear();
          inputDone_ = true;
          CheckDone();
        });
      }
    }
  }
}

void Simulator::Summary() {
  std::printf("summary:\n");
  for (std::size_t i = 0; i < stations_.size(); ++i) {
    Counters c = stations_[i]->GetCounters();
    std::printf(
        "  station %02d (%s, channel %02d): polls %llu, requests queued %llu, uploaded %llu, "
        "failed %llu, replies %llu (+%llu copies, %llu unexpected), confirmations %llu, "
        "packets %llu (%llu resent), bad frames %llu\n",
        stations_[i]->Id(), ptys_[i].path.c_str(), stations_[i]->Channel0() + 1,
        static_cast<unsigned long long>(c.polls), static_cast<unsigned long long>(c.requestsQueued),
        static_cast<unsigned long long>(c.requestsSent),
        static_cast<unsigned long long>(c.requestsFailed),
        static_cast<unsigned long long>(c.repliesReceived),
        static_cast<unsigned long long>(c.duplicateReplies),
        static_cast<unsigned long long>(c.unexpectedReplies),
        static_cast<unsigned long long>(c.confirmationsSent),
        static_cast<unsigned long long>(c.packetsSent),
        static_cast<unsigned long long>(c.packetResends),
        static_cast<unsigned long long>(c.badFrames));
    if (c.searchFrames + c.dataFrames > 0) {
      std::printf(
          "    download: search frames %llu, data frames %llu, acknowledgements %llu, "
          "frames lost %llu, tables received %llu (%llu not matching their packed file)\n",
          static_cast<unsigned long long>(c.searchFrames),
          static_cast<unsigned long long>(c.dataFrames),
          static_cast<unsigned long long>(c.downloadAcksSent),
          static_cast<unsigned long long>(c.framesLost),
          static_cast<unsigned long long>(c.tablesReceived),
          static_cast<unsigned long long>(c.tablesMismatched));
    }
  }
  int met = 0, unmet = 0, pending = 0;
  for (const auto& [key, t] : tracked_) {
    if (!t.resolved) {
      ++pending;
      std::printf("  pending: line %d, station %d handheld %d\n", t.line, t.request.station,
                  t.request.request.handheld);
    } else if (t.met) {
      ++met;
    } else {
      ++unmet;
    }
  }
  std::printf("  requests: %d met, %d not met, %d pending, %d skipped\n", met, unmet, pending,
              skipped_);
  std::fflush(stdout);
}

int Simulator::Run() {
  // A scenario file is checked whole before anything starts.
  if (!o_.scenarioFile.empty()) {
    std::optional<std::string> text = ol::ReadWholeFile(o_.scenarioFile);
    if (!text) Fail("cannot read scenario file " + o_.scenarioFile);
    int number = 0;
    for (const std::string& line : ol::SplitLines(*text)) {
      ++number;
      try {
        if (auto s = ParseScenarioLine(line)) {
          std::string error;
          Check(*s, &error);
          if (!error.empty()) throw ScenarioError(error);
          fileRequests_.emplace_back(*s, number);
        }
      } catch (const ScenarioError& e) {
        Fail(o_.scenarioFile + " line " + std::to_string(number) + ": " + e.what());
      }
    }
  }

  ptys_ = OpenPtys(o_.stations);
  for (std::size_t i = 0; i < o_.stations.size(); ++i) {
    int fd = ptys_[i].master;
    auto station = std::make_unique<SimStation>(
        loop_, o_.stations[i],
        [this, fd, i](const std::string& bytes) {
          if (!WriteAll(fd, bytes)) {
            Log("st" + ol::ZeroPad(o_.stations[i].id, 2) + " could not write " +
                ol::BytesToHex(bytes) + ": " + std::strerror(errno));
          }
        },
        o_.timing);
    station->localTime = [](std::chrono::system_clock::time_point t) {
      std::time_t tt = std::chrono::system_clock::to_time_t(t);
      std::tm tm{};
      localtime_r(&tt, &tm);
      return tm;
    };
    station->SeedLoss(o_.seed + static_cast<std::uint32_t>(i));
    for (const auto& [table, bytes] : o_.tables) station->ExpectTable(table, bytes);
    std::map<int, DownloadBehaviour> behaviours;
    auto behave = [&](const HandheldOption& h, bool never) {
      if (h.station != o_.stations[i].id) return;
      const auto& list = o_.stations[i].handhelds;
      if (std::find(list.begin(), list.end(), h.handheld) == list.end()) {
        Fail("handheld " + std::to_string(h.handheld) + " is not at station " +
             std::to_string(h.station));
      }
      DownloadBehaviour b = behaviours[h.handheld];
      if (never) {
        b.neverAnswers = true;
      } else {
        b.lossRate = h.rate;
      }
      behaviours[h.handheld] = b;
      station->SetDownloadBehaviour(static_cast<std::uint8_t>(h.handheld), b);
    };
    for (const HandheldOption& h : o_.losses) behave(h, false);
    for (const HandheldOption& h : o_.never) behave(h, true);
    station->onTable = [this](const TableReceived& t) {
      if (t.verified && !t.matches) ++tableMismatches_;
    };
    station->onEvent = [this, i](const SimEvent& e) { OnEvent(i, e); };
    station->onReply = [this, i](const ReceivedReply& r) { OnReply(i, r); };
    stations_.push_back(std::move(station));
  }
  PublishPorts(o_, ptys_);
  CatchSignals();
  ol::EventLoop::TimerId stopCheck = loop_.StartTimer(50, [this] {
    if (gStop) loop_.Quit();
  });
  ol::EventLoop::TimerId timeout = 0;
  if (o_.timeout > 0) {
    timeout = loop_.StartTimer(static_cast<Millis>(o_.timeout * 1000.0), [this] {
      if (exitCode_ >= 0) return;  // already done, finishing
      Log("time-out");
      exitCode_ = 3;
      loop_.Quit();
    });
  }

  for (auto& [s, number] : fileRequests_) Schedule(s, number);
  if (!o_.scenarioFile.empty()) inputDone_ = true;
  loop_.Post([this] { CheckDone(); });

  std::thread reader([this] { ReaderThread(); });
  loop_.Run();
  readerStop_ = true;
  reader.join();
  loop_.StopTimer(stopCheck);
  if (timeout) loop_.StopTimer(timeout);

  Summary();
  stations_.clear();
  ClosePtys(ptys_);
  // A table that arrived different from its packed file is a failure of the run.
  if (tableMismatches_ > 0 && exitCode_ <= 0) return 1;
  return exitCode_ >= 0 ? exitCode_ : 0;
}

// Captures stay below 64 MiB together; a file far larger is no capture of ours.
constexpr std::uintmax_t kMaxCaptureBytes = std::uintmax_t{256} << 20;

// The capture as a script, its stations taken from it unless --station gives them and
// checked against them; status 2 when it cannot be replayed.
ReplayScript LoadCapture(Options& o) {
  std::error_code ec;
  const std::uintmax_t size = std::filesystem::file_size(o.replayFile, ec);
  if (ec) Fail("cannot read capture " + o.replayFile + ": " + ec.message());
  if (size > kMaxCaptureBytes) Fail(o.replayFile + " is larger than 256 MiB: no capture of ours");
  std::optional<std::string> bytes = ol::ReadWholeFile(o.replayFile);
  if (!bytes) Fail("cannot read capture " + o.replayFile);
  ReplayScript script;
  try {
    script = ScriptFromCapture(ol::ReadPcapng(*bytes));
  } catch (const std::runtime_error& e) {  // PcapngError, ReplayError
    Fail(o.replayFile + ": " + e.what());
  }
  std::string names;
  for (const ReplayPort& p : script.ports) names += (names.empty() ? "" : ", ") + p.name;
  if (script.ports.empty()) {
    std::string why;
    for (const std::string& note : script.notes) why += "; " + note;
    Fail(o.replayFile +
         " holds no frame the gateway wrote to a station (a poll or channel "
         "query to start from)" +
         why);
  }
  if (o.stations.empty()) {
    for (const ReplayPort& p : script.ports) {
      if (!p.setup)
        Fail("the capture does not describe the station on port " + p.name +
             " (a recorder older than the one that writes each port's station, channel and "
             "handhelds): give one --station per captured port, in order: " +
             names);
      StationPlan plan;
      plan.id = static_cast<std::uint8_t>(p.setup->station);
      plan.channel0 = static_cast<std::uint8_t>(p.setup->channel - 1);
      for (int h : p.setup->handhelds) plan.handhelds.push_back(static_cast<std::uint8_t>(h));
      o.stations.push_back(plan);
    }
  }
  if (script.ports.size() != o.stations.size()) {
    Fail("the capture has " + std::to_string(script.ports.size()) + " station port(s) (" + names +
         "); give one --station for each, in that order");
  }
  for (std::size_t i = 0; i < script.ports.size(); ++i) {
    for (const ReplayStep& step : script.ports[i].steps) {
      if (step.frame.size() != 5 || step.frame[1] == 0x40) continue;  // polls only
      const int polled = static_cast<std::uint8_t>(step.frame[1]);
      if (polled != o.stations[i].id)
        Fail("the capture's port " + script.ports[i].name + " polls station " +
             std::to_string(polled) + ", its --station says " + std::to_string(o.stations[i].id));
      break;
    }
  }
  return script;
}

std::size_t FirstDifference(const std::string& a, const std::string& b) {
  std::size_t i = 0;
  while (i < a.size() && i < b.size() && a[i] == b[i]) ++i;
  return i;
}

std::string Milliseconds(const std::optional<TimingCheck::Result>& r) {
  if (!r) return "none";
  char text[64];
  std::snprintf(text, sizeof text, "%.0f ms (median of %zu)", r->measuredMs, r->samples);
  return text;
}

int RunReplay(Options o) {
  ReplayScript script = LoadCapture(o);
  // Long enough for the capture at its pace, and then some; never forever.
  if (o.timeout <= 0) o.timeout = static_cast<double>(script.paceSpan) / 1e6 + 60;
  for (const std::string& note : script.notes) std::printf("replay: %s\n", note.c_str());
  std::vector<std::string> captured;
  for (const ReplayPort& p : script.ports) captured.push_back(p.name);
  std::vector<Pty> ptys = OpenPtys(o.stations);

  ol::RealLoop loop;
  auto log = [&loop](const std::string& text) {
    std::printf("[%9.3f] %s\n", static_cast<double>(loop.Now()) / 1000.0, text.c_str());
    std::fflush(stdout);
  };
  Replayer::Options ro;
  ro.missingAfter = o.missingAfter;
  for (const StationPlan& s : o.stations) {
    ro.stationIds.push_back(s.id);
    ro.channels0.push_back(s.channel0);
  }
  Replayer replayer(loop, std::move(script), ro, [&](std::size_t port, const std::string& bytes) {
    if (!WriteAll(ptys[port].master, bytes))
      log("port " + ptys[port].path + " could not write " + ol::BytesToHex(bytes) + ": " +
          std::strerror(errno));
  });
  replayer.onDifference = [&](const ReplayDifference& d) {
    const std::string where = "port " + std::to_string(d.port + 1) + " (" + ptys[d.port].path +
                              ", captured as " + captured[d.port] + ")";
    char when[96];
    std::snprintf(when, sizeof when, "capture packet %zu at %.3f s", d.packet,
                  static_cast<double>(d.captureMicros) / 1e6);
    using K = ReplayDifference::Kind;
    if (d.kind == K::Differs) {
      log(where + ": frame differs from " + when + "\n    captured " + ol::BytesToHex(d.expected) +
          "\n    written  " + ol::BytesToHex(d.written) + "\n    first difference at byte " +
          std::to_string(FirstDifference(NormalisedFrame(d.expected), NormalisedFrame(d.written))));
    } else if (d.kind == K::Timing) {
      const auto& figure = d.captured ? d.captured : d.now;
      char text[160];
      std::snprintf(text, sizeof text, "the gateway's figure is %.0f ms, ±%.0f ms",
                    figure->figureMs, TimingCheck::kToleranceMs);
      log(where + ": " + TimingCheck::Name(d.measure) + " off its figure: captured " +
          Milliseconds(d.captured) + ", written now " + Milliseconds(d.now) + "; " + text);
    } else if (d.kind == K::Missing) {
      log(where + ": frame missing, " + when + " not written: " + ol::BytesToHex(d.expected));
    } else {
      log(where + ": extra frame written: " + ol::BytesToHex(d.written));
    }
  };
  int status = -1;
  replayer.onDone = [&] {
    if (status >= 0) return;
    status = replayer.Differences() > 0 ? 1 : 0;
    // Lets the last chunk reach the gateway before the ports close.
    loop.StartTimer(200, [&loop] { loop.Quit(); });
  };
  PublishPorts(o, ptys);
  CatchSignals();
  ol::EventLoop::TimerId stopCheck = loop.StartTimer(50, [&loop] {
    if (gStop) loop.Quit();
  });
  ol::EventLoop::TimerId timeout = 0;
  if (o.timeout > 0) {
    timeout = loop.StartTimer(static_cast<Millis>(o.timeout * 1000.0), [&] {
      if (status >= 0) return;
      log("time-out after " + std::to_string(static_cast<long>(o.timeout)) +
          " s (--timeout): the replay did not reach the end of the capture");
      status = 3;
      loop.Quit();
    });
  }

  std::atomic<bool> stop{false};
  std::thread reader([&] {
    std::vector<pollfd> fds;
    for (const Pty& p : ptys) fds.push_back({p.master, POLLIN, 0});
    char buf[4096];
    while (!stop) {
      if (poll(fds.data(), fds.size(), 50) <= 0) continue;
      for (std::size_t i = 0; i < fds.size(); ++i) {
        if (fds[i].revents == 0) continue;
        ssize_t got = read(fds[i].fd, buf, sizeof buf);
        if (got > 0) {
          std::string bytes(buf, static_cast<std::size_t>(got));
          loop.Post([&replayer, i, bytes] { replayer.Receive(i, bytes); });
        } else if (fds[i].revents & (POLLHUP | POLLERR)) {
          std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
      }
    }
  });
  loop.Run();
  stop = true;
  reader.join();
  loop.StopTimer(stopCheck);
  if (timeout) loop.StopTimer(timeout);
  std::printf("replay: %zu captured frame(s) compared, %zu difference(s)%s\n", replayer.Met(),
              replayer.Differences(),
              replayer.Done() ? "" : "; the replay did not reach the end of the capture");
  std::fflush(stdout);
  ClosePtys(ptys);
  return status >= 0 ? status : 3;
}

}  // namespace

int main(int argc, char** argv) {
  Options options = ParseOptions(argc, argv);
  if (!options.replayFile.empty()) return RunReplay(options);
  Simulator sim(std::move(options));
  return sim.Run();
}
