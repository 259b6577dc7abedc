#pragma once

// The replay of a flight-recorder capture: the simulator plays the stations' side of a
// recorded run, captured chunk by captured chunk, and compares what the gateway writes
// with what the gateway wrote then. No OS calls; it runs on any EventLoop.

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <set>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "core/event_loop.h"
#include "serial/pcapng_reader.h"

namespace ol::sim {

// A capture that cannot be replayed (wrong link type, a packet without direction).
// Its time: the wall clock's, less the steps the recorder noted in packet comments; a
// capture without such notes (an older recorder's) is paced with a time that goes back
// taken as no time and a silence of over a minute as one second, and says so.
class ReplayError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// The gateway's timing as the frames on its station ports show it, against its figures:
// polls every 70 ms (the stations taking turns), an acknowledgement at once and repeated
// every 300 ms, a reply resent every frame bytes + 60 ms (the first resend after two such
// intervals), download data frames paced 310 ms + 30 ms per handheld (330 ms + 30 for a
// table of one packet) per station served in between. Each is taken per port as the
// median over all its samples, so that one late tick of a loaded machine, or the turn of
// a station whose handheld list is empty, does not count.
class TimingCheck {
 public:
  enum Measure { PollCadence, AckLatency, AckRepeat, ReplyResend, DownloadPacing, kMeasures };
  static const char* Name(Measure m);
  // How far a median may stray from its figure.
  static constexpr double kToleranceMs = 20;

  // Times in microseconds of a clock that does not step.
  void Written(std::size_t port, std::int64_t micros, std::string_view frame);
  void Read(std::size_t port, std::int64_t micros);

  struct Result {
    double measuredMs = 0, figureMs = 0;  // medians
    double deviationMs = 0;               // median of measured minus figure
    std::size_t samples = 0;
    bool Breach() const { return deviationMs > kToleranceMs || deviationMs < -kToleranceMs; }
  };
  std::optional<Result> Get(std::size_t port, Measure m) const;
  std::size_t Ports() const { return ports_.size(); }

 private:
  // Enough for hours of polling; later samples are not kept.
  static constexpr std::size_t kMaxSamples = 100000;
  struct Sample {
    double measured, figure;
  };
  struct Port {
    std::array<std::vector<Sample>, kMeasures> samples;
    std::string lastWritten;
    std::int64_t lastWrittenAt = 0, lastReadAt = 0;
    bool readSinceWritten = false;
    int repeats = 0;
    int handhelds = 0;  // of its last download search
    std::optional<std::int64_t> lastData;
    double pacingDue = 0;  // ms the data frames since its last one set
  };
  Port& At(std::size_t port);
  void Add(std::size_t port, Measure m, double measured, double figure);

