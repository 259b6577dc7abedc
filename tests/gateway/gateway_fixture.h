#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "core/file_store.h"
#include "core/manual_loop.h"
#include "gateway/handheld_gateway.h"
#include "gateway/hex.h"
#include "testing/fake_port.h"
#include "testing/recording_message_box.h"
#include "testing/request_packets.h"
#include "testing/temp_dir.h"

namespace ol::testing {

// Records what the gateway posts to the host.
class RecordingHostLink : public HostLink {
 public:
  struct Posted {
    WindowHandle to;
    HostMessage message;
  };
  WindowHandle OwnHandle() const override { return 4242; }
  void Post(WindowHandle to, std::uint32_t message, std::uint32_t wparam,
            std::uint32_t lparam) override {
    posted.push_back({to, {message, wparam, lparam}});
  }
  bool WindowExists(WindowHandle) const override { return true; }
  std::vector<Posted> posted;
};

// A gateway in virtual time with four fake station ports and the auxiliary port.
// Slot 1 is station 01 with handhelds 005 and 007 registered; slot 2 station 02 with 010.
class GatewayTest : public ::testing::Test {
 protected:
  GatewayTest() {
    for (int n = 1; n <= 5; ++n) {
      ports[n] = std::make_unique<FakePort>(&loop, n == 5 ? 0 : n);
      comms.Set(n, ports[n].get());
      ports[n]->OpenPort();
      if (n <= 4) gw.AttachStationPort(*ports[n]);
    }
    form["JZID1"].SetText("01");
    form["JZID2"].SetText("02");
    form["COMMID1"].SetText("COM3");
    form["COMMID2"].SetText("COM4");
    form["PADLIST1"].SetLines({"005", "007"});
    form["PADLIST2"].SetLines({"010"});
    form["ListBox3"].SetLines({"01 05 COM3", "02 07 COM4"});
    form["ListBox2"].SetLines({"01 005", "01 007", "02 010"});
    StationStatus(form, 1).SetText("05");
    StationStatus(form, 2).SetText("07");
    gw.Host().SetHandle(777);
  }

  FakePort& Port(int n) { return *ports[n]; }
  // The reply frames port n sent since its last take (the take forgets all it sent).
  std::size_t TakeReplies(int n) {
    std::size_t replies = 0;
    for (const std::string& f : Port(n).TakeSent()) replies += f.starts_with("03") ? 1 : 0;
    return replies;
  }
  static std::filesystem::path Created(std::filesystem::path folder) {
    std::filesystem::create_directories(folder);
    return folder;
  }
  // Marks slots as connected and polling as started, as their channel answers would.
  void Connect(std::initializer_list<int> slots) {
    for (int s : slots) gw.GetPolling().AddConnectedStation(s);
    form.Polling().Start();
  }
  // Polls until handheld hh of slot's station is the one just asked: only its answer opens
  // an exchange.
  void PollUntil(int slot, int hh) {
    for (int i = 0; i < 16; ++i) {
      gw.GetPolling().ComTimerTimer();
      const Polling& polling = gw.GetPolling();
      if (polling.PollReplyFlag() && polling.PolledSlot() == slot &&
          polling.PollHandheldHex() == IntToHex(hh))
        return;
    }
    ADD_FAILURE() << "handheld " << hh << " of slot " << slot << " is never polled";
  }
  std::string T1() { return txt.Read("T1.txt").value_or("<missing>"); }
  // Lets the exchange under way run out (the host stays silent) and forgets what was sent.
  void FinishExchange() {
    loop.Advance(ReplyRelay::kExchangeTime + 1000);
    for (int n = 1; n <= 5; ++n) Port(n).TakeSent();
  }

  ManualLoop loop;
  FormModel form{loop};
  Comms comms;
  TempDir dir;
  // Renames as the system makes them, but a test may have another program hold T1.txt.
  bool t1Held = false;
  RenameRetry renames{{std::chrono::milliseconds(0)},
                      [](std::chrono::milliseconds) {},
                      [this](const std::filesystem::path& from, const std::filesystem::path& to) {
                        if (t1Held && to.filename() == "T1.txt")
                          return RenameRetry::Result{RenameRetry::Outcome::kHeld, "held"};
                        return SystemRename(from, to);
                      }};
  TxtFolder txt{std::make_shared<DiskFileStore>(Created(dir.Path() / "TXT"), nullptr, renames)};
  RecordingMessageBox boxes;
  RecordingHostLink host;
  std::unique_ptr<FakePort> ports[6];
  HandheldGateway gw{GatewayEnv{loop, form, comms, txt, boxes, host}};
};

}  // namespace ol::testing
