#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

namespace ol {

// Microseconds since the Unix epoch, from the system clock.
std::int64_t SystemMicros();

// The last minutes of the station ports' traffic as the serial threads see it: every
// chunk read and every frame written, with its time to the microsecond. The threads record
// under a short lock of its own and never wait on anything else; a snapshot copies under
// the same lock. Bounded by age and by size, oldest first.
class FlightRecorder {
 public:
  enum class Direction : std::uint8_t { In, Out };
  struct Record {
    std::int64_t micros = 0;
    int port = 0;  // station slot 1..4
    Direction direction = Direction::In;
    std::string bytes;
  };
  struct Limits {
    std::int64_t keepMicros = 10LL * 60 * 1000 * 1000;
    std::size_t maxBytes = std::size_t{16} << 20;  // bytes of records, their overhead counted
  };

  FlightRecorder();
  FlightRecorder(Limits limits, std::function<std::int64_t()> clock);

  void Add(int port, Direction direction, const std::uint8_t* data, std::size_t length);
  // The records from fromMicros on, oldest first.
  std::vector<Record> Since(std::int64_t fromMicros) const;
  std::int64_t Now() const { return clock_(); }
  std::size_t Bytes() const;

 private:
  static std::size_t Cost(const Record& r) { return sizeof(Record) + r.bytes.size(); }

  const Limits limits_;
  const std::function<std::int64_t()> clock_;
  mutable std::mutex m_;
  std::deque<Record> records_;
  std::size_t bytes_ = 0;
};

// A pcapng file of records: one interface per station port (named portNames[slot - 1], of
// the user link type 147), each record an enhanced packet with its direction in the flags.
inline constexpr std::uint16_t kCaptureLinkType = 147;
std::string ToPcapng(const std::vector<std::string>& portNames,
                     const std::vector<FlightRecorder::Record>& records);

}  // namespace ol
