#pragma once

#include "gateway/activity_log.h"
#include "gateway/context.h"
#include "gateway/dispatcher.h"
#include "gateway/host_window.h"
#include "gateway/polling.h"
#include "gateway/receive_path.h"
#include "gateway/reply_relay.h"
#include "gateway/upload.h"

namespace ol {

// The handheld gateway's components, wired to each other. The receive handler of the
// station ports and the host link's messages are connected by the owner.
class HandheldGateway {
 public:
  HandheldGateway(GatewayEnv env, GatewayHooks hooks = {});
  HandheldGateway(const HandheldGateway&) = delete;
  HandheldGateway& operator=(const HandheldGateway&) = delete;

  GatewayEnv& Env() { return env_; }
  GatewayHooks& Hooks() { return peers_.hooks; }
  ReceivePath& Receive() { return receive_; }
  Upload& GetUpload() { return upload_; }
  Dispatcher& GetDispatcher() { return dispatcher_; }
  ReplyRelay& Relay() { return relay_; }
  Polling& GetPolling() { return polling_; }
  ActivityLog& Activity() { return activity_; }
  HostWindow& Host() { return hostWindow_; }
  const Exchange& CurrentExchange() const { return exchange_; }

  // Routes a station port's received chunks into the receive path.
  void AttachStationPort(Port& port);

 private:
  GatewayEnv env_;
  GatewayPeers peers_;
  Exchange exchange_;
  ActivityLog activity_;
  HostWindow hostWindow_;
  ReceivePath receive_;
  Upload upload_;
  Dispatcher dispatcher_;
  ReplyRelay relay_;
  Polling polling_;
};

}  // namespace ol