  std::vector<Port> ports_;
  std::optional<std::int64_t> lastPoll_;  // the last event of all ports was this poll
};

// One frame the gateway wrote and the station's chunks that followed it.
struct ReplayStep {
  struct Chunk {
    Millis delay = 0;  // after the frame
    std::string bytes;
  };
  std::string frame;
  std::int64_t micros = 0;  // capture time (wall clock, as Wireshark shows it)
  std::int64_t pace = 0;    // capture time without the wall clock's steps
  std::size_t packet = 0;   // its packet number in the capture (from 1, as Wireshark counts)
  std::vector<Chunk> answers;
  // A poll nobody answered: how many of these come between two exchanges depends on
  // timing alone, so they may be left out or added.
  bool idlePoll = false;
};

struct ReplayPort {
  std::string name;                // the capture's interface name
  std::optional<PortSetup> setup;  // from the interface's description
  std::vector<ReplayStep> steps;
};

struct ReplayScript {
  std::vector<ReplayPort> ports;   // the capture's interfaces that carry traffic, in order
  std::vector<std::string> notes;  // what was left out of the capture, and why
  std::int64_t startMicros = 0;    // the capture's first packet, where Wireshark counts from
  std::int64_t paceSpan = 0;       // microseconds from its first packet to its last
  TimingCheck timing;              // the captured gateway's timing, by script port
};

// Turns a capture into one script per station port. A port's script begins at its first
// channel query or poll: what comes before belongs to an exchange whose start the capture
// does not hold. Throws ReplayError for a capture that is not the gateway's.
ReplayScript ScriptFromCapture(const PcapngFile& capture);

// The frame with the bytes that differ from run to run by nature set to zero: the local
// date and time of a reply of index 0. Its last check value, which covers them, becomes
// its error (the check as written minus the right one), so a wrong check still shows.
std::string NormalisedFrame(std::string frame);

struct ReplayDifference {
  enum class Kind { Differs, Missing, Extra, Timing };
  Kind kind = Kind::Differs;
  std::size_t port = 0;  // index into the script's ports
  std::string expected;  // the captured frame (empty for an extra one)
  std::string written;   // what the gateway wrote (empty for a missing one)
  std::size_t packet = 0;
  std::int64_t captureMicros = 0;  // of the expected frame, from the capture's start
  // Timing: the measure, as captured and as written now (either may be missing).
  TimingCheck::Measure measure = TimingCheck::PollCadence;
  std::optional<TimingCheck::Result> captured, now;
};

// Replays a script: Receive takes what the gateway wrote on a port; the station's chunks
// go out through the output at their captured delays.
class Replayer {
 public:
  using Output = std::function<void(std::size_t port, const std::string& bytes)>;
  struct Options {
    // A captured frame not written this long after its due time is missing.
    Millis missingAfter = 5000;
    // Station ID and channel (from 0) of each port, to answer a start-up channel query that
    // the capture does not hold.
    std::vector<std::uint8_t> stationIds, channels0;
    // The replay stops after this many differences.
    std::size_t maxDifferences = 50;
  };

  Replayer(EventLoop& loop, ReplayScript script, Options options, Output out);
  ~Replayer();
  Replayer(const Replayer&) = delete;
  Replayer& operator=(const Replayer&) = delete;

  void Receive(std::size_t port, std::string_view bytes);

  std::function<void(const ReplayDifference&)> onDifference;
  std::function<void()> onDone;  // every captured frame met or reported, every chunk sent

  bool Done() const { return done_; }
  std::size_t Differences() const { return differences_; }
  std::size_t Met() const { return met_; }  // captured frames the gateway wrote again

 private:
  struct PortState {
    std::size_t next = 0;  // first step not yet met
    Millis metAt = 0;      // when the last step was met (or given up)
    std::int64_t metMicros = 0;
    Millis answersDoneAt = 0;  // the last step's last chunk went out
    std::size_t pendingAnswers = 0;
    bool extraPollTold = false;
    std::string buffer;  // bytes of a frame not yet whole
    Millis bufferSince = 0;
    std::set<std::string> polls;  // every poll of the capture on this port
  };

  void Frame(std::size_t port, const std::string& frame);
  void Tick();
  // The first step from `from` on that is no idle poll; steps.size() when none is left.
  std::size_t Due(std::size_t port, std::size_t from) const;
  Millis DueAt(std::size_t port, std::size_t step) const;
  void Meet(std::size_t port, std::size_t step);
  // The station's bytes, delay ms from now.
  void Send(std::size_t port, Millis delay, const std::string& bytes);
  void Report(ReplayDifference::Kind kind, std::size_t port, const ReplayStep* step,
              const std::string& written);
  void CheckDone();
  void ReportTiming();

  EventLoop& loop_;
  ReplayScript script_;
  Options options_;
  Output out_;
  std::vector<PortState> ports_;
  EventLoop::TimerId tick_ = 0;
  std::set<EventLoop::TimerId> timers_;
  TimingCheck timing_;  // of the gateway now
  bool started_ = false;
  Millis offset_ = 0;  // replay time minus capture time (ms), from the first frame
  std::int64_t firstMicros_ = 0;
  std::size_t differences_ = 0;
  std::size_t met_ = 0;
  bool done_ = false;
};

}  // namespace ol::sim
