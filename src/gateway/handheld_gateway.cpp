#include "gateway/handheld_gateway.h"

namespace ol {

HandheldGateway::HandheldGateway(GatewayEnv env, GatewayHooks hooks)
    : env_(env),
      activity_(env_.form, env_.txt),
      receive_(env_, peers_),
      upload_(env_, peers_),
      dispatcher_(env_, peers_),
      relay_(env_, peers_),
      polling_(env_, peers_) {
  peers_.receive = &receive_;
  peers_.upload = &upload_;
  peers_.dispatcher = &dispatcher_;
  peers_.relay = &relay_;
  peers_.polling = &polling_;
  peers_.activity = &activity_;
  peers_.hostWindow = &hostWindow_;
  peers_.exchange = &exchange_;
  peers_.hooks = std::move(hooks);
}

void HandheldGateway::AttachStationPort(Port& port) {
  port.OnReceiveData = [this](Port& sender, const std::uint8_t* buffer, std::uint16_t length) {
    receive_.Comm1ReceiveData(sender, buffer, length);
  };
}

}  // namespace ol
