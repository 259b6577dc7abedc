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

const char* TimingCheck::Name(Measure m) {
  switch (m) {
    case PollCadence:
      return "poll cadence";
    case AckLatency:
      return "acknowledgement latency";
    case AckRepeat:
      return "acknowledgement repeat";
    case ReplyResend:
      return "reply resend interval";
    case DownloadPacing:
      return "download pacing";
    case kMeasures:
      break;
  }
  return "?";
}

TimingCheck::Port& TimingCheck::At(std::size_t port) {
  if (port >= ports_.size()) ports_.resize(port + 1);
  return ports_[port];
}

void TimingCheck::Add(std::size_t port, Measure m, double measured, double figure) {
  auto& v = At(port).samples[m];
  if (v.size() < kMaxSamples) v.push_back({measured, figure});
}

void TimingCheck::Read(std::size_t port, std::int64_t micros) {
  Port& p = At(port);
  p.lastReadAt = micros;
  p.readSinceWritten = true;
  lastPoll_.reset();
}

void TimingCheck::Written(std::size_t port, std::int64_t micros, std::string_view f) {
  if (f.empty()) return;
  Port& p = At(port);
  const auto ms = [](std::int64_t us) { return static_cast<double>(us) / 1000.0; };
  const std::uint8_t lead = Byte(f, 0);
  if (IsPoll(f)) {
    if (lastPoll_) Add(port, PollCadence, ms(micros - *lastPoll_), 70);
    lastPoll_ = micros;
  } else {
    lastPoll_.reset();
  }
  if (lead == 0x02 || lead == 0x03) {
    if (p.readSinceWritten && lead == 0x02) Add(port, AckLatency, ms(micros - p.lastReadAt), 0);
    if (!p.readSinceWritten && f == p.lastWritten) {
      ++p.repeats;
      const double figure =
          lead == 0x02 ? 300.0 : static_cast<double>(f.size() + 60) * (p.repeats == 1 ? 2 : 1);
      Add(port, lead == 0x02 ? AckRepeat : ReplyResend, ms(micros - p.lastWrittenAt), figure);
    } else {
      p.repeats = 0;
    }
  }
  if (lead == 0x0A && f.size() >= 4 && Byte(f, 2) != 0) p.handhelds = Byte(f, 3);
  if (lead == 0x0A && f.size() == 139 && Byte(f, 2) == 0) {
    // Each data frame sets the packet timer for the next station's turn.
    if (p.lastData) Add(port, DownloadPacing, ms(micros - *p.lastData), p.pacingDue);
    p.lastData = micros;
    p.pacingDue = 0;
    const bool single = Byte(f, 5) == 0 && Byte(f, 6) == 0;
    const double interval = 30.0 * p.handhelds + (single ? 330 : 310);
    for (Port& q : ports_)
      if (q.lastData) q.pacingDue += interval;
  }
  p.lastWritten = std::string(f);
  p.lastWrittenAt = micros;
  p.readSinceWritten = false;
}

std::optional<TimingCheck::Result> TimingCheck::Get(std::size_t port, Measure m) const {
  if (port >= ports_.size() || ports_[port].samples[m].empty()) return std::nullopt;
  const auto& v = ports_[port].samples[m];
  auto median = [&v](auto value) {
    std::vector<double> x;
    for (const Sample& s : v) x.push_back(value(s));
    std::nth_element(x.begin(), x.begin() + static_cast<long>(x.size() / 2), x.end());
    return x[x.size() / 2];
  };
  Result r;
  r.measuredMs = median([](const Sample& s) { return s.measured; });
  r.figureMs = median([](const Sample& s) { return s.figure; });
  r.deviationMs = median([](const Sample& s) { return s.measured - s.figure; });
  r.samples = v.size();
  return r;
}

