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
#include "testing/memory_file_store.h"

namespace ol::testing {
namespace {

constexpr WindowHandle kHost = 10;
constexpr WindowHandle kOwn = 20;
// A live station is polled again within one exchange (its limit, a reply signalled just
// before it, the longest resending and the pause after it) and a round of the others.
constexpr Millis kPollGapLimit = ReplyRelay::kExchangeTime + ReplyRelay::kReadAfterSignal +
                                 ReplyRelay::kResendBudget + 2 * 900 + 4 * 70 + 250;
constexpr Millis kCheckEvery = 250;
// A reopened station is asked every 2 s; each query or its answer may be lost on the line.
constexpr Millis kRecoveryLimit = 30000;
// The gateway reads R1.txt 120 ms after the signal; a host replaces the file no sooner
// than that, or its earlier reply is lost whoever reads it.
constexpr Millis kHostReplySpacing = 300;
// Dialogs inside boxes inside a station's query: a few, never one per event.
constexpr int kWaitDepthLimit = 6;

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
  Millis deadline = 0;      // its handheld's request-pending answer + the limit
  Millis validSignal = -1;  // the host wrote a reply for it and signalled, first time
  bool named = false;       // that reply's first line was the request's header line
  bool disturbed = false;   // its station's port was closed or unplugged meanwhile
};

// Which fault kinds a run switches on, and how often: each seed its own mix, so a rare
// combination is not drowned by the common noise (swarm testing).
struct Swarm {
  // Weights of the scheduled events.
  int request = 50, channel = 0, operatorScreens = 0, unplug = 0, noise = 0, wild = 0, disk = 0,
      journal = 0, dialog = 0, closeWait = 0, strayConfirm = 0, capture = 0, captureTrouble = 0,
      held = 0;
  // Percentages: radio faults each way, the handhelds' own faults.
  int lossOut = 0, damageOut = 0, lossIn = 0, damageIn = 0, packetFaults = 0;
  int repeatLast = 0;     // the accepted last packet again, after the hand-over
  int repeatGarbled = 0;  // of those, garbled
  int foreignPacket = 0;  // another handheld's packet during the host's wait
  int confirmDuringWait = 0;
  // The host: how it answers each request.
  int hostQuick = 30, hostSlow = 35, hostTwice = 0, hostLate = 0, hostEdge = 0, hostNever = 0,
      hostNoFile = 0, hostCorrected = 0, hostDuplicate = 0, hostFlood = 0, hostBadName = 0;
  int plainName = 0, oddNumber = 0;  // first lines without the handheld, or "KT   12"
  int dialogAfterSignal = 0;         // the operator opens a dialog inside the relay's steps
  std::string Describe() const;
};

// Every choice of a run: from the schedule's bytes while they last, then from the seed.
class Source {
 public:
  Source(std::uint32_t seed, const std::uint8_t* data, std::size_t size)
      : rng_(seed), data_(data), size_(size) {}
  int Draw(int lo, int hi) {
    if (hi <= lo) return lo;
    const auto range = static_cast<std::uint32_t>(hi - lo) + 1;
    if (at_ < size_) {
      std::uint32_t v = data_[at_++];
      if (range > 256 && at_ < size_) v = v << 8 | data_[at_++];
      return lo + static_cast<int>(v % range);
    }
    return std::uniform_int_distribution<int>(lo, hi)(rng_);
  }
  // A schedule given as bytes has run out.
  bool Exhausted() const { return data_ != nullptr && at_ >= size_; }

 private:
  std::mt19937 rng_;
  const std::uint8_t* data_;
  std::size_t size_;
  std::size_t at_ = 0;
};

// A modal dialog: its nested loop runs events for as long as the operator keeps it open.
Millis HoldFor(Source& source) {
  const int draw = source.Draw(0, 99);
  return draw < 60   ? source.Draw(0, 2000)
         : draw < 90 ? source.Draw(2000, 8000)
                     : source.Draw(12000, 60000);
}

class Boxes : public MessageBoxService {
 public:
  Boxes(EventLoop& loop, Source& source, std::function<void(const std::string&)> log)
      : loop_(loop), source_(source), log_(std::move(log)) {}
  void Show(const std::string& text) override {
    ++shown;
    const Millis hold = HoldFor(source_);
    log_("box (" + std::to_string(hold) + " ms): " + text);
    ++open;
    loop_.Delay(static_cast<int>(hold / 1000), static_cast<int>(hold % 1000));
    --open;
  }
  std::uint64_t shown = 0;
  int open = 0;  // boxes up now: the window under them takes no clicks

