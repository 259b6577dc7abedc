#include "harness.h"

#include <unistd.h>

#include <array>
#include <functional>

#include "gateway/activity_log.h"
#include "gateway/reply_file.h"
#include "gateway/reply_relay.h"

namespace ol::fuzz {
namespace {

std::string Byte(const std::string& bytes, std::size_t i) {
  return BytesToHex(bytes.substr(i, 1));
}

bool CheckAt(const std::string& bytes, std::size_t end) {
  return BytesToHex(bytes.substr(end, 2)) == FrameCheck(BytesToHex(bytes.substr(0, end)));
}

// Why a reply frame is broken; its text goes to text when it is not.
std::string ReplyFault(const std::string& b, std::string* text = nullptr) {
  if (b.size() < 9 + 6 + 1 + 2 + 4) return "reply frame too short";
  if (b.substr(3, 4) != std::string("\x55\x55\x55\x00", 4))
    return "reply frame without 55 55 55 00";
  const std::size_t length =
      static_cast<unsigned char>(b[7]) * 256u + static_cast<unsigned char>(b[8]);
  const std::size_t timeBytes = b[15] == '\x4C' ? 6 : 0;
  if (9 + length + timeBytes + 4 != b.size()) return "reply length field does not match the frame";
  if (static_cast<unsigned char>(b[15]) < 0x4C || static_cast<unsigned char>(b[15]) >= 0x4C + 32)
    return "reply code outside the table";
  if (!CheckAt(b, b.size() - 2)) return "reply frame check";
  const std::size_t bodyStart = 16 + timeBytes;
  const std::size_t bodyEnd = b.size() - 4;
  if (BytesToHex(b.substr(bodyEnd, 2)) !=
      FrameCheck(BytesToHex(b.substr(bodyStart, bodyEnd - bodyStart))))
    return "reply text check";
  // The text, AA BB and the padding: p spaces when 220 < n < 250, else none.
  const std::size_t body = bodyEnd - bodyStart;
  auto endsAt = [&](std::size_t n) {
    if (n + 2 > body || b.substr(bodyStart + n, 2) != "\xAA\xBB") return false;
    const std::size_t p = (n > 220 && n < 250) ? 250 - n : 0;
    if (n + 2 + p != body) return false;
    return b.substr(bodyStart + n + 2, p) == std::string(p, ' ');
  };
  std::size_t n = body - 2;
  bool found = endsAt(n);
  for (std::size_t k = 221; !found && k < 250; ++k)
    if (endsAt(k)) found = true, n = k;
  if (!found) return "reply text not followed by AA BB and its padding";
  if (n > ReplyRelay::kMaxReplyText) return "reply text longer than 812 bytes";
  if (text) *text = b.substr(bodyStart, n);
  return {};
}

}  // namespace

std::optional<std::string> ReplyText(const std::string& hex) {
  std::string text;
  if (!ReplyFault(HexToBytes(hex), &text).empty()) return std::nullopt;
  return text;
}

std::string FrameFault(const std::string& hex, bool auxiliary) {
  if (hex.empty() || hex.size() % 2 != 0) return "odd or empty hex text";
  const std::string b = HexToBytes(hex);
  const auto first = static_cast<unsigned char>(b[0]);
  if (auxiliary) {
    if (b.size() == 5 && hex.rfind("AA49FF", 0) == 0 && b[4] == '\xBB' &&
        static_cast<unsigned char>(b[3]) < 64)
      return {};
    return "unknown frame on the auxiliary port";
  }
  if (hex == "AA400000BB") return {};
  switch (first) {
    case 0xAA:
      return b.size() == 5 && CheckAt(b, 3) ? "" : "poll frame";
    case 0x02:
      if (b.size() != 9 || !CheckAt(b, 7)) return "acknowledgement frame";
      return b.substr(5, 2) == "OK" || b.substr(5, 2) == "NO" ? "" : "acknowledgement text";
    case 0x03:
      return ReplyFault(b);
    case 0x0A:
      if (b.size() == 139 && b[2] == 0) return CheckAt(b, 137) ? "" : "data frame check";
      if (b.size() < 6) return "search frame too short";
      if (b.size() != 4u + static_cast<unsigned char>(b[3]) + 2u) return "search frame length";
      return CheckAt(b, b.size() - 2) ? "" : "search frame check";
    default:
      return "unknown frame " + Byte(b, 0);
  }
}

void CheckLogs(Gateway& gw, std::uint64_t* activitySeen) {
  FormModel& form = gw.Form();
  Require(form["Memo1"].LineCount() <= ReceivePath::kMemoMaxLines, "monitor log over its lines");
  const Control& memo6 = form["Memo6"];
  Require(memo6.LineCount() <= ActivityLog::kMaxLines, "activity log over its lines");
  if (!activitySeen || *activitySeen != memo6.Version()) {
    std::size_t bytes = 0;
    for (const auto& line : memo6.Lines()) bytes += line.size() + 2;
    Require(bytes <= ActivityLog::kMaxBytes, "activity log over its bytes");
    if (activitySeen) *activitySeen = memo6.Version();
  }
  const auto logFile = gw.Txt().ReadPrefix("logfile.txt", 0);
  Require(!logFile || logFile->size <= ActivityLog::kMaxBytes, "logfile.txt over its bytes");
  Require(form["Memo4"].LineCount() <= kReplyReadLimit, "reply view over its bound");
  for (int slot = 1; slot <= 4; ++slot)
    Require(gw.Handheld().Receive().Accumulator(slot).size() <= ReceivePath::kAccumulatorLimit,
            "receive accumulator unbounded");
}

const std::filesystem::path& FreshTxtFolder() {
  static const std::filesystem::path dir = [] {
    auto d =
        std::filesystem::temp_directory_path() / ("orderlink-fuzz-" + std::to_string(getpid()));
    std::filesystem::create_directories(d);
    return d;
  }();
  static const std::filesystem::path txt = dir / "TXT";
  std::filesystem::remove_all(txt);
  std::filesystem::create_directories(txt);
  return txt;
}

GatewayRig::GatewayRig(const std::string& jz, const std::string& dcj) {
  files->Write("JZ.txt", jz);
  files->Write("DCJ.txt", dcj);
  GatewayWorld world{
      loop,
      link,
      boxes,
      [this](int n) {
        auto port = std::make_unique<testing::FakePort>(&loop, n);
        ports[n] = port.get();
        port->onSend = [this, n](const std::string& hex) {
          if (hex == "AA400000BB" && n <= 4)
            loop.Post([this, n] { ports[n]->ReceiveHex("AA4F00" + IntToHex(3 + n) + "00BB"); });
        };
        return port;
      },
      {},
      [] {
        return std::vector<std::string>{"ttyS0", "ttyS1"};
      }};
  world.txtStore = files;
  world.journalThread = false;  // one input, one run: no thread to start and stop
  gw = std::make_unique<Gateway>(std::move(world));
  WindowHooks& w = gw->Window();
  w.show = [] {};
  w.hide = [] {};
  w.minimise = [] {};
  w.close = [] {};
  w.trayAvailable = [] { return true; };
  w.setTrayVisible = [](bool) {};
  gw->Announce(kHost);
  gw->FormCreate();
  Settle();
}

GatewayRig::~GatewayRig() = default;

bool GatewayRig::RequestFromHandheld5() {
  const std::size_t posted = hub.PostedTo(kHost).size();
  for (int i = 0; i < 200; ++i) {
    Advance(10);
    const auto& sent = ports[1]->Sent();
    if (!sent.empty() && sent.back().rfind("AA0105", 0) == 0) break;
  }
  ports[1]->ReceiveHex("A50105");
  std::string p = "0101050101000000210102030405064C";
  p += BytesToHex("1234567890ABCDEFGHIJKLMN") + "11223344";
  p.resize(110, '0');
  ports[1]->ReceiveHex(p + FrameCheck(p));
  Settle();
  return hub.PostedTo(kHost).size() > posted;
}

namespace {

// Frames already found good, for the short ones (polls, channel queries) that the gateway
// sends over and over. A fixed table of strings short enough to need no allocation of
// their own: libFuzzer takes memory kept from one input to the next for a leak, and
// would run the input again to find it.
class KnownFrames {
 public:
  bool Has(const std::string& hex) const {
    if (hex.size() > kMaxHex) return false;
    for (std::size_t i = Hash(hex), n = 0; n < kSize && !table_[i].empty();
         i = (i + 1) % kSize, ++n)
      if (table_[i] == hex) return true;
    return false;
  }
  void Add(const std::string& hex) {
    if (hex.empty() || hex.size() > kMaxHex || used_ >= kSize / 2) return;
    std::size_t i = Hash(hex);
    while (!table_[i].empty()) i = (i + 1) % kSize;
    table_[i] = hex;
    ++used_;
  }

