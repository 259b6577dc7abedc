#include "gateway/link.h"

#include "gateway/hex.h"

namespace ol {

void SendHexFrame(FormModel& form, const Comms& comms, std::string_view hex, int port) {
  if (port < 1 || port > 5) return;
  if (port <= 4 && StationStatus(form, port).Text().empty()) return;
  Port* p = comms.Get(port);
  if (!p) return;
  std::string bytes = HexToBytes(hex);
  if (bytes.size() > 65535) return;
  if (p->SendData(reinterpret_cast<const std::uint8_t*>(bytes.data()),
                  static_cast<std::uint16_t>(bytes.size())))
    comms.CountSent(port);
}

}  // namespace ol