 private:
  EventLoop& loop_;
  Source& source_;
  std::function<void(const std::string&)> log_;
};

std::string Swarm::Describe() const {
  std::string out;
  auto add = [&](const char* name, int v) {
    if (v) out += std::string(out.empty() ? "" : " ") + name + "=" + std::to_string(v);
  };
  add("channel", channel), add("screens", operatorScreens), add("unplug", unplug);
  add("noise", noise), add("wild", wild), add("disk", disk), add("journal", journal);
  add("dialog", dialog), add("closeWait", closeWait), add("strayConfirm", strayConfirm);
  add("capture", capture), add("captureTrouble", captureTrouble), add("held", held);
  add("lossOut", lossOut), add("damageOut", damageOut), add("lossIn", lossIn);
  add("damageIn", damageIn), add("packetFaults", packetFaults), add("repeatLast", repeatLast);
  add("repeatGarbled", repeatGarbled), add("foreignPacket", foreignPacket);
  add("confirmDuringWait", confirmDuringWait), add("hostTwice", hostTwice);
  add("hostLate", hostLate), add("hostEdge", hostEdge), add("hostNever", hostNever);
  add("hostNoFile", hostNoFile), add("hostCorrected", hostCorrected);
  add("hostDuplicate", hostDuplicate), add("hostFlood", hostFlood);
  add("hostBadName", hostBadName), add("plainName", plainName), add("oddNumber", oddNumber);
  add("dialogAfterSignal", dialogAfterSignal);
  return out;
}

class World {
 public:
  explicit World(const SimOptions& options)
      : options_(options),
        source_(options.seed, options.schedule, options.scheduleSize),
        boxes_(loop_, source_, [this](const std::string& s) { Log(s); }) {}

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
  int Draw(int lo, int hi) { return source_.Draw(lo, hi); }
  bool Chance(int percent) { return percent > 0 && Draw(0, 99) < percent; }
  // A modal dialog or box is up: the window under it is disabled, the operator cannot click.
  bool Modal() const { return dialogsOpen_ > 0 || boxes_.open > 0; }
  // The operator's click, made once no dialog or box is up.
  void Click(Millis ms, std::function<void()> fn) {
    After(ms, [this, fn = std::move(fn)]() mutable {
      if (Modal())
        Click(500, std::move(fn));
      else
        fn();
    });
  }
  void Log(std::string line) {
    log_.push_back(std::to_string(loop_.Now()) + " " + line);
    if (!options_.keepLog && log_.size() > 400) log_.pop_front();
  }
  void Fail(const std::string& what) {
    throw Broken{"at " + std::to_string(loop_.Now()) + " ms: " + what};
  }

  void DrawSwarm();
  void BuildInstallation();
  void StartGateway();
  void NextEvent();
  void QueueRequest();
  void ChannelAnswer();
  void OperatorAction();
  void Dialog(const std::string& why);
  void CloseWait();
  void Unplug();
  void Noise();
  void WildPacket();
  void StrayConfirmation(int slot);
  void ForeignPacket(int slot, std::uint8_t besides);
  void DiskTrouble();
  void FolderTrouble(const std::string& folder, std::uint64_t& troubles, Millis longest);
  void HeldFile();
  bool HeldWrite(const std::string& name);
  void CheckCaptures();

  // Radio and cable between the gateway's ports and the stations.
  void FromGateway(int slot, const std::string& hex);
  void ToGateway(int slot, std::string bytes, bool radio);
  void SniffFromStation(int slot, const std::string& bytes);

  // The host.
  void HostReceives(const ol::HostMessage& m);
  void HostReply(std::size_t dispatch, Millis delay, bool corrected = false);
  void HostSignals(const std::string& why);
  void Signal();
  void HostSignalsWithoutFile(std::size_t dispatch, Millis delay);
  void Flood(int left);

  void Check();
  void CheckReplyFrame(int slot, const std::string& bytes);
  void CheckAck(const std::string& bytes);
  void FinalCheck();

  SimOptions options_;
  Source source_;
  Swarm swarm_;
  ManualLoop loop_;
  Boxes boxes_;
  // The TXT folder, held in memory: thousands of runs a second, and any write can fail.
  std::shared_ptr<MemoryFileStore> files_ = std::make_shared<MemoryFileStore>();
  std::set<std::string> unwritable_;
  // Files another program holds open, until when.
  std::map<std::string, Millis> heldUntil_;
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
  std::set<std::string> repeated_;               // last packets heard again already
  std::vector<Dispatch> dispatches_;
  int nextToken_ = 1000;
  Millis nextReplyAt_ = 0;
  bool replyUnread_ = false;  // the host wrote R1.txt and the gateway has not read it since
  struct Written {
    std::string token;
    bool named = false;  // its first line names the handheld as the request's header does
  } lastWrite_;
  // Replies and the handhelds of other requests that were with the host when they were
  // signalled unnamed.
  std::map<std::string, std::set<int>> indistinct_;
  std::uint64_t readsAtLastReply_ = 0;
  bool scheduling_ = true;
  int dialogsOpen_ = 0;
  Millis lastPoll_[5] = {};
  Millis eligibleSince_[5] = {-1, -1, -1, -1, -1};
  std::uint64_t hostTold_ = 0;  // request-ready messages the host received
  std::uint64_t journalTroubles_ = 0;
  // The flight recorder on virtual time, the capture folder's troubles and the failures
  // told, the captures checked, and when the last one made after a failure appeared.
  std::shared_ptr<FlightRecorder> recorder_;
  std::uint64_t captureTroubles_ = 0;
  std::uint64_t captureFailuresTold_ = 0;
  std::set<std::string> capturesSeen_;
  Millis lastFailureCapture_ = -Captures::kQuiet;
  Millis firstExchangeFailure_ = -1;
  // Reply frames the gateway sent: stamp -> texts (UTF-8).
  std::map<std::string, std::vector<std::string>> repliesSent_;
  std::set<std::string> tokensSent_;  // requests whose host reply reached their handheld
  // Request-pending answers as they went to the gateway, by station << 8 | handheld.
  std::map<int, std::vector<Millis>> pendingHeard_;
  // The stamp of the last reply frame to each handheld, and of the one it confirmed.
  std::map<int, std::string> lastReplyTo_;
  std::map<int, std::string> confirmed_;
  SimResult result_;
};

void World::DrawSwarm() {
  Swarm& w = swarm_;
  // Each kind on or off, and when on, at a rate of its own.
  auto maybe = [&](int lo, int hi) { return Chance(50) ? Draw(lo, hi) : 0; };
  w.channel = maybe(2, 15), w.operatorScreens = maybe(2, 15), w.unplug = maybe(1, 5);
  w.noise = maybe(2, 15), w.wild = maybe(2, 10), w.disk = maybe(1, 5), w.journal = maybe(1, 5);
  w.dialog = maybe(2, 15), w.closeWait = maybe(1, 5), w.strayConfirm = maybe(2, 15);
  w.lossOut = maybe(1, 5), w.damageOut = maybe(1, 5), w.lossIn = maybe(1, 5);
  w.damageIn = maybe(1, 6), w.packetFaults = maybe(10, 40), w.repeatLast = maybe(10, 60);
  w.repeatGarbled = maybe(20, 100), w.foreignPacket = maybe(10, 50);
  w.confirmDuringWait = maybe(10, 50);
  w.hostTwice = maybe(5, 20), w.hostLate = maybe(5, 30), w.hostEdge = maybe(5, 20);
  w.hostNever = maybe(2, 15), w.hostNoFile = maybe(2, 15), w.hostCorrected = maybe(5, 30);
  w.hostDuplicate = maybe(5, 40), w.hostFlood = maybe(1, 10), w.hostBadName = maybe(1, 10);
  w.plainName = maybe(20, 100), w.oddNumber = maybe(10, 50);
  w.dialogAfterSignal = maybe(5, 40);
  w.capture = maybe(1, 5), w.captureTrouble = maybe(1, 5), w.held = maybe(1, 8);
  result_.swarm = w.Describe();
  Log("swarm: " + result_.swarm);
}

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
  files_->SetWriteFault([this](const std::string& name) { return HeldWrite(name); });
  files_->Write("JZ.txt", jz);
  files_->Write("DCJ.txt", dcj);
}

