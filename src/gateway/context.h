#pragma once

#include <functional>
#include <string>

#include "core/event_loop.h"
#include "core/form_model.h"
#include "core/message_box.h"
#include "core/txt_folder.h"
#include "gateway/exchange.h"
#include "gateway/link.h"
#include "gateway/traffic.h"
#include "platform/host_link.h"

namespace ol {

class ReceivePath;
class Upload;
class Dispatcher;
class ReplyRelay;
class Polling;
class ActivityLog;
class HostWindow;

// The outside world of the handheld gateway, as the composition root hands it over.
struct GatewayEnv {
  EventLoop& loop;
  FormModel& form;
  Comms& comms;
  TxtFolder& txt;
  MessageBoxService& boxes;
  HostLink& host;
};

// What the gateway needs from the layers above it; unset hooks do nothing.
struct GatewayHooks {
  // One download acknowledgement record (10 hex characters) and the slot it came from.
  std::function<void(const std::string& record, int slot)> downloadAck;
  std::function<void()> showWindow;
  std::function<void()> closeWindow;
  // Every decision about the radio traffic, for the monitor.
  std::function<void(const TrafficEvent&)> traffic;
};

// The components of the handheld gateway, so each can call the named operations of the
// others. Filled by HandheldGateway before any event runs.
struct GatewayPeers {
  ReceivePath* receive = nullptr;
  Upload* upload = nullptr;
  Dispatcher* dispatcher = nullptr;
  ReplyRelay* relay = nullptr;
  Polling* polling = nullptr;
  ActivityLog* activity = nullptr;
  HostWindow* hostWindow = nullptr;
  Exchange* exchange = nullptr;
  GatewayHooks hooks;
};

inline void Report(const GatewayPeers& peers, TrafficEvent event) {
  if (peers.hooks.traffic) peers.hooks.traffic(event);
}

// One line in the monitor log.
inline void LogLine(FormModel& form, std::string line) {
  form["Memo1"].AddLine(std::move(line));
}

}  // namespace ol
