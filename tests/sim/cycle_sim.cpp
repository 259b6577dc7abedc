#include "sim/cycle_sim.h"

#include <algorithm>
#include <deque>
#include <map>
#include <memory>
#include <optional>
#include <random>
#include <set>
#include <sstream>

#include "app/gateway.h"
#include "core/gbk.h"
#include "core/manual_loop.h"
#include "core/text_file.h"
#include "gateway/dispatcher.h"
#include "gateway/hex.h"
#include "stationsim/frames.h"
#include "stationsim/sim_station.h"
#include "testing/fake_port.h"
#include "testing/in_memory_host_link.h"
#include "testing/temp_dir.h"

namespace ol::testing {
namespace {

constexpr WindowHandle kHost = 10;
constexpr WindowHandle kOwn = 20;
constexpr Millis kPollGapLimit = 15000;
constexpr Millis kCheckEvery = 250;
// A reopened station is asked every 2 s; each query or its answer may be lost on the line.
constexpr Millis kRecoveryLimit = 30000;
constexpr Millis kSettle = 40000;
constexpr Millis kHostReplySpacing = 300;

// Request kinds whose record carries the first four payload characters, so that the host
// can tell which request it answers.
constexpr int kTokenKinds[] = {0,  1,  2,  3,  4,  5,  6,  7,  8,  9,  10, 11, 13,
                               14, 16, 17, 20, 21, 22, 24, 25, 27, 28, 30, 31};
constexpr int kOrderKind = 7;

struct Broken {
  std::string what;
};

// One request the schedule queued on a handheld.
struct Request {
  std::string token;
  int slot = 0;
  std::uint8_t station = 0, handheld = 0;
  int kind = 0;
  std::uint64_t simId = 0;
  std::string stamp;            // six bytes, once its first packet went out
  std::vector<Millis> uploads;  // request-pending answers sent for it
};

// One hand-over of a request to the host.
struct Dispatch {
  std::string token;
  Exchange::Id exchange = 0;
  Millis at = 0;
  bool answered = false;        // a reply signal for it reached the gateway
  bool answeredInTime = false;  // and its exchange was the current, open one
  bool disturbed = false;       // its station's port was closed or unplugged meanwhile
  bool overwritten = false;     // the host replaced its reply before the gateway read it
};

class Boxes : public MessageBoxService {
 public:
  Boxes(EventLoop& loop, std::mt19937& rng, std::function<void(const std::string&)> log)
      : loop_(loop), rng_(rng), log_(std::move(log)) {}
  void Show(const std::string& text) override {
    ++shown;
    const int draw = std::uniform_int_distribution<int>(0, 99)(rng_);
    const Millis hold = draw < 60   ? std::uniform_int_distribution<Millis>(0, 2000)(rng_)
                        : draw < 90 ? std::uniform_int_distribution<Millis>(2000, 8000)(rng_)
                                    : std::uniform_int_distribution<Millis>(12000, 20000)(rng_);
    log_("box (" + std::to_string(hold) + " ms): " + text);
    ++open;
    loop_.Delay(static_cast<int>(hold / 1000), static_cast<int>(hold % 1000));
    --open;
  }
  int open = 0;
  std::uint64_t shown = 0;

 private:
  EventLoop& loop_;
  std::mt19937& rng_;
  std::function<void(const std::string&)> log_;
};

class World {
 public:
  explicit World(const SimOptions& options)
      : options_(options),
        rng_(options.seed),
        boxes_(loop_, rng_, [this](const std::string& s) { Log(s); }) {}

  SimResult Run();

