#include "app/gateway.h"

#include <gtest/gtest.h>

#include "app/app_rig.h"
#include "gateway/hex.h"
#include "platform/system_info.h"
#include "testing/one_shot.h"
#include "testing/request_packets.h"

namespace ol::testing {
namespace {

class AppTest : public ::testing::Test, protected AppRig {};

TEST_F(AppTest, ClockShowsTheLoopsLocalTimeInTheSystemsFormat) {
  loop.SetWallClock(ManualLoop::At({2026, 12, 31, 23, 59, 58}));
  Start();
  EXPECT_EQ(gw->Form()["StatusPanel0"].Text(), SystemDateTimeText({2026, 12, 31, 23, 59, 58}));
  loop.Advance(2000 - loop.Now());
  EXPECT_EQ(gw->Form()["StatusPanel0"].Text(), SystemDateTimeText({2027, 1, 1, 0, 0, 0}));
}

TEST_F(AppTest, StartUpConnectsTheAnsweringStationsAndAnnouncesItself) {
  answering[2] = false;
  Start();
  FormModel& form = gw->Form();
  EXPECT_EQ(StationStatus(form, 1).Text(), "05");  // answered AA 4F 00 04 00 BB
  EXPECT_EQ(StationStatus(form, 2).Text(), kNotConnected);
  EXPECT_TRUE(form.TimerNamed("ComTimer").Enabled());
  auto toHost = hub.PostedTo(kHost);
  ASSERT_EQ(toHost.size(), 1u);
  EXPECT_EQ(toHost[0].wparam, kOwn);
  EXPECT_EQ(toHost[0].lparam, kOwn);
  EXPECT_TRUE(std::filesystem::exists(Txt("logfile.txt")));
  // Polling reaches only the connected station.
  ports[1]->TakeSent();
  ports[2]->TakeSent();
  loop.Advance(70 * 4);
  EXPECT_EQ(ports[1]->TakeSent(), (std::vector<std::string>(4, "AA010500B0")));
  EXPECT_TRUE(ports[2]->Sent().empty());
}

TEST_F(AppTest, WholeExchangeWithTheHost) {
  Start();
  ports[1]->TakeSent();
  // The handheld answers a poll with a request; the host answers the request file.
  host.OnMessage = [this](const HostMessage& m) {
    if (m.wparam == 1 && m.lparam == 1) {
      WriteBytes(Txt("R1.txt"), "DL\r\nOK\r\n");
      host.Post(kOwn, kHostMessage, 0, 1);
    }
  };
  ports[1]->onSend = [this](const std::string& hex) {
    if (hex == "AA010500B0")
      loop.Post([this] { ports[1]->ReceiveHex("A50105"); });
    else if (hex == "02010501014E4F00A7") {
      std::string p = "01010501010000001F0102030405064C";
      p += BytesToHex("1234567890ABCD12345678") + "11223344";
      p.resize(110, '0');
      p += FrameCheck(p);
      loop.Post([this, p] { ports[1]->ReceiveHex(p); });
    } else if (hex.starts_with("03")) {
      loop.Post([this] { ports[1]->ReceiveHex("040105000000000000"); });
    }
  };
  loop.Advance(2000);
  EXPECT_EQ(ReadBytes(Txt("T1.txt")), "DL   005\r\n1234567890 ABCD 12345678\r\n");
  std::size_t replies = 0;
  for (auto& s : ports[1]->Sent()) replies += s.starts_with("0301055555550000") ? 1 : 0;
  EXPECT_GE(replies, 1u);
  EXPECT_EQ(ReadBytes(Txt("R2.txt")), "OK\r\n");
  EXPECT_TRUE(gw->Form().TimerNamed("ComTimer").Enabled());
}

// Whoever stops polling resumes it: an exchange that runs out during a download request,
// a channel setting or an edit of the handheld lists leaves polling stopped until the
// operator leaves that screen.
TEST(AppPollingTest, AnExchangeEndingUnderAnotherHoldLeavesPollingStopped) {
  const struct {
    const char* what;
    std::function<void(Gateway&)> stop, leave;
  } cases[] = {
      {"download",
       [](Gateway& g) {
         g.DownloadView().ToolButton2Click();
         g.DownloadView().BitBtn1Click();
       },
       [](Gateway& g) { g.DownloadView().Button2Click(); }},
      {"channel setting",
       [](Gateway& g) {
         g.Settings().ToolButton4Click();
         g.Channel().Button1Click();
       },
       [](Gateway& g) { g.Settings().Button3Click(); }},
      {"delete",
       [](Gateway& g) {
         g.Settings().ToolButton4Click();
         g.Settings().Button5Click();
       },
       [](Gateway& g) { g.Settings().Button3Click(); }},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    AppRig rig;
    rig.Start();
    // 005 asks at the next poll and uploads its request; the host stays silent.
    bool asked = false;
    rig.ports[1]->onSend = [&](const std::string& hex) {
      if (hex == "AA010500B0" && !asked) {
        asked = true;
        rig.loop.Post([&] { rig.ports[1]->ReceiveHex("A50105"); });
      } else if (hex == "02010501014E4F00A7") {
        std::string p = BuildPackets(1, 5, 0x53, std::string("T01") + '\0')[0];
        rig.loop.Post([&rig, p] { rig.ports[1]->ReceiveHex(p); });
      }
    };
    rig.loop.Advance(800);
    ASSERT_TRUE(asked);
    c.stop(*rig.gw);
    auto polls = [&] {
      std::size_t n = 0;
      for (int p = 1; p <= 2; ++p)
        for (auto& s : rig.ports[p]->TakeSent())
          n += s.size() == 10 && s.starts_with("AA0") ? 1 : 0;
      return n;
    };
    polls();
    rig.loop.Advance(ReplyRelay::kExchangeTime + 3000);  // the exchange runs out meanwhile
    EXPECT_EQ(polls(), 0u);
    c.leave(*rig.gw);
    rig.loop.Advance(500);
    EXPECT_GT(polls(), 0u);
  }
}

TEST_F(AppTest, CloseWhileTheHostLivesWaitsFiveSecondsThenHides) {
  Start();
  const Millis start = loop.Now();
  EXPECT_FALSE(gw->FormCloseRequest());
  EXPECT_EQ(loop.Now() - start, 5000);
  EXPECT_EQ(events.back(), "hide");
  EXPECT_FALSE(gw->Ended());
  EXPECT_TRUE(gw->Comm(1).IsOpen());
  EXPECT_TRUE(gw->Form().TimerNamed("ComTimer").Enabled());
}

TEST_F(AppTest, CloseAfterTheHostWentEndsWithoutWaitingAndClosesThePorts) {
  Start();
  hub.SetWindowExists(kHost, false);
  const Millis start = loop.Now();
  EXPECT_TRUE(gw->FormCloseRequest());
  EXPECT_EQ(loop.Now(), start);
  for (int n = 1; n <= 4; ++n) EXPECT_FALSE(gw->Comm(n).IsOpen());
  EXPECT_FALSE(gw->Form().TimerNamed("ComTimer").Enabled());
  EXPECT_FALSE(gw->Form().TimerNamed("Timer1").Enabled());
}

TEST_F(AppTest, HostLeavingDuringTheWaitEndsAtTheNextStep) {
  Start();
  const Millis start = loop.Now();
  Timer leave(loop, 1200);
  leave.OnTimer = [&] {
    hub.SetWindowExists(kHost, false);
    leave.SetEnabled(false);
  };
  leave.SetEnabled(true);
  EXPECT_TRUE(gw->FormCloseRequest());
  EXPECT_EQ(loop.Now() - start, 1500);
}

TEST_F(AppTest, HostCloseCommandEndsAtOnceAndShowCommandShows) {
  Start();
  host.Post(kOwn, kHostMessage, 0, 12);
  loop.RunPending();
  EXPECT_EQ(events.back(), "show");
  host.Post(kOwn, kHostMessage, 0, 16);
  loop.RunPending();
  EXPECT_EQ(events.back(), "close");
  EXPECT_TRUE(gw->Ended());
  EXPECT_FALSE(gw->Comm(1).IsOpen());
}

// The start-up waits between stations and serves the host meanwhile: a close accepted
// then must not be undone by the stations the start-up opens after it.
TEST_F(AppTest, CloseCommandDuringTheStartUpLeavesEveryPortClosed) {
  OneShot command(loop, 10, [&] { host.Post(kOwn, kHostMessage, 0, 16); });
  Start();
  EXPECT_TRUE(gw->Ended());
  // The waits end with the program: the start-up went no further.
  EXPECT_EQ(loop.Now(), 10);
  EXPECT_TRUE(ports[2]->Sent().empty());
  EXPECT_FALSE(loop.Delay(0, 500));
  loop.Advance(3000);
  for (int n = 1; n <= 4; ++n) EXPECT_FALSE(gw->Comm(n).IsOpen()) << n;
  EXPECT_FALSE(gw->Form().TimerNamed("ComTimer").Enabled());
  EXPECT_FALSE(gw->Form().TimerNamed("Timer1").Enabled());
}

// The start-up's waits let the operator's clicks in while the slot controls are half
// filled: a save would write that half, a channel setting take a slot's device, a refresh
// start a second load inside the first.
TEST_F(AppTest, NoSaveChannelSettingOrRefreshWhileTheConfigurationLoads) {
  const std::string jz = ReadBytes(Txt("JZ.txt"));
  const std::string dcj = ReadBytes(Txt("DCJ.txt"));
  OneShot click(loop, 100, [&] {
    gw->Settings().BitBtn2Click();
    gw->Channel().Button1Click();
    gw->Setup().ToolButton3Click();
  });
  Start();
  EXPECT_EQ(boxes.texts, (std::vector<std::string>{kBusyLoading, kBusyLoading}));
  EXPECT_EQ(ReadBytes(Txt("JZ.txt")), jz);
  EXPECT_EQ(ReadBytes(Txt("DCJ.txt")), dcj);
  EXPECT_EQ(gw->Form()["PADLIST2"].Lines(), std::vector<std::string>{"010"});
  EXPECT_EQ(StationStatus(gw->Form(), 2).Text(), "06");
  gw->Settings().BitBtn2Click();  // once loaded, a save goes through
  EXPECT_EQ(boxes.texts.size(), 2u);
}

// The device of station 2 is unplugged and plugged in again: shown where the operator
// looks, not polled meanwhile, and back in polling without anyone's help, even when
// its first answer after the reopening is lost. A port that appears meanwhile is named
// once, for an adapter that came back under another number.
TEST_F(AppTest, AVanishedStationIsShownAndComesBackWhenItsDeviceReappears) {
  Start();
  FormModel& form = gw->Form();
  auto polls = [this] {
    int n = 0;
    for (const std::string& hex : ports[2]->TakeSent()) n += hex.rfind("AA02", 0) == 0;
    return n;
  };
  loop.Advance(1000);
  ASSERT_GT(polls(), 0);
  ports[2]->failOpen = true;  // the device path is gone
  ports[2]->LoseLine();
  const std::string lost = "基站2（串口ttyS1）的设备已断开，在同一串口重新接上后将自动恢复";
  EXPECT_EQ(StationStatus(form, 2).Text(), kNotConnected);
  EXPECT_EQ(form["TreeView1"].Nodes()[1].text, "基站2（已断开）");
  EXPECT_EQ(form["StatusPanel2"].Text(), lost);
  EXPECT_EQ(trayMessages, std::vector<std::string>{lost});
  loop.Advance(3 * StationRecovery::kRetryInterval);
  EXPECT_EQ(polls(), 0);
  EXPECT_EQ(StationStatus(form, 1).Text(), "05");  // the other station goes on
  EXPECT_EQ(trayMessages.size(), 1u);              // the ports present at the loss are no news
  serialPorts = {"ttyS0", "ttyS9", "ttyUSB0"};
  loop.Advance(3 * StationRecovery::kRetryInterval);
  EXPECT_EQ(trayMessages,
            (std::vector<std::string>{lost,
                                      "新出现串口ttyS9：若基站2（串口ttyS1）的设备接到了这里，"
                                      "请在基站设置中把串口改为ttyS9，保存后刷新",
                                      "新出现串口ttyUSB0：若基站2（串口ttyS1）的设备接到了这里，"
                                      "请在基站设置中把串口改为ttyUSB0，保存后刷新"}));

  ports[2]->failOpen = false;  // the same path is back, the station still silent
  answering[2] = false;
  loop.Advance(StationRecovery::kRetryInterval + 1000);
  EXPECT_TRUE(ports[2]->IsOpen());
  EXPECT_EQ(StationStatus(form, 2).Text(), kNotConnected);
  answering[2] = true;  // asked again until it answers
  loop.Advance(StationRecovery::kRetryInterval);
  EXPECT_EQ(StationStatus(form, 2).Text(), "06");
  EXPECT_EQ(form["TreeView1"].Nodes()[1].text, "基站2");
  EXPECT_EQ(trayMessages.back(), "基站2（串口ttyS1）的设备已重新出现，已重新打开并查询信道");
  EXPECT_GT(polls(), 0);
  // No further attempts once nothing is lost.
  const int opens = ports[2]->openCount;
  loop.Advance(3 * StationRecovery::kRetryInterval);
  EXPECT_EQ(ports[2]->openCount, opens);
}

// The version a support call starts with: at the status bar's end and atop logfile.txt,
// where it stays whatever the log holds and however long a record is.
TEST_F(AppTest, TheVersionEndsTheStatusBarAndHeadsTheLogThroughout) {
  version = "v1.2.0-3-g0123456789";
  WriteBytes(Txt("logfile.txt"), "yesterday\r\n");
  Start();
  EXPECT_EQ(gw->Form()["StatusPanel3"].Text(), "版本 v1.2.0-3-g0123456789");
  const std::string header = "OrderLink v1.2.0-3-g0123456789\r\n";
  EXPECT_EQ(ReadBytes(Txt("logfile.txt")), header);
  ActivityLog& log = gw->Handheld().Activity();
  for (std::size_t i = 0; i <= ActivityLog::kMaxLines; ++i)
    log.Append({"DL   " + std::to_string(i)});
  std::string file = ReadBytes(Txt("logfile.txt"));
  EXPECT_EQ(file.rfind(header + "DL   1\r\n", 0), 0u);  // line 0 scrolled out, the header not
  EXPECT_TRUE(file.ends_with("DL   " + std::to_string(ActivityLog::kMaxLines) + "\r\n"));
  log.Append({std::string(ActivityLog::kMaxBytes, 'y')});
  file = ReadBytes(Txt("logfile.txt"));
  EXPECT_EQ(file.size(), ActivityLog::kMaxBytes);
  EXPECT_EQ(file.rfind(header + "yyy", 0), 0u);
}

// Nobody may be there to press OK: a log that cannot be emptied is reported where the
// operator looks and the start-up goes on.
TEST_F(AppTest, AnUnwritableLogAtStartIsReportedWithoutStoppingTheStations) {
  std::filesystem::create_directory(Txt("logfile.txt"));  // cannot be replaced by a file
  Start();
  FormModel& form = gw->Form();
  EXPECT_TRUE(boxes.texts.empty());
  EXPECT_EQ(StationStatus(form, 1).Text(), "05");
  EXPECT_TRUE(form.TimerNamed("ComTimer").Enabled());
  ASSERT_EQ(trayMessages.size(), 1u);
  EXPECT_EQ(trayMessages[0].rfind("无法清空 logfile.txt", 0), 0u) << trayMessages[0];
  EXPECT_EQ(form["StatusPanel2"].Text(), trayMessages[0]);
  // Once the folder is fixed, the next record writes the file again.
  std::filesystem::remove(Txt("logfile.txt"));
  gw->Handheld().Activity().Append({"DL   005"});
  EXPECT_EQ(ReadBytes(Txt("logfile.txt")), "DL   005\r\n");
  host.Post(kOwn, kHostMessage, 0, 16);
  loop.RunPending();
  EXPECT_TRUE(gw->Ended());
}

TEST_F(AppTest, SystemQueryIsAnsweredByTheCloseCheckAlone) {
  Start();
  const Millis start = loop.Now();
  EXPECT_FALSE(gw->CloseQuery());
  EXPECT_EQ(loop.Now(), start);
  EXPECT_EQ(events.back(), "hide");
  hub.SetWindowExists(kHost, false);
  // Asked first (the Windows session's query): consent changes nothing, so an end that
  // another program cancels leaves a working gateway.
  EXPECT_TRUE(gw->MayEnd());
  EXPECT_TRUE(gw->Comm(1).IsOpen());
  EXPECT_FALSE(gw->Ended());
  EXPECT_TRUE(gw->CloseQuery());
  EXPECT_FALSE(gw->Comm(1).IsOpen());
}

TEST_F(AppTest, OnlyTheStartUpActivationHidesByItself) {
  Start();
  gw->FormActivate();
  gw->FormActivate();  // twice within a second: one pending hide
  loop.Advance(1000);
  EXPECT_EQ(std::count(events.begin(), events.end(), "hide"), 1);
  // Brought back from the tray, the window stays until the operator leaves it.
  gw->TrayIconDblClick();
  gw->FormActivate();
  loop.Advance(5000);
  EXPECT_EQ(events.back(), "show");
  gw->FormDeactivate(false);  // our own message box took the focus
  EXPECT_EQ(events.back(), "show");
  gw->FormDeactivate(true);  // another program
  EXPECT_EQ(events.back(), "hide");
}

TEST_F(AppTest, WithoutATrayTheWindowMinimisesAndSaysSoOnce) {
  tray = false;
  Start();
  gw->ToolButton5Click();
  gw->ToolButton5Click();
  EXPECT_EQ(events, (std::vector<std::string>{"minimise", "minimise"}));
  int notes = 0;
  for (auto& l : gw->Form()["Memo1"].Lines()) notes += l == "系统托盘不可用，窗口最小化而不隐藏";
  EXPECT_EQ(notes, 1);
}

}  // namespace
}  // namespace ol::testing
