#include "sim/cycle_sim.h"

#include <algorithm>
#include <cstdio>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <random>
#include <set>
#include <utility>

#include "app/gateway.h"
#include "core/gbk.h"
#include "core/manual_loop.h"
#include "core/text_file.h"
#include "download/packing.h"
#include "download/transfer.h"
#include "gateway/hex.h"
#include "gateway/link.h"
#include "stationsim/frames.h"
#include "stationsim/sim_station.h"
#include "testing/fake_port.h"
#include "testing/in_memory_host_link.h"
#include "testing/memory_file_store.h"

namespace ol::testing {
namespace {

constexpr WindowHandle kHost = 10;
constexpr WindowHandle kOwn = 20;

// The link's rules, written out here rather than taken from the gateway, so that a changed
// constant there is a difference here.
constexpr Millis kPollTick = 70;
constexpr Millis kAckRepeat = 300;
constexpr int kAckSeries = 12;  // the answer at once and eleven repeats; the last ends it
constexpr Millis kLimit = 11500;
constexpr Millis kResendBudget = 2000;
constexpr Millis kRead = 120;  // reply-ready to the read of R1.txt
constexpr std::size_t kReplyTextMax = 812;
constexpr Millis kSearchPhase = 22000;
constexpr int kPacketRetries = 6;
constexpr int kStallFrames = 50;
// Timers that fall due together run in some order, and chunks arrive a few ms apart.
constexpr Millis kSlack = 40;
constexpr Millis kCheckEvery = 250;
// A fuzzer's input, however short, meets the handhelds' requests for this long.
constexpr Millis kBackgroundAtLeast = 4000;
// A waiter keeps a few requests on his handheld at most: the world asks faster than one
// gateway can serve, and a backlog without bound would grow for as long as a run lasts.
constexpr int kQueuedPerHandheld = 4;
// A request its handheld has done with is kept this long, for late replies and the
// oracle, before its token may name another.
constexpr Millis kKeepFinished = 15 * 60 * 1000;
// A reopened station is asked every 2 s; each query or its answer may be lost on the line.
constexpr Millis kRecoveryLimit = 30000;
// The gateway reads R1.txt 120 ms after the signal; a host replaces the file no sooner
// than that, or its earlier reply is lost whoever reads it.
constexpr Millis kHostReplySpacing = 300;
// Letters waiting for one moment of an exchange or a download, at most.
constexpr int kArmedPerPhase = 16;
// Dialogs inside boxes inside a station's query: a few, never one per event.
constexpr int kWaitDepthLimit = 6;
const char* const kEmptyText = "系统无回复数据，请与管理员联系";
const char* const kLimitText = "信息上传完毕,系统无回复数据，请与管理员联系";
// A file that cannot be opened shows nothing to tell it from the last such one.
const char* const kUnreadable = "unreadable";

// Request kinds whose record begins with the first four payload characters, so that the
// host can tell which request it has; the record is checked whole.
constexpr int kTokenKinds[] = {0,  1,  2,  3,  4,  5,  6,  7,  8,  9,  10, 11, 13,
                               14, 16, 17, 20, 21, 22, 24, 25, 27, 28, 30, 31};
constexpr int kOrderKind = 7;
// Kinds with no record: T1.txt is left empty, and the host knows the request only from
// whoever is uploading.
constexpr int kEmptyRecordKinds[] = {18, 19, 23, 29};
// A reply of any kind may be theirs.
bool EmptyRecord(int kind) {
  return std::find(std::begin(kEmptyRecordKinds), std::end(kEmptyRecordKinds), kind) !=
         std::end(kEmptyRecordKinds);
}

struct Broken {
  std::string what;
};

// The second line of a request record: payload ranges (1-based, inclusive, 0 = to the
// end) joined by spaces, or the payload padded to a width.
struct RecordShape {
  std::vector<std::pair<int, int>> ranges;
  int pad = -1;
};
RecordShape ShapeOf(int kind) {
  switch (kind) {
    case 0:
      return {{{1, 10}, {11, 14}, {15, 22}}};
    case 1:
      return {{{1, 8}, {9, 16}}};
    case 2:
      return {{{1, 4}, {5, 6}, {7, 0}}};
    case 3:
    case 4:
      return {{{1, 7}, {8, 14}}};
    case 6:
      return {{{1, 7}, {8, 9}, {10, 14}}};
    case 8:
      return {{{1, 7}, {8, 17}, {18, 21}, {22, 25}, {26, 35}}};
    case 10:
    case 21:
      return {{{1, 7}, {8, 12}}};
    case 13:
      return {{}, 2};
    case 16:
      return {{}, 4};
    case 17:
      return {{{1, 7}, {8, 12}, {13, 22}, {23, 30}}};
    case 22:
      return {{{1, 7}, {8, 15}}};
    case 24:
    case 27:
      return {{{1, 7}, {8, 12}, {13, 16}, {17, 30}, {31, 34}, {35, 38}, {39, 39}, {40, 51}}};
    case 28:
      return {{}, 21};
    case 30:
      return {{{1, 4}, {5, 6}, {7, 11}}};
    case 31:
      return {{{1, 12}, {13, 24}}};
    default:
      return {{}, 7};  // 5, 9, 11, 14, 20, 25
  }
}
std::string Range(const std::string& s, int from, int to) {
  const std::size_t a = static_cast<std::size_t>(from - 1);
  if (a >= s.size()) return "";
  return to == 0 ? s.substr(a) : s.substr(a, static_cast<std::size_t>(to - from + 1));
}
std::string HeaderName(int kind) {
  std::string name = kind == 30 ? "YDKT" : sim::kCodeNames[static_cast<std::size_t>(kind)];
  name.resize(5, ' ');
  return name;
}
std::string Hex2(std::uint8_t b) {
  static const char* digits = "0123456789ABCDEF";
  return {digits[b >> 4], digits[b & 15]};
}
// The request record the host must read, built from what the handheld sent.
std::string ExpectedRecord(int kind, int handheld, const std::string& payload,
                           const std::string& stamp) {
  if (EmptyRecord(kind)) return {};
  std::vector<std::string> lines{HeaderName(kind) + ZeroPad(handheld, 3)};
  if (kind == kOrderKind) {
    const std::string t = Range(payload, 1, 7), x = Range(payload, 8, 11),
                      y = Range(payload, 12, 23);
    const int n = payload.size() >= 24 ? static_cast<std::uint8_t>(payload[23]) : 0;
    const std::string time = Hex2(static_cast<std::uint8_t>(stamp[2])) + ":" +
                             Hex2(static_cast<std::uint8_t>(stamp[1])) + ":" +
                             Hex2(static_cast<std::uint8_t>(stamp[0]));
    lines.push_back(t + " " + std::string(10, ' ') + " " + y + " " + std::string(4, ' ') + " " +
                    time);
    for (int i = 0; i < n; ++i) {
      const std::string item = Range(payload, 25 + 28 * i, 24 + 28 * (i + 1));
      std::string quantity = Range(item, 6, 9);
      quantity.erase(0, quantity.find_first_not_of(' ') == std::string::npos
                            ? quantity.size()
                            : quantity.find_first_not_of(' '));
      while (!quantity.empty() && quantity.back() == ' ') quantity.pop_back();
      quantity.resize(std::max<std::size_t>(quantity.size(), 4), ' ');
      const std::string m = Range(item, 28, 28);
      const std::string mark = m == " " ? "0" : m == "!" ? "1" : m == "V" ? "2" : "";
      lines.push_back(t + " " + Range(item, 1, 5) + " " + quantity + " " + Range(item, 14, 25) +
                      " " + Range(item, 26, 27) + " " + mark + " " + time + " " +
                      Range(item, 10, 13) + " " + x);
    }
  } else {
    const RecordShape shape = ShapeOf(kind);
    std::string line;
    if (shape.pad >= 0) {
      line = payload;
      if (static_cast<int>(line.size()) <= shape.pad)
        line.resize(static_cast<std::size_t>(shape.pad + 1), ' ');
    } else {
      for (std::size_t i = 0; i < shape.ranges.size(); ++i)
        line += (i ? " " : "") + Range(payload, shape.ranges[i].first, shape.ranges[i].second);
    }
    lines.push_back(line);
  }
  return JoinCrLf(lines);
}

// One request the schedule queued on a handheld.
struct Request {
  std::string token;
  int slot = 0;
  std::uint8_t station = 0, handheld = 0;
  int kind = 0;
  std::string payload;
  std::uint64_t simId = 0;
  std::string stamp;        // six bytes, once its first packet went out
  Millis doneAt = -1;       // its handheld got its reply or gave it up
  int hostRefs = 0;         // replies the host still means to write for it
  std::string sent;         // the payload as the handheld sends it
  int lastPacketSends = 0;  // its last packet went out, on purpose
  int handovers = 0;        // it reached the host
  int handoversBefore = 0;  // when its handheld's last attempt to send it began
  Millis attemptAt = -1;
};

// What the gateway did on the wire for one exchange: from the acknowledgement that took a
// request-pending answer until polling resumed.
struct WireExchange {
  int serial = 0;
  int slot = 0;
  std::uint8_t station = 0, handheld = 0;
  Millis opened = 0;
  std::string token;  // the request handed to the host in it
  Millis handedOver = -1;
  bool disturbed = false;       // a port closed, a save, a station's power cycle, a stall
  bool hostText = false;        // a text of the host's went out in it
  bool limitText = false;       // the text that there is no reply
  bool uploaded = false;        // its last packet was taken
  bool byAnswer = true;         // seen to answer a request-pending answer
  Millis confirmedAt = -1;      // a confirmation that must end it
  Millis lastAckAt = -1;        // the last acknowledgement of an upload that gave up
  bool mayHaveGivenUp = false;  // its acknowledgements may have run their course
  bool behindBytes = false;     // opened by an answer that may only have completed a fragment
  bool garbled = false;         // bytes of its upload met others on the line
  bool garbledLater = false;    // bytes met others on the line after its upload
  Millis limitFrom = -1;        // the earliest its limit may count from, when not its opening
  bool garbledTaken = false;    // and the gateway took what they made
  bool ended = false;
};

// A reply frame sent again and again on one port.
struct Series {
  std::string bytes;
  int slot = 0;
  int exchange = 0;
  Millis first = 0, last = 0, interval = 0;
  int count = 0;
  bool own = false;        // the gateway's own text at the limit
  bool confirmed = false;  // a confirmation the gateway had to take came meanwhile
  bool cut = false;        // the limit, a closed port or a save may end it early
  bool mayEnd = false;     // a confirmation the gateway may take came meanwhile
  bool done = false;
};
int FullCount(Millis interval) {
  int k = 0;
  while ((2 + k) * interval <= kResendBudget) ++k;
  return 1 + k;
}

// Which request a new reply answers, by the rule the integrator's guide gives hosts, kept
// from what the host was handed and wrote. A reply whose first line is a request's header
// line names a handheld and a kind: the request awaiting a reply takes it when it is that
// handheld's, of that kind, and was handed over before the signal (the line cannot tell it
// from an older one the host skipped or answers late); else the oldest one still owed of
// that handheld and kind, and the host passed every older one. Any other reply says nothing
// of the handheld: the request awaiting a reply takes it when it is of that kind (an empty
// file is of any kind) and was handed over before the signal.
class ReplyOracle {
 public:
  // One hand-over: a handheld that sent its request again hands it over again.
  struct Request {
    std::string token;
    int exchange = 0;
    int kind = -1, handheld = -1;
    Millis handedOver = 0;
  };
  struct Verdict {
    std::string answers;     // the request it answers, or none
    bool toAwaited = false;  // and that request's waiter hears it
    bool sure = true;        // a gateway remembering fewer requests may decide otherwise
  };
  // A gateway may forget the oldest owed requests once this many newer ones are owed: what
  // a reply naming one of them does is then left open.
  static constexpr std::size_t kSureDepth = 256;
  static constexpr std::size_t kHeld = 4096;

  void HandedOver(const Request& r) {
    asked_.insert(r.kind * 1000 + r.handheld);
    if (owed_.size() == kHeld) {
      forgotten_.insert(owed_.front().kind * 1000 + owed_.front().handheld);
      Drop(owed_.begin(), owed_.begin() + 1);
    }
    owed_.push_back(r);
    ++held_[r.token];
  }
  bool Owes() const { return !owed_.empty(); }
  std::size_t Count() const { return owed_.size(); }
  bool Holds(const std::string& token) const { return held_.count(token) > 0; }
  // Only a request handed over ever had that header line.
  bool Asked(int kind, int handheld) const { return asked_.count(kind * 1000 + handheld) > 0; }

  Verdict Named(int kind, int handheld, Millis signalled, const Request* awaited) {
    const bool forgotten = forgotten_.count(kind * 1000 + handheld) > 0;
    if (awaited && awaited->kind == kind && awaited->handheld == handheld &&
        awaited->handedOver <= signalled) {
      const auto own = std::find_if(owed_.begin(), owed_.end(), [&](const Request& r) {
        return r.exchange == awaited->exchange;
      });
      if (own != owed_.end()) Drop(owed_.begin(), own + 1);
      return {awaited->token, true, true};
    }
    const auto it = std::find_if(owed_.begin(), owed_.end(), [&](const Request& r) {
      return r.kind == kind && r.handheld == handheld && r.handedOver <= signalled;
    });
    if (it != owed_.end()) {
      Verdict v{it->token, awaited && awaited->exchange == it->exchange, !forgotten};
      // A gateway that forgot it takes a newer one, and passes fewer than this does.
      if (static_cast<std::size_t>(owed_.end() - it) > kSureDepth || it->handedOver <= unsureTo_) {
        v.sure = false;
        unsureTo_ = owed_.back().handedOver;
      }
      Drop(owed_.begin(), it + 1);
      return v;
    }
    return {{}, false, !forgotten};
  }
  // kind -1: an empty file.
  Verdict Unnamed(int kind, Millis signalled, const Request* awaited) {
    if (!awaited || awaited->handedOver > signalled ||
        (kind >= 0 && kind != awaited->kind && !EmptyRecord(awaited->kind)))
      return {};
    for (auto it = owed_.begin(); it != owed_.end();)
      it = it->exchange == awaited->exchange ? Drop(it, it + 1) : it + 1;
    return {awaited->token, true, true};
  }

 private:
  std::deque<Request>::iterator Drop(std::deque<Request>::iterator from,
                                     std::deque<Request>::iterator to) {
    for (auto it = from; it != to; ++it)
      if (--held_[it->token] == 0) held_.erase(it->token);
    return owed_.erase(from, to);
  }
  std::deque<Request> owed_;
  std::map<std::string, int> held_;  // tokens owed, with their count
  std::set<int> asked_;              // kind * 1000 + handheld
  std::set<int> forgotten_;          // of requests this oracle forgot, owed still perhaps
  Millis unsureTo_ = -1;             // requests handed over by then may be passed already, or not
};

// A reply the host wrote, and whom it meant it for.
struct HostWrite {
  int serial = 0;
  std::string token;                       // the request it answers, in the host's mind
  std::uint8_t station = 0, handheld = 0;  // of that request
  std::string firstLine;                   // as written
  std::string text;                        // what the handheld must hear, byte for byte
  bool empty = false;   // empty or unreadable: the gateway's empty-file text instead
  bool header = false;  // its first line is its request's header line
  bool knownName = true;
  int kind = -1;  // the reply kind its first line names
  Millis signalled = -1;
  std::optional<int> named;  // the handheld it names, as read
  std::string sentTo;        // the request whose waiter must hear it, as read
  bool sure = true;
  Millis mustArrive = -1;  // the handheld must hear it by then
  bool arrived = false;
};

// Every choice of a run: from the seed, except the letters a schedule of bytes gives.
class Source {
 public:
  explicit Source(std::uint32_t seed) : rng_(seed) {}
  int Draw(int lo, int hi) {
    if (hi <= lo) return lo;
    return std::uniform_int_distribution<int>(lo, hi)(rng_);
  }

 private:
  std::mt19937 rng_;
};

// A modal dialog: its nested loop runs events for as long as the operator keeps it open.
Millis HoldFor(Source& source) {
  const int draw = source.Draw(0, 99);
  return draw < 60   ? source.Draw(0, 2000)
         : draw < 90 ? source.Draw(2000, 8000)
                     : source.Draw(12000, 40000);
}

class Boxes : public MessageBoxService {
 public:
  Boxes(EventLoop& loop, Source& source, std::function<void(const std::string&)> log)
      : loop_(loop), source_(source), log_(std::move(log)) {}
  void Show(const std::string& text) override {
    ++shown;
    const Millis hold = HoldFor(source_);
    log_("box (" + std::to_string(hold) + " ms): " + text);
    if (open++ == 0) openedAt = loop_.Now();
    if (onChange) onChange();
    loop_.Delay(static_cast<int>(hold / 1000), static_cast<int>(hold % 1000));
    --open;
    if (onChange) onChange();
  }
  std::uint64_t shown = 0;
  int open = 0;                    // boxes up now: the window under them takes no clicks
  Millis openedAt = -1;            // when the outermost of them opened
  std::function<void()> onChange;  // a box opened or closed

 private:
  EventLoop& loop_;
  Source& source_;
  std::function<void(const std::string&)> log_;
};

// Moments of an exchange and of a download, as the wire shows them; a letter can wait for
// one. The first five are the ones a fuzzer's byte can name.
enum class Phase {
  Now,
  RequestPending,
  Upload,
  WithHost,
  ReplyOut,
  AfterLimit,
  DownloadData,
  Polling,
  DownloadSearch,
  Count
};
const char* PhaseName(Phase p) {
  static const char* names[] = {"now",           "request pending", "upload",
                                "with host",     "reply out",       "after the limit",
                                "download data", "polling",         "download search"};
  return names[static_cast<int>(p)];
}

class World;
enum class Group { Station, Host, Operator, Files };
struct Letter {
  const char* name;
  Group group;
  void (World::*play)();
};
extern const Letter kAlphabet[];
extern const std::size_t kAlphabetSize;

class World {
 public:
  explicit World(const SimOptions& options)
      : options_(options),
        source_(options.seed),
        radioSource_(options.seed ^ 0x5A5A5A5Au),
        boxes_(loop_, source_, [this](const std::string& s) { Log(s); }) {}

  SimResult Run();

  // The letters: every input of the gateway.
  void Ask() { QueueRequest(sim::Fault::None, false, false); }
  void AskLong() { QueueRequest(sim::Fault::None, true, false); }
  void AskOrder() { QueueRequest(sim::Fault::None, false, true); }
  void AskBadCheck() { QueueRequest(sim::Fault::CorruptPacket, Chance(50), false); }
  void AskSilent() { QueueRequest(sim::Fault::SilentAfterA5, false, false); }
  void AskNoConfirm() { QueueRequest(sim::Fault::NoConfirm, false, Chance(30)); }
  void AskAgain();
  void LateAnswer(int slot, bool radio);
  std::string LateAnswerBytes(int slot, int numberedLikeAStation = 50);
  void LateInFront();
  bool TickIn(Millis from, Millis to) const;
  void LastPacketAgain() { repeatNext_ = 1; }
  void LastPacketGarbled() { repeatNext_ = 2; }
  void PacketOutOfOrder();
  void ForeignPacket();
  void StrayConfirmation();
  void ConfirmationOnOtherPort();
  void LateAnswerOtherPort();
  void AnswerOwnPort();
  void NoiseByte();
  void NoiseInFront();
  void NoiseBeforeTick();
  void NoiseBeforeNextPoll(int slot, Millis round);
  static bool LooksWhole(const std::string& bytes);
  bool NoiseIsHarmless(int slot, std::uint8_t noise, const std::string& frame) const;
  void Noise();
  void Fragment();
  void ChannelAnswer();
  void StrayDownloadAck();
  void Unplug();
  void BadRadio();
  void Host11() { PostFromHost(11); }
  void Host12() { PostFromHost(12); }
  void SignalWithoutFile();
  void SignalAgain();
  void SignalEverySecond();
  void AnswerEmpty() { nextShape_ = Shape::Empty; }
  void AnswerUnreadable() { nextShape_ = Shape::Unreadable; }
  void AnswerUnknownName() { nextShape_ = Shape::UnknownName; }
  void AnswerOtherKind() { nextShape_ = Shape::OtherKind; }
  void AnswerPlainName() { nextShape_ = Shape::Plain; }
  void AnswerOtherHandheld() { nextShape_ = Shape::OtherHandheld; }
  void AnswerTableNumber() { nextShape_ = Shape::TableNumber; }
  void AnswerSlow() { nextDelay_ = Draw(3000, 9000); }
  void AnswerLate() { nextDelay_ = Draw(11700, 20000); }
  void AnswerEdge() { nextDelay_ = Draw(10800, 11800); }
  void HostSkips() { skipNext_ = true; }
  void HostBusy();
  void AnswerTwice() { twiceNext_ = true; }
  void AnswerAgainUnchanged() { againNext_ = true; }
  void HostWritesAgain(const std::string& token);
  void HostFlood();
  void SettingsVisit();
  void Save();
  void DeleteHandheld() { DeleteOnSettings(false); }
  void DeleteAll() { DeleteOnSettings(true); }
  void Refresh();
  void ChannelSetting();
  void DownloadVisit();
  void Download() { StartDownload(true); }
  void DownloadNothingTicked() { StartDownload(false); }
  void MonitorButton();
  void OpenDialog() {
    After(1, [this] { Dialog("at a random moment"); });
  }
  void CloseWindow() {
    After(1, [this] { CloseWait(); });
  }
  void SaveCapture() {
    Click(1, [this] { gw_->SaveCaptureClick(); });
  }
  void T1Held();
  void T1Full() { FileTrouble("T1.txt"); }
  void LogFull() { FileTrouble("logfile.txt"); }
  void JournalFull() { FolderTrouble("journal", journalTroubles_, 20000); }
  void CaptureFull() { FolderTrouble("capture", captureTroubles_, 400000); }