 private:
  // Scheduling on the loop: a one-shot timer per call.
  void After(Millis ms, std::function<void()> fn) {
    auto id = std::make_shared<EventLoop::TimerId>();
    *id = loop_.StartTimer(std::max<Millis>(1, ms), [this, id, fn = std::move(fn)] {
      loop_.StopTimer(*id);
      fn();
    });
  }
  int Draw(int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(rng_); }
  bool Chance(int percent) { return Draw(0, 99) < percent; }
  void Log(std::string line) {
    // The folder differs from run to run; a replay must read the same.
    const std::string folder = dir_.Path().string();
    for (auto at = line.find(folder); at != std::string::npos; at = line.find(folder))
      line.replace(at, folder.size(), "<folder>");
    log_.push_back(std::to_string(loop_.Now()) + " " + line);
    if (!options_.keepLog && log_.size() > 400) log_.pop_front();
  }
  void Fail(const std::string& what) {
    throw Broken{"at " + std::to_string(loop_.Now()) + " ms: " + what};
  }

  void BuildInstallation();
  void StartGateway();
  void Schedule();
  void NextEvent();
  void QueueRequest();
  void ChannelAnswer();
  void OperatorAction();
  void Unplug();
  void Noise();
  void WildPacket();
  void DiskTrouble();
  void JournalTrouble();

  // Radio and cable between the gateway's ports and the stations.
  void FromGateway(int slot, const std::string& hex);
  void ToGateway(int slot, std::string bytes, bool radio);
  void SniffFromStation(int slot, const std::string& bytes);

  // The host.
  void HostReceives(const ol::HostMessage& m);
  void HostReply(std::size_t dispatch, Millis delay);
  void GatewayMessage(const ol::HostMessage& m);

  void Check();
  void CheckReplyFrame(int slot, const std::string& bytes);
  void CheckAck(const std::string& bytes);
  void FinalCheck();

  SimOptions options_;
  std::mt19937 rng_;
  ManualLoop loop_;
  Boxes boxes_;
  TempDir dir_;
  InMemoryHostHub hub_;
  InMemoryHostLink host_{hub_, loop_, kHost};
  InMemoryHostLink own_{hub_, loop_, kOwn};
  std::unique_ptr<Gateway> gw_;
  FakePort* ports_[6] = {};
  std::vector<std::unique_ptr<sim::SimStation>> stations_{5};
  bool unplugged_[5] = {};
  // A slot plugged back in is polled again within kRecoveryLimit, unless a save reloaded
  // the stations meanwhile (a load that finds the device missing leaves the slot to the
  // operator).
  Millis pluggedBackAt_[5] = {-1, -1, -1, -1, -1};
  bool reloadedSinceUnplug_[5] = {};
  int slots_ = 0;

