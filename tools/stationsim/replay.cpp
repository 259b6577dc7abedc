#include "stationsim/replay.h"

#include <algorithm>
#include <map>
#include <memory>

#include "gateway/hex.h"
#include "stationsim/frames.h"

namespace ol::sim {
namespace {

const std::string_view kChannelQuery("\xAA\x40\x00\x00\xBB", 5);

bool IsChannelQuery(std::string_view f) {
  return f == kChannelQuery;
}
bool IsPoll(std::string_view f) {
  return f.size() == 5 && Byte(f, 0) == 0xAA && !IsChannelQuery(f) &&
         !(Byte(f, 1) == 0x49 && Byte(f, 2) == 0xFF);
}

// What kind of frame it is, by its first bytes: frames of one kind are compared as
// versions of each other, frames of different kinds are an extra and a missing one.
int KindOf(std::string_view f) {
  if (f.empty()) return -1;
  if (IsChannelQuery(f)) return 0x100;
  if (Byte(f, 0) == 0xAA) return IsPoll(f) ? 0x101 : 0x102;
  return Byte(f, 0);
}

// Length of the frame that starts the bytes, by its layout alone (checks are compared, not
// trusted): 0 while it is not whole, npos when no frame starts with this byte.
std::size_t FrameLength(std::string_view b) {
  constexpr std::size_t kNone = std::string_view::npos;
  std::size_t n = 0;
  switch (Byte(b, 0)) {
    case 0xAA:
      n = 5;
      break;
    case 0x02:
      n = 9;
      break;
    case 0x03: {
      if (b.size() < 16) return 0;
      const std::size_t length = static_cast<std::size_t>(Byte(b, 7)) << 8 | Byte(b, 8);
      if (length < 9 || length > 1100) return kNone;
      n = ReplyFrameLength(b);
      break;
    }
    case 0x0A:
      if (b.size() < 4) return 0;
      n = Byte(b, 2) == 0 ? 139 : 6 + Byte(b, 3);
      break;
    default:
      return kNone;
  }
  return b.size() >= n ? n : 0;
}

// Bytes of the gateway's frames that differ from run to run by nature: the frame kind
// (first byte, and the byte at codeAt when it is given), the masked range, and whether the
// last check value covers it. The request stamp a reply echoes is no such field: the
// replay sends the captured requests, stamps and all.
struct Tolerance {
  std::uint8_t first;
  std::size_t codeAt;
  std::uint8_t code;
  std::size_t from, to;  // bytes [from, to)
};
constexpr Tolerance kTolerances[] = {
    // A reply of index 0 carries the gateway's local date and time.
    {0x03, 15, 0x4C, 16, 22},
};

constexpr Millis kPartialFrame = 100;       // a frame still not whole after this is taken as is
constexpr Millis kPollGrace = 500;          // polls this soon after the answers may cross them
constexpr std::size_t kMaxUnframed = 2048;  // above the longest frame, a reply

}  // namespace

std::string NormalisedFrame(std::string f) {
  for (const Tolerance& t : kTolerances) {
    if (f.size() < t.to + 4 || Byte(f, 0) != t.first || Byte(f, t.codeAt) != t.code) continue;
    const std::size_t last = f.size() - 2;
    const auto written = static_cast<std::uint16_t>(Byte(f, last) << 8 | Byte(f, last + 1));
    const auto error =
        static_cast<std::uint16_t>(written - Sum16(std::string_view(f).substr(0, last)));
    std::fill(f.begin() + static_cast<long>(t.from), f.begin() + static_cast<long>(t.to), '\0');
    f.replace(last, 2, CheckBytes(error));
  }
  return f;
}

ReplayScript ScriptFromCapture(const PcapngFile& capture) {
  std::map<std::size_t, std::vector<const PcapngPacket*>> byInterface;
  for (std::size_t i = 0; i < capture.packets.size(); ++i) {
    const PcapngPacket& p = capture.packets[i];
    const std::string where =
        "packet " + std::to_string(i + 1) + " (pcapng offset " + std::to_string(p.offset) + ")";
    if (!p.direction) throw ReplayError(where + " does not say whether it was read or written");
    if (capture.interfaces[p.interface].linkType != kCaptureLinkType)
      throw ReplayError(where + " is of link type " +
                        std::to_string(capture.interfaces[p.interface].linkType) +
                        ", not the gateway's " + std::to_string(kCaptureLinkType));
    byInterface[p.interface].push_back(&p);
  }
  ReplayScript script;
  for (const PcapngPacket& p : capture.packets)
    if (&p == capture.packets.data() || p.micros < script.startMicros)
      script.startMicros = p.micros;
  for (auto& [iface, packets] : byInterface) {
    std::stable_sort(
        packets.begin(), packets.end(),
        [](const PcapngPacket* a, const PcapngPacket* b) { return a->micros < b->micros; });
    ReplayPort port;
    port.name = capture.interfaces[iface].name;
    std::size_t skipped = 0;
    for (const PcapngPacket* p : packets) {
      const std::size_t number = static_cast<std::size_t>(p - capture.packets.data()) + 1;
      if (*p->direction == FlightRecorder::Direction::Out &&
          (!port.steps.empty() || IsChannelQuery(p->bytes) || IsPoll(p->bytes))) {
        port.steps.push_back({p->bytes, p->micros, number, {}, false});
      } else if (*p->direction == FlightRecorder::Direction::In && !port.steps.empty()) {
        ReplayStep& s = port.steps.back();
        s.answers.push_back({std::max<Millis>(0, (p->micros - s.micros) / 1000), p->bytes});
      } else {
        ++skipped;
      }
    }
    for (ReplayStep& s : port.steps) s.idlePoll = IsPoll(s.frame) && s.answers.empty();
    if (skipped > 0)
      script.notes.push_back("port " + port.name + ": " + std::to_string(skipped) +
                             " packet(s) before its first channel query or poll left out");
    if (!port.steps.empty()) script.ports.push_back(std::move(port));
  }
  return script;
}

Replayer::Replayer(EventLoop& loop, ReplayScript script, Options options, Output out)
    : loop_(loop),
      script_(std::move(script)),
      options_(std::move(options)),
      out_(std::move(out)),
      ports_(script_.ports.size()) {
  bool any = false;
  for (std::size_t p = 0; p < script_.ports.size(); ++p) {
    for (const ReplayStep& s : script_.ports[p].steps) {
      if (IsPoll(s.frame)) ports_[p].polls.insert(s.frame);
      if (!any || s.micros < firstMicros_) firstMicros_ = s.micros;
      any = true;
    }
  }
  tick_ = loop_.StartTimer(20, [this] { Tick(); });
  loop_.Post([this] { CheckDone(); });
}

Replayer::~Replayer() {
  if (tick_) loop_.StopTimer(tick_);
  for (EventLoop::TimerId id : timers_) loop_.StopTimer(id);
}

void Replayer::Receive(std::size_t port, std::string_view bytes) {
  if (port >= ports_.size() || done_) return;
  PortState& s = ports_[port];
  s.buffer += bytes;
  s.bufferSince = loop_.Now();
  while (!s.buffer.empty()) {
    const std::size_t n = FrameLength(s.buffer);
    if (n == 0 || n == std::string_view::npos) break;  // the tick takes it once quiet
    const std::string frame = s.buffer.substr(0, n);
    s.buffer.erase(0, n);
    Frame(port, frame);
  }
  // Garbage that never pauses is taken in pieces rather than kept.
  if (s.buffer.size() > kMaxUnframed) {
    const std::string rest = std::move(s.buffer);
    s.buffer.clear();
    Frame(port, rest);
  }
}

std::size_t Replayer::Due(std::size_t port, std::size_t from) const {
  const auto& steps = script_.ports[port].steps;
  while (from < steps.size() && steps[from].idlePoll) ++from;
  return from;
}

Millis Replayer::DueAt(std::size_t port, std::size_t step) const {
  const PortState& s = ports_[port];
  const ReplayStep& st = script_.ports[port].steps[step];
  const Millis inCapture = offset_ + (st.micros - firstMicros_) / 1000;
  if (s.next == 0) return inCapture;
  return std::max(inCapture, s.metAt + (st.micros - s.metMicros) / 1000);
}

void Replayer::Frame(std::size_t p, const std::string& f) {
  if (done_) return;
  PortState& s = ports_[p];
  const auto& steps = script_.ports[p].steps;
  const std::size_t due = Due(p, s.next);
  if (!started_) {
    started_ = true;
    const std::size_t first = std::min(due, steps.size() - 1);
    offset_ = loop_.Now() - (steps[first].micros - firstMicros_) / 1000;
  }
  if (IsChannelQuery(f) && (due >= steps.size() || !IsChannelQuery(steps[due].frame))) {
    // The gateway's start-up, which a capture taken later does not hold: answered as the
    // station answers it, not compared.
    if (p < options_.stationIds.size() && p < options_.channels0.size()) {
      const std::string answer = BuildChannelAnswer(options_.stationIds[p], options_.channels0[p]);
      Send(p, 2, answer);
    }
    return;
  }
  if (due >= steps.size()) return;  // past the end of the capture on this port
  const ReplayStep& step = steps[due];
  const std::string nf = NormalisedFrame(f);
  if (IsPoll(f)) {
    // An answered poll is met no sooner than in the capture, so the exchanges keep their
    // order and spacing; until then it is one more idle poll.
    if (nf == NormalisedFrame(step.frame) &&
        loop_.Now() >= offset_ + (step.micros - firstMicros_) / 1000) {
      Meet(p, due);
    } else if (!s.polls.count(f)) {
      Report(ReplayDifference::Kind::Extra, p, nullptr, f);
    } else if (!IsPoll(step.frame) && !s.extraPollTold && s.pendingAnswers == 0 &&
               loop_.Now() - s.answersDoneAt > kPollGrace) {
      // Polling instead of going on with the exchange: told once, the missing frame follows.
      s.extraPollTold = true;
      Report(ReplayDifference::Kind::Extra, p, nullptr, f);
    }
    return;
  }
  // A frame further on that is met exactly means those before it were left out.
  for (std::size_t i = due, seen = 0; i < steps.size() && seen < 4; ++i) {
    if (steps[i].idlePoll) continue;
    ++seen;
    if (NormalisedFrame(steps[i].frame) != nf) continue;
    for (std::size_t j = due; j < i; ++j)
      if (!steps[j].idlePoll) Report(ReplayDifference::Kind::Missing, p, &steps[j], "");
    Meet(p, i);
    return;
  }
  if (KindOf(f) == KindOf(step.frame)) {
    Report(ReplayDifference::Kind::Differs, p, &step, f);
    Meet(p, due);  // its answers go out all the same, so the replay goes on in step
  } else {
    Report(ReplayDifference::Kind::Extra, p, nullptr, f);
  }
}

void Replayer::Send(std::size_t port, Millis delay, const std::string& bytes) {
  PortState& s = ports_[port];
  ++s.pendingAnswers;
  auto id = std::make_shared<EventLoop::TimerId>(0);
  *id = loop_.StartTimer(std::max<Millis>(1, delay), [this, id, port, bytes] {
    loop_.StopTimer(*id);
    timers_.erase(*id);
    PortState& s = ports_[port];
    if (--s.pendingAnswers == 0) s.answersDoneAt = loop_.Now();
    out_(port, bytes);
    CheckDone();
  });
  timers_.insert(*id);
}

void Replayer::Meet(std::size_t port, std::size_t step) {
  PortState& s = ports_[port];
  const ReplayStep& st = script_.ports[port].steps[step];
  s.next = step + 1;
  s.metAt = loop_.Now();
  s.metMicros = st.micros;
  s.extraPollTold = false;
  ++met_;
  if (s.pendingAnswers == 0) s.answersDoneAt = loop_.Now();
  for (const ReplayStep::Chunk& c : st.answers) Send(port, c.delay, c.bytes);
  CheckDone();
}

void Replayer::Tick() {
  if (done_) return;
  for (std::size_t p = 0; p < ports_.size(); ++p) {
    PortState& s = ports_[p];
    if (!s.buffer.empty() && loop_.Now() - s.bufferSince >= kPartialFrame) {
      const std::string rest = std::move(s.buffer);
      s.buffer.clear();
      Frame(p, rest);
    }
    if (!started_ || done_) continue;
    const std::size_t due = Due(p, s.next);
    if (due >= script_.ports[p].steps.size()) continue;
    if (loop_.Now() > DueAt(p, due) + options_.missingAfter) {
      const ReplayStep& st = script_.ports[p].steps[due];
      Report(ReplayDifference::Kind::Missing, p, &st, "");
      s.next = due + 1;
      s.metAt = loop_.Now();
      s.metMicros = st.micros;
    }
  }
  CheckDone();
}

void Replayer::Report(ReplayDifference::Kind kind, std::size_t port, const ReplayStep* step,
                      const std::string& written) {
  if (done_) return;
  ReplayDifference d;
  d.kind = kind;
  d.port = port;
  d.written = written;
  if (step) {
    d.expected = step->frame;
    d.packet = step->packet;
    d.captureMicros = step->micros - script_.startMicros;
  }
  ++differences_;
  if (onDifference) onDifference(d);
}

void Replayer::CheckDone() {
  if (done_) return;
  bool finished = differences_ >= options_.maxDifferences;
  if (!finished) {
    finished = true;
    for (std::size_t p = 0; p < ports_.size() && finished; ++p)
      finished =
          Due(p, ports_[p].next) >= script_.ports[p].steps.size() && ports_[p].pendingAnswers == 0;
  }
  if (!finished) return;
  done_ = true;
  if (onDone) onDone();
}

}  // namespace ol::sim
