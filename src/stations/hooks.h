#pragma once

#include <functional>
#include <string>

namespace ol {

// What the station setup needs from components that own the state it resets: the
// composition root wires each member to the owner's operation. An unset member does
// nothing, except clearActivityLog, for which the setup empties Memo6 and logfile.txt
// itself.
struct StationHooks {
  // Empties the receive buffer of the station port of a slot before its channel query;
  // the other ports' buffers hold other stations' frames.
  std::function<void(int slot)> clearReceiveBuffer;
  // Start-up: the four poll cursors to 0, the connected-station list emptied with its
  // cursor at 1, the current poll address cleared.
  std::function<void()> resetPolling;
  // Refresh: the connected-station list emptied with its cursor at 1 and the current
  // poll address cleared; the poll cursors are left to the next channel answer.
  std::function<void()> clearConnectedStations;
  // Clears the poll-reply flag, so a late poll answer is not taken for a request.
  std::function<void()> clearPollReplyFlag;
  // Start-up: empties the activity log (Memo6 and logfile.txt). May throw FileError.
  std::function<void()> clearActivityLog;
  // A load or refresh of the configuration is running.
  std::function<bool()> loading;
  // A fault the operator must learn of that must not stop the start-up (a TXT folder
  // that cannot be written): shown where the operator looks, without a modal box.
  std::function<void(const std::string&)> notice;
};

inline constexpr const char* kBusyLoading = "基站配置正在加载，请稍后再试";

inline void Call(const std::function<void()>& hook) {
  if (hook) hook();
}

}  // namespace ol
