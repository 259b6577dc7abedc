#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <string_view>

#include "gateway/context.h"

namespace ol {

// The receive path of the four station ports: received bytes become hex text in one
// accumulator, which is classified into frame kinds and handed to the component that
// acts on each. Owns the accumulator and the monitor log's emptying rule.
class ReceivePath {
 public:
  // A frame that never completes is dropped once a port's buffer holds this many hex
  // characters (4 KiB of received bytes); the largest frame a station sends is 114.
  static constexpr std::size_t kAccumulatorLimit = 8192;
  // The monitor log is emptied when a chunk arrives while it holds more lines than this.
  static constexpr std::size_t kMemoEmptyAbove = 200;
  // Upper bound of the monitor log whether or not anything is received.
  static constexpr std::size_t kMemoMaxLines = 1000;

  ReceivePath(GatewayEnv& env, GatewayPeers& peers);

  void Comm1ReceiveData(Port& sender, const std::uint8_t* buffer, std::uint16_t length);
  void ApplyChannelAnswer(int channel, int slot);

  // What a port has received and not yet consumed (slots 1 to 4). Each port has its own:
  // one station's bytes can neither complete nor spoil another station's frame.
  const std::string& Accumulator(int slot) const { return buffers_[Index(slot)]; }
  void ClearAccumulator() {
    for (std::string& b : buffers_) b.clear();
  }
  void ClearAccumulator(int slot) { buffers_[Index(slot)].clear(); }

 private:
  static std::size_t Index(int slot) { return slot >= 1 && slot <= 4 ? slot : 0; }
  // Whether hex text on slot is, or may still grow into, a frame the gateway can take now.
  bool CouldBeFrame(std::string_view hex, int slot) const;
  // Whether slot carries a handheld's exchange whose request is complete: its handheld has
  // nothing left to send but the confirmation of its reply. (Where two stations share a
  // number, the reply goes out on the first one's port; the handheld still answers on its own.)
  bool ConfirmationAwaited(int slot) const;
  // Whether hex text that could be a frame is a whole one.
  bool IsWholeFrame(std::string_view hex) const;
  void Classify(int slot);

  GatewayEnv& env_;
  GatewayPeers& peers_;
  std::array<std::string, 5> buffers_;  // by slot; 0 for a sender of no slot
};

}  // namespace ol