 private:
  enum class Shape {
    Header,
    Plain,
    Empty,
    Unreadable,
    UnknownName,
    OtherKind,
    OtherHandheld,
    TableNumber
  };

  void After(Millis ms, std::function<void()> fn) { loop_.After(ms, std::move(fn)); }
  int Draw(int lo, int hi) { return source_.Draw(lo, hi); }
  bool EmptiedIn(int slot, Millis from, Millis to) const;
  bool InOpenExchangeOn(int slot) const {
    return exchange_ && !exchange_->ended && exchange_->byAnswer && !exchange_->disturbed &&
           exchange_->slot == slot && !MayHaveEnded(*exchange_);
  }
  bool Chance(int percent) { return percent > 0 && Draw(0, 99) < percent; }
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
  [[noreturn]] void Fail(const std::string& what) {
    throw Broken{"at " + std::to_string(loop_.Now()) + " ms: " + what};
  }
  std::uint8_t AnyHandheld(int slot) {
    const auto& hh = stations_[slot]->Handhelds();
    return hh[static_cast<std::size_t>(Draw(0, static_cast<int>(hh.size()) - 1))];
  }
  int OtherSlot(int slot) {
    if (slots_ < 2) return slot;
    int other;
    do other = Draw(1, slots_);
    while (other == slot);
    return other;
  }
  // The slot of the exchange under way, or any.
  int BusySlot() { return exchange_ && !exchange_->ended ? exchange_->slot : Draw(1, slots_); }

  // Schedule.
  void DrawWeights();
  void BuildInstallation();
  void StartGateway();
  void NextLetter();
  void PlayLetter(std::size_t letter, Phase at);
  void Background();
  void EnterPhase(Phase p);

  // same: like's payload byte for byte.
  void QueueRequest(sim::Fault fault, bool longer, bool order, const Request* like = nullptr,
                    bool same = false);
  std::string NewToken();
  void RequestFinished(int slot, std::uint64_t simId);
  void StationEvent(int slot, const sim::SimEvent& e);
  void UploadCompleted(int slot, std::uint64_t simId);
  std::string StillClock(int slot, std::string bytes);
  void PruneFinished();
  void PostFromHost(std::uint32_t lparam);
  void SignalAgainIn(Millis ms, int times);
  void FloodIn(Millis ms, int times);
  void Dialog(const std::string& why);
  void CloseWait();
  void FileTrouble(const std::string& file);
  void FolderTrouble(const std::string& folder, std::uint64_t& troubles, Millis longest);
  bool HeldWrite(const std::string& name);
  bool OperatorFree();
  bool MayHaveEnded(const WireExchange& e) const;
  // A fragment waits in the port's buffer until a poll tick empties it (a repeater's tick
  // may too, or not).
  bool LeftoverMayWait(int slot) const { return leftoverAt_[slot] >= lastPollAny_; }
  // The gateway emptied the slot's buffer: what a lost piece left there is gone, unless
  // a frame's pieces are still on their way.
  void BufferEmptied(int slot) {
    if (inFlight_[slot] > 0) return;
    dirty_[slot] = false;
    leftoverAt_[slot] = -1000000;
    open04At_[slot] = -1;
  }
  // During a download, often a port whose handhelds take it instead of slot.
  int OftenADownloadingSlot(int slot) {
    if (downloadFrames_ && Chance(50))
      for (const auto& [s, handhelds] : selected_)
        if (!handhelds.empty() && Chance(60)) slot = s;
    return slot;
  }
  // The gateway emptied every port's buffer: a frame half delivered loses its start.
  void BuffersCleared() {
    for (int s = 1; s <= 4; ++s)
      if (inFlight_[s] > 0) dirty_[s] = true;
  }
  void HeardDownloadAcks(const std::string& frame, bool sure);
  void PacketPassed(int slot, const std::string& which);
  // A station joins polling's turns: the turn under way may have begun silent, so the
  // bounds start again from now.
  void TurnsChanged() {
    runSince_ = -1;
    turnsChangedAt_ = loop_.Now();
  }
  // The gateway's frames on the slot reach the wire the simulation watches.
  bool FramesReach(int slot) const {
    return connected_[slot] && ports_[slot] && ports_[slot]->IsOpen() && !unplugged_[slot];
  }
  void EnterSettings(int slot);
  void SaveAndLeave(Millis after);
  void DeleteOnSettings(bool all);
  void StartDownload(bool ticked);
  void DownloadWaitOver(bool returned);
  void Disturb(int slot);  // every open exchange (of a slot, or all with 0)
  void ResetConnections(int slot);

  // Wire.
  void FromGateway(int slot, const std::string& hex);
  void ToGateway(int slot, std::string bytes, bool radio);
  void ReadJustBefore(int slot, const std::string& bytes, bool dirties);
  void Deliver(int slot, const std::string& chunk, bool last, const std::string& frame,
               bool intact);
  void SniffFromStation(int slot, const std::string& bytes);
  void OnPoll(int slot, const std::string& bytes);
  void OnAck(int slot, const std::string& bytes);
  void OnReplyFrame(int slot, const std::string& bytes);
  void OnSearch(int slot, const std::string& bytes);
  void OnData(int slot, const std::string& bytes);
  void OpenExchange(int slot, const std::string& ack, bool byAnswer);
  void GoneOnWith(int slot, const sim::ReplyFrame& frame);
  void EndExchange(const char* why);
  void EndSeries(Series& s);
  Millis StallIn(Millis from, Millis to) const;

  // The host.
  void HostReceives(const ol::HostMessage& m);
  void HostWork();
  void HostWrites(const std::string& token, Shape shape, bool corrected);
  void Signal(const std::string& why);
  void ModelRead(bool looked, bool pendingAtLimit);
  void HostReplyReached(HostWrite& w, const Request& owner);
  HostWrite* UnreadableReadAsEmpty();
  bool LookRuns() const;
  // What the gateway made of bytes that met others on the line passed their checks: counted
  // once an exchange, whose other checks then stand aside.
  void GarbledTaken(WireExchange& e, const std::string& what) {
    if (!std::exchange(e.garbledTaken, true)) ++result_.garbledTaken;
    e.disturbed = true;
    Log(what);
  }
  // The host's reply to the open exchange has gone out its last time: that send ended it.
  bool ReplyRanOut() const {
    return std::any_of(series_.begin(), series_.end(), [&](const Series& s) {
      return s.exchange == exchange_->serial && !s.own && s.count >= FullCount(s.interval);
    });
  }
  // A read of R1.txt falls due in this millisecond: what the host does now may reach the
  // gateway before or after it.
  bool ReadDueNow() const {
    return modelReads_.contains(loop_.Now()) || lastReadDue_ == loop_.Now();
  }
  void ReadDue(Millis due);
  void LookRead();

  void Check();
  void CheckPolling();
  void CheckCaptures();
  void FinalCheck();
  bool Settled() const;

  SimOptions options_;
  Source source_;
  Source radioSource_;
  ManualLoop loop_;
  Boxes boxes_;
  std::vector<int> weights_;  // of each letter in a seeded run
  int weightSum_ = 0;
  std::shared_ptr<MemoryFileStore> files_ = std::make_shared<MemoryFileStore>();
  std::set<std::string> unwritable_;
  std::map<std::string, Millis> heldUntil_;
  std::vector<std::pair<Millis, Millis>> stalls_;
  InMemoryHostHub hub_;
  InMemoryHostLink host_{hub_, loop_, kHost};
  InMemoryHostLink own_{hub_, loop_, kOwn};
  std::unique_ptr<Gateway> gw_;
  FakePort* ports_[6] = {};
  std::vector<std::unique_ptr<sim::SimStation>> stations_{5};
  std::set<int> numbers_;  // every handheld of the installation
  bool unplugged_[5] = {};
  Millis pluggedBackAt_[5] = {-1, -1, -1, -1, -1};
  bool reloadedSinceUnplug_[5] = {};
  int slots_ = 0;
  std::size_t nextByte_ = 0;
  std::vector<std::pair<Phase, std::function<void()>>> armed_;

  // Radio between ports and stations, percent.
  int lossOut_ = 0, damageOut_ = 0, lossIn_ = 0, damageIn_ = 0;
  int repeatNext_ = 0;  // the next request's last packet heard again: 1 clean, 2 garbled

  std::deque<std::string> log_;
  std::map<std::string, Request> requests_;      // by token
  std::map<std::uint64_t, std::string> simIds_;  // slot << 32 | the station's request id
  std::map<std::string, std::string> stamps_;    // stamp -> token
  std::map<int, int> queued_;                    // slot * 256 + handheld -> requests not done
  std::map<int, std::string> uploading_;         // slot * 256 + handheld -> its last upload
  std::set<int> stillClock_;                     // handhelds whose clock stands still
  // Handhelds whose confirmation carries bytes of their own after its 04, where others put
  // the station, handheld, code and length: the gateway examines none of them.
  std::set<int> ownConfirmBytes_;
  Millis t1TroubleAt_ = -1;               // a write of T1.txt last failed
  std::map<int, std::string> frozen_;     // their one stamp
  std::map<int, std::string> realStamp_;  // and the one their station uses now
  std::deque<std::string> finished_;      // tokens of requests done, in that order
  std::string lastToken_;                 // the request queued last
  int nextToken_ = 1000;
  int foreign_ = 0;  // foreign packets heard
  int dialogsOpen_ = 0;
  bool operatorBusy_ = false;
  bool scheduling_ = true;

  // What the wire shows.
  Millis lastPoll_[5] = {-1, -1, -1, -1, -1};
  Millis lastPollAny_ = -1;
  int pollSlot_ = 0;                 // the slot last polled
  std::uint8_t polledHandheld_ = 0;  // and its handheld
  bool answeredSincePoll_ = false;   // an answer or a channel answer came since, on any port
  bool connected_[5] = {};           // answered a channel query since its port last closed
  bool dirty_[5] = {};               // bytes that may leave part of a frame in the port's buffer
  bool crossTalk_ = false;  // the next polled handheld's answer is heard on another port too
  Millis ackSentAt_[5] = {-1, -1, -1, -1, -1};  // the gateway's last acknowledgement there
  // Acknowledgements sent while a delivery is under way there (the gateway may wait inside it,
  // and other deliveries run meanwhile).
  std::vector<std::string> acksDuring_[5];
  int watching_[5] = {};
  // A slow radio: the pieces of a handheld's packet or confirmation come hundreds of
  // milliseconds apart (drawn from a source of its own, so the rest of a seed is unchanged).
  bool slowRadio_ = false;
  // Until then a station still forwards a slow radio's frame, and any other frame of its
  // radio channel collides with it on the air.
  Millis slowRestAt_[5] = {-1, -1, -1, -1, -1};
  bool fifoReader_ = false;  // the ports' reads are a FIFO's eight bytes at most
  bool packetSinceAck_[5] = {};
  int inFlight_[5] = {};  // frames whose chunks are still on their way
  Millis turnsChangedAt_ = -1;
  int deliveringA5_ = 0;     // the slot whose request-pending answer is being read
  std::string deliveredA5_;  // and that answer
  Millis open04At_[5] = {-1, -1, -1, -1, -1};  // a 04 may begin a frame there till the next poll
  bool lateBefore_[5] = {};     // a late poll answer to come just before the next frame
  std::string strayBefore_[5];  // a stray confirmation to come just before the next frame
  bool lateInFront_ = false;    // bytes read just before a frame are being delivered
  int noiseBefore_[5] = {-1, -1, -1, -1, -1};  // a noise byte to put in front of the next frame
  bool leadingNoise_ = false;                  // the chunk being delivered begins with such a byte
  Millis leftoverAt_[5] = {-1000000, -1000000, -1000000, -1000000,
                           -1000000};         // bytes that may wait in the buffer
  bool splitNext_[5] = {};                    // the next frame from the station comes in two pieces
  int tickNoise_[5] = {};                     // polls still to get a noise byte before the next one
  std::vector<std::uint8_t> handheldsOf_[5];  // each slot's handhelds, as DCJ.txt lists them
  std::map<int, Millis> handheldPolled_;      // slot * 256 + handheld -> its last poll
  bool answerAwaited_[5] = {};  // the answer being delivered is the one the gateway awaits
  int answerFrom_[5] = {};      // the exchanges opened before its first piece
  bool cleanA5_ = false;        // with nothing before it in the port's buffer
  // token -> reply frames of any text (stamps repeat: a clock may stand still)
  std::map<std::string, int> framesTo_;
  Millis loadingUntil_ = -1;  // a save or refresh asks the stations their channels
  int loading_ = 0;           // a load of the stations runs (a save, a refresh, the start)
  bool emptied_[5] = {};      // its handhelds deleted on the settings screen, not yet typed in
  int channelClick_ = 0;      // a channel setting's click runs
  bool answeredDuringClick_ = false;
  // An exchange may be open that the wire does not show (an answer naming no station of
  // the installation), since and until.
  Millis unseenSince_ = -1;
  Millis unseenUntil_ = -1;
  std::string lastAck_[5];
  Millis lastAckAt_[5] = {};
  int ackOpenCount_[5] = {};  // the port's openings when its last acknowledgement went out
  int ackCount_[5] = {};
  // The same, counting bytes that arrived meanwhile and drew no answer as ignored: the
  // gateway's own count lies between the two.
  int ackCountMax_[5] = {};
  std::string seriesAck_[5];
  Millis seriesAt_[5] = {};
  std::unique_ptr<WireExchange> exchange_;
  std::unique_ptr<WireExchange> previous_;  // the one before it, should the gateway go on with it
  int exchanges_ = 0;
  std::vector<Series> series_;
  // Polling must run from this moment (no exchange, no hold, a station connected).
  Millis runSince_ = -1;
  Millis slotRunSince_[5] = {-1, -1, -1, -1, -1};

  // Holds the operator put on polling, and the download.
  bool downloadHold_ = false;
  bool downloadFrames_ = false;  // from the click until the operator leaves
  Millis channelAnswerAt_ = -1;  // the last channel answer the gateway was given
  bool settingsHold_ = false;    // after a channel setting or a delete, until a channel answer
  bool settingsUnsure_ = false;  // a channel answer in pieces or in noise may have ended it
  Millis releasedAt_ = -1;       // when the last hold of polling by the operator ended
  Millis downloadStarted_ = -1;
  Millis downloadClickAt_ = -1;                        // a download request waits its half second
  int downloadClickDepth_ = 0;                         // the waits nested when it was clicked
  std::map<int, std::vector<std::uint8_t>> selected_;  // slot -> handhelds of the download
  struct SlotData {
    std::string packet;  // table and index of the last data frame
    std::uint64_t seq = 0;
    int sends = 0;
    std::set<std::uint8_t> acked;  // since it went out
    std::set<std::uint8_t> heard;  // acknowledged since its first sending
    bool unsure = false;           // bytes the gateway may have read as anyone's record
    Millis at = -1;                // when it last went out
  };
  std::map<int, SlotData> slotData_;
  int dataFrames_ = 0;
  bool searchInterrupted_ = false;  // a station's bytes stopped the search frames
  bool stallChecked_ = false;       // handhelds may have stopped counting for their station
  bool downloadDisturbed_ = false;  // a port closed: frames went out unseen
  // Frames counted toward the stall check may have gone to a closed port since the count
  // last started again; the count carries over to the next download whose search was cut.
  bool countUnsure_ = false;
  Millis lastDataAt_ = -1;
  Millis lastDataPace_ = 0;
  std::uint64_t seq_ = 0;  // wire events in order

  // The host.
  std::deque<std::string> hostQueue_;
  bool hostWorking_ = false;
  Millis hostBusyUntil_ = 0;
  Millis nextReplyAt_ = 0;
  Shape defaultShape_ = Shape::Header;
  int plainShare_ = 0;
  std::optional<Shape> nextShape_;
  Millis nextDelay_ = -1;
  bool skipNext_ = false, twiceNext_ = false, againNext_ = false;
  std::deque<HostWrite> writes_;  // the recent ones, by serial from writesBase_ + 1
  int writesBase_ = 0;
  HostWrite* WriteOf(int serial) {
    const int at = serial - writesBase_ - 1;
    return at >= 0 && at < static_cast<int>(writes_.size()) ? &writes_[static_cast<std::size_t>(at)]
                                                            : nullptr;
  }
  ReplyOracle oracle_;
  std::string fileId_;      // what R1.txt holds now: a write's serial, or nothing
  std::string lastReadId_;  // what the gateway found at its last read
  int fileWrite_ = 0;       // the write R1.txt holds
  bool r1Unreadable_ = false;
  int readFor_ = 0;             // the exchange the read due looks for a missing file for, if any
  bool readForUnsure_ = false;  // the gateway may have held no exchange open at that signal
  Millis modelSignalledAt_ = -1;
  std::set<Millis> modelReads_;  // when the reads under way fall due
  Millis lastReadDue_ = -1;
  bool lookReadDue_ = false;  // a look for a file the gateway was told of
  bool lookingForFile_ = false;
  int lookingIn_ = 0;
  Millis lookFrom_ = 0;         // the read that missed the file
  std::uint64_t hostTold_ = 0;  // today: the board's counts start afresh each day
  int toldDay_ = -1;            // DayOf the last
  static int DayOf(const LocalDateTime& t) { return t.year * 10000 + t.month * 100 + t.day; }
  bool dayEdge_ = false;  // a request told just after midnight: its day is either