namespace {

constexpr std::int64_t kLongSilence = 60LL * 1000 * 1000;

// Each packet's time without the wall clock's steps, in file order (the order the
// recorder took them in).
std::vector<std::int64_t> PaceOf(const PcapngFile& capture, bool noted,
                                 std::vector<std::string>& notes) {
  std::vector<std::int64_t> pace(capture.packets.size());
  for (std::size_t i = 0; i < capture.packets.size(); ++i) {
    const PcapngPacket& p = capture.packets[i];
    if (i == 0) {
      pace[i] = p.micros;
      continue;
    }
    std::int64_t delta = p.micros - capture.packets[i - 1].micros;
    const std::string where = "packet " + std::to_string(i + 1);
    if (const auto step = ParseClockStepComment(p.comment)) {
      delta -= *step;
      notes.push_back(where + ": the wall clock was set (" + p.comment +
                      "); paced by the recorder's steady clock");
    } else if (delta < 0) {
      notes.push_back(where + " is " + std::to_string(-delta / 1000) +
                      " ms earlier than the one before: a clock set back, paced as no time");
      delta = 0;
    } else if (!noted && delta > kLongSilence) {
      notes.push_back(where + " comes " + std::to_string(delta / 1000000) +
                      " s after the one before, in a capture that notes no clock setting: "
                      "paced as 1 s");
      delta = 1000 * 1000;
    }
    pace[i] = pace[i - 1] + std::max<std::int64_t>(delta, 0);
  }
  return pace;
}

}  // namespace

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
  if (capture.simplePackets + capture.obsoletePackets > 0)
    script.notes.push_back(std::to_string(capture.simplePackets + capture.obsoletePackets) +
                           " simple or obsolete packet block(s) left out: they carry no "
                           "direction, and simple ones no port or time");
  for (const PcapngPacket& p : capture.packets)
    if (&p == capture.packets.data() || p.micros < script.startMicros)
      script.startMicros = p.micros;
  bool noted = false;  // a recorder that notes clock settings describes its ports
  for (const PcapngInterface& i : capture.interfaces)
    noted = noted || ParsePortSetup(i.description).has_value();
  const std::vector<std::int64_t> pace = PaceOf(capture, noted, script.notes);
  if (!pace.empty()) script.paceSpan = pace.back() - pace.front();
  auto paceOf = [&](const PcapngPacket* p) {
    return pace[static_cast<std::size_t>(p - capture.packets.data())];
  };
  std::map<std::size_t, std::size_t> portOf;  // interface to script port
  std::set<std::string> operatorTold;
  for (auto& [iface, packets] : byInterface) {
    std::stable_sort(
        packets.begin(), packets.end(),
        [&](const PcapngPacket* a, const PcapngPacket* b) { return paceOf(a) < paceOf(b); });
    ReplayPort port;
    port.name = capture.interfaces[iface].name;
    port.setup = ParsePortSetup(capture.interfaces[iface].description);
    std::size_t skipped = 0;
    for (const PcapngPacket* p : packets) {
      const std::size_t number = static_cast<std::size_t>(p - capture.packets.data()) + 1;
      const std::int64_t at = paceOf(p);
      if (*p->direction == FlightRecorder::Direction::Out && !p->bytes.empty() &&
          (Byte(p->bytes, 0) == 0x0A || (p->bytes.size() == 5 && Byte(p->bytes, 1) == 0x49))) {
        const std::string what = Byte(p->bytes, 0) == 0x0A ? "a download" : "a channel setting";
        if (operatorTold.insert(port.name + what).second)
          script.notes.push_back("packet " + std::to_string(number) + " on port " + port.name +
                                 " begins " + what +
                                 ", which the operator started: the replay cannot start it, "
                                 "so its frames will be missing");
      }
      if (*p->direction == FlightRecorder::Direction::Out &&
          (!port.steps.empty() || IsChannelQuery(p->bytes) || IsPoll(p->bytes))) {
        port.steps.push_back({p->bytes, p->micros, at, number, {}, false});
      } else if (*p->direction == FlightRecorder::Direction::In && !port.steps.empty()) {
        ReplayStep& s = port.steps.back();
        s.answers.push_back({std::max<Millis>(0, (at - s.pace) / 1000), p->bytes});
      } else {
        ++skipped;
      }
    }
    for (ReplayStep& s : port.steps) s.idlePoll = IsPoll(s.frame) && s.answers.empty();
    if (skipped > 0)
      script.notes.push_back("port " + port.name + ": " + std::to_string(skipped) +
                             " packet(s) before its first channel query or poll left out");
    if (!port.steps.empty()) {
      portOf[iface] = script.ports.size();
      script.ports.push_back(std::move(port));
    }
  }
  // The captured gateway's timing, in the order the recorder took the packets.
  std::vector<std::size_t> order(capture.packets.size());
  for (std::size_t i = 0; i < order.size(); ++i) order[i] = i;
  std::stable_sort(order.begin(), order.end(),
                   [&](std::size_t a, std::size_t b) { return pace[a] < pace[b]; });
  for (std::size_t i : order) {
    const PcapngPacket& p = capture.packets[i];
    const auto port = portOf.find(p.interface);
    if (port == portOf.end()) continue;
    if (*p.direction == FlightRecorder::Direction::In) {
      script.timing.Read(port->second, pace[i]);
      continue;
    }
    std::string_view rest = p.bytes;
    while (!rest.empty()) {
      std::size_t n = FrameLength(rest);
      if (n == 0 || n == std::string_view::npos) n = rest.size();
      script.timing.Written(port->second, pace[i], rest.substr(0, n));
      rest.remove_prefix(n);
    }
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
      if (!any || s.pace < firstMicros_) firstMicros_ = s.pace;
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
  const Millis inCapture = offset_ + (st.pace - firstMicros_) / 1000;
  if (s.next == 0) return inCapture;
  return std::max(inCapture, s.metAt + (st.pace - s.metMicros) / 1000);
}

