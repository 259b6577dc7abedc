#pragma once

#include <cstdint>
#include <string>

namespace ol {

// What the gateway decided about the radio traffic, told at the moment it decides: which
// handheld was polled, which packet was refused and why, what went to the host, which
// reply went where. The monitor turns these into words, counts and a journal.
enum class Traffic : std::uint8_t {
  Poll,
  RequestPending,
  PacketAccepted,
  PacketBadCheck,
  PacketRefused,   // of another handheld or request, or out of order
  PacketRepeated,  // the handheld sent an accepted packet again
  StrayPacket,     // no upload under way
  AckRepeated,     // the acknowledgement repeater sent the last answer again
  UploadSilent,    // the handheld stopped sending packets
  RequestRepeated,
  Unregistered,
  UnknownCode,
  RequestLost,  // T1.txt could not be written
  HandedToHost,
  HostSignal,
  ReplySent,
  EmptyReply,
  NoReplyText,
  ReplyResent,
  ReplyDropped,
  ReplyUnconfirmed,  // the resend budget ran out
  Confirmed,
  StrayConfirmation,
  ChannelAnswer,
  DownloadSearch,
  DownloadPacket,
  DownloadAck,
  NoiseDropped,
  LineLost,
};

struct TrafficEvent {
  TrafficEvent() = default;
  explicit TrafficEvent(Traffic k, int port = 0, int stationId = -1, int handheldNo = -1)
      : kind(k), slot(port), station(stationId), handheld(handheldNo) {}
  TrafficEvent& With(int codeIndex, int packetIndex = 0, int packetTotal = 0) {
    code = codeIndex;
    index = packetIndex;
    total = packetTotal;
    return *this;
  }

  Traffic kind = Traffic::Poll;
  int slot = 0;        // station port 1..4; 0 when the event does not know it
  int station = -1;    // station ID
  int handheld = -1;   // handheld number
  int code = -1;       // request or reply index 0..31
  int index = 0;       // packet index; channel of a channel answer; bytes dropped
  int total = 0;       // packet total
  std::string detail;  // UTF-8: an acknowledgement's "OK"/"NO", a reason
};

}  // namespace ol