void World::StartGateway() {
  GatewayWorld world{loop_,
                     own_,
                     boxes_,
                     [this](int n) {
                       auto port = std::make_unique<FakePort>(&loop_, n <= 4 ? n : 0);
                       ports_[n] = port.get();
                       port->onSend = [this, n](const std::string& hex) { FromGateway(n, hex); };
                       port->onReceive = [this, n](const std::string& bytes) {
                         if (n <= 4)
                           recorder_->Add(n, FlightRecorder::Direction::In,
                                          reinterpret_cast<const std::uint8_t*>(bytes.data()),
                                          bytes.size());
                       };
                       return port;
                     },
                     {},
                     [] { return std::vector<std::string>{}; }};
  world.txtStore = files_;
  world.journalThread = false;  // a replay writes the journal at the same moments
  recorder_ = std::make_shared<FlightRecorder>(FlightRecorder::Limits{},
                                               [this] { return loop_.Now() * 1000; });
  world.recorder = recorder_;
  gw_ = std::make_unique<Gateway>(std::move(world));
  host_.OnMessage = [this](const ol::HostMessage& m) { HostReceives(m); };
  // A replay shows the gateway's own monitor log among the events.
  const Control* memo = &gw_->Form()["Memo1"];
  const Control* notice = &gw_->Form()["StatusPanel2"];
  std::size_t seen = 0;
  gw_->Form().onChange = [this, memo, notice, seen](const Control& c) mutable {
    if (&c == notice && c.Text().starts_with("抓包无法保存")) ++captureFailuresTold_;
    if (&c != memo || !options_.keepLog) return;
    if (c.LineCount() > seen) Log("  gateway: " + c.Lines().back());
    seen = c.LineCount();
  };
  gw_->Announce(kHost);
  gw_->FormCreate();
}

// Bytes the gateway wrote on a port: checked, then carried over the radio to the station,
// which may miss them or hear them damaged.
void World::FromGateway(int slot, const std::string& hex) {
  const std::string bytes = HexToBytes(hex);
  if (slot >= 1 && slot <= 4)
    recorder_->Add(slot, FlightRecorder::Direction::Out,
                   reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size());
  if (hex.size() == 10 && hex.starts_with("AA") && hex.substr(6) == FrameCheck(hex.substr(0, 6))) {
    if (slot >= 1 && slot <= 4) lastPoll_[slot] = loop_.Now();
    ++result_.polls;
  }
  if (hex.starts_with("03")) CheckReplyFrame(slot, bytes);
  if (hex.starts_with("02") && hex.size() == 18) CheckAck(bytes);
  if (slot < 1 || slot > 4 || !stations_[slot] || unplugged_[slot]) return;
  std::string heard = bytes;
  if (Chance(swarm_.lossOut)) return;  // lost on the radio
  if (Chance(swarm_.damageOut))
    heard[static_cast<std::size_t>(Draw(0, static_cast<int>(heard.size()) - 1))] ^= 0x10;
  stations_[slot]->Receive(heard);
}

