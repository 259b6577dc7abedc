// A run of the demo's scenario, captured by the gateway's flight recorder, replayed by the
// station simulator against a fresh gateway, its stations set up from the capture alone:
// the gateway of today must write what it wrote then, at its figures' pace. Then the capture with a
// fault of an earlier round put back in by hand.
#include <gtest/gtest.h>

#include <csignal>
#include <thread>

#include "core/text_file.h"
#include "core/version.h"
#include "gateway/hex.h"
#include "process.h"
#include "serial/pcapng_reader.h"
#include "testing/temp_dir.h"

namespace ol::testing {
namespace {

using namespace std::chrono_literals;

class ReplayProgramTest : public ::testing::Test {
 protected:
  struct Run {
    int status = -1;
    std::string stations;  // the simulator's output
    std::filesystem::path txt;
  };

  // The demo's stations in `mode` (a scenario or a replay), served by a gateway of its own
  // in folder `name`, started by the substitute host with the demo's replies.
  Run Serve(const std::string& name, std::vector<std::string> mode,
            std::vector<std::string> gatewayEnv = {}) {
    const std::filesystem::path folder = dir.Path() / name;
    const std::filesystem::path gateway = InstallProgram(ORDERLINK_PROGRAM, folder);
    Run run{-1, "", folder / "TXT"};
    std::filesystem::create_directories(run.txt);
    // A replay takes the stations from the capture.
    std::vector<std::string> args{"--ports-file", (run.txt / "JZ.txt").string(),
                                  "--dcj-file",   (run.txt / "DCJ.txt").string(),
                                  "--timeout",    "120",
                                  "--quiet"};
    if (mode[0] != "--replay")
      args.insert(args.begin(), {"--station", "1:ch5:1,2,3", "--station", "2:ch9:10,11"});
    args.insert(args.end(), mode.begin(), mode.end());
    ChildProcess stations(ORDERLINK_STATIONSIM, args, {}, folder / "stations.log");
    for (auto end = std::chrono::steady_clock::now() + 10s;
         std::chrono::steady_clock::now() < end &&
         ReadBytes(run.txt / "JZ.txt").find("02 ") == std::string::npos;)
      std::this_thread::sleep_for(10ms);
    gatewayEnv.push_back("QT_QPA_PLATFORM=offscreen");
    gatewayEnv.push_back("ASAN_OPTIONS=detect_leaks=0");
    ChildProcess host(ORDERLINK_HOSTSIM,
                      {"--gateway", gateway.string(), "--replies",
                       ORDERLINK_SOURCE_DIR "/tools/demo/replies.txt", "--timeout", "150"},
                      gatewayEnv, folder / "host.log");
    std::optional<int> status;
    for (auto end = std::chrono::steady_clock::now() + 130s;
         !status && std::chrono::steady_clock::now() < end && host.Running();)
      status = stations.Wait(100ms);
    if (!status) status = stations.Wait(100ms);
    host.Signal(SIGTERM);
    EXPECT_TRUE(host.Wait(15s).has_value());
    run.status = status.value_or(-1);
    run.stations = ReadBytes(folder / "stations.log");
    if (run.status < 0) ADD_FAILURE() << "stations did not end:\n" << run.stations;
    return run;
  }

  TempDir dir;
};

TEST_F(ReplayProgramTest, TodaysGatewayWritesWhatTheCaptureHoldsAndAPutBackFaultShows) {
  // The demo's run, captured as the gateway ends.
  const Run demo = Serve(
      "demo", {"--scenario", ORDERLINK_SOURCE_DIR "/tools/demo/scenario.txt", "--exit-when-done"},
      {"ORDERLINK_CAPTURE_AT_EXIT=1"});
  ASSERT_EQ(demo.status, 0) << demo.stations;
  ASSERT_TRUE(std::filesystem::is_directory(demo.txt / "capture"));
  std::filesystem::path capture;
  for (const auto& e : std::filesystem::directory_iterator(demo.txt / "capture"))
    capture = e.path();
  ASSERT_FALSE(capture.empty());
  // The section header names the program's version as its application.
  EXPECT_NE(ReadBytes(capture).find("OrderLink " + std::string(kVersion)), std::string::npos);

  const Run replay = Serve("replay", {"--replay", capture.string()});
  EXPECT_EQ(replay.status, 0) << replay.stations;
  EXPECT_NE(replay.stations.find(" 0 difference(s)"), std::string::npos) << replay.stations;

  // An earlier round's fault put back: the first reply went out with its last check value
  // off by one. The capture is cut after that reply's confirmation.
  const PcapngFile file = ReadPcapng(ReadBytes(capture));
  std::vector<CapturePort> ports;
  for (const PcapngInterface& i : file.interfaces) ports.push_back({i.name, i.description});
  std::vector<FlightRecorder::Record> records;
  std::string wrong;
  for (const PcapngPacket& p : file.packets) {
    FlightRecorder::Record r{p.micros, static_cast<int>(p.interface) + 1, *p.direction, p.bytes};
    if (wrong.empty() && r.direction == FlightRecorder::Direction::Out && r.bytes[0] == 0x03) {
      r.bytes.back() = static_cast<char>(r.bytes.back() + 1);
      wrong = r.bytes;
    }
    records.push_back(r);
    if (!wrong.empty() && r.direction == FlightRecorder::Direction::In && r.bytes[0] == 0x04) break;
  }
  ASSERT_FALSE(wrong.empty());
  WriteBytes(dir.Path() / "fault.pcapng", PortsToPcapng(ports, records));
  const Run fault = Serve("fault", {"--replay", (dir.Path() / "fault.pcapng").string()});
  EXPECT_EQ(fault.status, 1) << fault.stations;
  // The reply's time of day differs by nature; its check value is the one difference.
  EXPECT_NE(fault.stations.find("frame differs from capture packet"), std::string::npos)
      << fault.stations;
  EXPECT_NE(fault.stations.find("captured " + BytesToHex(wrong) + "\n"), std::string::npos)
      << fault.stations;
  EXPECT_NE(fault.stations.find("first difference at byte " + std::to_string(wrong.size() - 1)),
            std::string::npos)
      << fault.stations;
  EXPECT_NE(fault.stations.find(" 1 difference(s)"), std::string::npos) << fault.stations;
}

}  // namespace
}  // namespace ol::testing