  std::deque<std::string> log_;
  std::map<std::string, Request> requests_;      // by token
  std::map<std::uint64_t, std::string> simIds_;  // sim request id per slot * 2^32 + id
  std::map<std::string, std::string> stamps_;    // stamp -> token
  std::vector<Dispatch> dispatches_;
  std::deque<std::size_t> repliesInFlight_;  // dispatch each posted reply signal answers
  int nextToken_ = 1000;
  Millis nextReplyAt_ = 0;
  std::optional<std::size_t> lastReplyWritten_;  // dispatch whose reply R1.txt holds
  std::uint64_t readsAtLastReply_ = 0;
  bool scheduling_ = true;
  Millis lastPoll_ = 0;
  Millis eligibleSince_ = -1;
  std::uint64_t hostTold_ = 0;  // request-ready messages the host received
  std::uint64_t journalTroubles_ = 0;
  // Reply frames the gateway sent: stamp -> texts (UTF-8).
  std::map<std::string, std::vector<std::string>> repliesSent_;
  SimResult result_;
};

void World::BuildInstallation() {
  slots_ = Draw(1, 4);
  std::set<int> ids;
  std::set<int> numbers;  // handheld numbers are the installation's, not a station's
  std::string jz, dcj;
  for (int n = 1; n <= slots_; ++n) {
    int id;
    do id = Draw(1, 30);
    while (!ids.insert(id).second);
    sim::StationPlan plan;
    plan.id = static_cast<std::uint8_t>(id);
    plan.channel0 = static_cast<std::uint8_t>(Draw(0, 63));
    std::set<int> hh;
    const int count = Draw(1, 5);
    while (static_cast<int>(hh.size()) < count) {
      const int h = Draw(0, 191);
      if (numbers.insert(h).second) hh.insert(h);
    }
    for (int h : hh) {
      plan.handhelds.push_back(static_cast<std::uint8_t>(h));
      dcj += ZeroPad(id, 2) + " " + ZeroPad(h, 3) + "\r\n";
    }
    jz += ZeroPad(id, 2) + " " + ZeroPad(plan.channel0 + 1, 2) + " ttySim" + std::to_string(n) +
          "\r\n";
    sim::Timing timing;
    timing.radioDelay = Draw(3, 20);
    stations_[n] = std::make_unique<sim::SimStation>(
        loop_, plan, [this, n](const std::string& bytes) { ToGateway(n, bytes, true); }, timing);
    stations_[n]->onEvent = [this, n](const sim::SimEvent& e) {
      auto it = simIds_.find((std::uint64_t(n) << 32) | e.requestId);
      if (e.kind == sim::SimEvent::Kind::A5Sent && it != simIds_.end())
        requests_[it->second].uploads.push_back(loop_.Now());
    };
    Log("station slot " + std::to_string(n) + " id " + std::to_string(id) + " handhelds " +
        std::to_string(plan.handhelds.size()));
  }
  std::filesystem::create_directories(dir_.Path() / "TXT");
  WriteBytes(dir_.Path() / "TXT" / "JZ.txt", jz);
  WriteBytes(dir_.Path() / "TXT" / "DCJ.txt", dcj);
}

void World::StartGateway() {
  GatewayWorld world{loop_,
                     own_,
                     boxes_,
                     [this](int n) {
                       auto port = std::make_unique<FakePort>(&loop_, n <= 4 ? n : 0);
                       ports_[n] = port.get();
                       port->onSend = [this, n](const std::string& hex) { FromGateway(n, hex); };
                       return port;
                     },
                     dir_.Path() / "TXT",
                     [] { return std::vector<std::string>{}; }};
  world.journalThread = false;  // a replay writes the journal at the same moments
  gw_ = std::make_unique<Gateway>(std::move(world));
  host_.OnMessage = [this](const ol::HostMessage& m) { HostReceives(m); };
  auto inner = own_.OnMessage;
  own_.OnMessage = [this, inner](const ol::HostMessage& m) {
    GatewayMessage(m);
    inner(m);
  };
  if (options_.keepLog) {
    // A replay shows the gateway's own monitor log among the events.
    const Control* memo = &gw_->Form()["Memo1"];
    std::size_t seen = 0;
    gw_->Form().onChange = [this, memo, seen](const Control& c) mutable {
      if (&c != memo) return;
      if (c.LineCount() > seen) Log("  gateway: " + c.Lines().back());
      seen = c.LineCount();
    };
  }
  gw_->Announce(kHost);
  gw_->FormCreate();
}

// Bytes the gateway wrote on a port: checked, then carried over the radio to the station,
// which may miss them or hear them damaged.
void World::FromGateway(int slot, const std::string& hex) {
  const std::string bytes = HexToBytes(hex);
  if (hex.size() == 10 && hex.starts_with("AA") && hex.substr(6) == FrameCheck(hex.substr(0, 6))) {
    lastPoll_ = loop_.Now();
    ++result_.polls;
  }
  if (hex.starts_with("03")) CheckReplyFrame(slot, bytes);
  if (hex.starts_with("02") && hex.size() == 18) CheckAck(bytes);
  if (slot < 1 || slot > 4 || !stations_[slot] || unplugged_[slot]) return;
  std::string heard = bytes;
  if (Chance(2)) return;  // lost on the radio
  if (Chance(2))
    heard[static_cast<std::size_t>(Draw(0, static_cast<int>(heard.size()) - 1))] ^= 0x10;
  stations_[slot]->Receive(heard);
}

// Bytes a station sends: damaged or lost now and then on the radio, split into chunks as
// the serial reader would deliver them.
void World::ToGateway(int slot, std::string bytes, bool radio) {
  SniffFromStation(slot, bytes);
  if (radio && Chance(2)) return;
  if (radio && Chance(3))
    bytes[static_cast<std::size_t>(Draw(0, static_cast<int>(bytes.size()) - 1))] ^= 0x04;
  std::size_t at = 0;
  Millis delay = 1;
  while (at < bytes.size()) {
    const std::size_t n =
        Chance(80) ? bytes.size() - at
                   : static_cast<std::size_t>(Draw(1, static_cast<int>(bytes.size() - at)));
    std::string chunk = bytes.substr(at, n);
    at += n;
    After(delay, [this, slot, chunk] {
      FakePort* port = ports_[slot];
      if (port && port->IsOpen() && !unplugged_[slot]) port->Receive(chunk);
    });
    delay += Draw(1, 15);
  }
}

// The first packet of a request names its stamp.
void World::SniffFromStation(int, const std::string& bytes) {
  if (bytes.size() != 57 || bytes[0] != 0x01 || bytes[4] != 0x01) return;
  const std::string stamp = bytes.substr(9, 6);
  const std::string token = bytes.substr(16, 4);
  auto it = requests_.find(token);
  if (it == requests_.end()) return;
  it->second.stamp = stamp;
  stamps_[stamp] = token;
}

void World::HostReceives(const ol::HostMessage& m) {
  if (m.message != kHostMessage || m.wparam != 1 || m.lparam != 1) return;
  ++hostTold_;
  const std::filesystem::path file = dir_.Path() / "TXT" / "T1.txt";
  if (!std::filesystem::is_regular_file(file)) return;  // the host cannot read it either
  const std::string t1 = ReadBytes(file);
  const std::vector<std::string> lines = SplitLines(t1);
  if (lines.size() < 2) Fail("the host was told of a request with no record: " + t1);
  const std::string token = lines[1].substr(0, 4);
  auto it = requests_.find(token);
  if (it == requests_.end()) Fail("T1.txt holds no request of this run: " + t1);
  const Request& r = it->second;
  // What the handheld sent, whole: the record is rebuilt from the request as queued.
  if (lines[0] != std::string(RequestHeaderName(r.kind)) + ZeroPad(r.handheld, 3))
    Fail("T1.txt header " + lines[0] + " for request " + token);
  // A second hand-over of the same request needs a second upload since the first.
  Millis previous = -1;
  for (const Dispatch& d : dispatches_)
    if (d.token == token) previous = d.at;
  if (previous >= 0 &&
      std::none_of(r.uploads.begin(), r.uploads.end(), [&](Millis t) { return t > previous; }))
    Fail("request " + token + " handed to the host twice for one upload");
  dispatches_.push_back(
      {token, gw_->Handheld().CurrentExchange().Current(), loop_.Now(), false, false, false});
  ++result_.dispatched;
  const std::size_t index = dispatches_.size() - 1;
  const int draw = Draw(0, 99);
  Log("host has " + token + " (" + ReplyName(r.kind) + ")");
  if (draw < 30) {
    HostReply(index, Draw(20, 300));
  } else if (draw < 65) {
    HostReply(index, Draw(300, 2500));
  } else if (draw < 75) {
    HostReply(index, Draw(20, 800));
    HostReply(index, Draw(900, 4000));  // twice
  } else if (draw < 83) {
    HostReply(index, Draw(11600, 20000));  // late
  } else if (draw < 90) {
    HostReply(index, Draw(10800, 11400));  // just within the limit
  }                                        // else never
}

void World::HostReply(std::size_t dispatch, Millis delay) {
  After(delay, [this, dispatch] {
    // The gateway reads R1.txt 120 ms after the signal; a host replaces the file no sooner
    // than that, or its earlier reply is lost whoever reads it.
    if (loop_.Now() < nextReplyAt_) return HostReply(dispatch, nextReplyAt_ - loop_.Now());
    nextReplyAt_ = loop_.Now() + kHostReplySpacing;
    const Request& r = requests_[dispatches_[dispatch].token];
    std::string name = ReplyName(r.kind);
    name.resize(5, ' ');
    // Now and then a long reply, whose first interval lasts most of a second.
    const std::string more =
        Chance(30) ? std::string(static_cast<std::size_t>(Draw(200, 790)), 'x') : "";
    // A wait nested in a box or a channel query can hold the read back for seconds; the
    // host cannot know, and its next reply then replaces one the gateway never saw.
    const std::uint64_t reads = gw_->Handheld().Relay().ReplyFilesRead();
    if (lastReplyWritten_ && reads == readsAtLastReply_) {
      dispatches_[*lastReplyWritten_].overwritten = true;
      Log("host replaces the unread reply to " + dispatches_[*lastReplyWritten_].token);
    }
    lastReplyWritten_ = dispatch;
    readsAtLastReply_ = reads;
    WriteBytes(dir_.Path() / "TXT" / "R1.txt",
               name + ZeroPad(r.handheld, 3) + "\r\nTOKEN" + r.token + more + "\r\n");
    repliesInFlight_.push_back(dispatch);
    host_.Post(kOwn, kHostMessage, 0, 1);
    Log("host replies to " + r.token);
  });
}

// A reply signal reaching the gateway: in time when the exchange of its request is the
// current, open one.
void World::GatewayMessage(const ol::HostMessage& m) {
  if (m.lparam != 1 || repliesInFlight_.empty()) return;
  Dispatch& d = dispatches_[repliesInFlight_.front()];
  repliesInFlight_.pop_front();
  d.answered = true;
  if (gw_->Handheld().CurrentExchange().IsOpen(d.exchange)) d.answeredInTime = true;
}

void World::CheckReplyFrame(int slot, const std::string& bytes) {
  std::string error;
  auto frame = sim::ParseReplyFrame(bytes, &error);
  if (!frame) Fail("reply frame the handheld cannot read: " + error + " " + BytesToHex(bytes));
  if (frame->station != stations_[slot]->Id())
    Fail("reply for station " + std::to_string(frame->station) + " on slot " +
         std::to_string(slot));
  const std::string text = GbkToUtf8(frame->text);
  auto byStamp = stamps_.find(frame->stamp);
  if (byStamp == stamps_.end()) Fail("reply with a stamp of no request: " + BytesToHex(bytes));
  const Request& owner = requests_[byStamp->second];
  if (owner.handheld != frame->handheld || owner.station != frame->station)
    Fail("reply for request " + owner.token + " addressed to handheld " +
         std::to_string(frame->handheld));
  if (text.starts_with("TOKEN")) {
    const std::string token = text.substr(5, 4);
    const Request& answered = requests_[token];
    if (answered.handheld != frame->handheld || answered.station != frame->station)
      Fail("the reply to " + token + " went to handheld " + std::to_string(frame->handheld) +
           " of station " + std::to_string(frame->station));
    ++result_.replies;
  } else {
    ++result_.noReplyTexts;
  }
  repliesSent_[frame->stamp].push_back(text);
}

// "OK" only ever answers a packet of the request: index 1 up to its total.
void World::CheckAck(const std::string& bytes) {
  const auto total = static_cast<std::uint8_t>(bytes[3]);
  const auto index = static_cast<std::uint8_t>(bytes[4]);
  if (bytes[5] == 'O' && bytes[6] == 'K' && (index < 1 || index > total))
    Fail("\"OK\" for packet " + std::to_string(index) + " of " + std::to_string(total));
}

void World::Check() {
  Gateway& g = *gw_;
  if (g.Handheld().Receive().Accumulator().size() > ReceivePath::kAccumulatorLimit + 2 * 4096)
    Fail("receive accumulator unbounded");
  if (g.Form()["Memo1"].LineCount() > ReceivePath::kMemoMaxLines) Fail("monitor log unbounded");
  if (loop_.ActiveTimers() > 200) Fail("timers pile up: " + std::to_string(loop_.ActiveTimers()));
  Monitor& monitor = g.GetMonitor();
  if (monitor.Log().Lines().size() > TrafficLog::kMaxLines) Fail("decoded view unbounded");
  // A journal that cannot be written is reported once for each time it stops.
  if (monitor.JournalFailuresReported() > journalTroubles_)
    Fail("journal failure reported " + std::to_string(monitor.JournalFailuresReported()) +
         " times for " + std::to_string(journalTroubles_) + " troubles");
  for (int n = 1; n <= 5; ++n)
    if (ports_[n]) ports_[n]->TakeSent();
  for (int slot = 1; slot <= slots_; ++slot) {
    if (pluggedBackAt_[slot] < 0) continue;
    if (reloadedSinceUnplug_[slot] || StationStatus(g.Form(), slot).Text() != kNotConnected) {
      pluggedBackAt_[slot] = -1;
    } else if (loop_.Now() - pluggedBackAt_[slot] > kRecoveryLimit && !g.Setup().Loading()) {
      Fail("slot " + std::to_string(slot) + " not back " +
           std::to_string(loop_.Now() - pluggedBackAt_[slot]) + " ms after its device returned");
    }
  }
  // Polling never stops for good: on the monitor screen with a live station that has
  // handhelds and no box open, a poll goes out within the limit.
  bool eligible = g.Form()["Panel1"].Visible() && boxes_.open == 0 && !g.Setup().Loading();
  if (eligible) {
    bool live = false;
    auto& polling = g.Handheld().GetPolling();
    for (int i = 1; i <= polling.ConnectedCount(); ++i) {
      const int slot = polling.ConnectedAt(i);
      if (slot >= 1 && slot <= 4 && g.Form().At("PADLIST", slot).LineCount() > 0 &&
          StationStatus(g.Form(), slot).Text() != kNotConnected && ports_[slot]->IsOpen())
        live = true;
    }
    eligible = live;
  }
  if (!eligible) {
    eligibleSince_ = -1;
    return;
  }
  if (eligibleSince_ < 0) eligibleSince_ = loop_.Now();
  if (loop_.Now() - std::max(lastPoll_, eligibleSince_) > kPollGapLimit)
    Fail("no poll for " + std::to_string(loop_.Now() - std::max(lastPoll_, eligibleSince_)) +
         " ms");
}

void World::FinalCheck() {
  // The board counts every request the host was told of, neither more nor fewer (the run
  // stays within one day).
  const std::uint64_t counted = gw_->GetMonitor().GetBoard().TotalRequests();
  if (counted != hostTold_)
    Fail("the board counts " + std::to_string(counted) + " requests handed to the host, the host " +
         "was told of " + std::to_string(hostTold_));
  // Every request handed to the host ends, at its own handheld, with its own reply (the
  // host answered within the exchange) or the text that there is none (it did not),
  // unless its reply came after its exchange had closed. A late
  // reply to an earlier request of the same handheld cannot be told from its own.
  for (const Dispatch& d : dispatches_) {
    if (d.disturbed || d.overwritten || (d.answered && !d.answeredInTime)) continue;
    if (d.at > loop_.Now() - kSettle / 2) continue;  // still under way as the run ends
    const Request& r = requests_[d.token];
    bool ok = false;
    for (const std::string& text : repliesSent_[r.stamp]) {
      if (!text.starts_with("TOKEN")) {
        ok |= !d.answeredInTime;  // a host that answered in time must be heard
        continue;
      }
      const Request& answered = requests_[text.substr(5, 4)];
      ok |= answered.station == r.station && answered.handheld == r.handheld;
    }
    if (!ok)
      Fail("request " + d.token + " (handed over at " + std::to_string(d.at) +
           (d.answered ? ", answered in time" : ", never answered") +
           ") got neither its reply nor the no-reply text");
  }
}

void World::QueueRequest() {
  const int slot = Draw(1, slots_);
  sim::SimStation& st = *stations_[slot];
  const auto& hh = st.Handhelds();
  Request r;
  r.token = std::to_string(nextToken_++);
  r.slot = slot;
  r.station = st.Id();
  r.handheld = hh[static_cast<std::size_t>(Draw(0, static_cast<int>(hh.size()) - 1))];
  r.kind = kTokenKinds[Draw(0, static_cast<int>(std::size(kTokenKinds)) - 1)];
  std::string payload = r.token;
  if (r.kind == kOrderKind) {
    const int items = Draw(0, 3);
    payload += "   X001Y00000000001";
    payload += static_cast<char>(items);
    for (int i = 0; i < items; ++i) payload += "A0001 2   " + std::string(17, 'd') + ' ';
  } else {
    const int filler = Draw(0, 120);
    for (int i = 0; i < filler; ++i) payload += static_cast<char>('a' + Draw(0, 25));
  }
  sim::RequestPlan plan;
  plan.handheld = r.handheld;
  plan.code = static_cast<std::uint8_t>(0x4C + r.kind);
  plan.payload = payload;
  const int fault = Draw(0, 99);
  plan.fault = fault < 70   ? sim::Fault::None
               : fault < 80 ? sim::Fault::CorruptPacket
               : fault < 90 ? sim::Fault::SilentAfterA5
                            : sim::Fault::NoConfirm;
  plan.faultPacket = 1;
  r.simId = st.QueueRequest(plan);
  simIds_[(std::uint64_t(slot) << 32) | r.simId] = r.token;
  Log("request " + r.token + " kind " + std::to_string(r.kind) + " from " +
      std::to_string(r.station) + "/" + std::to_string(r.handheld));
  requests_[r.token] = r;
  ++result_.requestsQueued;
}

// A station reports its channel again, as after a power cycle.
void World::ChannelAnswer() {
  const int slot = Draw(1, slots_);
  Log("channel answer from slot " + std::to_string(slot));
  ToGateway(slot, sim::BuildChannelAnswer(stations_[slot]->Id(), stations_[slot]->Channel0()),
            false);
}

void World::OperatorAction() {
  Gateway& g = *gw_;
  if (!g.Form()["Panel1"].Visible()) return;
  const int action = Draw(0, 9);
  const Millis back = Draw(200, 8000);
  auto disturb = [this] {
    for (Dispatch& d : dispatches_)
      if (gw_->Handheld().CurrentExchange().IsOpen(d.exchange)) d.disturbed = true;
  };
  if (action < 4) {
    Log("operator: settings screen");
    g.Settings().ToolButton4Click();
    After(back, [this] {
      Log("operator: back from settings");
      gw_->Settings().Button3Click();
    });
  } else if (action < 7) {
    Log("operator: download screen");
    g.DownloadView().ToolButton2Click();
    After(back, [this] {
      Log("operator: back from download");
      gw_->DownloadView().Button2Click();
    });
  } else if (action < 9) {
    Log("operator: monitor button");
    g.ToolButton1Click();
  } else {
    Log("operator: save");
    disturb();
    for (bool& reloaded : reloadedSinceUnplug_) reloaded = true;
    g.Settings().ToolButton4Click();
    g.Settings().BitBtn2Click();
    After(back, [this] {
      Log("operator: back from settings");
      gw_->Settings().Button3Click();
    });
  }
}

void World::Unplug() {
  const int slot = Draw(1, slots_);
  if (unplugged_[slot]) return;
  Log("unplug slot " + std::to_string(slot));
  for (Dispatch& d : dispatches_)
    if (gw_->Handheld().CurrentExchange().IsOpen(d.exchange) && requests_[d.token].slot == slot)
      d.disturbed = true;
  unplugged_[slot] = true;
  pluggedBackAt_[slot] = -1;
  reloadedSinceUnplug_[slot] = false;
  ports_[slot]->failOpen = true;
  ports_[slot]->LoseLine();
  After(Draw(1000, 20000), [this, slot] {
    Log("plug slot " + std::to_string(slot) + " back");
    unplugged_[slot] = false;
    ports_[slot]->failOpen = false;
    pluggedBackAt_[slot] = loop_.Now();
  });
}

void World::Noise() {
  const int slot = Draw(1, slots_);
  std::string bytes;
  const int n = Draw(1, 40);
  for (int i = 0; i < n; ++i) bytes += static_cast<char>(Draw(0, 255));
  Log("noise on slot " + std::to_string(slot));
  ToGateway(slot, bytes, false);
}

// A request packet with a sound check but an index outside its request.
void World::WildPacket() {
  const int slot = Draw(1, slots_);
  const auto& hh = stations_[slot]->Handhelds();
  const std::uint8_t h = hh[static_cast<std::size_t>(Draw(0, static_cast<int>(hh.size()) - 1))];
  std::string packet = sim::BuildRequestPackets(
      stations_[slot]->Id(), h, std::string("\x12\x34\x56\x00\x00\x01", 6), 0x4C, "wild")[0];
  packet[4] = Chance(50) ? 0 : 2;
  packet.resize(55);
  packet += sim::CheckBytes(sim::Sum16(packet));
  Log("wild packet index " + std::to_string(packet[4]) + " from slot " + std::to_string(slot));
  ToGateway(slot, packet, false);
}

// T1.txt or the activity log cannot be written for a while (a folder stands where the
// file belongs): the request's box opens inside the exchange.
void World::DiskTrouble() {
  const std::filesystem::path file = dir_.Path() / "TXT" / (Chance(50) ? "T1.txt" : "logfile.txt");
  if (std::filesystem::is_directory(file)) return;
  Log("cannot write " + file.filename().string());
  std::filesystem::remove(file);
  std::filesystem::create_directory(file);
  After(Draw(500, 15000), [this, file] {
    Log("can write " + file.filename().string() + " again");
    std::filesystem::remove_all(file);
  });
}

// The journal's folder cannot be written for a while (a file stands in its place): the
// cycle goes on, and the monitor says so once.
void World::JournalTrouble() {
  const std::filesystem::path folder = dir_.Path() / "TXT" / "journal";
  if (std::filesystem::is_regular_file(folder)) return;
  Log("journal folder unwritable");
  ++journalTroubles_;
  std::filesystem::remove_all(folder);
  WriteBytes(folder, "not a folder");
  After(Draw(2000, 20000), [this, folder] {
    Log("journal folder writable again");
    std::filesystem::remove(folder);
  });
}

void World::NextEvent() {
  if (!scheduling_) return;
  const int kind = Draw(0, 99);
  if (kind < 50)
    QueueRequest();
  else if (kind < 60)
    ChannelAnswer();
  else if (kind < 72)
    OperatorAction();
  else if (kind < 75)
    Unplug();
  else if (kind < 85)
    Noise();
  else if (kind < 90)
    WildPacket();
  else if (kind < 93)
    DiskTrouble();
  else if (kind < 96)
    JournalTrouble();
  After(Draw(50, 3000), [this] { NextEvent(); });
}

SimResult World::Run() {
  try {
    BuildInstallation();
    StartGateway();
    std::function<void()> check = [&] {
      Check();
      After(kCheckEvery, check);
    };
    After(kCheckEvery, check);
    After(1, [this] { NextEvent(); });
    After(options_.duration, [this] { scheduling_ = false; });
    loop_.Advance(options_.duration + kSettle);
    FinalCheck();
  } catch (const Broken& b) {
    result_.ok = false;
    result_.failure = b.what;
  }
  result_.simulated = loop_.Now();
  result_.boxes = boxes_.shown;
  if (gw_) result_.journalFailures = gw_->GetMonitor().JournalFailuresReported();
  result_.log.assign(log_.begin(), log_.end());
  return result_;
}

}  // namespace

SimResult RunCycleSimulation(const SimOptions& options) {
  World world(options);
  return world.Run();
}

}  // namespace ol::testing