// Bytes a station sends: damaged or lost now and then on the radio, split into chunks as
// the serial reader would deliver them.
void World::ToGateway(int slot, std::string bytes, bool radio) {
  if (radio) SniffFromStation(slot, bytes);
  if (radio && Chance(swarm_.lossIn)) return;
  const bool damaged = radio && Chance(swarm_.damageIn);
  if (damaged) bytes[static_cast<std::size_t>(Draw(0, static_cast<int>(bytes.size()) - 1))] ^= 0x04;
  // A request-pending answer carries no check: a damaged one may name another handheld.
  if (bytes.size() >= 3 && static_cast<std::uint8_t>(bytes[0]) == 0xA5) {
    const int key = static_cast<std::uint8_t>(bytes[1]) << 8 | static_cast<std::uint8_t>(bytes[2]);
    pendingHeard_[key].push_back(loop_.Now());
    confirmed_.erase(key);  // a new exchange of its own
  }
  // A handheld's confirmation, whole, in one chunk.
  if (radio && !damaged && bytes.size() == 9 && bytes[0] == 0x04 && !Chance(20)) {
    const int key = static_cast<std::uint8_t>(bytes[1]) << 8 | static_cast<std::uint8_t>(bytes[2]);
    After(1, [this, slot, bytes, key] {
      FakePort* port = ports_[slot];
      if (!port || !port->IsOpen() || unplugged_[slot]) return;
      // Read unless the gateway waits for a request-pending answer, or bytes of another
      // station's frame are in its buffer; a whole frame taken before must not be there.
      const std::string& buffer = gw_->Handheld().Receive().Accumulator(slot);
      const bool whole =
          buffer.empty() || (buffer.size() == 18 && buffer.starts_with("04")) ||
          (buffer.size() == 12 && buffer.starts_with("AA4F") && buffer.ends_with("BB"));
      const bool readable = whole && !gw_->Handheld().GetPolling().PollReplyFlag();
      port->Receive(bytes);
      if (readable && lastReplyTo_.count(key)) confirmed_[key] = lastReplyTo_[key];
    });
    return;
  }
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

// The first packet of a request names its stamp. The last one is sometimes heard again
// after the gateway took it (its "OK" lost on the way back), clean or garbled.
void World::SniffFromStation(int slot, const std::string& bytes) {
  if (bytes.size() != 57 || bytes[0] != 0x01) return;
  if (bytes[4] == 0x01) {
    const std::string stamp = bytes.substr(9, 6);
    const std::string token = bytes.substr(16, 4);
    auto it = requests_.find(token);
    if (it != requests_.end()) {
      it->second.stamp = stamp;
      stamps_[stamp] = token;
    }
  }
  // Once each: a packet the gateway refuses comes back with every "NO" anyway.
  if (bytes[4] == bytes[3] && Chance(swarm_.repeatLast) && repeated_.insert(bytes).second) {
    std::string again = bytes;
    const bool garbled = Chance(swarm_.repeatGarbled);
    if (garbled) again[static_cast<std::size_t>(Draw(7, 54))] ^= 0x20;
    // A handheld repeats its packet only while it waits for the answer, never once it has
    // asked anew.
    const Exchange::Id exchange = gw_->Handheld().CurrentExchange().Current();
    After(Draw(100, 3000), [this, slot, again, garbled, exchange] {
      if (gw_->Handheld().CurrentExchange().Current() != exchange) return;
      Log(std::string("the last packet again") + (garbled ? ", garbled" : "") + " on slot " +
          std::to_string(slot));
      ToGateway(slot, again, false);
    });
  }
}

void World::HostReceives(const ol::HostMessage& m) {
  if (m.message != kHostMessage || m.wparam != 1 || m.lparam != 1) return;
  ++hostTold_;
  const std::optional<std::string> file = files_->Read("T1.txt");
  if (!file) Fail("the host was told of a request without T1.txt");
  const std::string t1 = *file;
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
  const std::vector<Millis>& heard = pendingHeard_[r.station << 8 | r.handheld];
  if (previous >= 0 &&
      std::none_of(heard.begin(), heard.end(), [&](Millis t) { return t > previous; }))
    Fail("request " + token + " handed to the host twice for one upload");
  if (r.uploads.empty()) Fail("request " + token + " handed over without a request-pending answer");
  Dispatch d;
  d.token = token;
  d.exchange = gw_->Handheld().CurrentExchange().Current();
  d.at = loop_.Now();
  // The gateway starts its limit when the answer reaches it, after the station sent it.
  d.deadline = r.uploads.back() + ReplyRelay::kExchangeTime;
  dispatches_.push_back(d);
  ++result_.dispatched;
  const std::size_t index = dispatches_.size() - 1;
  Log("host has " + token + " (" + ReplyName(r.kind) + ")");
  // The handheld and its neighbours go on talking while the host works.
  if (Chance(swarm_.foreignPacket)) ForeignPacket(r.slot, r.handheld);
  if (Chance(swarm_.confirmDuringWait))
    After(Draw(10, 3000), [this] { StrayConfirmation(Draw(1, slots_)); });
  const Swarm& w = swarm_;
  int draw = Draw(0, w.hostQuick + w.hostSlow + w.hostTwice + w.hostLate + w.hostEdge +
                         w.hostNever + w.hostNoFile + w.hostCorrected + w.hostBadName - 1);
  auto pick = [&](int weight) {
    draw -= weight;
    return draw < 0;
  };
  if (pick(w.hostQuick)) {
    HostReply(index, Draw(20, 300));
  } else if (pick(w.hostSlow)) {
    HostReply(index, Draw(300, 9000));
  } else if (pick(w.hostTwice)) {
    HostReply(index, Draw(20, 800));
    HostReply(index, Draw(900, 4000));
  } else if (pick(w.hostLate)) {
    HostReply(index, Draw(11600, 20000));
  } else if (pick(w.hostEdge)) {
    HostReply(index, Draw(10800, 11800));  // around the limit
  } else if (pick(w.hostNever)) {
    // never answers
  } else if (pick(w.hostNoFile)) {
    HostSignalsWithoutFile(index, Draw(20, 11000));
  } else if (pick(w.hostCorrected)) {
    HostReply(index, Draw(20, 3000));
    HostReply(index, Draw(3300, 8000), true);
  } else {
    HostReply(index, Draw(20, 3000));  // and its name is garbled below
  }
}

void World::Signal() {
  // A reply whose first line does not name its handheld cannot be told from an answer to
  // the request the host has when the signal arrives: its handheld may get it.
  if (!lastWrite_.token.empty() && !lastWrite_.named)
    for (const Dispatch& d : dispatches_)
      if (gw_->Handheld().CurrentExchange().IsOpen(d.exchange)) {
        const Request& r = requests_[d.token];
        indistinct_[lastWrite_.token].insert(r.station << 8 | r.handheld);
      }
  host_.Post(kOwn, kHostMessage, 0, 1);
}

void World::HostSignals(const std::string& why) {
  Signal();
  Log("host signals (" + why + ")");
  if (Chance(swarm_.hostDuplicate))
    After(Draw(0, 2000), [this] {
      Signal();
      Log("host signals again");
    });
  if (Chance(swarm_.hostFlood)) Flood(Draw(5, 200));
}

// A host in a loop posts reply-ready on and on.
void World::Flood(int left) {
  if (left <= 0) return;
  Signal();
  After(Draw(10, 150), [this, left] { Flood(left - 1); });
}

void World::HostReply(std::size_t dispatch, Millis delay, bool corrected) {
  After(delay, [this, dispatch, corrected] {
    if (loop_.Now() < nextReplyAt_)
      return HostReply(dispatch, nextReplyAt_ - loop_.Now(), corrected);
    nextReplyAt_ = loop_.Now() + kHostReplySpacing;
    Dispatch& d = dispatches_[dispatch];
    const Request& r = requests_[d.token];
    // The host's first line: the reply's name, alone, with the handheld as the request's
    // header has it, or with some other number; now and then a name nobody knows.
    const bool badName = swarm_.hostBadName > 0 && Chance(30);
    std::string first = badName ? "ZZ" : ReplyName(r.kind);
    if (!badName && !Chance(swarm_.plainName)) {
      first.resize(5, ' ');
      first += Chance(swarm_.oddNumber) ? std::to_string(Draw(0, 99)) : ZeroPad(r.handheld, 3);
    }
    // Now and then a long reply, whose first interval lasts most of a second.
    const std::string more =
        Chance(30) ? std::string(static_cast<std::size_t>(Draw(200, 790)), 'x') : "";
    // Every reply the host wrote was read before the next replaced it: no signal was
    // swallowed and no read came too late.
    if (replyUnread_ && gw_->Handheld().Relay().ReplyFilesRead() == readsAtLastReply_)
      Fail("the host's previous reply was never read");
    replyUnread_ = true;
    readsAtLastReply_ = gw_->Handheld().Relay().ReplyFilesRead();
    files_->Write("R1.txt",
                  first + "\r\nTOKEN" + r.token + (corrected ? "corrected" : "") + more + "\r\n");
    lastWrite_ = {r.token,
                  first == std::string(ReplyName(r.kind)) +
                               std::string(5 - std::string(ReplyName(r.kind)).size(), ' ') +
                               ZeroPad(r.handheld, 3)};
    // A reply the gateway can only relay while the request's exchange is still open: one
    // of the same handheld's earlier answers, come late, may have ended it already.
    if (!badName && d.validSignal < 0 && gw_->Handheld().CurrentExchange().IsOpen(d.exchange)) {
      d.validSignal = loop_.Now();
      d.named = lastWrite_.named;
    }
    HostSignals("reply to " + r.token + ": " + first);
    if (Chance(swarm_.dialogAfterSignal))
      After(Draw(0, 200), [this] { Dialog("inside the relay"); });
  });
}

// A host that signals a reply it has not written: the gateway looks for R1.txt in vain.
void World::HostSignalsWithoutFile(std::size_t dispatch, Millis delay) {
  After(delay, [this, dispatch] {
    if (loop_.Now() < nextReplyAt_)
      return HostSignalsWithoutFile(dispatch, nextReplyAt_ - loop_.Now());
    nextReplyAt_ = loop_.Now() + kHostReplySpacing;
    files_->Remove("R1.txt");
    replyUnread_ = false;
    lastWrite_ = {};
    HostSignals("no R1.txt for " + dispatches_[dispatch].token);
  });
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
    // A host's reply reaches only the handheld whose request it answers.
    const std::string token = text.substr(5, 4);
    const Request& answered = requests_[token];
    if ((answered.handheld != frame->handheld || answered.station != frame->station) &&
        !indistinct_[token].count(frame->station << 8 | frame->handheld))
      Fail("the reply to " + token + " went to handheld " + std::to_string(frame->handheld) +
           " of station " + std::to_string(frame->station));
    ++result_.replies;
  } else {
    ++result_.noReplyTexts;
    if (firstExchangeFailure_ < 0) firstExchangeFailure_ = loop_.Now();
  }
  repliesSent_[frame->stamp].push_back(text);
  if (text.starts_with("TOKEN")) tokensSent_.insert(text.substr(5, 4));
  // A reply the handheld has confirmed is not sent again.
  const int key = frame->station << 8 | frame->handheld;
  if (auto c = confirmed_.find(key); c != confirmed_.end() && c->second == frame->stamp)
    Fail("the reply to " + owner.token + " sent again after its handheld confirmed it");
  lastReplyTo_[key] = frame->stamp;
  // The text that there is no reply comes at the exchange's limit, not before: counted
  // from the request-pending answer that opened the exchange of the request handed over.
  if (text.starts_with("信息上传完毕")) {
    Millis handedOver = -1;
    for (const Dispatch& d : dispatches_)
      if (d.token == owner.token) handedOver = d.at;
    // The earliest that can have opened it: later ones (a repeat, another handheld's
    // damaged on the radio) came while the gateway was busy and did not.
    Millis opened = -1;
    for (Millis t : pendingHeard_[key])
      if (t <= handedOver && t > handedOver - ReplyRelay::kExchangeTime && opened < 0) opened = t;
    if (opened >= 0 && loop_.Now() < opened + ReplyRelay::kExchangeTime)
      Fail("the no-reply text to " + owner.token + " " + std::to_string(loop_.Now() - opened) +
           " ms after its request-pending answer, before the limit");
  }
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
  for (int slot = 1; slot <= 4; ++slot)
    if (g.Handheld().Receive().Accumulator(slot).size() > ReceivePath::kAccumulatorLimit + 2 * 4096)
      Fail("receive accumulator unbounded");
  if (g.Form()["Memo1"].LineCount() > ReceivePath::kMemoMaxLines) Fail("monitor log unbounded");
  if (loop_.ActiveTimers() > 200) Fail("timers pile up: " + std::to_string(loop_.ActiveTimers()));
  if (loop_.WaitDepth() > kWaitDepthLimit)
    Fail("waits nest " + std::to_string(loop_.WaitDepth()) + " deep");
  Monitor& monitor = g.GetMonitor();
  if (monitor.Log().Lines().size() > TrafficLog::kMaxLines) Fail("decoded view unbounded");
  CheckCaptures();
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
  // Polling never stops for good: on the monitor screen, whatever dialogs are open, a
  // poll goes out within one exchange of any moment, and each live station with handhelds
  // is polled within one exchange per station (the others' may run back to back).
  const bool screen = g.Form()["Panel1"].Visible() && !g.Setup().Loading();
  auto& polling = g.Handheld().GetPolling();
  int liveCount = 0;
  bool live[5] = {};
  for (int slot = 1; slot <= slots_; ++slot) {
    for (int i = 1; i <= polling.ConnectedCount(); ++i)
      live[slot] = live[slot] || polling.ConnectedAt(i) == slot;
    live[slot] = live[slot] && screen && g.Form().At("PADLIST", slot).LineCount() > 0 &&
                 StationStatus(g.Form(), slot).Text() != kNotConnected && ports_[slot]->IsOpen();
    liveCount += live[slot] ? 1 : 0;
  }
  Millis lastAny = -1;
  for (int slot = 1; slot <= slots_; ++slot) lastAny = std::max(lastAny, lastPoll_[slot]);
  for (int slot = 0; slot <= slots_; ++slot) {
    const bool on = slot == 0 ? liveCount > 0 : live[slot];
    if (!on) {
      eligibleSince_[slot] = -1;
      continue;
    }
    if (eligibleSince_[slot] < 0) eligibleSince_[slot] = loop_.Now();
    const Millis last = slot == 0 ? lastAny : lastPoll_[slot];
    // A replacement waiting out a held file blocks polling up to 1 s: within the limit.
    const Millis quiet = loop_.Now() - std::max(last, eligibleSince_[slot]);
    if (quiet > (slot == 0 ? 1 : polling.ConnectedCount()) * kPollGapLimit)
      Fail("no poll " + (slot == 0 ? std::string("at all") : "on slot " + std::to_string(slot)) +
           " for " + std::to_string(quiet) + " ms (" + std::to_string(dialogsOpen_) +
           " dialogs open)");
  }
}

