#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <string_view>

#include "core/form_model.h"
#include "serial/port.h"

namespace ol {

// The texts the logic keeps per station slot, by control name.
inline constexpr const char* kNotConnected = "基站未连接";
// Station status text of slot n (1..4): empty until the slot is loaded, kNotConnected
// until the station answers the channel query, then the channel it reported.
inline Control& StationStatus(FormModel& form, int slot) {
  return form.At("StationStatus", slot);
}

// The five serial ports as the logic sees them: Comm1..Comm4 serve station slots 1..4,
// Comm5 is the auxiliary port of the channel setting.
class Comms {
 public:
  Port* Get(int n) const { return n >= 1 && n <= 5 ? ports_[n] : nullptr; }
  void Set(int n, Port* port) {
    if (n >= 1 && n <= 5) ports_[n] = port;
  }
  // Frames handed to port n for sending since start: a statistic for the monitor, counted
  // by SendHexFrame, which sends through a const Comms.
  std::uint64_t FramesSent(int n) const { return n >= 1 && n <= 5 ? sent_[n] : 0; }
  void CountSent(int n) const {
    if (n >= 1 && n <= 5) ++sent_[n];
  }

 private:
  std::array<Port*, 6> ports_{};
  mutable std::array<std::uint64_t, 6> sent_{};
};

// Puts a hex text on a port: 1..4 only while that slot's status text is set (the slot
// was loaded), 5 always; other numbers send nothing. The send's result is not examined.
void SendHexFrame(FormModel& form, const Comms& comms, std::string_view hex, int port);

}  // namespace ol
