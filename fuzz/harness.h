#pragma once

// What the fuzz targets share: the checks every frame sent and every log must pass, and
// the whole gateway on fake ports in virtual time.

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "app/gateway.h"
#include "core/manual_loop.h"
#include "gateway/hex.h"
#include "testing/fake_port.h"
#include "testing/in_memory_host_link.h"
#include "testing/memory_file_store.h"
#include "testing/recording_message_box.h"

namespace ol::fuzz {

// Stops the run with the property that failed; libFuzzer keeps the input.
[[noreturn]] inline void Fail(const std::string& what, const std::string& detail = {}) {
  std::fprintf(stderr, "property failed: %s\n%s\n", what.c_str(), detail.substr(0, 600).c_str());
  std::abort();
}

inline void Require(bool ok, const std::string& what, const std::string& detail = {}) {
  if (!ok) Fail(what, detail);
}

// Why a frame the gateway sent on a station port (or on the auxiliary port) is not one
// of its frames with valid checks and a length within the protocol's limits; empty when
// it is.
std::string FrameFault(const std::string& hex, bool auxiliary);

// The text of a well-formed reply frame.
std::optional<std::string> ReplyText(const std::string& hex);

// The monitor log, the activity log (memo and file) and the reply view within bounds.
// With activitySeen, the activity log's bytes are summed again only when it changed since
// the version kept there.
void CheckLogs(Gateway& gw, std::uint64_t* activitySeen = nullptr);

// A TXT folder of the process's own on the disk, emptied for every input.
const std::filesystem::path& FreshTxtFolder();

// The whole gateway with two configured stations (01 on slot 1 with handhelds 005 and
// 007, 02 on slot 2 with 010) that answer the channel query, a host window on the
// in-memory link, its TXT folder in memory, and boxes that close at once. Every frame
// sent is checked.
class GatewayRig {
 public:
  static constexpr WindowHandle kHost = 100;
  static constexpr WindowHandle kOwn = 200;

  // jz and dcj are the configuration files as the host left them.
  GatewayRig(const std::string& jz = "01 05 ttyS0\r\n02 07 ttyS1\r\n",
             const std::string& dcj = "01 005\r\n01 007\r\n02 010\r\n");
  ~GatewayRig();

  // Runs what is due now, then checks every frame sent since the last check and the logs.
  void Settle();
  void Advance(Millis ms);
  // Advances at most ms, and stops as soon as the rest would only repeat (OnlyRepeats).
  void Finish(Millis ms);
  // No exchange, reply, download, setting, load, query or capture is under way: from now
  // on the gateway would only poll silent handhelds, tick its clock and try to reopen a
  // device that stays away. Told by the named timers and the loop's count of all timers.
  bool OnlyRepeats();
  // Polls until station 1 asks handheld 5, then uploads its one-packet DL request; true
  // when the request reached the host.
  bool RequestFromHandheld5();

  ManualLoop loop;
  testing::InMemoryHostHub hub;
  testing::InMemoryHostLink host{hub, loop, kHost};
  testing::InMemoryHostLink link{hub, loop, kOwn};
  testing::RecordingMessageBox boxes;
  // The TXT folder; the host writes and reads it directly.
  std::shared_ptr<testing::MemoryFileStore> files = std::make_shared<testing::MemoryFileStore>();
  testing::FakePort* ports[6] = {};
  std::unique_ptr<Gateway> gw;
  std::size_t framesChecked = 0;

 private:
  void CheckFrames();
  std::size_t seen_[6] = {};
  std::string lastGood_[6];
  std::uint64_t activitySeen_ = ~std::uint64_t{0};
};

}  // namespace ol::fuzz