void World::FinalCheck() {
  // The board counts every request the host was told of, neither more nor fewer (the run
  // stays within one day).
  const std::uint64_t counted = gw_->GetMonitor().GetBoard().TotalRequests();
  if (counted != hostTold_)
    Fail("the board counts " + std::to_string(counted) + " requests handed to the host, the host " +
         "was told of " + std::to_string(hostTold_));
  // Every request handed to the host ends at its own handheld: with the host's reply when
  // the host wrote and signalled it within the limit while the exchange was open, else
  // with a reply of that handheld's or the text that there is none. Only a pulled cable or the
  // operator's reload of the stations, which close the port, may keep it from going out.
  for (const Dispatch& d : dispatches_) {
    if (d.disturbed || d.at > loop_.Now() - options_.settle / 2) continue;
    const Request& r = requests_[d.token];
    // A reply that names nobody is withheld while the host owes an older request too.
    const bool inTime = d.validSignal >= 0 && d.validSignal < d.deadline && d.named;
    // A host that answers out of turn, with a reply the gateway cannot tell from this
    // request's, may have ended the exchange before this one's own answer was read.
    bool own = tokensSent_.count(d.token) > 0;
    for (const std::string& text : repliesSent_[r.stamp]) own = own || text.starts_with("TOKEN");
    const bool any = !repliesSent_[r.stamp].empty();
    if (inTime ? !own : !any)
      Fail("request " + d.token + " (handed over at " + std::to_string(d.at) +
           (inTime ? ", answered in time at " + std::to_string(d.validSignal) : "") + ") got " +
           (any ? "another reply" : "nothing"));
  }
  result_.maxWaitDepth = loop_.MaxWaitDepth();
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
  if (Chance(swarm_.packetFaults)) {
    const int fault = Draw(0, 2);
    plan.fault = fault == 0   ? sim::Fault::CorruptPacket
                 : fault == 1 ? sim::Fault::SilentAfterA5
                              : sim::Fault::NoConfirm;
  }
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
  if (!g.Form()["Panel1"].Visible() || Modal()) return;
  const int action = Draw(0, 9);
  const Millis back = Draw(200, 8000);
  if (action < 4) {
    Log("operator: settings screen");
    g.Settings().ToolButton4Click();
    Click(back, [this] {
      Log("operator: back from settings");
      gw_->Settings().Button3Click();
    });
  } else if (action < 7) {
    Log("operator: download screen");
    g.DownloadView().ToolButton2Click();
    Click(back, [this] {
      Log("operator: back from download");
      gw_->DownloadView().Button2Click();
    });
  } else if (action < 9) {
    Log("operator: monitor button");
    g.ToolButton1Click();
  } else {
    Log("operator: save");
    for (Dispatch& d : dispatches_)
      if (gw_->Handheld().CurrentExchange().IsOpen(d.exchange)) d.disturbed = true;
    for (bool& reloaded : reloadedSinceUnplug_) reloaded = true;
    g.Settings().ToolButton4Click();
    g.Settings().BitBtn2Click();
    Click(back, [this] {
      Log("operator: back from settings");
      gw_->Settings().Button3Click();
    });
  }
}

