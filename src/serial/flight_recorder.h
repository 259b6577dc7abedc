#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace ol {

// Microseconds since the Unix epoch, from the system clock.
std::int64_t SystemMicros();
// Microseconds of the monotonic clock, which no clock setting moves.
std::int64_t SteadyMicros();

// The last minutes of the station ports' traffic as the serial threads see it: every
// chunk read and every frame written, with its time to the microsecond: the wall clock's
// for people, the monotonic clock's for age and pacing, so that a clock set forward or
// back neither empties the recorder nor distorts a replay. The threads record under a
// short lock of its own and never wait on anything else; a snapshot copies under the same
// lock. Bounded by age and by size, oldest first.
class FlightRecorder {
 public:
  enum class Direction : std::uint8_t { In, Out };
  struct Record {
    std::int64_t micros = 0;  // wall clock
    int port = 0;             // station slot 1..4
    Direction direction = Direction::In;
    std::string bytes;
    std::int64_t steady = 0;  // monotonic clock; 0 when not known
  };
  struct Limits {
    std::int64_t keepMicros = 10LL * 60 * 1000 * 1000;
    std::size_t maxBytes = std::size_t{16} << 20;  // bytes of records, their overhead counted
  };

  FlightRecorder();
  // One clock for both (tests).
  FlightRecorder(Limits limits, std::function<std::int64_t()> clock);
  FlightRecorder(Limits limits, std::function<std::int64_t()> wall,
                 std::function<std::int64_t()> steady);

  void Add(int port, Direction direction, const std::uint8_t* data, std::size_t length);
  // The records from steady time fromSteady on, oldest first.
  std::vector<Record> Since(std::int64_t fromSteady) const;
  // Steady time, as Since takes it.
  std::int64_t Now() const { return steady_(); }
  std::size_t Bytes() const;

 private:
  static std::size_t Cost(const Record& r) { return sizeof(Record) + r.bytes.size(); }

  const Limits limits_;
  const std::function<std::int64_t()> clock_;
  const std::function<std::int64_t()> steady_;
  mutable std::mutex m_;
  std::deque<Record> records_;
  std::size_t bytes_ = 0;
};

// What a station port served when the capture was taken, carried in its interface's
// description ("station 01, channel 05, handhelds 001 002 003") so that a replay needs
// no set-up of its own.
struct PortSetup {
  int station = 0;  // 0-99
  int channel = 0;  // 1-64
  std::vector<int> handhelds;
};
std::string DescribePortSetup(const PortSetup& setup);
// The set-up a description holds; nothing when it holds none.
std::optional<PortSetup> ParsePortSetup(std::string_view description);

// A station port as a capture's interface: its name and, when it has a station, the
// description of its set-up.
struct CapturePort {
  std::string name;
  std::string description;
};

// A wall clock that moved by more than this between two records was set, not slewed.
inline constexpr std::int64_t kClockStepMicros = 1000 * 1000;
// The comment of a packet before which the wall clock was set, and the step it names.
std::string ClockStepComment(std::int64_t stepMicros);
std::optional<std::int64_t> ParseClockStepComment(std::string_view comment);

// A pcapng file of records: one interface per station port (ports[slot - 1], of the user
// link type 147), each record an enhanced packet with its direction in the flags and its
// wall-clock time; a packet before which the wall clock was set says by how much in its
// comment.
inline constexpr std::uint16_t kCaptureLinkType = 147;
std::string PortsToPcapng(const std::vector<CapturePort>& ports,
                          const std::vector<FlightRecorder::Record>& records);
std::string ToPcapng(const std::vector<std::string>& portNames,
                     const std::vector<FlightRecorder::Record>& records);

}  // namespace ol