  // Captures and the journal.
  std::uint64_t journalTroubles_ = 0;
  std::shared_ptr<FlightRecorder> recorder_;
  std::uint64_t captureTroubles_ = 0;
  std::uint64_t captureFailuresTold_ = 0;
  std::set<std::string> capturesSeen_;
  std::mutex captureWritesMutex_;
  // Files the gateway wrote in the capture folder, and when.
  std::vector<std::pair<std::string, Millis>> captureWrites_;
  Millis lastFailureCapture_ = -Captures::kQuiet;
  Millis firstExchangeFailure_ = -1;
  SimResult result_;
};

// Every input of the gateway, once. Seeded runs draw from it with weights of their own;
// a fuzzer's byte names a letter and the phase it waits for.
const Letter kAlphabet[] = {
    // Station ports: what handhelds and stations send, and what the line does to it.
    {"request", Group::Station, &World::Ask},
    {"request of several packets", Group::Station, &World::AskLong},
    {"order", Group::Station, &World::AskOrder},
    {"request with a bad check", Group::Station, &World::AskBadCheck},
    {"request-pending answer, then silence", Group::Station, &World::AskSilent},
    {"reply never confirmed", Group::Station, &World::AskNoConfirm},
    {"a waiter asks the same again", Group::Station, &World::AskAgain},
    {"last packet again", Group::Station, &World::LastPacketAgain},
    {"last packet again, garbled", Group::Station, &World::LastPacketGarbled},
    {"packet out of order", Group::Station, &World::PacketOutOfOrder},
    {"another handheld's packet", Group::Station, &World::ForeignPacket},
    {"stray confirmation", Group::Station, &World::StrayConfirmation},
    {"confirmation on another station's port", Group::Station, &World::ConfirmationOnOtherPort},
    {"late poll answer on another port", Group::Station, &World::LateAnswerOtherPort},
    {"poll answer on the exchange's port", Group::Station, &World::AnswerOwnPort},
    {"one noise byte that opens a frame", Group::Station, &World::NoiseByte},
    {"a noise byte in front of a frame", Group::Station, &World::NoiseInFront},
    {"a late poll answer just before a frame", Group::Station, &World::LateInFront},
    {"an answer cut off just before a poll tick", Group::Station, &World::NoiseBeforeTick},
    {"line noise", Group::Station, &World::Noise},
    {"fragment of a frame", Group::Station, &World::Fragment},
    {"channel answer (station power cycle)", Group::Station, &World::ChannelAnswer},
    {"download acknowledgement outside a download", Group::Station, &World::StrayDownloadAck},
    {"port unplugged", Group::Station, &World::Unplug},
    {"bad radio for a while", Group::Station, &World::BadRadio},
    // The host: its messages, and the shape and moment of its next reply.
    {"host message 11", Group::Host, &World::Host11},
    {"host message 12", Group::Host, &World::Host12},
    {"reply-ready without R1.txt", Group::Host, &World::SignalWithoutFile},
    {"reply-ready again", Group::Host, &World::SignalAgain},
    {"reply-ready every second", Group::Host, &World::SignalEverySecond},
    {"next reply empty", Group::Host, &World::AnswerEmpty},
    {"next reply unreadable", Group::Host, &World::AnswerUnreadable},
    {"next reply with an unknown name", Group::Host, &World::AnswerUnknownName},
    {"next reply of another kind", Group::Host, &World::AnswerOtherKind},
    {"next reply without header", Group::Host, &World::AnswerPlainName},
    {"next reply naming another handheld", Group::Host, &World::AnswerOtherHandheld},
    {"next reply with a table number", Group::Host, &World::AnswerTableNumber},
    {"next reply slow", Group::Host, &World::AnswerSlow},
    {"next reply after the limit", Group::Host, &World::AnswerLate},
    {"next reply at the limit", Group::Host, &World::AnswerEdge},
    {"host skips a request", Group::Host, &World::HostSkips},
    {"host busy, then its backlog in order", Group::Host, &World::HostBusy},
    {"next reply corrected", Group::Host, &World::AnswerTwice},
    {"next reply written again unchanged", Group::Host, &World::AnswerAgainUnchanged},
    {"host floods reply-ready", Group::Host, &World::HostFlood},
    // The operator, on every screen, at any moment.
    {"settings screen visited", Group::Operator, &World::SettingsVisit},
    {"save", Group::Operator, &World::Save},
    {"delete a handheld", Group::Operator, &World::DeleteHandheld},
    {"delete all handhelds", Group::Operator, &World::DeleteAll},
    {"refresh", Group::Operator, &World::Refresh},
    {"channel setting", Group::Operator, &World::ChannelSetting},
    {"download screen visited", Group::Operator, &World::DownloadVisit},
    {"download", Group::Operator, &World::Download},
    {"download with nothing ticked", Group::Operator, &World::DownloadNothingTicked},
    {"monitor button", Group::Operator, &World::MonitorButton},
    {"dialog", Group::Operator, &World::OpenDialog},
    {"window closed", Group::Operator, &World::CloseWindow},
    {"capture saved", Group::Operator, &World::SaveCapture},
    // The files.
    {"T1.txt held by another program", Group::Files, &World::T1Held},
    {"T1.txt cannot be written", Group::Files, &World::T1Full},
    {"logfile.txt cannot be written", Group::Files, &World::LogFull},
    {"journal folder full", Group::Files, &World::JournalFull},
    {"capture folder full", Group::Files, &World::CaptureFull},
};
const std::size_t kAlphabetSize = std::size(kAlphabet);

// ---------------------------------------------------------------------------------------
// Schedule

void World::DrawWeights() {
  // Swarm testing: each seed plays about half the letters, each at a rate of its own, so
  // a rare combination is not drowned by the common ones. Requests always come.
  std::string swarm;
  weights_.assign(kAlphabetSize, 0);
  for (std::size_t i = 0; i < kAlphabetSize; ++i) {
    weights_[i] = i == 0 ? 20 : Chance(50) ? Draw(1, 8) : 0;
    weightSum_ += weights_[i];
    if (weights_[i] && i)
      swarm += std::string(swarm.empty() ? "" : ", ") + kAlphabet[i].name + " " +
               std::to_string(weights_[i]);
  }
  plainShare_ = Chance(30) ? Draw(10, 60) : 0;
  slowRadio_ = radioSource_.Draw(1, 100) <= 30;
  fifoReader_ = radioSource_.Draw(1, 100) <= 25;
  result_.swarm = swarm;
  Log("letters: " + swarm);
}

void World::NextLetter() {
  if (!scheduling_) return;
  std::size_t letter;
  Phase at = Phase::Now;
  if (options_.schedule) {
    if (nextByte_ >= options_.scheduleSize) {
      scheduling_ = false;
      return;
    }
    const std::uint8_t b = options_.schedule[nextByte_++];
    letter = b % kAlphabetSize;
    at = static_cast<Phase>(std::min<std::size_t>(b / kAlphabetSize, 5));
  } else {
    int draw = Draw(0, weightSum_ - 1);
    letter = 0;
    while (draw >= weights_[letter]) draw -= weights_[letter++];
    if (Chance(40)) at = static_cast<Phase>(Draw(1, static_cast<int>(Phase::Count) - 1));
  }
  PlayLetter(letter, at);
  After(options_.schedule ? Draw(100, 1500) : Draw(50, 3000), [this] { NextLetter(); });
}

void World::PlayLetter(std::size_t letter, Phase at) {
  auto play = [this, letter, at] {
    Log(std::string("letter: ") + kAlphabet[letter].name +
        (at == Phase::Now ? "" : std::string(" (at ") + PhaseName(at) + ")"));
    ++result_.letters[letter];
    std::invoke(kAlphabet[letter].play, *this);
  };
  if (at == Phase::Now) return play();
  // A phase may not come for hours (no download): the oldest letter waiting for it gives
  // way, or they would all fall due at once when it comes.
  const auto waiting = std::count_if(armed_.begin(), armed_.end(),
                                     [at](const auto& armed) { return armed.first == at; });
  if (waiting >= kArmedPerPhase)
    armed_.erase(std::find_if(armed_.begin(), armed_.end(),
                              [at](const auto& armed) { return armed.first == at; }));
  armed_.emplace_back(at, play);
}

void World::EnterPhase(Phase p) {
  for (auto it = armed_.begin(); it != armed_.end();) {
    if (it->first == p) {
      After(Draw(0, 300), std::move(it->second));
      it = armed_.erase(it);
    } else {
      ++it;
    }
  }
}

// The handhelds ask now and then whatever the letters do, so that every letter meets
// exchanges in every phase; the host answers as an integrator following the rules would.
void World::Background() {
  if (!scheduling_ && loop_.Now() > kBackgroundAtLeast) return;
  QueueRequest(sim::Fault::None, Chance(20), Chance(20));
  After(options_.schedule ? Draw(1000, 4000) : Draw(1000, 8000), [this] { Background(); });
}

void World::BuildInstallation() {
  slots_ = Draw(1, 4);
  std::set<int> ids;
  std::string jz, dcj;
  for (int n = 1; n <= slots_; ++n) {
    // Stations are often numbered by their port (1 to 4), handhelds from 1: numbers that
    // are also the bytes frames begin with (01, 04, 0A).
    int id;
    do id = Chance(50) ? n : Draw(1, 30);
    while (!ids.insert(id).second);
    sim::StationPlan plan;
    plan.id = static_cast<std::uint8_t>(id);
    plan.channel0 = static_cast<std::uint8_t>(Draw(0, 63));
    std::set<int> hh;
    const int count = Draw(1, 5);
    while (static_cast<int>(hh.size()) < count) {
      const int h = Chance(40) ? Draw(1, 8) : Draw(0, 191);
      if (numbers_.insert(h).second) hh.insert(h);
    }
    for (int h : hh) {
      handheldsOf_[n].push_back(static_cast<std::uint8_t>(h));
      plan.handhelds.push_back(static_cast<std::uint8_t>(h));
      dcj += ZeroPad(id, 2) + " " + ZeroPad(h, 3) + "\r\n";
    }
    jz += ZeroPad(id, 2) + " " + ZeroPad(plan.channel0 + 1, 2) + " ttySim" + std::to_string(n) +
          "\r\n";
    sim::Timing timing;
    timing.radioDelay = Draw(3, 20);
    stations_[n] = std::make_unique<sim::SimStation>(
        loop_, plan, [this, n](const std::string& bytes) { ToGateway(n, bytes, true); }, timing);
    stations_[n]->SeedLoss(static_cast<std::uint32_t>(Draw(1, 1 << 30)));
    stations_[n]->onEvent = [this, n](const sim::SimEvent& e) { StationEvent(n, e); };
    if (Chance(30)) stillClock_.insert(n * 256 + plan.handhelds[0]);
    if (Chance(30)) ownConfirmBytes_.insert(n * 256 + plan.handhelds.back());
    if (Chance(20))
      stations_[n]->SetDownloadBehaviour(plan.handhelds[0], {Draw(0, 30) / 100.0, Chance(20)});
    Log("station slot " + std::to_string(n) + " id " + std::to_string(id) + " handhelds " +
        std::to_string(plan.handhelds.size()));
  }
  files_->SetWriteFault([this](const std::string& name) { return HeldWrite(name); });
  files_->MemoryFolder("capture")->SetWriteFault([this](const std::string& name) {
    const std::lock_guard lock(captureWritesMutex_);
    captureWrites_.emplace_back(name, loop_.Now());
    return false;
  });
  files_->Write("JZ.txt", jz);
  files_->Write("DCJ.txt", dcj);
  // The category table, of one to twenty records: one to five packets, some of them whole.
  std::vector<std::string> records;
  const int count = Draw(1, 20);
  for (int i = 0; i < count; ++i) records.push_back("c" + std::to_string(i));
  files_->Write(MenuTableInfo(6).textFile, JoinCrLf(records));
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
  const Control* memo = &gw_->Form()["Memo1"];
  const Control* notice = &gw_->Form()["StatusPanel2"];
  std::size_t seen = 0;
  gw_->Form().onChange = [this, memo, notice, seen](const Control& c) mutable {
    if (&c == notice && c.Text().starts_with("抓包无法保存")) ++captureFailuresTold_;
    if (&c != memo || !options_.keepLog) return;
    // The log drops its oldest lines when full: a change of count is a new line.
    if (c.LineCount() != seen && c.LineCount() > 0) Log("  gateway: " + c.Lines().back());
    seen = c.LineCount();
  };
  boxes_.onChange = [this] { DownloadWaitOver(false); };
  gw_->Announce(kHost);
  ++loading_;
  gw_->FormCreate();
  --loading_;
}

// ---------------------------------------------------------------------------------------
// Station letters

// The waiter of the last request asks the same thing again (his answer is slow to come).
void World::AskAgain() {
  const auto last = requests_.find(lastToken_);
  if (last == requests_.end() || last->second.doneAt >= 0)
    return QueueRequest(sim::Fault::None, false, false);
  const Request like = last->second;
  QueueRequest(Chance(50) ? sim::Fault::NoConfirm : sim::Fault::None, false,
               like.kind == kOrderKind, &like, Chance(50));
}

void World::QueueRequest(sim::Fault fault, bool longer, bool order, const Request* like,
                         bool same) {
  const int slot = like ? like->slot : Draw(1, slots_);
  sim::SimStation& st = *stations_[slot];
  Request r;
  r.slot = slot;
  r.station = st.Id();
  r.handheld = like ? like->handheld : AnyHandheld(slot);
  int& queued = queued_[slot * 256 + r.handheld];
  if (queued >= kQueuedPerHandheld) {
    Log("handheld " + std::to_string(r.station) + "/" + std::to_string(r.handheld) +
        " has requests enough under way");
    return;
  }
  PruneFinished();
  r.token = NewToken();
  r.kind = like    ? like->kind
           : order ? kOrderKind
           : Chance(8)
               ? kEmptyRecordKinds[Draw(0, static_cast<int>(std::size(kEmptyRecordKinds)) - 1)]
               : kTokenKinds[Draw(0, static_cast<int>(std::size(kTokenKinds)) - 1)];
  std::string payload = r.token;
  auto text = [&](int n) {
    std::string s;
    for (int i = 0; i < n; ++i) s += static_cast<char>(Draw(0x21, 0x7E));
    return s;
  };
  if (r.kind == kOrderKind) {
    const int items = longer ? Draw(2, 6) : Draw(0, 3);
    payload += text(3) + text(4) + text(12);
    payload += static_cast<char>(items);
    static const char marks[] = {' ', '!', 'V', 'x'};
    for (int i = 0; i < items; ++i) {
      std::string quantity = std::to_string(Draw(1, 99));
      quantity.insert(Chance(50) ? 0 : quantity.size(), " ");
      quantity.resize(4, ' ');
      payload += text(5) + quantity + text(4) + text(12) + text(2) + marks[Draw(0, 3)];
    }
  } else {
    payload += text(longer ? Draw(90, 200) : Draw(0, 60));
  }
  r.payload = same ? like->payload : payload;
  sim::RequestPlan plan;
  plan.handheld = r.handheld;
  plan.code = static_cast<std::uint8_t>(0x4C + r.kind);
  // Some handhelds count zero padding after their text in the request's length.
  plan.payload =
      Chance(10) ? payload + std::string(static_cast<std::size_t>(Draw(1, 8)), '\0') : payload;
  if (same) plan.payload = like->sent;
  r.sent = plan.payload;
  plan.fault = fault;
  plan.faultPacket = Draw(1, static_cast<int>((plan.payload.size() + 13 + 47) / 48));
  r.simId = st.QueueRequest(plan);
  simIds_[(std::uint64_t(slot) << 32) | r.simId] = r.token;
  ++queued;
  lastToken_ = r.token;
  Log("request " + r.token + " kind " + std::to_string(r.kind) + " from " +
      std::to_string(r.station) + "/" + std::to_string(r.handheld) + " (" +
      std::to_string(r.payload.size()) + " bytes" + (same ? ", the same as " + like->token : "") +
      ")");
  requests_[r.token] = r;
  ++result_.requestsQueued;
}

// Four digits, as a waiter's note would begin; never one a request still under way holds.
std::string World::NewToken() {
  for (int tries = 0; tries < 9000; ++tries) {
    std::string token = std::to_string(nextToken_++);
    if (nextToken_ > 9999) nextToken_ = 1000;
    if (!requests_.count(token)) return token;
  }
  Fail("every token is held by a request under way");
}

void World::RequestFinished(int slot, std::uint64_t simId) {
  const auto id = simIds_.find((std::uint64_t(slot) << 32) | simId);
  if (id == simIds_.end()) return;
  Request& r = requests_.at(id->second);
  r.doneAt = loop_.Now();
  --queued_[slot * 256 + r.handheld];
  finished_.push_back(r.token);
  simIds_.erase(id);
}

void World::StationEvent(int slot, const sim::SimEvent& e) {
  using Kind = sim::SimEvent::Kind;
  if (e.kind == Kind::RequestDone || e.kind == Kind::RequestFailed)
    return RequestFinished(slot, e.requestId);
  if (e.kind == Kind::UploadComplete) return UploadCompleted(slot, e.requestId);
  const auto id = simIds_.find((std::uint64_t(slot) << 32) | e.requestId);
  if (id == simIds_.end()) return;
  Request& r = requests_.at(id->second);
  if (e.kind == Kind::A5Sent) {  // an attempt begins
    r.handoversBefore = r.handovers;
    r.attemptAt = loop_.Now();
  }
  if (e.kind != Kind::PacketSent || e.detail == "corrupted") return;
  if (e.packet == 1) uploading_[slot * 256 + e.handheld] = r.token;
  if (e.packet == e.total) ++r.lastPacketSends;
}

// The handheld heard "OK" for its request's last packet: the gateway has handed it to the
// host, whatever an earlier request's bytes were, unless T1.txt could not be written, the
// handheld was deleted or the exchange was disturbed meanwhile (or its packets met other
// bytes on the line and what passed their checks is no request of a known kind).
void World::UploadCompleted(int slot, std::uint64_t simId) {
  const auto id = simIds_.find((std::uint64_t(slot) << 32) | simId);
  if (id == simIds_.end()) return;
  const std::string token = id->second;
  const int serial = exchange_ && !exchange_->ended ? exchange_->serial : 0;
  After(kSlack, [this, token, slot, serial] {
    const auto it = requests_.find(token);
    if (it == requests_.end()) return;
    const Request& r = it->second;
    const auto& registered = handheldsOf_[slot];
    const bool excused =
        serial == 0 || exchanges_ != serial || exchange_->disturbed || exchange_->garbled ||
        t1TroubleAt_ >= r.attemptAt || unwritable_.count("T1.txt") || operatorBusy_ ||
        settingsHold_ || loading_ ||
        std::find(registered.begin(), registered.end(), r.handheld) == registered.end();
    if (r.handovers == r.handoversBefore && !excused)
      Fail("request " + token + " of handheld " + std::to_string(r.handheld) +
           " was acknowledged whole but never handed to the host");
  });
}

// A handheld whose clock stands still stamps every request alike: the gateway sees the one
// stamp, its station keeps its own.
std::string World::StillClock(int slot, std::string bytes) {
  const int key = slot * 256 + static_cast<std::uint8_t>(bytes[2]);
  if (!stillClock_.count(key)) return bytes;
  // The check follows the stamp, as wrong as it was.
  auto restamp = [&bytes](const std::string& stamp) {
    const std::size_t at = bytes.size() - 2;
    const std::string old = bytes.substr(9, 6);
    std::uint16_t check = static_cast<std::uint16_t>(static_cast<std::uint8_t>(bytes[at]) << 8 |
                                                     static_cast<std::uint8_t>(bytes[at + 1]));
    check = static_cast<std::uint16_t>(check - sim::Sum16(old) + sim::Sum16(stamp));
    bytes.replace(9, 6, stamp);
    bytes.replace(at, 2, sim::CheckBytes(check));
  };
  if (bytes.size() == 57 && bytes[0] == 0x01 && bytes[4] == 0x01) {
    realStamp_[key] = bytes.substr(9, 6);
    restamp(frozen_.emplace(key, bytes.substr(9, 6)).first->second);
  } else if (bytes.size() > 17 && bytes[0] == 0x03 && realStamp_.count(key) &&
             bytes.compare(9, 6, frozen_[key]) == 0) {
    restamp(realStamp_[key]);
  }
  return bytes;
}

// Requests done with long ago, that neither the host nor an open exchange still holds.
void World::PruneFinished() {
  for (std::size_t n = finished_.size(); n > 0; --n) {
    const auto it = requests_.find(finished_.front());
    const Request& r = it->second;
    if (loop_.Now() - r.doneAt < kKeepFinished) return;
    finished_.pop_front();
    if (r.hostRefs > 0 || oracle_.Holds(r.token) ||
        (exchange_ && !exchange_->ended && exchange_->token == r.token)) {
      finished_.push_back(r.token);
      continue;
    }
    const auto stamp = stamps_.find(r.stamp);
    if (stamp != stamps_.end() && stamp->second == r.token) stamps_.erase(stamp);
    framesTo_.erase(r.token);
    requests_.erase(it);
  }
}

// A request packet with a sound check but an index outside its request.
void World::PacketOutOfOrder() {
  const int slot = BusySlot();
  std::string packet =
      sim::BuildRequestPackets(stations_[slot]->Id(), AnyHandheld(slot),
                               std::string("\x12\x34\x56\x00\x00\x01", 6), 0x4C, "wild")[0];
  packet[3] = static_cast<char>(Draw(1, 3));
  packet[4] = static_cast<char>(Chance(50) ? 0 : packet[3] + 1);
  packet.resize(55);
  packet += sim::CheckBytes(sim::Sum16(packet));
  ToGateway(slot, packet, false);
}

// A one-packet request of another handheld of the station, heard while this one's is on.
void World::ForeignPacket() {
  const int slot = BusySlot();
  const std::uint8_t h = AnyHandheld(slot);
  if (exchange_ && !exchange_->ended && exchange_->handheld == h) return;
  // Each its own token and stamp (no station's clock reads 65:43:21): taken as a request
  // of its own when it comes while that handheld uploads, it is told apart from the last.
  const int n = foreign_++ % 1000;
  std::string stamp("\x21\x43\x65\x00", 4);
  stamp += static_cast<char>(n >> 8);
  stamp += static_cast<char>(n & 0xFF);
  char token[8];
  std::snprintf(token, sizeof token, "f%03d", n);
  Request r;
  r.token = token;
  r.slot = slot;
  r.station = stations_[slot]->Id();
  r.handheld = h;
  r.kind = 0;
  r.payload = r.token;
  r.stamp = stamp;
  r.lastPacketSends = 1;
  requests_[r.token] = r;
  stamps_[stamp] = r.token;
  ToGateway(slot, sim::BuildRequestPackets(r.station, h, stamp, 0x4C, r.token)[0], false);
}

void World::StrayConfirmation() {
  const int slot = OftenADownloadingSlot(Draw(1, slots_));
  // Often from a handheld whose number is a station's (one deleted from this station may
  // still confirm): its bytes after the 04 may pass for a packet's start.
  const std::uint8_t h = Chance(30)   ? stations_[Draw(1, slots_)]->Id()
                         : Chance(50) ? AnyHandheld(slot)
                                      : static_cast<std::uint8_t>(Draw(0, 191));
  const std::string bytes = sim::BuildConfirmation(stations_[slot]->Id(), h, 0x4D, 20);
  // As often read on its own just before the next frame the station sends.
  if (Chance(50))
    strayBefore_[slot] = bytes;
  else
    ToGateway(slot, bytes, false);
}

// The handheld of the exchange confirms on another station's port.
void World::ConfirmationOnOtherPort() {
  if (!exchange_ || exchange_->ended || slots_ < 2) return;
  ToGateway(OtherSlot(exchange_->slot),
            sim::BuildConfirmation(exchange_->station, exchange_->handheld, 0x4D, 20), false);
}

// A poll answer that comes late, on another station's port.
void World::LateAnswerOtherPort() {
  const int slot = slots_ > 1 ? OtherSlot(BusySlot()) : 1;
  // Or the answer of the handheld polled next, heard by another station too, at once.
  if (slots_ > 1 && Chance(40)) {
    crossTalk_ = true;
    return;
  }
  LateAnswer(slot, Chance(50));
}

void World::AnswerOwnPort() {
  LateAnswer(BusySlot(), Chance(50));
}

// Over the radio, in pieces at times: its rest (a station and a handheld number that may
// be 01 or 04) waits in the buffer on its own.
// Whether a poll tick may fall in [from, to]: polling ticks every kPollTick after the
// last poll seen, whether or not a tick finds a station to poll.
bool World::TickIn(Millis from, Millis to) const {
  if (lastPollAny_ < 0 || to < lastPollAny_) return false;
  const Millis after = std::max<Millis>(0, from - lastPollAny_);
  return lastPollAny_ + (after + kPollTick - 1) / kPollTick * kPollTick <= to;
}

// On the port of a station numbered 1 or 4 when there is one: its answer's rest begins
// with a packet's or a confirmation's first byte.
void World::LateInFront() {
  int slot = Chance(70) ? BusySlot() : Draw(1, slots_);
  for (int s = 1; s <= slots_; ++s)
    if (stations_[s]->Id() == 0x01 || stations_[s]->Id() == 0x04) slot = s;
  lateBefore_[slot] = true;
}

void World::LateAnswer(int slot, bool radio) {
  ToGateway(slot, LateAnswerBytes(slot), radio);
}

std::string World::LateAnswerBytes(int slot, int numberedLikeAStation) {
  // Often from a handheld whose number is a station's (one deleted from this station may
  // still answer): its rest may pass for a packet's or a confirmation's start.
  const std::uint8_t h =
      Chance(numberedLikeAStation) ? stations_[Draw(1, slots_)]->Id() : AnyHandheld(slot);
  return {'\xA5', static_cast<char>(stations_[slot]->Id()), static_cast<char>(h)};
}

void World::NoiseByte() {
  static const char bytes[] = {'\xA5', '\x01', '\x04', '\x0A', '\xAA'};
  const int slot = Chance(70) ? BusySlot() : Draw(1, slots_);
  const char b = bytes[Draw(0, 4)];
  Log("noise byte " + Hex2(static_cast<std::uint8_t>(b)) + " on slot " + std::to_string(slot));
  // While a poll's answer is awaited, an A5 and an answer in pieces behind it may be read as
  // one answer.
  if (b == '\xA5' && (!exchange_ || exchange_->ended)) dirty_[slot] = true;
  // A 04 or 01 begins a frame only when a station's number follows it: with a station
  // numbered 10, the 0A of a download acknowledgement behind it may be that number, and
  // the acknowledgement waits in the buffer and may be dropped with it. A 0A may join the
  // record behind it.
  bool joins = b == '\x0A' || b == '\xA5';
  for (int s = 1; s <= slots_; ++s) joins = joins || stations_[s]->Id() == 0x0A;
  if (downloadFrames_ && joins) dirty_[slot] = true;
  ToGateway(slot, std::string(1, b), false);
}

// Whether a later piece of a frame has the shape of a whole frame of its own.
bool World::LooksWhole(const std::string& b) {
  const auto b0 = static_cast<std::uint8_t>(b[0]);
  return (b0 == 0xA5 && b.size() >= 3) || (b0 == 0x01 && b.size() == 57) ||
         (b0 == 0x04 && b.size() == 9) || (b0 == 0x0A && b.size() % 5 == 0) ||
         (b0 == 0xAA && b.size() == 6 && static_cast<std::uint8_t>(b[1]) == 0x4F &&
          static_cast<std::uint8_t>(b[5]) == 0xBB);
}

// For the next twenty polls of a slot with a request to offer, the start of an answer
// comes just before the tick that polls it again, and the answer to that poll comes in two pieces:
// the tick empties the buffers, so the answer is taken whole.
void World::NoiseBeforeTick() {
  tickNoise_[Draw(1, slots_)] = 20;
}

// The slot's next poll comes a round after this one, as the last came.
void World::NoiseBeforeNextPoll(int slot, Millis round) {
  if (round < kPollTick || round > 4 * kPollTick) return;
  After(round - Draw(1, 10), [this, slot] {
    // The start of an answer cut off: after the tick it would spoil the next answer.
    const std::string noise{'\xA5', static_cast<char>(stations_[slot]->Id())};
    Log("an answer's first two bytes on slot " + std::to_string(slot) + " before a tick");
    splitNext_[slot] = true;
    dirty_[slot] = true;
    ToGateway(slot, noise, false);
  });
}

// A noise byte that could open a frame comes in front of the next frame a station sends,
// read with it.
void World::NoiseInFront() {
  static const std::uint8_t bytes[] = {0xA5, 0x01, 0x04, 0x0A, 0xAA};
  // During a download, often in front of a handheld's acknowledgement.
  const int slot = OftenADownloadingSlot(Chance(70) ? BusySlot() : Draw(1, slots_));
  noiseBefore_[slot] = bytes[Draw(0, 4)];
}

// Whether a noise byte cannot hide the frame behind it: outside a poll's wait, where no
// answer is taken, the gateway drops an A5 or AA at once, a 01 unless a station's number
// follows it, a 04 when it and the frame are longer than a confirmation, and a 0A unless
// the frame's fifth byte is another 0A.
bool World::NoiseIsHarmless(int slot, std::uint8_t noise, const std::string& frame) const {
  // Bytes still waiting in the port's buffer join the noise byte: 01 then 0A 04 may begin a
  // packet of station 10.
  if (LeftoverMayWait(slot)) return false;
  auto names = [&](std::uint8_t id) {
    for (int s = 1; s <= slots_; ++s)
      if (stations_[s] && stations_[s]->Id() == id) return true;
    return false;
  };
  // A download's acknowledgement, no handheld's exchange under way: an AA falls away, and a
  // 04 or 01 unless the acknowledgement's 0A is a station's number.
  if (downloadFrames_ && (!exchange_ || exchange_->ended) && frame.size() == 5 &&
      frame[0] == '\x0A')
    return noise == 0xAA || ((noise == 0x04 || noise == 0x01) && !names(0x0A));
  // In a poll's wait nothing but an answer is taken: any other byte falls away.
  if (frame.size() == 3 && static_cast<std::uint8_t>(frame[0]) == 0xA5)
    return noise != 0xA5 && (!exchange_ || exchange_->ended);
  if ((noise == 0x04 && frame.size() < 9) ||
      (noise == 0x0A && (frame.size() < 5 || static_cast<std::uint8_t>(frame[4]) == 0x0A)) ||
      !exchange_ || exchange_->ended || !exchange_->byAnswer || exchange_->disturbed ||
      MayHaveEnded(*exchange_))
    return false;
  return noise != 0x01 || !names(static_cast<std::uint8_t>(frame[0]));
}

void World::Noise() {
  const int slot = Draw(1, slots_);
  std::string bytes;
  const int n = Draw(2, 40);
  for (int i = 0; i < n; ++i) bytes += static_cast<char>(Draw(0, 255));
  dirty_[slot] = true;
  ToGateway(slot, bytes, false);
}

// The start of a frame whose rest never comes.
void World::Fragment() {
  const int slot = BusySlot();
  const std::uint8_t id = stations_[slot]->Id(), h = AnyHandheld(slot);
  std::string frame;
  switch (Draw(0, 3)) {
    case 0:
      frame = sim::BuildRequestPackets(id, h, std::string("\x01\x02\x03\x00\x00\x03", 6), 0x4C,
                                       "part")[0];
      break;
    case 1:
      frame = sim::BuildConfirmation(id, h, 0x4D, 20);
      break;
    case 2:
      frame = sim::BuildDownloadAck(id, h, 0);
      break;
    default:
      frame = sim::BuildChannelAnswer(id, stations_[slot]->Channel0());
      break;
  }
  frame.resize(static_cast<std::size_t>(Draw(2, static_cast<int>(frame.size()) - 1)));
  dirty_[slot] = true;
  ToGateway(slot, frame, false);
}

// A station reports its channel again, as after a power cycle.
void World::ChannelAnswer() {
  const int slot = Draw(1, slots_);
  Disturb(0);
  ToGateway(slot, sim::BuildChannelAnswer(stations_[slot]->Id(), stations_[slot]->Channel0()),
            false);
}

void World::StrayDownloadAck() {
  const int slot = BusySlot();
  ToGateway(slot, sim::BuildDownloadAck(stations_[slot]->Id(), AnyHandheld(slot), 0), false);
}

void World::Unplug() {
  const int slot = Draw(1, slots_);
  if (unplugged_[slot]) return;
  Disturb(slot);
  unplugged_[slot] = true;
  pluggedBackAt_[slot] = -1;
  reloadedSinceUnplug_[slot] = false;
  ResetConnections(slot);
  ports_[slot]->failOpen = true;
  ports_[slot]->LoseLine();
  After(Draw(1000, 20000), [this, slot] {
    Log("plug slot " + std::to_string(slot) + " back");
    unplugged_[slot] = false;
    ports_[slot]->failOpen = false;
    pluggedBackAt_[slot] = loop_.Now();
  });
}

void World::BadRadio() {
  lossOut_ = Draw(0, 8), damageOut_ = Draw(0, 8), lossIn_ = Draw(0, 8), damageIn_ = Draw(0, 8);
  After(Draw(5000, 40000), [this] { lossOut_ = damageOut_ = lossIn_ = damageIn_ = 0; });
}

// ---------------------------------------------------------------------------------------
// Host letters

void World::PostFromHost(std::uint32_t lparam) {
  host_.Post(kOwn, kHostMessage, 0, lparam);
}

void World::SignalWithoutFile() {
  if (loop_.Now() < nextReplyAt_) return;
  nextReplyAt_ = loop_.Now() + kHostReplySpacing;
  files_->Remove("R1.txt");
  r1Unreadable_ = false;
  files_->FailReads("R1.txt", false);
  fileId_.clear();
  Signal("without R1.txt");
}

void World::SignalAgain() {
  if (loop_.Now() >= nextReplyAt_) Signal("again");
}

void World::SignalEverySecond() {
  SignalAgainIn(1000, Draw(5, 30));
}

// One timer at a time: the simulation's own timers must not crowd the gateway's count.
void World::SignalAgainIn(Millis ms, int times) {
  if (times <= 0) return;
  After(ms, [this, times] {
    if (loop_.Now() >= nextReplyAt_) Signal("again, once a second");
    SignalAgainIn(1000, times - 1);
  });
}

void World::HostBusy() {
  hostBusyUntil_ = std::max(hostBusyUntil_, loop_.Now() + Draw(12000, 20000));
  After(hostBusyUntil_ - loop_.Now(), [this] { HostWork(); });
}

void World::HostFlood() {
  FloodIn(Draw(10, 150), Draw(5, 100));
}

void World::FloodIn(Millis ms, int times) {
  if (times <= 0) return;
  After(ms, [this, times] {
    Signal("");
    FloodIn(Draw(10, 150), times - 1);
  });
}

// ---------------------------------------------------------------------------------------
// Operator letters

bool World::OperatorFree() {
  return !operatorBusy_ && !Modal() && gw_->Form()["Panel1"].Visible();
}

void World::EnterSettings(int slot) {
  gw_->Settings().ToolButton4Click();
  gw_->Form()["PageControl1"].SetItemIndex(slot - 1);
}

// The save reloads the stations: every port closes and is asked its channel again.
void World::SaveAndLeave(Millis after) {
  Click(after, [this] {
    Log("operator: save");
    Disturb(0);
    for (bool& reloaded : reloadedSinceUnplug_) reloaded = true;
    settingsHold_ = settingsUnsure_ = false;
    ResetConnections(0);
    // The reload fills each station's handhelds after its query: not before the click
    // returns, however long the waits nested in it last.
    ++loading_;
    gw_->Settings().BitBtn2Click();
    --loading_;
    releasedAt_ = loop_.Now() + kSlack;
    // The load goes on after the click: its queries keep the window open.
    loadingUntil_ = std::max(loadingUntil_, releasedAt_);
    Click(Draw(200, 3000), [this] {
      Log("operator: back from settings");
      gw_->Settings().Button3Click();
      operatorBusy_ = false;
    });
  });
}

void World::SettingsVisit() {
  if (!OperatorFree()) return;
  operatorBusy_ = true;
  EnterSettings(Draw(1, slots_));
  Click(Draw(200, 8000), [this] {
    Log("operator: back from settings");
    gw_->Settings().Button3Click();
    operatorBusy_ = false;
  });
}

void World::Save() {
  if (!OperatorFree()) return;
  operatorBusy_ = true;
  EnterSettings(Draw(1, slots_));
  SaveAndLeave(Draw(100, 3000));
}

// A handheld deleted from a station's list (or all of them), then typed in again and
// saved: the installation is the same afterwards, but polling stayed stopped meanwhile.
void World::DeleteOnSettings(bool all) {
  if (!OperatorFree()) return;
  operatorBusy_ = true;
  const int slot = Draw(1, slots_);
  EnterSettings(slot);
  Control& list = gw_->Form().At("PADLIST", slot);
  std::vector<std::string> removed;
  settingsHold_ = true;
  settingsUnsure_ = false;
  // A station without handhelds takes its turn in polling, sending nothing.
  emptied_[slot] = all || list.LineCount() == 1;
  if (all) {
    removed = list.Lines();
    gw_->Settings().Button6Click();
  } else {
    const int item = Draw(0, static_cast<int>(list.LineCount()) - 1);
    removed.push_back(list.Lines()[static_cast<std::size_t>(item)]);
    list.SetItemIndex(item);
    gw_->Settings().Button5Click();
  }
  // Polled no more until they are typed in again, at the end of the list.
  for (const std::string& number : removed) {
    auto& list = handheldsOf_[slot];
    list.erase(std::remove(list.begin(), list.end(), static_cast<std::uint8_t>(std::stoi(number))),
               list.end());
  }
  Click(Draw(200, 6000), [this, slot, removed] {
    Log("operator: types the handhelds in again");
    for (const std::string& number : removed) {
      const auto h = static_cast<std::uint8_t>(std::stoi(number));
      handheldsOf_[slot].push_back(h);
      handheldPolled_[slot * 256 + h] = loop_.Now();  // its turns start now
    }
    gw_->Form()["PageControl1"].SetItemIndex(slot - 1);
    for (const std::string& number : removed) {
      gw_->Form().At("PADID", slot).SetText(number);
      gw_->Settings().BitBtn3Click();
    }
    emptied_[slot] = false;
    TurnsChanged();
    SaveAndLeave(Draw(100, 2000));
  });
}

void World::Refresh() {
  if (!OperatorFree() || !gw_->Form()["ToolButton3"].Enabled()) return;
  Disturb(0);
  for (bool& reloaded : reloadedSinceUnplug_) reloaded = true;
  ResetConnections(0);
  ++loading_;
  gw_->Setup().ToolButton3Click();
  --loading_;
  releasedAt_ = loop_.Now() + kSlack;
  loadingUntil_ = std::max(loadingUntil_, releasedAt_);
}

// The channel setting takes the station's port away until the operator saves.
void World::ChannelSetting() {
  if (!OperatorFree()) return;
  operatorBusy_ = true;
  const int slot = Draw(1, slots_);
  EnterSettings(slot);
  settingsHold_ = true;
  settingsUnsure_ = false;
  Disturb(slot);
  ResetConnections(slot);
  pluggedBackAt_[slot] = -1;  // its port is the setting's until the save reopens it
  // The setting holds polling until its click returns; its stop lasts until a station
  // answers its channel.
  ++channelClick_;
  answeredDuringClick_ = false;
  gw_->Channel().Button1Click();
  if (--channelClick_ == 0 && answeredDuringClick_) {
    settingsHold_ = settingsUnsure_ =
        false;  // started by an answer meanwhile: it runs once the hold ends
    releasedAt_ = loop_.Now();
  }
  SaveAndLeave(Draw(500, 8000));
}

void World::DownloadVisit() {
  if (!OperatorFree()) return;
  operatorBusy_ = true;
  gw_->DownloadView().ToolButton2Click();
  Click(Draw(200, 8000), [this] {
    gw_->DownloadView().Button2Click();
    BuffersCleared();
    operatorBusy_ = false;
  });
}

// The operator ticks handhelds and the category table, starts the download and leaves the
// screen a while later (at once, during the search or after the last packet).
void World::StartDownload(bool ticked) {
  if (!OperatorFree()) return;
  operatorBusy_ = true;
  DownloadScreen& screen = gw_->DownloadView();
  screen.ToolButton2Click();
  FormModel& form = gw_->Form();
  form[MenuTableInfo(6).checkBox].SetChecked(ticked || Chance(50));
  if (ticked || Chance(50)) {
    if (Chance(50)) {
      form["CheckBox7"].SetChecked(true);
      screen.CheckBox7Click();
    } else {
      const auto& nodes = form["TreeView2"].Nodes();
      for (std::size_t s = 0; s < nodes.size(); ++s)
        for (std::size_t h = 0; h < nodes[s].children.size(); ++h)
          if (Chance(50) || (s == 0 && h == 0))
            screen.TreeView2Click(TreeNodeRef{s, static_cast<int>(h)});
    }
  }
  // The rows the request makes: the ticked handhelds, station by station (the tree's
  // stations are the slots in order).
  std::map<int, std::vector<std::uint8_t>> rows;
  const auto& nodes = form["TreeView2"].Nodes();
  for (std::size_t st = 0; st < nodes.size() && st < 4; ++st)
    for (const TreeNode& h : nodes[st].children)
      if (h.stateIndex == kSelected)
        rows[static_cast<int>(st) + 1].push_back(static_cast<std::uint8_t>(std::stoi(h.text)));
  Log("operator: download");
  // The request tells the host and waits half a second; polling stays off from then until
  // the operator leaves the screen, whatever box the request shows.
  const Millis clicked = loop_.Now();
  slotData_.clear();
  selected_ = rows;
  searchInterrupted_ = false;
  lastDataAt_ = -1;
  downloadFrames_ = true;
  stallChecked_ = downloadDisturbed_ = false;
  // The request's half-second wait returns at once unless a box or dialog opened during
  // it is still up; then it returns when that closes, before the click does.
  downloadClickAt_ = clicked;
  downloadClickDepth_ = loop_.WaitDepth();
  downloadHold_ = true;  // from the click on
  After(501, [this] { DownloadWaitOver(false); });
  screen.BitBtn1Click();
  DownloadWaitOver(true);
  const int stay = Draw(0, 3);
  const Millis leave = stay == 0   ? Draw(0, 3000)
                       : stay == 1 ? Draw(3000, 22000)
                                   : Draw(22000, 60000);
  Click(leave, [this] {
    Log("operator: leaves the download screen");
    // A station's last packet, not sent again for a whole round of the stations, was passed.
    Millis round = kSlack;
    for (const auto& [s, handhelds] : selected_)
      if (!handhelds.empty()) round += 330 + 30 * static_cast<Millis>(handhelds.size());
    for (const auto& [s, d] : slotData_)
      if (!d.packet.empty() && loop_.Now() - d.at > round + StallIn(d.at, loop_.Now()))
        PacketPassed(s, "its last packet");
    downloadClickAt_ = -1;
    gw_->DownloadView().Button2Click();
    BuffersCleared();
    downloadHold_ = downloadFrames_ = false;
    releasedAt_ = loop_.Now();
    selected_.clear();
    slotData_.clear();
    operatorBusy_ = false;
  });
}

// The download request's half-second wait has returned (the click has, or nothing modal
// opened before the wait's end is up): the search begins. Polling is held from the click.
void World::DownloadWaitOver(bool returned) {
  if (downloadClickAt_ < 0) return;
  const Millis end = downloadClickAt_ + 500;
  // The wait has returned when no wait deeper than the click's own box runs (a box or a
  // stalled write nested in it keeps it from returning, whatever the time).
  const int depth = loop_.WaitDepth() - downloadClickDepth_;
  if (!returned && (loop_.Now() < end || depth > (boxes_.open > 0 && dialogsOpen_ == 0 ? 1 : 0)))
    return;
  downloadClickAt_ = -1;
  downloadHold_ = true;
  BuffersCleared();
  downloadStarted_ = std::max(end, loop_.Now());
  const bool unsure = countUnsure_;
  Disturb(0);  // the exchange under way, not the download itself
  downloadDisturbed_ = false;
  countUnsure_ = unsure;
}

void World::MonitorButton() {
  if (OperatorFree()) gw_->ToolButton1Click();
}

void World::Dialog(const std::string& why) {
  if (Modal()) return;
  const Millis hold = HoldFor(source_);
  Log("dialog " + why + " (" + std::to_string(hold) + " ms)");
  ++result_.dialogs;
  ++dialogsOpen_;
  loop_.Delay(static_cast<int>(hold / 1000), static_cast<int>(hold % 1000));
  --dialogsOpen_;
  DownloadWaitOver(false);
}

// The window's close while the host runs: up to 5 s of waiting for the host to go, then
// the window hides and the gateway goes on.
void World::CloseWait() {
  if (Modal()) return;
  ++result_.dialogs;
  ++dialogsOpen_;
  if (gw_->FormCloseRequest()) Fail("the gateway ended while its host runs");
  --dialogsOpen_;
}

// ---------------------------------------------------------------------------------------
// File letters

// Another program (the host reading it, a virus scanner) holds T1.txt for a moment. Each
// replacement of it then waits on the main thread, as the disk's store does, up to the
// retries' bound: written when the hold ends within it, failed when not.
void World::T1Held() {
  const Millis until = loop_.Now() + Draw(20, 2500);
  Millis& held = heldUntil_[MemoryFileStore::Key("T1.txt")];
  held = std::max(held, until);
}

bool World::HeldWrite(const std::string& name) {
  auto held = heldUntil_.find(MemoryFileStore::Key(name));
  if (held == heldUntil_.end() || held->second <= loop_.Now()) return false;
  const Millis start = loop_.Now();
  bool released = false;
  for (std::chrono::milliseconds pause : SystemRenameRetry().pauses) {
    loop_.Stall(pause.count());
    if (loop_.Now() >= held->second) {
      released = true;
      break;
    }
  }
  stalls_.emplace_back(start, loop_.Now());
  Disturb(0);
  if (!released && MemoryFileStore::Key(name) == "t1.txt") t1TroubleAt_ = loop_.Now();
  Log("replacing " + name + " waited " + std::to_string(loop_.Now() - start) + " ms" +
      (released ? "" : ", still held: fails"));
  return !released;
}

// The time the loop stood still between two moments.
Millis World::StallIn(Millis from, Millis to) const {
  Millis total = 0;
  // (A stall after to, such as one since a capture was written and checked, adds nothing.)
  for (auto it = stalls_.rbegin(); it != stalls_.rend() && it->second > from; ++it)
    total += std::max<Millis>(0, std::min(it->second, to) - std::max(it->first, from));
  return total;
}

void World::FileTrouble(const std::string& file) {
  if (!unwritable_.insert(file).second) return;
  files_->FailWrites(file);
  After(Draw(500, 15000), [this, file] {
    if (file == "T1.txt") t1TroubleAt_ = loop_.Now();
    Log("can write " + file + " again");
    files_->FailWrites(file, false);
    unwritable_.erase(file);
  });
}

void World::FolderTrouble(const std::string& folder, std::uint64_t& troubles, Millis longest) {
  if (!unwritable_.insert(folder).second) return;
  ++troubles;
  files_->MemoryFolder(folder)->FailAllWrites();
  After(Draw(2000, static_cast<int>(longest)), [this, folder] {
    Log(folder + " folder writable again");
    files_->MemoryFolder(folder)->FailAllWrites(false);
    unwritable_.erase(folder);
  });
}

// ---------------------------------------------------------------------------------------
// The wire

void World::Disturb(int slot) {
  if (downloadFrames_ && loop_.Now() > downloadStarted_) downloadDisturbed_ = true;
  if (downloadFrames_) countUnsure_ = true;
  for (int n = 1; n <= 4; ++n)
    if (slot == 0 || n == slot) lastAck_[n].clear(), seriesAck_[n].clear();
  if (exchange_ && !exchange_->ended && (slot == 0 || exchange_->slot == slot))
    exchange_->disturbed = true;
  for (Series& s : series_)
    if (!s.done && (slot == 0 || s.slot == slot)) s.cut = true;
}

void World::ResetConnections(int slot) {
  if (slot == 0) loadingUntil_ = loop_.Now() + 3000;
  for (int s = 1; s <= 4; ++s)
    if (slot == 0 || s == slot) {
      connected_[s] = false;
      slotRunSince_[s] = -1;
    }
}

// Bytes the gateway wrote on a port: checked, then carried over the radio to the station,
// which may miss them or hear them damaged.
void World::FromGateway(int slot, const std::string& hex) {
  const std::string bytes = HexToBytes(hex);
  ++seq_;
  if (slot >= 1 && slot <= 4)
    recorder_->Add(slot, FlightRecorder::Direction::Out,
                   reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size());
  if (slot == 5) {
    // The channel setting on the auxiliary port: the station acknowledges it, mostly.
    if (hex.starts_with("AA49") && Chance(70))
      After(Draw(2, 200), [this] {
        if (ports_[5] && ports_[5]->IsOpen())
          ports_[5]->Receive(std::string("\xAA\x4F\x01\x00\x00\xBB", 6));
      });
    return;
  }
  const auto b0 = static_cast<std::uint8_t>(bytes[0]);
  if (hex == "AA400000BB" && loop_.Now() < loadingUntil_)
    loadingUntil_ = std::max(loadingUntil_, loop_.Now() + 1000);
  // A channel query empties its port's buffer.
  if (hex == "AA400000BB" && inFlight_[slot] > 0) dirty_[slot] = true;
  if (b0 == 0xAA && bytes.size() == 5 && hex.substr(6) == FrameCheck(hex.substr(0, 6)))
    OnPoll(slot, bytes);
  else if (b0 == 0x02 && bytes.size() == 9 && hex.substr(14) == FrameCheck(hex.substr(0, 14)))
    OnAck(slot, bytes);
  else if (b0 == 0x03)
    OnReplyFrame(slot, bytes);
  else if (b0 == 0x0A && bytes.size() == 139)
    OnData(slot, bytes);
  else if (b0 == 0x0A)
    OnSearch(slot, bytes);
  else if (hex != "AA400000BB")
    Fail("a frame the stations cannot read on slot " + std::to_string(slot) + ": " + hex);
  if (slot < 1 || slot > 4 || !stations_[slot] || unplugged_[slot]) return;
  std::string heard = bytes;
  if (Chance(lossOut_)) return;
  if (Chance(damageOut_))
    heard[static_cast<std::size_t>(Draw(0, static_cast<int>(heard.size()) - 1))] ^= 0x10;
  stations_[slot]->Receive(bytes.size() > 2 ? StillClock(slot, heard) : heard);
}

// Bytes read on their own just before a frame's first piece; left in the buffer (dirties)
// when they may begin a frame the gateway awaits.
void World::ReadJustBefore(int slot, const std::string& bytes, bool dirties) {
  ++inFlight_[slot];
  After(1, [=, this] {
    lateInFront_ = true;
    Deliver(slot, bytes, true, bytes, true);
    lateInFront_ = false;
    if (dirties) dirty_[slot] = true;
  });
}

// Bytes a station sends: damaged or lost now and then on the radio, split into chunks as
// the serial reader would deliver them.
void World::ToGateway(int slot, std::string bytes, bool radio) {
  if (radio && bytes.size() > 2) bytes = StillClock(slot, std::move(bytes));
  if (radio && bytes.size() == 9 && bytes[0] == 0x04 &&
      ownConfirmBytes_.count(slot * 256 + static_cast<std::uint8_t>(bytes[2])))
    for (std::size_t i = 1; i < bytes.size(); ++i) bytes[i] = static_cast<char>(Draw(0x10, 0x7F));
  if (radio) SniffFromStation(slot, bytes);
  if (radio && Chance(lossIn_)) return;
  if (radio && loop_.Now() <= slowRestAt_[slot]) {
    Log("a frame on slot " + std::to_string(slot) + " lost in a slow radio's frame");
    return;
  }
  const bool damaged = radio && Chance(damageIn_);
  if (damaged) bytes[static_cast<std::size_t>(Draw(0, static_cast<int>(bytes.size()) - 1))] ^= 0x04;
  std::size_t at = 0;
  Millis delay = 1;
  // A noise byte asked for goes in front of the frame, read with its first piece.
  std::string noise;
  bool harmless = false;
  // Not in front of a channel answer: whether the gateway still takes that one cannot be
  // told from the wire, and it decides whether polling runs.
  if (radio && noiseBefore_[slot] >= 0 && !bytes.starts_with("\xAA\x4F")) {
    noise.assign(1, static_cast<char>(noiseBefore_[slot]));
    noiseBefore_[slot] = -1;
    harmless = NoiseIsHarmless(slot, static_cast<std::uint8_t>(noise[0]), bytes);
    Log("noise byte " + Hex2(static_cast<std::uint8_t>(noise[0])) + " on slot " +
        std::to_string(slot) + " in front of a frame" + (harmless ? ", harmless" : ""));
  }
  bool split = radio && std::exchange(splitNext_[slot], false) && bytes.size() > 1;
  // A late answer read on its own just before a frame in pieces, while a handheld's
  // exchange keeps the poll's wait off: the frame is taken as if it had not come.
  if (radio && std::exchange(lateBefore_[slot], false) && bytes.size() > 1 && exchange_ &&
      !exchange_->ended && exchange_->byAnswer && !exchange_->disturbed &&
      !MayHaveEnded(*exchange_) && bytes[0] != '\xA5' && !bytes.starts_with("\xAA\x4F")) {
    const std::string a5 = LateAnswerBytes(slot, 80);
    Log("a late answer " + BytesToHex(a5) + " on slot " + std::to_string(slot) +
        " just before a frame");
    // Its rest stays where it may begin a frame the exchange awaits: a 04 once a confirmation
    // is awaited, or 01 and this station's number while a packet is.
    const bool stays = (a5[1] == '\x04' && exchange_->uploaded) ||
                       (a5[1] == '\x01' && static_cast<std::uint8_t>(a5[2]) == exchange_->station &&
                        !exchange_->uploaded);
    ReadJustBefore(slot, a5, stays);
    split = true;
  }
  // A stray confirmation read on its own just before a frame in pieces: dropped whole where
  // none is awaited, it leaves nothing that could join the frame's first piece.
  if (radio && !strayBefore_[slot].empty() && bytes.size() > 1 && !bytes.starts_with("\xAA\x4F")) {
    ReadJustBefore(slot, std::exchange(strayBefore_[slot], std::string()), false);
    split = true;
  }
  // A noise 04 is as often read on its own just before the frame, which then comes in pieces.
  if (noise == "\x04" && bytes.size() > 1 && Chance(50)) {
    noise.clear();
    split = true;
    ReadJustBefore(slot, "\x04", false);
  }
  ++inFlight_[slot];
  // A slow radio's handheld: its packet or confirmation comes in two pieces, the rest much
  // later, within the acknowledgement repeater's interval or while its reply is out.
  const bool slow = radio && slowRadio_ && exchange_ && !exchange_->ended &&
                    exchange_->slot == slot && (bytes.size() == 57 || bytes.size() == 9) &&
                    (bytes[0] == '\x01' || bytes[0] == '\x04') &&
                    static_cast<std::uint8_t>(bytes[2]) == exchange_->handheld;
  while (at < bytes.size()) {
    // A piece is often what a UART's receive FIFO held at its trigger level: eight bytes. On
    // some ports every read is.
    const int rest = static_cast<int>(bytes.size() - at);
    auto piece = [rest](bool fifo, int drawn) {
      return static_cast<std::size_t>(fifo && rest > 8 ? 8 : drawn);
    };
    std::size_t n = static_cast<std::size_t>(rest);
    if (at == 0 && slow) {
      const bool fifo = radioSource_.Draw(0, 1) == 1;
      n = piece(fifo, radioSource_.Draw(1, rest - 1));
    } else if (at == 0 && split) {
      const bool fifo = Chance(50);
      n = piece(fifo, Draw(1, rest - 1));
    } else if (radio && !slow && fifoReader_) {
      n = piece(true, rest);
    } else if (radio && !slow && !Chance(80)) {
      const bool fifo = Chance(50);
      n = piece(fifo, Draw(1, rest));
    }
    std::string chunk = (at == 0 ? noise : std::string()) + bytes.substr(at, n);
    const bool leading = at == 0 && !noise.empty();
    at += n;
    const bool last = at == bytes.size();
    // A poll tick between its chunks empties what came of it.
    const bool single = last && at == n;
    // A frame's first piece behind a 0A may make whole records of five bytes, and behind
    // an A5 a late answer's three.
    if (leading && !last && (noise[0] == '\x0A' || noise[0] == '\xA5')) harmless = false;
    // Read with the frame's first eight bytes, a 04 has a confirmation's shape, which a port
    // that awaits none drops whole.
    if (leading && noise[0] == '\x04' && chunk.size() == 9) harmless = false;
    After(delay, [=, this, polls = result_.polls, from = loop_.Now() + 1] {
      leadingNoise_ = leading;
      // (A tick that polls a lost station sends nothing, and empties the buffers all the same.)
      Deliver(slot, chunk, last, bytes,
              !damaged &&
                  (single || (polls == result_.polls && !EmptiedIn(slot, from, loop_.Now()))) &&
                  (!leading || harmless));
      leadingNoise_ = false;
    });
    if (slow) {
      slowRestAt_[slot] = loop_.Now() + delay;
      delay += bytes[0] == '\x01' ? radioSource_.Draw(205, 280) : radioSource_.Draw(205, 600);
    } else
      delay += Draw(1, 15);
  }
}

// Whether a tick that empties the gateway's buffer of the slot may have fallen between two
// moments. Within a handheld's exchange that cannot have ended the poll timer stands still:
// only the acknowledgements on its port empty it, at once or repeated. Elsewhere any tick of
// the poll timer may.
bool World::EmptiedIn(int slot, Millis from, Millis to) const {
  if (InOpenExchangeOn(slot) && exchange_->opened < from) return ackSentAt_[slot] >= from;
  return TickIn(from, to);
}

void World::Deliver(int slot, const std::string& chunk, bool last, const std::string& frame,
                    bool intact) {
  if (last) --inFlight_[slot];
  FakePort* port = ports_[slot];
  if (!port || !port->IsOpen() || unplugged_[slot]) {
    // A frame's piece lost on a closed port: the rest arrives alone. An answer's first
    // piece may have opened an exchange that nothing on the wire shows.
    dirty_[slot] = true;
    if (last && frame.find('\xA5') != std::string::npos) {
      unseenSince_ = loop_.Now();
      unseenUntil_ = std::max(unseenUntil_, loop_.Now() + kLimit + kRead + 4 * kPollTick + kSlack);
    }
    return;
  }
  // Another frame's chunks still on their way: this one lands in the middle of it.
  if ((inFlight_[slot] > (last ? 0 : 1) && !lateInFront_) || !intact) dirty_[slot] = true;
  // A later piece of a frame that has the shape of a whole frame is taken for one, and what
  // came before it is dropped as a stale fragment.
  if (!leadingNoise_ && frame.compare(0, chunk.size(), chunk) != 0 && LooksWhole(chunk))
    dirty_[slot] = true;
  // Bytes still waiting in the buffer join a frame's first piece; a whole frame read at
  // once drops them.
  if (chunk.size() < frame.size() && frame.compare(0, chunk.size(), chunk) == 0 &&
      LeftoverMayWait(slot))
    dirty_[slot] = true;
  const bool clean = !dirty_[slot];
  // Bytes left in the buffer and these may end in a channel answer (AA 4F … BB): the hold it
  // releases may be over, and a poll will say.
  if (settingsHold_ && !clean && chunk.find('\xBB') != std::string::npos) settingsUnsure_ = true;
  if (!(clean && intact) && exchange_ && !exchange_->ended && exchange_->slot == slot)
    (exchange_->uploaded ? exchange_->garbledLater : exchange_->garbled) = true;
  const auto b0 = static_cast<std::uint8_t>(frame[0]);
  // Anything but a whole frame read at once may leave bytes in the buffer for a while.
  // (A late answer read alone within a handheld's exchange is no answer there: its bytes stay
  // only while one of them may begin a frame, a 04 only once a confirmation is awaited.)
  auto mayBegin = [&](std::uint8_t b) {
    return b == 0x01 || b == 0x0A || b == 0xAA || b == 0xA5 || (b == 0x04 && exchange_->uploaded);
  };
  const bool lateAlone = chunk == frame && frame.size() == 3 && b0 == 0xA5 &&
                         InOpenExchangeOn(slot) && !mayBegin(static_cast<std::uint8_t>(frame[1])) &&
                         !mayBegin(static_cast<std::uint8_t>(frame[2]));
  // (A lone 04 on an empty buffer where no confirmation is awaited, in a poll's wait or in a
  // handheld's exchange whose request is incomplete or on another port, is dropped at once
  // and leaves nothing.)
  const bool noExchange = !exchange_ || exchange_->ended;
  const bool sureExchange =
      !noExchange && exchange_->byAnswer && !exchange_->disturbed && !MayHaveEnded(*exchange_);
  const bool lone04 = chunk == "\x04" && last && clean && !LeftoverMayWait(slot) &&
                      ((noExchange && pollSlot_ == slot && !answeredSincePoll_ &&
                        loop_.Now() - lastPollAny_ < kPollTick) ||
                       (sureExchange && (exchange_->slot != slot || !exchange_->uploaded)));
  if ((chunk != frame || !LooksWhole(chunk) || b0 == 0xA5) && !lateAlone && !lone04)
    leftoverAt_[slot] = loop_.Now();
  const bool a5 = last && frame.size() == 3 && b0 == 0xA5;
  if (downloadFrames_ && lastDataAt_ < 0) searchInterrupted_ = true;
  if (a5) deliveringA5_ = slot, deliveredA5_ = frame, cleanA5_ = clean;
  // A request-pending answer that names a station of no slot opens an exchange nothing on
  // the wire shows: the gateway waits for its packets until its acknowledgements give up.
  // Any byte 04 may begin a confirmation the gateway takes: the resending may end early.
  // So may a 04 still in the port's buffer, completed by whatever follows it in time.
  if (chunk.find('\x04') != std::string::npos) {
    for (Series& s : series_)
      if (!s.done && s.slot == slot) s.mayEnd = true;
    open04At_[slot] = loop_.Now();
  } else if (open04At_[slot] >= lastPollAny_ && open04At_[slot] >= 0) {
    for (Series& s : series_)
      if (!s.done && s.slot == slot) s.mayEnd = true;
  }
  const int exchangesBefore = exchanges_;
  const bool maybeAnswer =
      chunk.find('\xA5') != std::string::npos || (last && frame.find('\xA5') != std::string::npos);
  const bool answerPiece = !last && frame.size() == 3 && b0 == 0xA5;
  // The gateway awaits the answer to the poll it just sent this slot, and nothing has come
  // in its place: this answer, naming this slot's station, is the one. Judged as its first
  // piece arrives (the gateway may act on that piece already), checked with its last.
  const bool firstPiece =
      frame.compare(0, chunk.size() - (leadingNoise_ ? 1 : 0), chunk, leadingNoise_ ? 1 : 0) == 0;
  if (frame.size() == 3 && b0 == 0xA5 && firstPiece) {
    answerFrom_[slot] = exchanges_;
    answerAwaited_[slot] = clean && pollSlot_ == slot && !answeredSincePoll_ &&
                           loop_.Now() - lastPollAny_ < kPollTick &&
                           (!exchange_ || exchange_->ended) && !downloadHold_ && !settingsHold_ &&
                           !loading_ && loop_.Now() >= loadingUntil_ &&
                           loop_.Now() >= unseenUntil_ &&
                           static_cast<std::uint8_t>(frame[1]) == stations_[slot]->Id() &&
                           static_cast<std::uint8_t>(frame[2]) == polledHandheld_;
  }
  const bool awaited = a5 && clean && intact && answerAwaited_[slot] && !answeredSincePoll_ &&
                       !downloadHold_ && !settingsHold_ && !loading_ &&
                       loop_.Now() >= loadingUntil_;
  // (An answer's own first piece does not count against it; one behind a noise byte may
  // already be taken for an answer. Another port's answers nothing: an answer is taken only
  // on the port polled.)
  if (((maybeAnswer && slot == pollSlot_) || chunk.find('\xAA') != std::string::npos) &&
      !(answerPiece && slot == pollSlot_ && !leadingNoise_))
    answeredSincePoll_ = true;
  // A download acknowledgement stops the acknowledgements' repeating: such an exchange
  // lasts until its limit.
  if (chunk.find('\x0A') != std::string::npos && loop_.Now() < unseenUntil_)
    unseenUntil_ = std::max(unseenUntil_, unseenSince_ + kLimit + kRead + 4 * kPollTick + kSlack);
  // Whatever arrives may be answered at once: a repeat is only what comes with nothing
  // new in between.
  packetSinceAck_[slot] = true;
  // A whole packet of the exchange's handheld on a clean line while its upload runs is
  // answered at once, "OK" or "NO", with its own header.
  const bool packetDue = last && intact && clean && frame.size() == 57 && b0 == 0x01 &&
                         InOpenExchangeOn(slot) && !exchange_->uploaded &&
                         static_cast<std::uint8_t>(frame[1]) == exchange_->station &&
                         static_cast<std::uint8_t>(frame[2]) == exchange_->handheld;
  const int dueIn = packetDue ? exchange_->serial : 0;
  // (The gateway may wait inside, for a box or a file: its first acknowledgement counts.)
  const std::size_t acksBefore = acksDuring_[slot].size();
  ++watching_[slot];
  port->Receive(chunk);
  const std::string ack =
      acksDuring_[slot].size() > acksBefore ? acksDuring_[slot][acksBefore] : std::string();
  if (--watching_[slot] == 0) acksDuring_[slot].clear();
  if (packetDue && (ack.size() < 5 || ack.compare(1, 4, frame, 1, 4) != 0))
    Fail("packet " + std::to_string(static_cast<std::uint8_t>(frame[4])) + " of " +
         std::to_string(static_cast<std::uint8_t>(frame[3])) + " of handheld " +
         std::to_string(static_cast<std::uint8_t>(frame[2])) + " in exchange " +
         std::to_string(dueIn) + ", whole on a clean line, not acknowledged at once");
  if (awaited && (exchanges_ == answerFrom_[slot] ||
                  exchange_->handheld != static_cast<std::uint8_t>(frame[2])))
    Fail("the answer of handheld " + std::to_string(static_cast<std::uint8_t>(frame[2])) +
         " to its poll on slot " + std::to_string(slot) + " was not taken");
  // (An answer's first two bytes alone name their station: the exchange they may open is
  // on the wire.)
  const bool cutAnswer = frame.size() == 2 && b0 == 0xA5;
  if (maybeAnswer && !answerPiece && !cutAnswer && exchanges_ == exchangesBefore) {
    // Its repeated acknowledgements go nowhere, and anything that stops them (a download
    // acknowledgement) leaves it to its limit.
    unseenSince_ = loop_.Now();
    unseenUntil_ = std::max(unseenUntil_, loop_.Now() + kLimit + kRead + 4 * kPollTick + kSlack);
  }
  deliveringA5_ = 0;
  if (!last) return;
  if (downloadFrames_) HeardDownloadAcks(frame, clean && intact);
  // A damaged channel answer may still have an answer's shape, and the gateway takes it.
  const bool channelAnswer = frame.size() == 6 && b0 == 0xAA &&
                             static_cast<std::uint8_t>(frame[1]) == 0x4F &&
                             static_cast<std::uint8_t>(frame[5]) == 0xBB;
  if (!intact && !channelAnswer) return;
  if (b0 == 0x04 && frame.size() == 9 && clean) {
    // A confirmation on the port the reply goes out on ends its resending (the last send
    // has ended the exchange already).
    for (Series& s : series_)
      if (!s.done && !s.own && s.slot == slot && exchange_ && !exchange_->ended &&
          s.exchange == exchange_->serial && !s.confirmed && s.count < FullCount(s.interval)) {
        s.confirmed = true;
        exchange_->confirmedAt = loop_.Now();
        Log("confirmation the gateway must take, on slot " + std::to_string(slot));
      }
  } else if (channelAnswer) {
    // A station's channel answer starts polling again: a channel setting or a deletion
    // stops it only until then (a download holds it still). Only an answer in one piece
    // is sure to be taken.
    if (channelClick_) answeredDuringClick_ = true;
    // The answer restarts the polling timer: its next tick is a full interval away.
    if (runSince_ >= 0) runSince_ = loop_.Now();
    channelAnswerAt_ = loop_.Now();
    for (Millis& t : slotRunSince_) t = -1;
    if (settingsHold_ && !channelClick_) {
      if (chunk.size() == frame.size() && clean) {
        releasedAt_ = loop_.Now();
        settingsHold_ = settingsUnsure_ = false;
      } else {
        settingsUnsure_ = true;  // a poll will say
      }
    }
    if (!connected_[slot] && chunk.size() == frame.size()) {
      Log("slot " + std::to_string(slot) + " answered its channel");
      connected_[slot] = true;
      TurnsChanged();
      slotRunSince_[slot] = -1;
    }
  } else if (b0 == 0x0A && frame.size() == 5 && downloadHold_ && clean) {
    slotData_[slot].acked.insert(static_cast<std::uint8_t>(frame[2]));
  }
}

// The first packet of a request names its stamp; the last one is heard again when a
// letter asked for it (its "OK" lost on the way back), clean or garbled.
void World::SniffFromStation(int slot, const std::string& bytes) {
  if (bytes.size() != 57 || bytes[0] != 0x01) return;
  if (bytes[4] == 0x01) {
    const std::string stamp = bytes.substr(9, 6);
    const auto up = uploading_.find(slot * 256 + static_cast<std::uint8_t>(bytes[2]));
    auto it = up == uploading_.end() ? requests_.end() : requests_.find(up->second);
    if (it != requests_.end()) {
      it->second.stamp = stamp;
      stamps_[stamp] = it->first;
      uploading_[slot * 256 + static_cast<std::uint8_t>(bytes[2])] = it->first;
    }
  }
  if (bytes[4] == bytes[3] && repeatNext_) {
    std::string again = bytes;
    const bool garbled = repeatNext_ == 2;
    repeatNext_ = 0;
    if (garbled) again[static_cast<std::size_t>(Draw(7, 54))] ^= 0x20;
    // A handheld repeats its packet only while it waits for the answer.
    const int serial = exchanges_;
    After(Draw(100, 3000), [this, slot, again, serial] {
      if (!exchange_ || exchange_->ended || exchange_->serial != serial) return;
      Log("the last packet again on slot " + std::to_string(slot));
      ToGateway(slot, again, false);
    });
  }
}

void World::OnPoll(int slot, const std::string& bytes) {
  if (downloadHold_) Fail("poll on slot " + std::to_string(slot) + " during a download");
  if (settingsHold_ && !settingsUnsure_)
    Fail("poll on slot " + std::to_string(slot) +
         " while a channel setting or a deletion holds polling");
  if (settingsHold_) releasedAt_ = loop_.Now(), settingsHold_ = settingsUnsure_ = false;
  if (lastPollAny_ >= 0 && loop_.Now() - lastPollAny_ < kPollTick)
    Fail("polls " + std::to_string(loop_.Now() - lastPollAny_) + " ms apart");
  if (exchange_ && !exchange_->ended) {
    // An upload whose handheld fell silent ends when its acknowledgements have run their
    // course, not before.
    const WireExchange& e = *exchange_;
    if (e.byAnswer && !e.uploaded && !e.disturbed && e.slot == slot &&
        loop_.Now() < e.opened + kLimit && !MayHaveEnded(e) && !seriesAck_[slot].empty() &&
        ackCountMax_[slot] < kAckSeries)
      Fail("polling resumed after " + std::to_string(ackCountMax_[slot]) +
           " acknowledgements of the upload of handheld " + std::to_string(e.handheld));
    EndExchange("polling resumed");
  }
  const Millis round = loop_.Now() - lastPoll_[slot];
  lastPoll_[slot] = lastPollAny_ = loop_.Now();
  handheldPolled_[slot * 256 + static_cast<std::uint8_t>(bytes[2])] = loop_.Now();
  pollSlot_ = slot;
  polledHandheld_ = static_cast<std::uint8_t>(bytes[2]);
  if (std::exchange(crossTalk_, false) && slots_ > 1) {
    const std::string answer{'\xA5', static_cast<char>(stations_[slot]->Id()),
                             static_cast<char>(polledHandheld_)};
    const int other = OtherSlot(slot);
    After(1, [this, other, answer] { ToGateway(other, answer, false); });
  }
  answeredSincePoll_ = false;
  // Only while a handheld of the station has a request to answer a poll with.
  if (tickNoise_[slot] > 0 && stations_[slot] && !stations_[slot]->Idle()) {
    --tickNoise_[slot];
    NoiseBeforeNextPoll(slot, round);
  }
  ++result_.polls;
  if (options_.keepLog) Log("poll on slot " + std::to_string(slot));
  for (bool& d : dirty_) d = false;  // each tick empties what the ports left
  for (int n = 0; n < 5; ++n) lastAck_[n].clear(), seriesAck_[n].clear();
  EnterPhase(Phase::Polling);
}

// An exchange may have ended with a poll tick that sent nothing (a lost station's turn):
// after its limit, its confirmation (one that may have been taken counts), its own text
// or its last acknowledgement.
bool World::MayHaveEnded(const WireExchange& e) const {
  return loop_.Now() >= e.opened + kLimit || e.confirmedAt >= 0 || e.limitText ||
         e.lastAckAt >= 0 || e.mayHaveGivenUp ||
         std::any_of(series_.begin(), series_.end(), [&](const Series& s) {
           return s.exchange == e.serial && (s.mayEnd || s.count >= FullCount(s.interval));
         });
}

void World::OpenExchange(int slot, const std::string& ack, bool byAnswer) {
  if (exchange_ && !exchange_->ended) {
    // The old one may have ended with a poll tick that sent nothing (a lost station's
    // turn): after its limit, its confirmation, its own text or its last acknowledgement.
    const WireExchange& e = *exchange_;
    if (e.byAnswer && !e.disturbed && !MayHaveEnded(e))
      Fail("a request-pending answer opened an exchange inside the one of handheld " +
           std::to_string(e.handheld));
    EndExchange("overtaken");
  }
  previous_ = std::move(exchange_);
  exchange_ = std::make_unique<WireExchange>();
  exchange_->byAnswer = byAnswer;
  exchange_->serial = ++exchanges_;
  exchange_->slot = slot;
  exchange_->station = static_cast<std::uint8_t>(ack[1]);
  exchange_->handheld = static_cast<std::uint8_t>(ack[2]);
  exchange_->opened = loop_.Now();
  // A port reopened before the exchange took none of its acknowledgements away.
  ackOpenCount_[slot] = ports_[slot]->openCount;
  // Polling's turns start again after it, whether or not a check fell inside it.
  runSince_ = -1;
  for (Millis& t : slotRunSince_) t = -1;
  Log("exchange " + std::to_string(exchanges_) + " of " + std::to_string(exchange_->station) + "/" +
      std::to_string(exchange_->handheld) + " on slot " + std::to_string(slot));
  EnterPhase(Phase::RequestPending);
  const int serial = exchanges_;
  After(kLimit, [this, serial] {
    if (!exchange_ || exchange_->serial != serial || exchange_->ended) return;
    EnterPhase(Phase::AfterLimit);
    // The file it looked for, there but not to be opened, is read as empty at the first look
    // after the limit: whether or not its frame reaches the wire, the request is answered. A
    // file the host removes or replaces before that look is not that one.
    if (!lookingForFile_ || lookingIn_ != serial) return;
    const Millis look = lookFrom_ + 10 * ((loop_.Now() - lookFrom_) / 10 + 1);
    After(look - loop_.Now(), [this, serial] {
      if (exchange_ && exchange_->serial == serial && r1Unreadable_ && lookingForFile_ &&
          lookingIn_ == serial && !exchange_->token.empty())
        UnreadableReadAsEmpty();
    });
  });
}

void World::EndExchange(const char* why) {
  WireExchange& e = *exchange_;
  e.ended = true;
  for (Series& s : series_)
    if (!s.done && s.exchange == e.serial) EndSeries(s);
  series_.erase(
      std::remove_if(series_.begin(), series_.end(), [](const Series& s) { return s.done; }),
      series_.end());
  // A request handed to the host ends at its handheld: with the host's reply, or with the
  // text that there is none.
  if (!e.token.empty() && !e.disturbed && !framesTo_.count(e.token))
    Fail("request " + e.token + " was handed to the host and its handheld heard nothing (" + why +
         ")");
  runSince_ = loop_.Now();
}

void World::EndSeries(Series& s) {
  s.done = true;
  const int full = FullCount(s.interval);
  if (!s.own && !s.confirmed && !s.cut && !s.mayEnd && s.count != full)
    Fail("a reply frame of " + std::to_string(s.interval - 60) + " bytes went out " +
         std::to_string(s.count) + " times unconfirmed, not " + std::to_string(full));
}

void World::OnAck(int slot, const std::string& bytes) {
  // The answer at once to a request-pending answer opens an exchange; so does a first
  // "NO" that came while nothing was open (its answer damaged on the way).
  const bool first = bytes.substr(3, 4) == std::string("\x01\x01NO", 4);
  // A "NO" to a packet that the answer's bytes completed names another handheld.
  // Within an exchange that cannot have ended, an answer behind a fragment may only have
  // completed the fragment's packet: its "NO" opens nothing.
  const bool behindFragment = !cleanA5_ && exchange_ && !exchange_->ended && exchange_->byAnswer &&
                              !exchange_->disturbed && !MayHaveEnded(*exchange_);
  if (deliveringA5_ == slot && first && bytes.substr(1, 2) == deliveredA5_.substr(1, 2) &&
      !behindFragment) {
    // Only the handheld just polled, on the polled slot, opens an exchange by its answer.
    const auto named = static_cast<std::uint8_t>(deliveredA5_[2]);
    if (cleanA5_ && loop_.Now() - lastPollAny_ < kPollTick && FramesReach(pollSlot_) &&
        (slot != pollSlot_ || named != polledHandheld_))
      Fail("an exchange opened for the answer of handheld " + std::to_string(named) + " on slot " +
           std::to_string(slot) + ", while handheld " + std::to_string(polledHandheld_) +
           " on slot " + std::to_string(pollSlot_) + " was polled");
    // The same handheld's answer again is the same exchange, unless its confirmation was
    // taken or its reply's resends ran out: the poll tick after it may send nothing and
    // still take an answer.
    const int serial = exchange_ ? exchange_->serial : 0;
    const bool ranOut = std::any_of(series_.begin(), series_.end(), [&](const Series& s) {
      return s.exchange == serial && s.count >= FullCount(s.interval);
    });
    if (!exchange_ || exchange_->ended || !exchange_->byAnswer || exchange_->disturbed ||
        exchange_->confirmedAt >= 0 || ranOut || exchange_->slot != slot ||
        exchange_->handheld != static_cast<std::uint8_t>(bytes[2])) {
      // Behind bytes left in the buffer, the "NO" may be a completed fragment's refusal:
      // whether an exchange opened, and the old one ended, the wire cannot tell.
      if (!cleanA5_ && exchange_ && !exchange_->ended) exchange_->disturbed = true;
      // The same handheld's answer again within a disturbed exchange: the gateway may have
      // gone on with that one, whose limit comes first.
      const bool same = exchange_ && !exchange_->ended && exchange_->disturbed &&
                        exchange_->slot == slot &&
                        exchange_->handheld == static_cast<std::uint8_t>(bytes[2]);
      const Millis before = same ? exchange_->opened : -1;
      OpenExchange(slot, bytes, true);
      if (!cleanA5_) exchange_->disturbed = exchange_->behindBytes = true;
      if (before >= 0) exchange_->limitFrom = before;
    }
  } else if (first && (!exchange_ || exchange_->ended)) {
    OpenExchange(slot, bytes, false);
  }
  const Millis now = loop_.Now();
  // Each acknowledgement on the exchange's port empties its buffer (the packet it answers, or
  // the repeater's tick): what a lost piece left there is gone.
  if (InOpenExchangeOn(slot)) BufferEmptied(slot);
  ackSentAt_[slot] = now;
  if (watching_[slot] > 0) acksDuring_[slot].push_back(bytes);
  // Repeats sent while the gateway had the port closed went nowhere, uncounted here.
  if (ports_[slot]->openCount != ackOpenCount_[slot]) {
    lastAck_[slot].clear();
    if (exchange_ && !exchange_->ended && exchange_->slot == slot) exchange_->mayHaveGivenUp = true;
  }
  ackOpenCount_[slot] = ports_[slot]->openCount;
  if (bytes == lastAck_[slot] && !packetSinceAck_[slot]) {
    const Millis gap = now - lastAckAt_[slot];
    const Millis late = StallIn(lastAckAt_[slot], now) + kSlack;
    if (gap < kAckRepeat || gap > kAckRepeat + late)
      Fail("acknowledgement repeated after " + std::to_string(gap) + " ms");
    if (++ackCount_[slot] > kAckSeries)
      Fail("acknowledgement sent " + std::to_string(ackCount_[slot]) + " times");
    if (ackCount_[slot] == kAckSeries && exchange_ && !exchange_->ended) exchange_->lastAckAt = now;
  } else {
    ackCount_[slot] = 1;
  }
  // The gateway's count starts again only with an acknowledgement sent at once, before a
  // repeat was due; it counts a handheld's acknowledgements whatever they say. An answer to
  // another handheld's packet leaves the exchange's series alone.
  std::string& series = seriesAck_[slot];
  const bool foreign =
      exchange_ && !exchange_->ended && static_cast<std::uint8_t>(bytes[2]) != exchange_->handheld;
  // A "NO" to a damaged packet names the station its bytes say; the repeats name the
  // station polled. A port has one station: the handheld is what tells series apart.
  const bool same = !series.empty() && bytes[2] == series[2];
  if (same && now - seriesAt_[slot] >= kAckRepeat)
    ++ackCountMax_[slot];
  else if (!foreign)
    ackCountMax_[slot] = 1;
  if (same || !foreign) series = bytes, seriesAt_[slot] = now;
  if (ackCountMax_[slot] >= kAckSeries && exchange_ && !exchange_->ended)
    exchange_->mayHaveGivenUp = true;
  lastAck_[slot] = bytes;
  lastAckAt_[slot] = now;
  packetSinceAck_[slot] = false;
  if (bytes[5] == 'O' && bytes[6] == 'K') {
    const auto total = static_cast<std::uint8_t>(bytes[3]),
               index = static_cast<std::uint8_t>(bytes[4]);
    if (index < 1 || index > total)
      Fail("\"OK\" for packet " + std::to_string(index) + " of " + std::to_string(total));
    if (exchange_ && !exchange_->ended) {
      if (index == total) exchange_->uploaded = true;
      EnterPhase(Phase::Upload);
    }
  }
}

// An answer behind bytes left in the buffer may only have completed their packet: a frame
// of the exchange before, to the request it handed over, shows the gateway went on with it,
// unless the new one took a request of its own (the same request again has the same stamp).
void World::GoneOnWith(int slot, const sim::ReplyFrame& frame) {
  if (!exchange_->behindBytes || exchange_->uploaded || !exchange_->token.empty() || !previous_ ||
      previous_->serial != exchange_->serial - 1 || previous_->token.empty() ||
      previous_->slot != slot || previous_->station != frame.station ||
      previous_->handheld != frame.handheld)
    return;
  const auto byStamp = stamps_.find(frame.stamp);
  if (byStamp == stamps_.end() || byStamp->second != previous_->token) return;
  Log("the answer behind bytes opened no exchange: exchange " + std::to_string(previous_->serial) +
      " goes on");
  previous_->ended = false;
  exchange_ = std::move(previous_);
}

void World::OnReplyFrame(int slot, const std::string& bytes) {
  std::string error;
  auto frame = sim::ParseReplyFrame(bytes, &error);
  if (!frame) Fail("reply frame the handheld cannot read: " + error + " " + BytesToHex(bytes));
  if (!exchange_ || exchange_->ended) Fail("reply frame outside an exchange: " + BytesToHex(bytes));
  GoneOnWith(slot, *frame);
  WireExchange& e = *exchange_;
  if (slot != e.slot || frame->station != e.station || frame->handheld != e.handheld)
    Fail("reply frame for " + std::to_string(frame->station) + "/" +
         std::to_string(frame->handheld) + " on slot " + std::to_string(slot) +
         " in the exchange of " + std::to_string(e.station) + "/" + std::to_string(e.handheld));
  auto byStamp = stamps_.find(frame->stamp);
  if (byStamp == stamps_.end() && (e.garbled || e.garbledLater)) {
    // Its packets met other bytes on the line, and what the gateway put together still
    // passed the packets' checks: no gateway can tell such a request from the one sent.
    if (!e.token.empty()) ++framesTo_[e.token];
    GarbledTaken(e, "a text to a request garbled on the line whose checks still held");
    return;
  }
  if (byStamp == stamps_.end()) Fail("reply with a stamp of no request: " + BytesToHex(bytes));
  const Request& owner = requests_.at(byStamp->second);
  if (owner.handheld != frame->handheld || owner.station != frame->station)
    Fail("reply for request " + owner.token + " addressed to handheld " +
         std::to_string(frame->handheld));
  const Millis now = loop_.Now();
  // The same frame again: the resending's pace and count.
  for (Series& s : series_) {
    if (s.done || s.slot != slot || s.bytes != bytes) continue;
    if (s.confirmed) Fail("reply to " + owner.token + " sent again after its confirmation");
    const Millis expected = s.count == 1 ? 2 * s.interval : s.interval;
    const Millis gap = now - s.last;
    if (!s.cut && gap < expected)
      Fail("the reply to " + owner.token + " went out again " + std::to_string(gap) +
           " ms after its last send, before its resend was due at " + std::to_string(expected) +
           " ms: the same reply started anew");
    if (!s.cut && gap > expected + kSlack + StallIn(s.last, now))
      Fail("reply resent after " + std::to_string(gap) + " ms, not " + std::to_string(expected));
    if (++s.count > FullCount(s.interval))
      Fail("reply frame of " + std::to_string(bytes.size()) + " bytes sent " +
           std::to_string(s.count) + " times");
    s.last = now;
    return;
  }
  // A new reply in the exchange (the host corrected its reply) replaces the one resent.
  for (Series& s : series_)
    if (!s.done && s.slot == slot) {
      s.cut = s.cut || (s.exchange == e.serial && !s.own);
      EndSeries(s);
    }
  Series s;
  s.bytes = bytes;
  s.slot = slot;
  s.exchange = e.serial;
  s.first = s.last = now;
  s.interval = static_cast<Millis>(bytes.size()) + 60;
  s.count = 1;
  s.cut = e.disturbed;
  ++framesTo_[owner.token];
  const std::string text = frame->text;
  const std::string utf8 = GbkToUtf8(text);
  // A reply frame at the moment the read falls due may be that read's own; a host's reply
  // before it shows the gateway read sooner (a signal the model took for one after a read
  // the gateway never made).
  const bool hostsText = text.starts_with("TOKEN") || utf8 == kEmptyText;
  if (lookReadDue_)
    LookRead();  // the gateway's look found the file first
  else if (!modelReads_.empty() && (*modelReads_.begin() <= now || hostsText))
    ReadDue(*modelReads_.begin());
  if (text.starts_with("TOKEN")) {
    // The host's reply: for the request the host meant it for, byte for byte as written.
    const std::size_t hash = text.find('#');
    const int serial = hash == std::string::npos ? 0 : std::atoi(text.c_str() + hash + 1);
    if (!WriteOf(serial))
      Fail("a reply text the host never wrote, or wrote long ago: " + utf8.substr(0, 40));
    HostWrite& w = *WriteOf(serial);
    HostReplyReached(w, owner);
    // The reply's code is the one its first line names.
    if (w.kind < 0 || frame->code != 0x4C + w.kind)
      Fail("reply " + std::to_string(w.serial) + " (" + w.firstLine + ") sent with code " +
           Hex2(frame->code));
    if (w.empty || text != w.text)
      Fail("reply text differs from R1.txt: sent " + BytesToHex(text.substr(0, 60)) + ", written " +
           BytesToHex(w.text.substr(0, 60)));
    e.hostText = true;
    ++result_.replies;
    EnterPhase(Phase::ReplyOut);
  } else if (frame->code != 0x4D) {
    Fail("the gateway's own text sent with code " + Hex2(frame->code) + ": " + utf8);
  } else if (utf8 == kEmptyText) {
    HostWrite* empty = nullptr;
    for (HostWrite& w : writes_)
      if (w.empty && w.sentTo == owner.token) empty = &w;
    // A file that cannot be opened is looked at again until the limit, then read as empty.
    if (!empty && r1Unreadable_ && now >= e.opened + kLimit && !e.token.empty())
      empty = UnreadableReadAsEmpty();
    if (!empty)
      Fail("the empty-reply text reached request " + owner.token +
           ", which no empty reply of the host's answers");
    HostReplyReached(*empty, owner);
    e.hostText = true;
    ++result_.replies;
  } else if (utf8 == kLimitText) {
    if (!e.uploaded) Fail("the no-reply text to " + owner.token + ", whose upload never completed");
    if (now < (e.limitFrom >= 0 ? e.limitFrom : e.opened) + kLimit)
      Fail("the no-reply text to " + owner.token + " " + std::to_string(now - e.opened) +
           " ms after its request-pending answer, before the limit");
    if (e.hostText)
      Fail("the no-reply text to " + owner.token + " after the host's reply reached it");
    e.limitText = true;
    s.own = true;
    ++result_.noReplyTexts;
    if (firstExchangeFailure_ < 0) firstExchangeFailure_ = now;
  } else {
    Fail("a reply text nobody wrote: " + utf8.substr(0, 60));
  }
  series_.push_back(s);
}

// Acknowledgement records in what a station sent: each one counts for its handheld's row
// on the slot of the station it names. Bytes that met others in the port's buffer, or were
// damaged, may have been read as anyone's record.
void World::HeardDownloadAcks(const std::string& frame, bool sure) {
  if (frame.find('\x0A') == std::string::npos) return;
  if (!sure) {
    for (auto& [s, d] : slotData_) d.unsure = true;
    return;
  }
  for (std::size_t i = 0; i + 5 <= frame.size() && frame[i] == '\x0A'; i += 5)
    for (int s = 1; s <= slots_; ++s)
      if (stations_[s] && stations_[s]->Id() == static_cast<std::uint8_t>(frame[i + 1]))
        slotData_[s].heard.insert(static_cast<std::uint8_t>(frame[i + 2]));
}

// A station's packet was passed: every ticked handheld had acknowledged it since its first
// sending, or it went out its six times.
void World::PacketPassed(int slot, const std::string& which) {
  const SlotData& d = slotData_[slot];
  const auto& selected = selected_[slot];
  const auto heard = std::count_if(selected.begin(), selected.end(),
                                   [&](std::uint8_t h) { return d.heard.count(h) > 0; });
  // The check for handhelds that stopped answering may have run since its last frame.
  const bool stall = stallChecked_ || dataFrames_ >= kStallFrames;
  if (!stall && !downloadDisturbed_ && !d.unsure && d.sends < kPacketRetries &&
      heard < static_cast<long>(selected.size()))
    Fail(which + " on slot " + std::to_string(slot) + " passed after " + std::to_string(d.sends) +
         " sends, acknowledged by " + std::to_string(heard) + " of " +
         std::to_string(selected.size()));
}

void World::OnSearch(int slot, const std::string& bytes) {
  if (!downloadFrames_)
    Fail("a search frame on slot " + std::to_string(slot) + " outside a download");
  auto search = sim::ParseSearchFrame(bytes);
  if (!search) Fail("a search frame the stations cannot read: " + BytesToHex(bytes));
  if (search->handhelds != selected_[slot])
    Fail("a search frame on slot " + std::to_string(slot) + " for other handhelds than the ticked");
  EnterPhase(Phase::DownloadSearch);
}

// Data frames: after the search, paced, and a packet sent again only while a handheld of
// its station has not acknowledged it, at most six times.
void World::OnData(int slot, const std::string& bytes) {
  if (!downloadFrames_)
    Fail("a data frame on slot " + std::to_string(slot) + " outside a download");
  auto data = sim::ParseDataFrame(bytes);
  if (!data) Fail("a data frame the stations cannot read: " + BytesToHex(bytes));
  BuffersCleared();  // when the packet before was passed
  const Millis now = loop_.Now();
  if (now < downloadStarted_ + kSearchPhase - kSlack)
    Fail("a data frame " + std::to_string(now - downloadStarted_) + " ms into the search");
  if (lastDataAt_ >= 0 && now - lastDataAt_ < lastDataPace_)
    Fail("data frames " + std::to_string(now - lastDataAt_) + " ms apart, not " +
         std::to_string(lastDataPace_));
  // The first data frame: the search ends, and the count of frames toward the check for
  // handhelds that stopped answering starts again, unless data arrived during the search.
  if (lastDataAt_ < 0 && !searchInterrupted_) dataFrames_ = 0, countUnsure_ = false;
  for (const auto& [s, handhelds] : selected_)
    if (!handhelds.empty() && !FramesReach(s)) countUnsure_ = true;
  if (countUnsure_) stallChecked_ = true;
  if (dataFrames_ >= kStallFrames) {
    dataFrames_ -= kStallFrames;
    stallChecked_ = true;
  }
  const std::string key{static_cast<char>(data->table), static_cast<char>(data->index >> 8),
                        static_cast<char>(data->index & 0xFF)};
  // The packet goes out as the table's image holds it, the image's last packet the last.
  if (auto image = files_->Read(MenuTableInfo(data->table).packedFile)) {
    const std::size_t size = image->size(), from = std::size_t{data->index} * kPacketBytes;
    const std::size_t last = size == 0 ? 0 : (size - 1) / kPacketBytes;
    if (data->lastIndex != last)
      Fail("table " + std::to_string(data->table) + " sent as packets 0 to " +
           std::to_string(data->lastIndex) + ", its image of " + std::to_string(size) +
           " bytes has 0 to " + std::to_string(last));
    std::string part = from < size ? image->substr(from, kPacketBytes) : std::string();
    part.resize(kPacketBytes, '\xFF');
    if (data->payload != part)
      Fail("data packet " + std::to_string(data->index) + " of table " +
           std::to_string(data->table) + " differs from its image");
  }
  SlotData& d = slotData_[slot];
  const auto& selected = selected_[slot];
  if (d.packet != key) {
    if (!d.packet.empty()) PacketPassed(slot, "the packet before " + std::to_string(data->index));
    d.heard.clear();
    d.unsure = false;
    // A packet's first sending empties its port's buffer: the acknowledgements to it are
    // read on a clean line.
    BufferEmptied(slot);
  }
  d.at = now;
  if (d.packet == key && !stallChecked_ && !downloadDisturbed_) {
    if (!selected.empty() && std::all_of(selected.begin(), selected.end(),
                                         [&](std::uint8_t h) { return d.acked.count(h) > 0; }))
      Fail("data packet " + std::to_string(data->index) + " on slot " + std::to_string(slot) +
           " sent again after every handheld acknowledged it");
    if (++d.sends > kPacketRetries)
      Fail("data packet " + std::to_string(data->index) + " sent " + std::to_string(d.sends) +
           " times");
  } else {
    d.packet = key;
    d.sends = 1;
  }
  Log("data frame on slot " + std::to_string(slot) + ": table " + std::to_string(data->table) +
      " packet " + std::to_string(data->index) + "/" + std::to_string(data->lastIndex) + ", send " +
      std::to_string(d.sends) + ", acknowledged by " + std::to_string(d.acked.size()) + " of " +
      std::to_string(selected.size()));
  d.acked.clear();
  ++dataFrames_;
  ++result_.downloads;
  lastDataAt_ = now;
  lastDataPace_ = 310 + 30 * static_cast<Millis>(selected.size()) + (data->lastIndex == 0 ? 20 : 0);
  EnterPhase(Phase::DownloadData);
}

// ---------------------------------------------------------------------------------------
// The host

void World::HostReceives(const ol::HostMessage& m) {
  if (m.message != kHostMessage || m.wparam != 1 || m.lparam != 1) return;
  const LocalDateTime t = loop_.LocalTime();
  if (const int day = DayOf(t); day != toldDay_) {
    dayEdge_ = toldDay_ >= 0 && t.hour == 0 && t.minute == 0 && t.second == 0;
    toldDay_ = day;
    hostTold_ = 0;
  }
  ++hostTold_;
  const std::optional<std::string> file = files_->Read("T1.txt");
  if (!file) Fail("the host was told of a request without T1.txt");
  const std::vector<std::string> lines = SplitLines(*file);
  // An empty file: the request of a kind with no record, of the handheld uploading.
  const auto byUpload = exchange_ && !exchange_->ended
                            ? uploading_.find(exchange_->slot * 256 + exchange_->handheld)
                            : uploading_.end();
  if (file->empty() && byUpload == uploading_.end())
    Fail("the host was told of a request with an empty T1.txt outside an upload");
  if (!file->empty() && lines.size() < 2)
    Fail("the host was told of a request with no record: " + *file);
  // The handheld uploading sent it (a waiter who asked the same again sent the same bytes).
  const bool garbled = exchange_ && !exchange_->ended && exchange_->garbled;
  const bool uploaded =
      byUpload != uploading_.end() &&
      (file->empty() || requests_.at(byUpload->second).payload.starts_with(lines[1].substr(0, 4)));
  std::string token = uploaded ? byUpload->second : lines[1].substr(0, 4);
  // (Or its packets met other bytes on the line and still passed their checks: then its
  // record may begin with anything.)
  if (!uploaded && garbled && byUpload != uploading_.end() && !requests_.count(token))
    token = byUpload->second;
  auto it = requests_.find(token);
  // What the handheld sent, whole: the record is rebuilt here from the request as queued.
  const std::string expected = it == requests_.end()
                                   ? std::string()
                                   : ExpectedRecord(it->second.kind, it->second.handheld,
                                                    it->second.payload, it->second.stamp);
  // Bytes that met others on the line after the upload, as a packet whose checks still held
  // (a fragment waiting through the host's turn, completed by the confirmation's pieces):
  // the gateway takes it for a new request of the handheld's, as any gateway would. (What
  // equals a request sent is no garbling, and judged as such.)
  if (exchange_ && !exchange_->ended && exchange_->garbledLater && !exchange_->token.empty() &&
      (it == requests_.end() || *file != expected))
    return GarbledTaken(*exchange_,
                        "T1.txt holds bytes garbled on the line after the upload, their checks "
                        "still held");
  if (it == requests_.end()) Fail("T1.txt holds no request of this run: " + *file);
  const Request& r = it->second;
  if (*file != expected && garbled) {
    GarbledTaken(*exchange_,
                 "T1.txt holds request " + token + " garbled on the line, its checks still held");
  } else if (*file != expected) {
    std::size_t at = 0;
    while (at < file->size() && at < expected.size() && (*file)[at] == expected[at]) ++at;
    Fail("T1.txt for request " + token + " differs from what handheld " +
         std::to_string(r.handheld) + " sent, from byte " + std::to_string(at) + ": " +
         BytesToHex(file->substr(at, 16)) + " instead of " + BytesToHex(expected.substr(at, 16)));
  }
  if (!exchange_ || exchange_->ended || exchange_->handheld != r.handheld ||
      exchange_->station != r.station)
    Fail("request " + token + " handed to the host outside its handheld's exchange");
  if (exchange_->token == token)
    Fail("request " + token + " handed to the host twice in one exchange");
  if (++it->second.handovers > it->second.lastPacketSends)
    Fail("request " + token + " handed to the host " + std::to_string(it->second.handovers) +
         " times, its handheld sent it " + std::to_string(it->second.lastPacketSends));
  exchange_->token = token;
  ++result_.dispatched;
  EnterPhase(Phase::WithHost);
  exchange_->handedOver = loop_.Now();
  oracle_.HandedOver({token, exchange_->serial, r.kind, r.handheld, loop_.Now()});
  Log("host has " + token + " (" + sim::kCodeNames[static_cast<std::size_t>(r.kind)] + "), " +
      std::to_string(oracle_.Count()) + " owed");
  hostQueue_.push_back(token);
  ++requests_.at(token).hostRefs;
  HostWork();
}

// The host answers in order, one request at a time.
void World::HostWork() {
  if (hostWorking_ || hostQueue_.empty() || loop_.Now() < hostBusyUntil_) return;
  const std::string token = hostQueue_.front();
  hostQueue_.pop_front();
  if (skipNext_) {
    skipNext_ = false;
    Log("host skips " + token);
    --requests_.at(token).hostRefs;
    return HostWork();
  }
  Shape shape = nextShape_.value_or(Chance(plainShare_) ? Shape::Plain : defaultShape_);
  nextShape_.reset();
  const Millis delay = nextDelay_ >= 0 ? nextDelay_ : Draw(20, 2500);
  nextDelay_ = -1;
  const bool twice = twiceNext_, again = againNext_;
  twiceNext_ = againNext_ = false;
  hostWorking_ = true;
  if (twice) ++requests_.at(token).hostRefs;
  After(delay, [this, token, shape, twice, again] {
    HostWrites(token, shape, false);
    if (twice) After(Draw(400, 3000), [this, token] { HostWrites(token, Shape::Header, true); });
    if (again) After(Draw(50, 1500), [this, token] { HostWritesAgain(token); });
  });
}

// A host unsure that its reply was read writes the same file again and signals: the
// gateway reads it as a new file, and the handheld hears the reply as before.
void World::HostWritesAgain(const std::string& token) {
  // A write and a read falling due in the same millisecond reach the gateway in either
  // order: the host writes a moment later, as it signals.
  if (ReadDueNow()) return After(1, [this, token] { HostWritesAgain(token); });
  const HostWrite* w = WriteOf(fileWrite_);
  const std::optional<std::string> file = files_->Read("R1.txt");
  if (!w || w->token != token || r1Unreadable_ || !file) return;
  files_->Write("R1.txt", *file);
  lastReadId_.clear();
  Signal("reply " + std::to_string(w->serial) + " again, unchanged");
}

void World::HostWrites(const std::string& token, Shape shape, bool corrected) {
  if (loop_.Now() < nextReplyAt_)
    return After(nextReplyAt_ - loop_.Now(), [=, this] { HostWrites(token, shape, corrected); });
  nextReplyAt_ = loop_.Now() + kHostReplySpacing;
  Request& r = requests_.at(token);
  --r.hostRefs;
  HostWrite w;
  // Replies long read and settled are forgotten.
  while (!writes_.empty() && writes_.front().serial != fileWrite_ &&
         (writes_.front().mustArrive < 0 || writes_.front().arrived) &&
         loop_.Now() - writes_.front().signalled > kKeepFinished) {
    writes_.pop_front();
    ++writesBase_;
  }
  w.serial = writesBase_ + static_cast<int>(writes_.size()) + 1;
  w.token = token;
  w.station = r.station;
  w.handheld = r.handheld;
  std::string name = sim::kCodeNames[static_cast<std::size_t>(r.kind)];
  auto padded = [](std::string n) {
    n.resize(5, ' ');
    return n;
  };
  w.kind = r.kind;
  switch (shape) {
    case Shape::Header:
    case Shape::Unreadable:
      w.firstLine = HeaderName(r.kind) + ZeroPad(r.handheld, 3);
      break;
    case Shape::Plain:
      w.firstLine = name;
      break;
    case Shape::Empty:
      break;
    case Shape::UnknownName:
      w.firstLine = Chance(50) ? "ZZ" : "ZZ   " + ZeroPad(r.handheld, 3);
      break;
    case Shape::OtherKind: {
      w.kind = (r.kind + Draw(1, 31)) % 32;
      w.firstLine = HeaderName(w.kind) + ZeroPad(r.handheld, 3);
      break;
    }
    case Shape::OtherHandheld: {
      int h = r.handheld;
      if (numbers_.size() > 1)
        while (h == r.handheld)
          h = *std::next(numbers_.begin(), Draw(0, static_cast<int>(numbers_.size()) - 1));
      w.firstLine = HeaderName(r.kind) + ZeroPad(h, 3);
      break;
    }
    case Shape::TableNumber: {
      // One to three digits, as the host writes them; shorter ones may equal a handheld's
      // number, three never do.
      const int width = Draw(1, 3);
      const int below = width == 1 ? 10 : width == 2 ? 100 : 1000;
      std::vector<int> handhelds;
      for (int h : numbers_)
        if (h < below) handhelds.push_back(h);
      int n;
      if (width < 3 && !handhelds.empty() && Chance(50))
        n = handhelds[static_cast<std::size_t>(Draw(0, static_cast<int>(handhelds.size()) - 1))];
      else
        do n = Draw(0, below - 1);
        while (width == 3 && numbers_.count(n));
      w.firstLine = padded(name) + ZeroPad(n, width);
      break;
    }
  }
  // Told nothing of the request's kind, the host names one of its own choice.
  if (EmptyRecord(r.kind) && (shape == Shape::Header || shape == Shape::OtherKind ||
                              shape == Shape::OtherHandheld || shape == Shape::TableNumber)) {
    w.kind = Draw(0, 31);
    w.firstLine = sim::kCodeNames[static_cast<std::size_t>(w.kind)];
    shape = Shape::Plain;
  }
  w.empty = shape == Shape::Empty || shape == Shape::Unreadable;
  w.knownName = shape != Shape::UnknownName;
  if (w.empty || !w.knownName) w.kind = -1;
  std::vector<std::string> body{"TOKEN" + token + "#" + std::to_string(w.serial) +
                                (corrected ? " corrected" : "")};
  if (Chance(30)) body.back() += Utf8ToGbk("，菜已下单");
  if (Chance(10)) {
    // A two-byte character that begins on the frame's last byte.
    body.push_back(std::string(kReplyTextMax - 1 - 4 - body.front().size(), 'x'));
    body.push_back(Utf8ToGbk("请稍候"));
  } else {
    if (Chance(30)) body.push_back(std::string(static_cast<std::size_t>(Draw(1, 900)), 'x'));
    if (Chance(30)) body.push_back(Utf8ToGbk("请稍候"));
  }
  const std::string text = JoinCrLf(body);
  // Cut to what a reply frame carries, never in the middle of a two-byte character.
  std::size_t cut = 0;
  while (cut < text.size()) {
    const std::size_t next = cut + (static_cast<std::uint8_t>(text[cut]) >= 0x81 ? 2 : 1);
    if (next > kReplyTextMax) break;
    cut = next;
  }
  w.text = text.substr(0, cut);
  files_->FailReads("R1.txt", shape == Shape::Unreadable);
  r1Unreadable_ = shape == Shape::Unreadable;
  // An unreadable file is looked at again, as a missing one, until the host replaces it.
  fileId_ = shape == Shape::Unreadable ? std::string() : std::to_string(w.serial);
  fileWrite_ = w.serial;
  files_->Write("R1.txt", shape == Shape::Empty ? std::string() : w.firstLine + "\r\n" + text);

  w.header = shape == Shape::Header;
  w.signalled = loop_.Now();
  writes_.push_back(w);
  // The gateway looks for a file it was told of every 10 ms, until the exchange's limit.
  const bool looking = LookRuns();
  if (lookingForFile_) {
    lookingForFile_ = false;
    if (looking) {
      lookReadDue_ = true;
      After(10, [this] { LookRead(); });
    }
  }
  Signal("reply " + std::to_string(w.serial) + " to " + token + ": " +
         (shape == Shape::Empty ? std::string("empty") : w.firstLine) +
         (shape == Shape::Unreadable ? ", unreadable" : "") + "");
  if (!corrected) {
    hostWorking_ = false;
    HostWork();
  }
}

void World::Signal(const std::string& why) {
  // A signal and a read falling due in the same millisecond reach the gateway in either
  // order, and the read answers the signal only in one: the host signals a moment later.
  if (ReadDueNow()) {
    After(1, [this, why] { Signal(why); });
    return;
  }
  if (!why.empty()) Log("host signals (" + why + ")");
  host_.Post(kOwn, kHostMessage, 0, 1);
  // The gateway reads R1.txt 120 ms after a signal, when it owes a reply or one is awaited;
  // one read however often the host signals meanwhile, answering the last signal.
  // (An exchange whose reply has gone out its last time awaits nothing: the last send ended it.)
  const bool waiting = exchange_ && !exchange_->ended && !exchange_->token.empty() &&
                       exchange_->confirmedAt < 0 && !ReplyRanOut();
  if (!oracle_.Owes() && !waiting) {
    // The gateway logs the file as a late reply at once: it counts as read.
    if (!fileId_.empty()) lastReadId_ = fileId_;
    return;
  }
  modelSignalledAt_ = loop_.Now();
  // While the gateway looks for a file it was told of, its next look reads what comes, and
  // so does the look that is to read the file just written.
  if (LookRuns() || lookReadDue_) return;
  // The read due is for the first exchange awaiting a reply at any signal before it. Past its
  // limit an exchange awaits one only while the host's reply is out: else the gateway ended
  // it at the limit, or kept it for a read already due.
  const bool inTime = waiting && (loop_.Now() < exchange_->opened + kLimit ||
                                  std::any_of(series_.begin(), series_.end(), [&](const Series& s) {
                                    return s.exchange == exchange_->serial && !s.own && !s.done;
                                  }));
  const int awaiting = inTime ? exchange_->serial : 0;
  // A disturbed exchange, or one a confirmation or its reply's resends may have ended: whether
  // the gateway still held it open the wire cannot tell.
  const bool unsure = inTime && (exchange_->disturbed || MayHaveEnded(*exchange_));
  // A signal at the very moment a read falls due reaches the gateway after that read (its
  // message waits in the queue): it starts the next one.
  if (!modelReads_.empty() && *modelReads_.rbegin() > loop_.Now()) {
    if (readFor_ == 0) readFor_ = awaiting, readForUnsure_ = unsure;
    return;
  }
  readFor_ = awaiting;
  readForUnsure_ = unsure;
  const Millis due = loop_.Now() + kRead;
  modelReads_.insert(due);
  After(kRead, [this, due] { ReadDue(due); });
}

// The gateway looks for a file it was told of every 10 ms from the read that missed it,
// until a look after the exchange's limit (a signal at that look's moment reaches it first).
bool World::LookRuns() const {
  if (!lookingForFile_ || !exchange_ || exchange_->ended || exchange_->serial != lookingIn_)
    return false;
  const Millis limit = exchange_->opened + kLimit;
  return loop_.Now() <= lookFrom_ + 10 * ((limit - lookFrom_) / 10 + 1);
}

// The gateway looks for a file it was told of every 10 ms: this model reads it once, 10 ms
// after it was written, or when a reply frame shows the gateway's look found it first.
void World::LookRead() {
  if (!std::exchange(lookReadDue_, false)) return;
  ModelRead(true, true);  // a look starts only within the limit, and runs on past it
}

// The gateway's read and this model's fall due at the same moment, in either order: a
// reply frame that comes first brings the model's read forward.
void World::ReadDue(Millis due) {
  if (modelReads_.erase(due) == 0) return;
  lastReadDue_ = due;
  // A read the signal made before the limit runs on past it.
  ModelRead(false, exchange_ && due - kRead <= exchange_->opened + kLimit);
}

// A reply of the host's reached the waiter of owner's request: the one the rule gave it to
// when the gateway read it. A reply naming a handheld reaches no other; one naming nobody,
// or naming that handheld and kind, that the host meant for another request is a case no
// gateway can tell apart.
void World::HostReplyReached(HostWrite& w, const Request& owner) {
  const bool otherHandheld = w.named && *w.named != owner.handheld;
  if (w.sentTo != owner.token && (w.sure || otherHandheld))
    Fail(std::string("the host's reply ") + std::to_string(w.serial) + " to request " + w.token +
         " (" + (w.firstLine.empty() ? std::string("empty") : w.firstLine) + ") reached handheld " +
         std::to_string(owner.handheld) + " of station " + std::to_string(owner.station) +
         " for request " + owner.token + ", which it does not answer" +
         (w.sentTo.empty() ? std::string(" (it answers none awaited)")
                           : ", request " + w.sentTo + " awaited it"));
  if (w.token != owner.token && !w.arrived) {
    ++result_.unnamedToWaiter;
    Log("the host's reply " + std::to_string(w.serial) + " to " + w.token +
        (w.named ? ", naming its handheld," : ", naming nobody,") + " reached the waiter of " +
        owner.token + " of the same kind");
  }
  w.arrived = true;
}

HostWrite* World::UnreadableReadAsEmpty() {
  HostWrite* w = WriteOf(fileWrite_);
  const WireExchange& e = *exchange_;
  if (!w || !w->sentTo.empty()) return w;
  if (lastReadId_ == kUnreadable) return nullptr;  // as the last file read: nothing new
  const Request& r = requests_.at(e.token);
  const ReplyOracle::Request awaited{e.token, e.serial, r.kind, r.handheld, e.handedOver};
  w->sentTo = oracle_.Unnamed(-1, loop_.Now(), &awaited).answers;
  lastReadId_ = kUnreadable;
  return w;
}

// What the gateway must make of R1.txt as it reads it: whose reply it is, and whether the
// handheld waiting now must hear it.
void World::ModelRead(bool looked, bool pendingAtLimit) {
  const bool waiting = exchange_ && !exchange_->ended && !exchange_->token.empty();
  // A read looks again for a missing or unopenable file only for the exchange that awaited a
  // reply at a signal before it, and only while that exchange is still the one awaiting (the
  // last send of its reply ends it).
  const bool forWaiter = waiting && !ReplyRanOut() && (looked || readFor_ == exchange_->serial);
  const bool lookUnsure = !looked && readForUnsure_;
  if (!looked) readFor_ = 0, readForUnsure_ = false;
  // A file that cannot be opened is read as empty when the read looks for no waiter, or once
  // the exchange's limit has passed (its own text may still be going out).
  const bool pastLimit = exchange_ && loop_.Now() >= exchange_->opened + kLimit;
  const std::string fileId =
      fileId_.empty() && r1Unreadable_ && (!forWaiter || pastLimit) ? kUnreadable : fileId_;
  if (fileId.empty()) {
    // Past the limit a read that misses the file ends the exchange instead.
    lookingForFile_ = forWaiter && loop_.Now() < exchange_->opened + kLimit;
    lookingIn_ = lookingForFile_ ? exchange_->serial : 0;  // the look ends with its exchange
    // A look that goes on keeps its 10 ms steps; only a read that starts one sets them.
    if (!looked) lookFrom_ = loop_.Now();
    return;
  }
  if (fileId == lastReadId_) return;  // nothing new
  lastReadId_ = fileId;
  HostWrite& w = *WriteOf(fileWrite_);
  if (!w.knownName) return;  // answers nothing; the host may yet correct it
  // Its first line as the rule reads it: a header line of a request handed over names that
  // request's handheld; anything else names none.
  std::optional<int> named;
  if (!w.empty) {
    const std::string head = HeaderName(w.kind);
    if (w.firstLine.size() == 8 && w.firstLine.starts_with(head) &&
        w.firstLine.find_first_not_of("0123456789", 5) == std::string::npos &&
        oracle_.Asked(w.kind, std::stoi(w.firstLine.substr(5))))
      named = std::stoi(w.firstLine.substr(5));
  }
  // Past the limit the gateway awaits no reply for the exchange unless the host's reply is
  // out, whether or not its end reached the wire.
  const bool expired = exchange_ && loop_.Now() >= exchange_->opened + kLimit && !pendingAtLimit &&
                       std::none_of(series_.begin(), series_.end(), [&](const Series& s) {
                         return s.exchange == exchange_->serial && !s.own && !s.done;
                       });
  // Confirmed, or its reply's resends run out, it awaits nothing; a confirmation it may
  // have taken leaves that open.
  bool closed = waiting && exchange_->confirmedAt >= 0, mayBeClosed = false;
  for (const Series& s : series_)
    if (waiting && s.exchange == exchange_->serial && !s.own) {
      closed = closed || s.count >= FullCount(s.interval);
      mayBeClosed = mayBeClosed || s.mayEnd;
    }
  std::optional<ReplyOracle::Request> awaited;
  if (waiting && !expired && !closed) {
    const Request& r = requests_.at(exchange_->token);
    awaited =
        ReplyOracle::Request{r.token, exchange_->serial, r.kind, r.handheld, exchange_->handedOver};
  }
  const ReplyOracle::Verdict v =
      named ? oracle_.Named(w.kind, *named, modelSignalledAt_, awaited ? &*awaited : nullptr)
            : oracle_.Unnamed(w.kind, modelSignalledAt_, awaited ? &*awaited : nullptr);
  w.named = named;
  // A file that could not be opened, read as empty here, the gateway may instead look at again
  // until the host replaces it.
  w.sure = v.sure && !mayBeClosed && !(lookUnsure && fileId == kUnreadable);
  // (A request handed over earlier in the same exchange is its waiter's too.)
  if (v.toAwaited) w.sentTo = awaited->token;
  // The same reply again: the one being resent is it.
  if (v.toAwaited)
    for (const Series& s : series_)
      if (!s.done && !s.own && s.exchange == exchange_->serial)
        if (const auto out = sim::ParseReplyFrame(s.bytes, nullptr))
          w.arrived =
              w.arrived || (w.empty ? out->code == 0x4D && out->text == Utf8ToGbk(kEmptyText)
                                    : out->code == 0x4C + w.kind && out->text == w.text);
  // In time and undisturbed, it must arrive.
  if (v.toAwaited && w.sure && !w.arrived && !looked && !exchange_->disturbed &&
      loop_.Now() + 300 < exchange_->opened + kLimit) {
    w.mustArrive = loop_.Now() + 300;
    ++result_.livenessChecked;
  }
  Log("the gateway reads reply " + std::to_string(w.serial) + (named ? " naming " : "") +
      (named ? std::to_string(*named) : "") + ": " +
      (v.answers.empty() ? std::string("no request's") : v.answers + "'s") +
      (v.sure ? "" : ", unsure") + (v.toAwaited ? ", to be sent" : ", not sent") +
      (w.mustArrive >= 0 ? ", must reach its handheld" : ""));
}

// ---------------------------------------------------------------------------------------
// Checks

// Every capture is a whole pcapng file of the recorder's records, and those made after a
// failure come at most one per quiet time.
void World::CheckCaptures() {
  if (captureFailuresTold_ > captureTroubles_)
    Fail("capture failure told " + std::to_string(captureFailuresTold_) + " times for " +
         std::to_string(captureTroubles_) + " troubles");
  auto folder = files_->MemoryFolder("capture");
  // Only the files written since the last check: the folder holds hours of them.
  std::vector<std::pair<std::string, Millis>> written;
  {
    const std::lock_guard lock(captureWritesMutex_);
    written.swap(captureWrites_);
  }
  for (const auto& [name, writtenAt] : written) {
    if (!folder->Exists(name) || !capturesSeen_.insert(name).second) continue;
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
    if (name.ends_with("-failure.pcapng")) {
      // A stalled loop delays a capture's timer: the one before may have come late.
      const Millis since = writtenAt - lastFailureCapture_;
      if (since < Captures::kQuiet - StallIn(lastFailureCapture_ - Captures::kAfter, writtenAt))
        Fail("captures after failures " + std::to_string(since) + " ms apart");
      lastFailureCapture_ = writtenAt;
    }
  }
  // The first failed exchange is captured by itself a minute later, unless the folder
  // failed; a stalled loop runs the capture's timer that much later.
  if (firstExchangeFailure_ >= 0 && captureTroubles_ == 0 && lastFailureCapture_ < 0 &&
      loop_.Now() - firstExchangeFailure_ >
          Captures::kAfter + 2 * kCheckEvery + StallIn(firstExchangeFailure_, loop_.Now()))
    Fail("no capture after the failed exchange at " + std::to_string(firstExchangeFailure_));
}

// Polling runs whenever nothing holds it: every tick while a station is connected and no
// exchange, download, channel setting or deletion is on; every connected station in its
// turn; and an exchange holds it no longer than its rules allow.
void World::CheckPolling() {
  const Millis now = loop_.Now();
  int live = 0;
  for (int s = 1; s <= slots_; ++s) live += FramesReach(s) && !emptied_[s];
  if (exchange_ && !exchange_->ended) {
    for (Millis& t : slotRunSince_) t = -1;
    const WireExchange& e = *exchange_;
    // Polling resumes with the next station in turn; lost ones take theirs silently.
    const Millis firstPoll = (1 + slots_ - live) * kPollTick + kSlack;
    Millis due = e.opened + kLimit + kRead + firstPoll;
    for (const Series& s : series_)
      if (!s.done && s.exchange == e.serial) {
        const int full = FullCount(s.interval);
        const Millis end =
            s.own ? s.first : s.first + (full > 1 ? (full - 1) * s.interval + s.interval : 0);
        due = std::max(due, end + s.interval + firstPoll);
      }
    if (e.confirmedAt >= 0)
      due = e.confirmedAt + firstPoll;
    else if (e.lastAckAt >= 0)
      due = e.lastAckAt + firstPoll;
    // Held by the operator meanwhile, it resumes when the hold ends; a channel answer
    // restarts the polling timer's interval.
    due = std::max(due, std::max(releasedAt_, turnsChangedAt_) + firstPoll);
    if (channelAnswerAt_ > e.opened) due = std::max(due, channelAnswerAt_ + firstPoll);
    due += StallIn(e.opened, now);
    // Under a hold, or disturbed, it ends when polling is seen again.
    // With no station connected no poll can show its end.
    if (now > due && live == 0 && !e.disturbed) {
      EndExchange("with no station to poll");
      return;
    }
    // An answer in noise may have opened an exchange of the gateway's on a port whose
    // frames nobody sees; it ends in its own time.
    if (now > due && !downloadHold_ && !settingsHold_ && !e.disturbed && !loading_ &&
        now >= loadingUntil_ && now >= unseenUntil_)
      Fail("the exchange of " + std::to_string(e.station) + "/" + std::to_string(e.handheld) +
           " opened at " + std::to_string(e.opened) + " still holds polling" +
           (e.confirmedAt >= 0 ? " after its confirmation" : ""));
    return;
  }
  const bool any = live > 0;
  if (downloadHold_ || settingsHold_ || !any || loading_ || now < loadingUntil_ ||
      now < unseenUntil_) {
    runSince_ = -1;
    for (Millis& t : slotRunSince_) t = -1;
    return;
  }
  if (runSince_ < 0) runSince_ = now;
  // A load's turns are silent for stations whose handhelds it has not filled in yet, and
  // a check may not run while a click's waits are nested: the count starts after it.
  const Millis quiet = now - std::max({lastPollAny_, runSince_, loadingUntil_});
  // A station that is lost or never answered still takes its turn, sending nothing.
  if (quiet > (1 + slots_ - live) * kPollTick + kSlack + StallIn(now - quiet, now))
    Fail("no poll for " + std::to_string(quiet) + " ms while nothing holds polling");
  for (int s = 1; s <= slots_; ++s) {
    if (!FramesReach(s) || emptied_[s]) {
      slotRunSince_[s] = -1;
      continue;
    }
    if (slotRunSince_[s] < 0) slotRunSince_[s] = std::max(runSince_, now - kCheckEvery);
    const Millis gap = now - std::max(lastPoll_[s], slotRunSince_[s]);
    if (gap > 4 * kPollTick + kSlack + StallIn(now - gap, now))
      Fail("slot " + std::to_string(s) + " not polled for " + std::to_string(gap) + " ms");
    // And each of its handhelds in the station's turns, one after the other.
    const auto count = static_cast<Millis>(handheldsOf_[s].size());
    for (std::uint8_t h : handheldsOf_[s]) {
      const Millis quietFor = now - std::max(handheldPolled_[s * 256 + h], slotRunSince_[s]);
      if (quietFor > count * 4 * kPollTick + kSlack + StallIn(now - quietFor, now))
        Fail("handheld " + std::to_string(h) + " on slot " + std::to_string(s) +
             " not polled for " + std::to_string(quietFor) + " ms");
    }
  }
}

void World::Check() {
  Gateway& g = *gw_;
  if (g.Form()["Memo1"].LineCount() > ReceivePath::kMemoMaxLines) Fail("monitor log unbounded");
  if (loop_.ActiveTimers() > 200) Fail("timers pile up: " + std::to_string(loop_.ActiveTimers()));
  if (loop_.WaitDepth() > kWaitDepthLimit)
    Fail("waits nest " + std::to_string(loop_.WaitDepth()) + " deep");
  Monitor& monitor = g.GetMonitor();
  if (monitor.Log().Lines().size() > TrafficLog::kMaxLines) Fail("decoded view unbounded");
  CheckCaptures();
  if (monitor.JournalFailuresReported() > journalTroubles_)
    Fail("journal failure reported " + std::to_string(monitor.JournalFailuresReported()) +
         " times for " + std::to_string(journalTroubles_) + " troubles");
  for (int n = 1; n <= 5; ++n)
    if (ports_[n]) ports_[n]->TakeSent();
  for (int slot = 1; slot <= slots_; ++slot) {
    if (pluggedBackAt_[slot] < 0) continue;
    if (reloadedSinceUnplug_[slot] || StationStatus(g.Form(), slot).Text() != kNotConnected) {
      pluggedBackAt_[slot] = -1;
    } else if (g.Setup().Loading()) {
      // A load reopens the ports itself; the reopening waits for it, however long a box
      // inside one of its waits keeps it from ending.
      pluggedBackAt_[slot] = loop_.Now();
    } else if (loop_.Now() - pluggedBackAt_[slot] > kRecoveryLimit) {
      Fail("slot " + std::to_string(slot) + " not back " +
           std::to_string(loop_.Now() - pluggedBackAt_[slot]) + " ms after its device returned");
    }
  }
  CheckPolling();
  // A reply the host echoed the header for, or the only one it owed, written in time.
  for (HostWrite& w : writes_) {
    if (w.mustArrive < 0 || w.arrived) continue;
    const bool disturbed = exchange_ && exchange_->token == w.token && exchange_->disturbed;
    if (disturbed) {
      w.mustArrive = -1;
    } else if (loop_.Now() > w.mustArrive + StallIn(w.signalled, loop_.Now())) {
      Fail("the host's reply " + std::to_string(w.serial) + " to " + w.token + " of handheld " +
           ZeroPad(w.handheld, 3) + " (" +
           (w.empty && w.firstLine.empty() ? std::string("empty") : w.firstLine) +
           "), written at " + std::to_string(w.signalled) +
           " within the exchange, never reached its handheld");
    }
  }
}

// Nothing is under way: no exchange, no host work, no operator, every handheld idle and
// every reply that had to arrive arrived.
bool World::Settled() const {
  if ((exchange_ && !exchange_->ended) || !hostQueue_.empty() || hostWorking_ || operatorBusy_ ||
      downloadFrames_ || settingsHold_ || Modal() || loop_.Now() < loadingUntil_ ||
      loop_.Now() < unseenUntil_ + 1000)
    return false;
  for (const Series& s : series_)
    if (!s.done) return false;
  for (const HostWrite& w : writes_)
    if (w.mustArrive >= 0 && !w.arrived) return false;
  for (int n = 1; n <= slots_; ++n)
    if (!stations_[n]->Idle()) return false;
  return lastPollAny_ >= 0 && loop_.Now() - lastPollAny_ < 1000;
}

void World::FinalCheck() {
  // The board counts every request the host was told of today, neither more nor fewer.
  const std::uint64_t counted = gw_->GetMonitor().GetBoard().TotalRequests();
  // (The board starts a day at its first event after midnight.)
  const bool newDay = DayOf(loop_.LocalTime()) != toldDay_;
  if (counted != hostTold_ && !(dayEdge_ && counted + 1 == hostTold_) && !(newDay && counted == 0))
    Fail("the board counts " + std::to_string(counted) + " requests handed to the host today, " +
         "the host was told of " + std::to_string(hostTold_));
  result_.maxWaitDepth = loop_.MaxWaitDepth();
}

SimResult World::Run() {
  result_.letters.assign(kAlphabetSize, 0);
  try {
    DrawWeights();
    BuildInstallation();
    StartGateway();
    std::function<void()> check = [&] {
      Check();
      After(kCheckEvery, check);
    };
    After(kCheckEvery, check);
    std::function<void()> hour = [&] {
      options_.everyHour(loop_.Now());
      After(3600 * 1000, hour);
    };
    if (options_.everyHour) After(3600 * 1000, hour);
    After(1, [this] { NextLetter(); });
    After(options_.schedule ? Draw(100, 1000) : Draw(100, 3000), [this] { Background(); });
    if (options_.schedule) {
      // Until the bytes run out, then the settling time.
      while ((scheduling_ || loop_.Now() < kBackgroundAtLeast) && loop_.Now() < options_.duration)
        loop_.Advance(250);
      scheduling_ = false;
      // Then until everything under way has ended, within the settling time: a fuzzer's
      // input costs what it plays, not a fixed stretch of idle polling.
      const Millis end = loop_.Now() + options_.settle;
      while (!Settled() && loop_.Now() < end) loop_.Advance(250);
    } else {
      After(options_.duration, [this] { scheduling_ = false; });
      loop_.Advance(options_.duration + options_.settle);
    }
    FinalCheck();
  } catch (const Broken& b) {
    result_.ok = false;
    result_.failure = b.what;
  }
  result_.simulated = loop_.Now();
  result_.boxes = boxes_.shown;
  if (gw_) result_.journalFailures = gw_->GetMonitor().JournalFailuresReported();
  result_.log.assign(std::make_move_iterator(log_.begin()), std::make_move_iterator(log_.end()));
  return std::move(result_);
}

}  // namespace

SimResult RunCycleSimulation(const SimOptions& options) {
  World world(options);
  return world.Run();
}

std::vector<std::string> AlphabetNames() {
  std::vector<std::string> names;
  for (const Letter& l : kAlphabet) names.emplace_back(l.name);
  return names;
}

}  // namespace ol::testing
