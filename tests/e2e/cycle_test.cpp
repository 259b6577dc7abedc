// The whole request cycle with the real programs: the substitute host starts the
// gateway, which serves two simulated stations over pseudo-terminals.
#include <gtest/gtest.h>

#include <csignal>
#include <thread>

#include "core/gbk.h"
#include "core/text_file.h"
#include "process.h"
#include "testing/temp_dir.h"

namespace ol::testing {
namespace {

using namespace std::chrono_literals;

class CycleTest : public ::testing::Test {
 protected:
  CycleTest() { gateway = InstallProgram(ORDERLINK_PROGRAM, dir.Path() / "bin"); }

  std::filesystem::path Txt(const char* name) { return dir.Path() / "bin" / "TXT" / name; }
  std::string Read(const std::filesystem::path& p) { return ReadBytes(p); }

  // Starts two stations with the scenario and waits until they have written the
  // gateway's configuration.
  void StartStations(const std::string& scenario) {
    std::filesystem::create_directories(dir.Path() / "bin" / "TXT");
    WriteBytes(dir.Path() / "scenario.txt", scenario);
    stations = std::make_unique<ChildProcess>(
        ORDERLINK_STATIONSIM,
        std::vector<std::string>{"--station", "1:ch5:5,7", "--station", "2:ch9:10", "--ports-file",
                                 Txt("JZ.txt").string(), "--dcj-file", Txt("DCJ.txt").string(),
                                 "--scenario", (dir.Path() / "scenario.txt").string(),
                                 "--exit-when-done", "--timeout", "60"},
        std::vector<std::string>{}, dir.Path() / "stations.log");
    auto deadline = std::chrono::steady_clock::now() + 10s;
    while (std::chrono::steady_clock::now() < deadline &&
           !(std::filesystem::exists(Txt("DCJ.txt")) &&
             Read(Txt("JZ.txt")).find("02 ") != std::string::npos))
      std::this_thread::sleep_for(10ms);
  }
  void StartHost(std::vector<std::string> extra = {}) {
    std::vector<std::string> args{"--gateway", gateway.string(), "--timeout", "90"};
    args.insert(args.end(), extra.begin(), extra.end());
    host = std::make_unique<ChildProcess>(
        ORDERLINK_HOSTSIM, args,
        std::vector<std::string>{"QT_QPA_PLATFORM=offscreen", "ASAN_OPTIONS=detect_leaks=0"},
        dir.Path() / "host.log");
  }
  // Waits for the stations to finish their scenario, then ends the host (and with it
  // the gateway).
  int Finish() {
    // The stations end when their scenario is done; a host that ends first (its gateway
    // could not start) ends the wait at once.
    std::optional<int> status;
    for (auto end = std::chrono::steady_clock::now() + 60s;
         !status && std::chrono::steady_clock::now() < end && host->Running();)
      status = stations->Wait(100ms);
    if (!status) status = stations->Wait(100ms);
    host->Signal(SIGTERM);
    EXPECT_TRUE(host->Wait(15s).has_value());
    if (!status) {
      ADD_FAILURE() << "stations did not finish:\n"
                    << Read(dir.Path() / "stations.log") << "\n--- host:\n"
                    << Read(dir.Path() / "host.log");
      return -1;
    }
    if (*status != 0)
      ADD_FAILURE() << Read(dir.Path() / "stations.log") << "\n--- host:\n"
                    << Read(dir.Path() / "host.log");
    return *status;
  }

  TempDir dir;
  std::filesystem::path gateway;
  std::unique_ptr<ChildProcess> stations, host;
};

TEST_F(CycleTest, RequestsReachTheHostAndRepliesTheRightHandhelds) {
  StartStations(
      "at 0.5 station 1 handheld 5 request DL payload \"1234567890ABCDEFGHIJKLMN\" "
      "expect text \"登录成功\\r\\n\"\n"
      "at 1.0 station 2 handheld 10 request DC payload \"T03    X001Y00000000001\\x02"
      "A0001  2 U01 少辣多葱    01 B0002 10 U02 Note8765432102!\" "
      "expect text \"下单成功\\r\\n\"\n");
  StartHost();
  EXPECT_EQ(Finish(), 0);
  // Both records reached the host byte for byte; the activity log keeps them all.
  const std::string log = Read(Txt("logfile.txt"));
  EXPECT_NE(log.find("DL   005\r\n1234567890 ABCD EFGHIJKL\r\n"), std::string::npos) << log;
  const std::string dc =
      "DC   010\r\nT03    " + std::string(12, ' ') + "Y00000000001" + std::string(6, ' ');
  EXPECT_NE(log.find(dc), std::string::npos) << GbkToUtf8(log);
  EXPECT_NE(log.find("T03     A0001 2    " + Utf8ToGbk("少辣多葱    ") + " 01 0 "),
            std::string::npos)
      << GbkToUtf8(log);
  EXPECT_NE(log.find("T03     B0002 10   Note87654321 02 1 "), std::string::npos);
}

TEST_F(CycleTest, SilentHostGivesTheHandheldTheNoReplyText) {
  StartStations(
      "at 0.5 station 1 handheld 7 request KT payload \"0012051234\" "
      "expect text \"信息上传完毕,系统无回复数据，请与管理员联系\"\n");
  StartHost({"--silent"});
  EXPECT_EQ(Finish(), 0);
  EXPECT_EQ(Read(Txt("T1.txt")), "KT   007\r\n0012 05 1234\r\n");
}

}  // namespace
}  // namespace ol::testing