void Replayer::Frame(std::size_t p, const std::string& f) {
  if (done_) return;
  PortState& s = ports_[p];
  const auto& steps = script_.ports[p].steps;
  const std::size_t due = Due(p, s.next);
  if (!started_) {
    started_ = true;
    const std::size_t first = std::min(due, steps.size() - 1);
    offset_ = loop_.Now() - (steps[first].pace - firstMicros_) / 1000;
  }
  timing_.Written(p, loop_.Now() * 1000, f);
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
        loop_.Now() >= offset_ + (step.pace - firstMicros_) / 1000) {
      Meet(p, due);
    } else if (!s.polls.count(f)) {
      Report(ReplayDifference::Kind::Extra, p, nullptr, f);
    } else if (!IsPoll(step.frame) && !s.extraPollTold && s.pendingAnswers == 0 &&
               loop_.Now() - s.answersDoneAt > kPollGrace && loop_.Now() >= DueAt(p, due)) {
      // Polling instead of going on with the exchange, once the next frame is due (the
      // capture may poll idly for a while before it): told once, the missing frame follows.
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
    timing_.Read(port, loop_.Now() * 1000);
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
  s.metMicros = st.pace;
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
      s.metMicros = st.pace;
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
  ReportTiming();
  done_ = true;
  if (onDone) onDone();
}

void Replayer::ReportTiming() {
  for (std::size_t p = 0; p < ports_.size(); ++p) {
    for (int m = 0; m < TimingCheck::kMeasures; ++m) {
      const auto measure = static_cast<TimingCheck::Measure>(m);
      const auto captured = script_.timing.Get(p, measure);
      auto now = timing_.Get(p, measure);
      // Read here, a station's bytes have yet to cross the line and the gateway's serial
      // read, which waits for a gap after them: a latency is the capture's to tell, where
      // the gateway timed both ends itself.
      if (measure == TimingCheck::AckLatency) now.reset();
      if (!(captured && captured->Breach()) && !(now && now->Breach())) continue;
      ReplayDifference d;
      d.kind = ReplayDifference::Kind::Timing;
      d.port = p;
      d.measure = measure;
      d.captured = captured;
      d.now = now;
      ++differences_;
      if (onDifference) onDifference(d);
    }
  }
}

}  // namespace ol::sim