 private:
  static constexpr std::size_t kSize = 512;
  static constexpr std::size_t kMaxHex = 15;  // within std::string's own buffer
  static std::size_t Hash(const std::string& hex) { return std::hash<std::string>{}(hex) % kSize; }
  std::array<std::string, kSize> table_;
  std::size_t used_ = 0;
};

}  // namespace

void GatewayRig::CheckFrames() {
  static KnownFrames known[2];  // station ports, auxiliary port
  for (int n = 1; n <= 5; ++n) {
    if (!ports[n]) continue;
    const auto& sent = ports[n]->Sent();
    KnownFrames& good = known[n == 5];
    for (; seen_[n] < sent.size(); ++seen_[n], ++framesChecked) {
      const std::string& frame = sent[seen_[n]];
      // A resent reply is the frame sent just before it.
      if (frame == lastGood_[n] || good.Has(frame)) continue;
      std::string fault = FrameFault(frame, n == 5);
      if (!fault.empty()) Fail("frame on port " + std::to_string(n) + ": " + fault, frame);
      good.Add(frame);
      lastGood_[n] = frame;
    }
  }
}

void GatewayRig::Settle() {
  loop.RunPending();
  CheckFrames();
  CheckLogs(*gw, &activitySeen_);
}

void GatewayRig::Advance(Millis ms) {
  // In steps, so that the checks see the frames of every tick.
  while (ms > 0) {
    const Millis step = std::min<Millis>(ms, 500);
    loop.Advance(step);
    ms -= step;
    CheckFrames();
    CheckLogs(*gw, &activitySeen_);
  }
}

bool GatewayRig::OnlyRepeats() {
  if (gw->Ended() || gw->Handheld().CurrentExchange().Busy() || gw->Setup().Loading()) return false;
  FormModel& form = gw->Form();
  for (const char* t : {"Timer3", "Timer4", "Timer5", "Timer6", "Timer7", "Timer8"})
    if (form.TimerNamed(t).Running()) return false;
  // The timers that may run: polling, the clock, the hider, and the reopening of a vanished
  // device that is still away; nothing else (no relay, query or capture wait).
  std::size_t allowed = 0;
  for (const char* t : {"ComTimer", "Timer1", "Timer2"}) allowed += form.TimerNamed(t).Running();
  const StationRecovery& recovery = gw->Setup().Recovery();
  bool lost = false;
  for (int slot = 1; slot <= 4; ++slot) {
    if (recovery.Awaiting(slot) || (recovery.Lost(slot) && ports[slot] && !ports[slot]->failOpen))
      return false;
    lost = lost || recovery.Lost(slot);
  }
  return loop.ActiveTimers() == allowed + (lost ? 1 : 0);
}

void GatewayRig::Finish(Millis ms) {
  while (ms > 0 && !OnlyRepeats()) {
    const Millis step = std::min<Millis>(ms, 500);
    Advance(step);
    ms -= step;
  }
}

}  // namespace ol::fuzz
