#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "core/continuation.h"
#include "core/event_loop.h"
#include "core/file_store.h"
#include "gateway/traffic.h"
#include "serial/flight_recorder.h"

namespace ol {

// The flight recorder's captures in TXT/capture (pcapng, one interface per station port):
// on the operator's word, and by themselves after an exchange fails (a no-reply text, a
// reply dropped as late, a station lost), at most one per kQuiet, holding the minutes
// before the failure and kAfter after it. All captures together stay below kMaxTotal, the
// oldest removed first. A capture that cannot be written is told once until one can.
class Captures {
 public:
  static constexpr Millis kAfter = 60 * 1000;
  static constexpr Millis kQuiet = 5 * 60 * 1000;
  static constexpr std::int64_t kBeforeMicros = 4LL * 60 * 1000 * 1000;
  static constexpr std::uintmax_t kMaxTotal = std::uintmax_t{64} << 20;

  // port(slot) names a station port's interface and describes its set-up; notice tells
  // the operator.
  Captures(EventLoop& loop, std::shared_ptr<FileStore> folder,
           std::shared_ptr<FlightRecorder> recorder, std::function<CapturePort(int)> port,
           std::function<void(const std::string&)> notice, std::uintmax_t maxTotal = kMaxTotal);

  bool Recording() const { return recorder_ != nullptr; }
  // The operator's save: all the recorder holds. Returns the file's name; throws FileError.
  std::string SaveNow();
  // Every traffic event: a failure of an exchange schedules a capture.
  void OnTraffic(const TrafficEvent& e);

 private:
  std::string Write(std::int64_t fromMicros, const std::string& why);

  EventLoop& loop_;
  std::shared_ptr<FileStore> folder_;
  std::shared_ptr<FlightRecorder> recorder_;
  std::function<CapturePort(int)> port_;
  std::function<void(const std::string&)> notice_;
  Continuation due_;
  const std::uintmax_t maxTotal_;
  Millis lastAuto_ = -kQuiet;
  bool failing_ = false;
};

}  // namespace ol
