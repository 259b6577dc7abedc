#include "serial/flight_recorder.h"

#include <chrono>
#include <utility>

#include "core/event_loop.h"
#include "core/version.h"

namespace ol {

std::int64_t SystemMicros() {
  return std::chrono::duration_cast<std::chrono::microseconds>(SystemWallClock().time_since_epoch())
      .count();
}

FlightRecorder::FlightRecorder() : FlightRecorder(Limits{}, SystemMicros) {}

FlightRecorder::FlightRecorder(Limits limits, std::function<std::int64_t()> clock)
    : limits_(limits), clock_(std::move(clock)) {}

void FlightRecorder::Add(int port, Direction direction, const std::uint8_t* data,
                         std::size_t length) {
  Record r{clock_(), port, direction, std::string(reinterpret_cast<const char*>(data), length)};
  std::lock_guard lock(m_);
  bytes_ += Cost(r);
  records_.push_back(std::move(r));
  const std::int64_t oldest = records_.back().micros - limits_.keepMicros;
  while (!records_.empty() && (bytes_ > limits_.maxBytes || records_.front().micros < oldest)) {
    bytes_ -= Cost(records_.front());
    records_.pop_front();
  }
}

std::vector<FlightRecorder::Record> FlightRecorder::Since(std::int64_t fromMicros) const {
  std::lock_guard lock(m_);
  std::vector<Record> out;
  for (const Record& r : records_)
    if (r.micros >= fromMicros) out.push_back(r);
  return out;
}

std::size_t FlightRecorder::Bytes() const {
  std::lock_guard lock(m_);
  return bytes_;
}

namespace {

void Put16(std::string& out, std::uint16_t v) {
  out.push_back(static_cast<char>(v & 0xFF));
  out.push_back(static_cast<char>(v >> 8));
}
void Put32(std::string& out, std::uint32_t v) {
  Put16(out, static_cast<std::uint16_t>(v & 0xFFFF));
  Put16(out, static_cast<std::uint16_t>(v >> 16));
}
void Pad(std::string& out) {
  while (out.size() % 4) out.push_back('\0');
}
void Option(std::string& out, std::uint16_t code, const std::string& value) {
  Put16(out, code);
  Put16(out, static_cast<std::uint16_t>(value.size()));
  out += value;
  Pad(out);
}
// A block: type, total length, body (padded to 4), total length again.
void Block(std::string& out, std::uint32_t type, const std::string& body) {
  const auto total = static_cast<std::uint32_t>(12 + body.size());
  Put32(out, type);
  Put32(out, total);
  out += body;
  Put32(out, total);
}

}  // namespace

std::string ToPcapng(const std::vector<std::string>& portNames,
                     const std::vector<FlightRecorder::Record>& records) {
  std::string out;
  std::string shb;
  Put32(shb, 0x1A2B3C4D);  // byte order: little endian as written
  Put16(shb, 1);
  Put16(shb, 0);
  Put32(shb, 0xFFFFFFFF);  // section length unknown
  Put32(shb, 0xFFFFFFFF);
  Option(shb, 4, std::string("OrderLink ") + kVersion);  // shb_userappl
  Put32(shb, 0);                                         // end of options
  Block(out, 0x0A0D0D0A, shb);
  for (const std::string& name : portNames) {
    std::string idb;
    Put16(idb, kCaptureLinkType);
    Put16(idb, 0);
    Put32(idb, 0);                      // no snapshot limit
    Option(idb, 2, name);               // if_name
    Option(idb, 9, std::string(1, 6));  // if_tsresol: microseconds
    Put32(idb, 0);
    Block(out, 1, idb);
  }
  for (const FlightRecorder::Record& r : records) {
    if (r.port < 1 || static_cast<std::size_t>(r.port) > portNames.size()) continue;
    std::string epb;
    const auto when = static_cast<std::uint64_t>(r.micros);
    Put32(epb, static_cast<std::uint32_t>(r.port - 1));
    Put32(epb, static_cast<std::uint32_t>(when >> 32));
    Put32(epb, static_cast<std::uint32_t>(when & 0xFFFFFFFF));
    Put32(epb, static_cast<std::uint32_t>(r.bytes.size()));
    Put32(epb, static_cast<std::uint32_t>(r.bytes.size()));
    epb += r.bytes;
    Pad(epb);
    std::string flags;
    Put32(flags, r.direction == FlightRecorder::Direction::In ? 1u : 2u);  // epb_flags
    Option(epb, 2, flags);
    Put32(epb, 0);
    Block(out, 6, epb);
  }
  return out;
}

}  // namespace ol
