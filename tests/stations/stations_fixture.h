#pragma once

#include <gtest/gtest.h>

#include <array>
#include <memory>
#include <string>
#include <vector>

#include "core/form_model.h"
#include "core/manual_loop.h"
#include "core/txt_folder.h"
#include "gateway/hex.h"
#include "gateway/link.h"
#include "stations/hooks.h"
#include "stations/station_setup.h"
#include "testing/fake_port.h"
#include "testing/recording_message_box.h"
#include "testing/temp_dir.h"

namespace ol::testing {

// Four station ports and Comm5 as FakePorts, a TXT folder that does not exist yet, and
// stations that answer the channel query on their own.
class StationsTest : public ::testing::Test {
 protected:
  StationsTest() {
    for (int n = 1; n <= 5; ++n) {
      ports_[n] = std::make_unique<FakePort>(&loop, n);
      comms.Set(n, ports_[n].get());
    }
    for (int n = 1; n <= 4; ++n) ports_[n]->OnReceiveData = StandInReceivePath();
    hooks.clearReceiveBuffer = [this](int) { ++bufferClears; };
    hooks.resetPolling = [this] { ++pollingResets; };
    hooks.clearConnectedStations = [this] { ++connectedClears; };
    hooks.clearPollReplyFlag = [this] { ++pollReplyClears; };
    // Stations watch their port every 10 ms and answer a new channel query at once.
    loop.StartTimer(10, [this] { AnswerQueries(); });
  }

  FakePort& Port(int n) { return *ports_[n]; }

  void WriteTxt(const std::string& name, const std::string& bytes) { txt.Write(name, bytes); }
  std::string ReadTxt(const std::string& name) { return txt.Read(name).value_or("<missing>"); }

  // A configured station on slot n answers the query with this channel byte; -1 is mute.
  std::array<int, 5> answerChannel{-1, -1, -1, -1, -1};

  TempDir dir;
  ManualLoop loop;
  FormModel form{loop};
  TxtFolder txt{dir.Path() / "TXT"};
  RecordingMessageBox boxes{&loop};
  Comms comms;
  StationHooks hooks;
  int bufferClears = 0, pollingResets = 0, connectedClears = 0, pollReplyClears = 0;
  int portListCalls = 0;
  std::vector<std::string> portList{"COM1", "COM3", "COM4"};
  StationSetup setup{loop, form, comms, txt, hooks, [this] {
                       ++portListCalls;
                       return portList;
                     }};

 private:
  // Does what the receive path does with a channel answer on a station port: the slot's
  // status text, Label3 and PDIDn take the reported channel.
  Port::ReceiveDataEvent StandInReceivePath() {
    return [this](ol::Port& sender, const std::uint8_t* data, std::uint16_t length) {
      std::string hex = BytesToHex(data, length);
      if (hex.size() != 12 || hex.rfind("AA4F", 0) != 0 || hex.substr(10) != "BB") return;
      std::string channel = ZeroPad(HexToInt(hex.substr(6, 2)) + 1, 2);
      StationStatus(form, sender.Tag).SetText(channel);
      form["Label3"].SetText(channel);
      form.At("PDID", sender.Tag).SetText(channel);
    };
  }

  void AnswerQueries() {
    for (int n = 1; n <= 4; ++n) {
      const auto& sent = ports_[n]->Sent();
      for (; seen_[n] < sent.size(); ++seen_[n]) {
        if (sent[seen_[n]] == "AA400000BB" && answerChannel[n] >= 0)
          ports_[n]->ReceiveHex("AA4F00" + IntToHex(answerChannel[n]) + "00BB");
      }
    }
  }

  std::array<std::unique_ptr<FakePort>, 6> ports_;
  std::array<std::size_t, 5> seen_{};
};

inline std::vector<std::string> Children(const Control& tree, std::size_t node) {
  std::vector<std::string> out;
  if (node < tree.Nodes().size())
    for (const TreeNode& child : tree.Nodes()[node].children) out.push_back(child.text);
  return out;
}

}  // namespace ol::testing
