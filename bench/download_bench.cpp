// How close a download of the six sample tables to two stations of five handhelds comes
// to the pacing it is built on: the virtual time from the first data packet to the
// moment every handheld holds every table, against the sum of the Timer5 intervals that
// one send of every packet prescribes. Runs on virtual time; also prints the real time
// the simulation took.

#include <chrono>
#include <cstdio>
#include <filesystem>

#include "../tests/download/download_rig.h"

namespace {

using ol::kMenuTableCount;
using ol::MenuTableInfo;
using ol::Millis;
using ol::testing::DownloadRig;

struct Run {
  Millis measured = 0;
  Millis bound = 0;
  long frames = 0;
  bool complete = false;
};

Run DownloadOnce(unsigned lossPerMille) {
  DownloadRig rig(lossPerMille, 2024);
  rig.StartSampleDownload(ORDERLINK_MENU_DIR);
  const Millis firstPacket = rig.loop.Now() + ol::kSearchMillis;

  Run run;
  for (int t = 1; t <= kMenuTableCount; ++t) {
    std::size_t size = rig.transfer.Image(t).size();
    Millis packets = static_cast<Millis>(size == 0 ? 1 : (size + 127) / 128);
    Millis interval = 30 * 5 + (packets == 1 ? 330 : 310);
    run.bound += 2 * packets * interval;  // both stations
  }
  run.complete = rig.loop.AdvanceUntil([&] { return rig.AllTablesComplete(); }, 3'600'000, 1);
  run.measured = rig.loop.Now() - firstPacket;
  for (int slot : {1, 2})
    for (const auto& f : rig.ports[slot]->Sent()) run.frames += f.size() == 278 ? 1 : 0;
  return run;
}

}  // namespace

int main() {
  for (unsigned loss : {0u, 100u}) {
    auto wallStart = std::chrono::steady_clock::now();
    Run run = DownloadOnce(loss);
    double wallMs =
        std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - wallStart)
            .count();
    std::printf(
        "download of 6 sample tables to 2 stations x 5 handhelds, loss %u%%: %s in %lld ms of "
        "virtual time after the search, pacing bound %lld ms, ratio %.3f, %ld data frames, "
        "simulated in %.1f ms\n",
        loss / 10, run.complete ? "complete" : "INCOMPLETE", static_cast<long long>(run.measured),
        static_cast<long long>(run.bound),
        static_cast<double>(run.measured) / static_cast<double>(run.bound), run.frames, wallMs);
    if (!run.complete) return 1;
  }
  return 0;
}