// The operator opens a modal dialog (a message box of another program's, the decoded
// view's file dialog): its nested loop runs every event until it is closed.
void World::Dialog(const std::string& why) {
  if (Modal()) return;
  const Millis hold = HoldFor(source_);
  Log("dialog " + why + " (" + std::to_string(hold) + " ms)");
  ++result_.dialogs;
  ++dialogsOpen_;
  loop_.Delay(static_cast<int>(hold / 1000), static_cast<int>(hold % 1000));
  --dialogsOpen_;
}

// The window's close while the host runs: up to 5 s of waiting for the host to go, then
// the window hides and the gateway goes on.
void World::CloseWait() {
  if (Modal()) return;
  Log("operator closes the window");
  ++result_.dialogs;
  ++dialogsOpen_;
  if (gw_->FormCloseRequest()) Fail("the gateway ended while its host runs");
  --dialogsOpen_;
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

// A confirmation nobody is waiting for: another station's, or for another handheld.
void World::StrayConfirmation(int slot) {
  const auto& hh = stations_[slot]->Handhelds();
  const std::uint8_t h =
      Chance(50) ? hh[static_cast<std::size_t>(Draw(0, static_cast<int>(hh.size()) - 1))]
                 : static_cast<std::uint8_t>(Draw(0, 191));
  std::string frame{'\x04', static_cast<char>(stations_[slot]->Id()), static_cast<char>(h)};
  frame += std::string(6, '\0');
  Log("stray confirmation on slot " + std::to_string(slot) + " for handheld " + std::to_string(h));
  ToGateway(slot, frame, false);
}

// A one-packet request of another handheld of the station, heard while the host works on
// this one's.
void World::ForeignPacket(int slot, std::uint8_t besides) {
  const auto& hh = stations_[slot]->Handhelds();
  const std::uint8_t h = hh[static_cast<std::size_t>(Draw(0, static_cast<int>(hh.size()) - 1))];
  if (h == besides) return;
  const std::string packet = sim::BuildRequestPackets(
      stations_[slot]->Id(), h, std::string("\x21\x43\x65\x00\x00\x02", 6), 0x4C, "frgn")[0];
  After(Draw(20, 3000), [this, slot, packet, h] {
    // During its own upload the packet would be its own.
    if (HexToInt(gw_->Handheld().GetPolling().PollHandheldHex()) == h) return;
    Log("handheld " + std::to_string(h) + "'s packet on slot " + std::to_string(slot));
    ToGateway(slot, packet, false);
  });
}

// T1.txt or the activity log cannot be written for a while (a full disk, a file held by
// another program): the request's box opens inside the exchange.
void World::DiskTrouble() {
  const std::string file = Chance(50) ? "T1.txt" : "logfile.txt";
  if (!unwritable_.insert(file).second) return;
  Log("cannot write " + file);
  files_->FailWrites(file);
  After(Draw(500, 15000), [this, file] {
    Log("can write " + file + " again");
    files_->FailWrites(file, false);
    unwritable_.erase(file);
  });
}

// Another program (the host reading it, a virus scanner) holds T1.txt for a moment. Each
// replacement of it then waits on the main thread, as the disk's store does, up to the
// retries' bound: written when the hold ends within it, failed when not. (An append to a
// held file fails at once, as DiskTrouble plays.)
void World::HeldFile() {
  const Millis until = loop_.Now() + Draw(20, 2500);
  Millis& held = heldUntil_[MemoryFileStore::Key("T1.txt")];
  held = std::max(held, until);
  Log("another program holds T1.txt until " + std::to_string(held));
}

bool World::HeldWrite(const std::string& name) {
  auto held = heldUntil_.find(MemoryFileStore::Key(name));
  if (held == heldUntil_.end() || held->second <= loop_.Now()) return false;
  // The tries come after the retries' pauses; the first after the hold ends succeeds.
  const Millis start = loop_.Now();
  bool released = false;
  for (std::chrono::milliseconds pause : SystemRenameRetry().pauses) {
    loop_.Stall(pause.count());
    if (loop_.Now() >= held->second) {
      released = true;
      break;
    }
  }
  Log("replacing " + name + " waited " + std::to_string(loop_.Now() - start) + " ms" +
      (released ? "" : ", still held: fails"));
  return !released;
}

// A folder of TXT cannot be written for a while: the cycle goes on, and the gateway says
// so once. The journal's: the monitor tells it. The capture folder's: the operator's save
// shows a box and a capture after a failure is lost.
void World::FolderTrouble(const std::string& folder, std::uint64_t& troubles, Millis longest) {
  if (!unwritable_.insert(folder).second) return;
  Log(folder + " folder unwritable");
  ++troubles;
  files_->MemoryFolder(folder)->FailAllWrites();
  After(Draw(2000, static_cast<int>(longest)), [this, folder] {
    Log(folder + " folder writable again");
    files_->MemoryFolder(folder)->FailAllWrites(false);
    unwritable_.erase(folder);
  });
}

// Every capture is a whole pcapng file of the recorder's records, and those made after a
// failure come at most one per quiet time.
void World::CheckCaptures() {
  if (captureFailuresTold_ > captureTroubles_)
    Fail("capture failure told " + std::to_string(captureFailuresTold_) + " times for " +
         std::to_string(captureTroubles_) + " troubles");
  // The first failed exchange is captured by itself a minute later, unless the folder failed.
  if (firstExchangeFailure_ >= 0 && captureTroubles_ == 0 && lastFailureCapture_ < 0 &&
      loop_.Now() - firstExchangeFailure_ > Captures::kAfter + 2 * kCheckEvery)
    Fail("no capture after the failed exchange at " + std::to_string(firstExchangeFailure_));
  auto folder = files_->MemoryFolder("capture");
  for (const std::string& name : folder->Names()) {
    if (!capturesSeen_.insert(name).second) continue;
    const std::string bytes = folder->Read(name).value_or("");
    auto word = [&](std::size_t at) {
      return static_cast<std::uint32_t>(static_cast<std::uint8_t>(bytes[at])) |
             static_cast<std::uint32_t>(static_cast<std::uint8_t>(bytes[at + 1])) << 8 |
             static_cast<std::uint32_t>(static_cast<std::uint8_t>(bytes[at + 2])) << 16 |
             static_cast<std::uint32_t>(static_cast<std::uint8_t>(bytes[at + 3])) << 24;
    };
    std::size_t at = 0;
    bool whole = bytes.size() >= 12 && word(0) == 0x0A0D0D0A;
    while (whole && at < bytes.size()) {
      const std::uint32_t length = at + 8 <= bytes.size() ? word(at + 4) : 0;
      whole = length >= 12 && length % 4 == 0 && at + length <= bytes.size() &&
              word(at + length - 4) == length;
      at += length;
    }
    if (!whole) Fail("capture " + name + " is not a whole pcapng file");
    Log("capture " + name + " (" + std::to_string(bytes.size()) + " bytes)");
    if (name.ends_with("-failure.pcapng")) {
      if (loop_.Now() - lastFailureCapture_ < Captures::kQuiet - kCheckEvery)
        Fail("captures after failures " + std::to_string(loop_.Now() - lastFailureCapture_) +
             " ms apart");
      lastFailureCapture_ = loop_.Now();
    }
  }
}

void World::NextEvent() {
  if (!scheduling_) return;
  if (source_.Exhausted()) {
    scheduling_ = false;
    return;
  }
  const Swarm& w = swarm_;
  int kind = Draw(0, w.request + w.channel + w.operatorScreens + w.unplug + w.noise + w.wild +
                         w.disk + w.journal + w.dialog + w.closeWait + w.strayConfirm + w.capture +
                         w.captureTrouble + w.held - 1);
  auto pick = [&](int weight) {
    kind -= weight;
    return kind < 0;
  };
  if (pick(w.request))
    QueueRequest();
  else if (pick(w.channel))
    ChannelAnswer();
  else if (pick(w.operatorScreens))
    OperatorAction();
  else if (pick(w.unplug))
    Unplug();
  else if (pick(w.noise))
    Noise();
  else if (pick(w.wild))
    WildPacket();
  else if (pick(w.disk))
    DiskTrouble();
  else if (pick(w.journal))
    FolderTrouble("journal", journalTroubles_, 20000);
  else if (pick(w.dialog))
    After(1, [this] { Dialog("at a random moment"); });
  else if (pick(w.closeWait))
    After(1, [this] { CloseWait(); });
  else if (pick(w.capture))
    Click(1, [this] { gw_->SaveCaptureClick(); });
  else if (pick(w.captureTrouble))
    FolderTrouble("capture", captureTroubles_, 400000);
  else if (pick(w.held))
    HeldFile();
  else
    StrayConfirmation(Draw(1, slots_));
  After(Draw(50, 3000), [this] { NextEvent(); });
}

SimResult World::Run() {
  try {
    DrawSwarm();
    BuildInstallation();
    StartGateway();
    std::function<void()> check = [&] {
      Check();
      After(kCheckEvery, check);
    };
    After(kCheckEvery, check);
    After(1, [this] { NextEvent(); });
    After(options_.duration, [this] { scheduling_ = false; });
    loop_.Advance(options_.duration + options_.settle);
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
