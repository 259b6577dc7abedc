#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "gateway/traffic.h"

namespace ol {

// What the download needs from components above or beside it. The composition root wires
// each member; an unset member does nothing (the message box then shows nothing).
struct DownloadHooks {
  // Empties the receive accumulator of a station port's receive path (slot 0: of every
  // port).
  std::function<void(int slot)> clearReceiveAccumulator;
  // Clears the poll-reply flag of the polling cycle, so a download answer is not taken
  // for a poll answer.
  std::function<void()> clearPollReplyFlag;
  // Shows a modal message box with an OK button (UTF-8 text); returns when it is closed,
  // with events running meanwhile.
  std::function<void(const std::string& text)> showMessage;
  // Posts message 0x500 with these WPARAM and LPARAM to the host window; the result is
  // not examined.
  std::function<void(std::uint32_t wparam, std::uint32_t lparam)> postToHost;
  // Each search or data frame sent, for the monitor.
  std::function<void(const TrafficEvent&)> traffic;
};

}  // namespace ol
