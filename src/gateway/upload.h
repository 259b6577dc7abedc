#pragma once

#include <string>

#include "gateway/context.h"

namespace ol {

// The upload of one request: from the request-pending answer through the acknowledged
// packets to the hand-over to the dispatcher. Owns the packet counters, the assembled
// request, the acknowledgement repeater Timer7 and the current request list (ListBox1).
class Upload {
 public:
  static constexpr Millis kRepeatInterval = 300;
  static constexpr int kRepeatLimit = 10;

  Upload(GatewayEnv& env, GatewayPeers& peers);

  // A request-pending answer (at least 6 hex characters, beginning "A5").
  // slot: the port it came on.
  void StartUpload(const std::string& answer, int slot);
  // A 114-character request packet that arrived on slot.
  void HandlePacket(const std::string& packet, int slot);
  void Timer7Timer();

  // Start values for the next poll.
  void ResetForPoll();
  void ClearPacketGood() { packetGood_ = false; }
  void StopRepeater() { timer7_.SetEnabled(false); }
  // The port of the request-pending answer that opened the exchange, and whether its
  // request is complete (its handheld sends no more packets, only a confirmation).
  int Slot() const { return uploadSlot_; }
  bool Complete() const { return complete_; }

  int PacketTotal() const { return packetTotal_; }
  int PacketIndex() const { return packetIndex_; }
  bool PacketGood() const { return packetGood_; }
  int RepeatCount() const { return repeatCount_; }
  const std::string& AssembledRequest() const { return assembled_; }

 private:
  void SendAck(const std::string& packet, bool ok, int slot);
  void RestartRepeater();
  // An event about the handheld at the current poll address.
  void Tell(Traffic kind, int slot, const std::string& packet = {}, std::string detail = {});
  void CompleteRequest();

  GatewayEnv& env_;
  GatewayPeers& peers_;
  Timer& timer7_;
  int packetTotal_ = 1;
  int packetIndex_ = 1;
  bool packetGood_ = false;
  int repeatCount_ = 0;
  std::string assembled_;
  int requestLength_ = 0;
  int uploadSlot_ = 0;  // the port the request-pending answer came on
  // Index of the last packet accepted in this exchange (0: none yet), so a packet the
  // handheld repeats because our "OK" was lost is not appended twice.
  int lastAccepted_ = 0;
  int acceptedTotal_ = 1;
  bool complete_ = false;  // the request of this exchange is complete
  // The request of this exchange, whole, once dispatched, so a repeated last packet does
  // not order the same dishes twice.
  std::string dispatched_;
};

}  // namespace ol
