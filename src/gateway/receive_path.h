#pragma once

#include <cstdint>
#include <string>

#include "gateway/context.h"

namespace ol {

// The receive path of the four station ports: received bytes become hex text in one
// accumulator, which is classified into frame kinds and handed to the component that
// acts on each. Owns the accumulator and the monitor log's emptying rule.
class ReceivePath {
 public:
  // A frame that never completes is dropped once the accumulator holds this many hex
  // characters (4 KiB of received bytes); the largest frame a station sends is 114.
  static constexpr std::size_t kAccumulatorLimit = 8192;
  // The monitor log is emptied when a chunk arrives while it holds more lines than this.
  static constexpr std::size_t kMemoEmptyAbove = 200;
  // Upper bound of the monitor log whether or not anything is received.
  static constexpr std::size_t kMemoMaxLines = 1000;

  ReceivePath(GatewayEnv& env, GatewayPeers& peers);

  void Comm1ReceiveData(Port& sender, const std::uint8_t* buffer, std::uint16_t length);
  void ApplyChannelAnswer(int channel, int slot);

  const std::string& Accumulator() const { return accumulator_; }
  void ClearAccumulator() { accumulator_.clear(); }
  // Empties the accumulator unless it holds the first part of a request packet or a
  // reply confirmation, which the rest of may be on its way from another station.
  void ClearUnlessFrameUnderWay() {
    if (!(accumulator_.starts_with("01") && accumulator_.size() < 114) &&
        !(accumulator_.starts_with("04") && accumulator_.size() < 18))
      accumulator_.clear();
  }
  // What a channel query clears: everything, unless an exchange is under way, whose
  // frame may be half in.
  void ClearForChannelQuery();

 private:
  void Classify(int slot);

  GatewayEnv& env_;
  GatewayPeers& peers_;
  std::string accumulator_;
};

}  // namespace ol
