#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "serial/flight_recorder.h"

namespace ol {

// A pcapng file that cannot be read; the message names the offset of the fault.
class PcapngError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

struct PcapngInterface {
  std::string name;         // if_name, empty when the file gives none
  std::string description;  // if_description, likewise
  std::uint16_t linkType = 0;
};

struct PcapngPacket {
  std::size_t interface = 0;  // index into PcapngFile::interfaces
  std::int64_t micros = 0;    // time stamp, in microseconds whatever the file's resolution
  std::optional<FlightRecorder::Direction> direction;  // from epb_flags; none when not told
  std::string bytes;
  std::string comment;     // opt_comment, empty when none
  std::size_t offset = 0;  // of its block in the file
};

struct PcapngFile {
  std::vector<PcapngInterface> interfaces;  // of all sections, in order
  std::vector<PcapngPacket> packets;        // enhanced packets, in file order
  // Packets of the kinds that carry no interface, direction or time stamp (simple packet
  // blocks) or that the format has retired (packet blocks): counted, not read.
  std::size_t simplePackets = 0, obsoletePackets = 0;
};

// Interfaces a file may describe: more is taken for garbage rather than a capture.
inline constexpr std::size_t kMaxPcapngInterfaces = 256;

// Reads section headers (either byte order), interface descriptions and enhanced packets,
// counts simple and obsolete packet blocks, and skips every other block type. Refuses anything
// truncated or inconsistent with a PcapngError; what it keeps is never more than the file's own
// bytes.
PcapngFile ReadPcapng(std::string_view file);

}  // namespace ol
