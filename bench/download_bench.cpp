// How close a download of the six sample tables to two stations of five handhelds comes
// to the pacing it is built on: the virtual time from the first data packet to the
// moment every handheld holds every table, against the sum of the Timer5 intervals that
// one send of every packet prescribes. Runs on virtual time; also prints the real time
// the simulation took.

#include <chrono>
#include <cstdio>
#include <filesystem>

#include "../tests/download/download_rig.h"
#include "bench_util.h"

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
  std::printf(
      "download_bench: 6 sample tables to 2 stations x 5 handhelds on virtual time, from the "
      "first data packet\n");
  for (unsigned loss : {0u, 100u}) {
    const auto wallStart = bench::Clock::now();
    Run run = DownloadOnce(loss);
    const double wallMs = bench::Ms(bench::Clock::now() - wallStart);
    // The bound is one send of every packet: with frames lost, the resends go beyond it.
    const std::string what = "download, " + std::to_string(loss / 10) + "% of frames lost";
    if (!run.complete) {
      std::printf("  %-52s INCOMPLETE after an hour of virtual time\n", what.c_str());
      return 1;
    }
    bench::Row(what, static_cast<double>(run.measured), "ms", static_cast<double>(run.bound));
    std::printf("  (%ld data frames, simulated in %.1f ms)\n", run.frames, wallMs);
  }
  return 0;
}
