#include "serial/flight_recorder.h"

#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <utility>

#include "core/event_loop.h"
#include "core/version.h"

namespace ol {

std::int64_t SystemMicros() {
  return std::chrono::duration_cast<std::chrono::microseconds>(SystemWallClock().time_since_epoch())
      .count();
}

std::int64_t SteadyMicros() {
  return std::chrono::duration_cast<std::chrono::microseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

FlightRecorder::FlightRecorder() : FlightRecorder(Limits{}, SystemMicros, SteadyMicros) {}

FlightRecorder::FlightRecorder(Limits limits, std::function<std::int64_t()> clock)
    : FlightRecorder(limits, clock, clock) {}

FlightRecorder::FlightRecorder(Limits limits, std::function<std::int64_t()> wall,
                               std::function<std::int64_t()> steady)
    : limits_(limits), clock_(std::move(wall)), steady_(std::move(steady)) {}

void FlightRecorder::Add(int port, Direction direction, const std::uint8_t* data,
                         std::size_t length) {
  Record r{clock_(), port, direction, std::string(reinterpret_cast<const char*>(data), length),
           steady_()};
  std::lock_guard lock(m_);
  bytes_ += Cost(r);
  records_.push_back(std::move(r));
  const std::int64_t oldest = records_.back().steady - limits_.keepMicros;
  while (!records_.empty() && (bytes_ > limits_.maxBytes || records_.front().steady < oldest)) {
    bytes_ -= Cost(records_.front());
    records_.pop_front();
  }
}

std::vector<FlightRecorder::Record> FlightRecorder::Since(std::int64_t fromSteady) const {
  std::lock_guard lock(m_);
  std::vector<Record> out;
  for (const Record& r : records_)
    if (r.steady >= fromSteady) out.push_back(r);
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

std::string DescribePortSetup(const PortSetup& setup) {
  char head[48];
  std::snprintf(head, sizeof head, "station %02d, channel %02d, handhelds", setup.station,
                setup.channel);
  std::string out = head;
  for (int h : setup.handhelds) {
    char item[8];
    std::snprintf(item, sizeof item, " %03d", h);
    out += item;
  }
  return out;
}

std::optional<PortSetup> ParsePortSetup(std::string_view text) {
  // Numbers of at most three digits, each after its literal.
  auto number = [&text](std::string_view literal, int max) -> std::optional<int> {
    if (text.substr(0, literal.size()) != literal) return std::nullopt;
    text.remove_prefix(literal.size());
    int v = 0;
    std::size_t digits = 0;
    while (digits < text.size() && digits < 3 && text[digits] >= '0' && text[digits] <= '9')
      v = v * 10 + (text[digits++] - '0');
    if (digits == 0 || v > max) return std::nullopt;
    text.remove_prefix(digits);
    return v;
  };
  PortSetup s;
  const auto station = number("station ", 99);
  const auto channel = station ? number(", channel ", 64) : std::nullopt;
  if (!channel || *channel < 1 || text.substr(0, 11) != ", handhelds") return std::nullopt;
  text.remove_prefix(11);
  s.station = *station;
  s.channel = *channel;
  while (!text.empty()) {
    const auto h = number(" ", 255);
    if (!h) return std::nullopt;
    s.handhelds.push_back(*h);
  }
  return s;
}

std::string ClockStepComment(std::int64_t stepMicros) {
  char text[96];
  std::snprintf(text, sizeof text, "wall clock set by %+.6f s before this packet",
                static_cast<double>(stepMicros) / 1e6);
  return text;
}

std::optional<std::int64_t> ParseClockStepComment(std::string_view comment) {
  constexpr std::string_view kHead = "wall clock set by ";
  if (comment.substr(0, kHead.size()) != kHead) return std::nullopt;
  const std::string rest(comment.substr(kHead.size()));
  char* end = nullptr;
  const double seconds = std::strtod(rest.c_str(), &end);
  if (end == rest.c_str() || std::string_view(end).substr(0, 2) != " s" ||
      !(std::fabs(seconds) < 1e9))
    return std::nullopt;
  return static_cast<std::int64_t>(std::llround(seconds * 1e6));
}

std::string ToPcapng(const std::vector<std::string>& portNames,
                     const std::vector<FlightRecorder::Record>& records) {
  std::vector<CapturePort> ports;
  for (const std::string& name : portNames) ports.push_back({name, ""});
  return PortsToPcapng(ports, records);
}

std::string PortsToPcapng(const std::vector<CapturePort>& ports,
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
  for (std::size_t i = 0; i < ports.size(); ++i) {
    std::string idb;
    Put16(idb, kCaptureLinkType);
    Put16(idb, 0);
    Put32(idb, 0);  // no snapshot limit
    // A slot without a port still has its interface, so that interface n is slot n + 1.
    const std::string& name = ports[i].name;
    Option(idb, 2, name.empty() ? "slot " + std::to_string(i + 1) + " (no port)" : name);
    if (!ports[i].description.empty()) Option(idb, 3, ports[i].description);  // if_description
    Option(idb, 9, std::string(1, 6));  // if_tsresol: microseconds
    Put32(idb, 0);
    Block(out, 1, idb);
  }
  const FlightRecorder::Record* previous = nullptr;
  std::string epb;  // one buffer for every packet's block
  for (const FlightRecorder::Record& r : records) {
    if (r.port < 1 || static_cast<std::size_t>(r.port) > ports.size()) continue;
    epb.clear();
    const auto when = static_cast<std::uint64_t>(r.micros);
    Put32(epb, static_cast<std::uint32_t>(r.port - 1));
    Put32(epb, static_cast<std::uint32_t>(when >> 32));
    Put32(epb, static_cast<std::uint32_t>(when & 0xFFFFFFFF));
    Put32(epb, static_cast<std::uint32_t>(r.bytes.size()));
    Put32(epb, static_cast<std::uint32_t>(r.bytes.size()));
    epb += r.bytes;
    Pad(epb);
    // The wall clock moved against the steady one: it was set in between.
    if (previous && previous->steady != 0 && r.steady != 0) {
      const std::int64_t step = (r.micros - previous->micros) - (r.steady - previous->steady);
      if (step > kClockStepMicros || step < -kClockStepMicros)
        Option(epb, 1, ClockStepComment(step));  // opt_comment
    }
    previous = &r;
    std::string flags;
    Put32(flags, r.direction == FlightRecorder::Direction::In ? 1u : 2u);  // epb_flags
    Option(epb, 2, flags);
    Put32(epb, 0);
    Block(out, 6, epb);
  }
  return out;
}

}  // namespace ol
