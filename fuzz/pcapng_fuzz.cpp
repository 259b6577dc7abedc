// The capture reader on any file: it refuses with a message that names an offset, or
// returns no more than the file holds, every packet of an interface it describes; and
// what it returns, written again as the flight recorder writes, reads back the same.
#include <cstdint>
#include <string>
#include <string_view>

#include "harness.h"
#include "serial/pcapng_reader.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using ol::fuzz::Require;
  const std::string_view in(reinterpret_cast<const char*>(data), size);
  ol::PcapngFile file;
  try {
    file = ol::ReadPcapng(in);
  } catch (const ol::PcapngError& e) {
    Require(std::string_view(e.what()).starts_with("pcapng offset "), "a refusal names no offset",
            e.what());
    return 0;
  }
  Require(file.interfaces.size() <= ol::kMaxPcapngInterfaces, "too many interfaces kept");
  std::size_t kept = 0;
  std::vector<std::string> names;
  for (const ol::PcapngInterface& i : file.interfaces) names.push_back(i.name);
  std::vector<ol::FlightRecorder::Record> records;
  for (const ol::PcapngPacket& p : file.packets) {
    Require(p.interface < file.interfaces.size(), "a packet of no interface");
    Require(p.offset < size && p.micros >= 0, "a packet outside the file or before 1970");
    kept += p.bytes.size();
    // A packet without direction has no place in the recorder's captures.
    if (p.direction)
      records.push_back({p.micros, static_cast<int>(p.interface) + 1, *p.direction, p.bytes});
  }
  Require(kept <= size, "more packet bytes than the file holds");
  const ol::PcapngFile again = ol::ReadPcapng(ol::ToPcapng(names, records));
  Require(again.interfaces.size() == names.size() && again.packets.size() == records.size(),
          "the written capture reads back with other interfaces or packets");
  for (std::size_t i = 0; i < records.size(); ++i) {
    const ol::PcapngPacket& p = again.packets[i];
    Require(p.micros == records[i].micros && p.bytes == records[i].bytes &&
                p.direction == records[i].direction &&
                p.interface + 1 == static_cast<std::size_t>(records[i].port),
            "a packet reads back changed");
  }
  // A slot with no port is written under a name of its own.
  for (std::size_t i = 0; i < names.size(); ++i)
    Require(again.interfaces[i].name ==
                (names[i].empty() ? "slot " + std::to_string(i + 1) + " (no port)" : names[i]),
            "an interface name reads back changed", names[i]);
  return 0;
}
