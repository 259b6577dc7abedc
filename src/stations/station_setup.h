#pragma once

#include <functional>
#include <string>
#include <vector>

#include "core/event_loop.h"
#include "core/form_model.h"
#include "core/message_box.h"
#include "core/txt_folder.h"
#include "gateway/link.h"
#include "stations/hooks.h"
#include "stations/station_recovery.h"

namespace ol {

// Start-up, loading and refresh of the station configuration: JZ.txt and DCJ.txt into
// the slot controls (COMMIDn, JZIDn, PDIDn, PADLISTn), the station list (ListBox3), the
// registration list (ListBox2) and both station trees, then each configured port opened
// and asked for its channel. The answers arrive through the receive path.
class StationSetup {
 public:
  using PortLister = std::function<std::vector<std::string>()>;

  static constexpr int kBeforeOpenMs = 30;
  static constexpr int kBeforeQueryMs = 100;
  static constexpr int kAnswerWaitMs = 200;
  static constexpr const char* kChannelQuery = "AA400000BB";

  // listSerialPorts is asked by FormCreate and while a station is lost. Every reference
  // must outlive this.
  StationSetup(EventLoop& loop, FormModel& form, Comms& comms, TxtFolder& txt, StationHooks& hooks,
               PortLister listSerialPorts);

  // The window's start-up: timers off, screens, missing files created, activity log
  // emptied, port and channel lists, polling state reset, then LoadStationConfig.
  void FormCreate();
  // Expects PADLIST1..4 empty (the refresh empties them). Waits about 330 ms per
  // configured slot, processing events meanwhile. Slots without a line are emptied.
  void LoadStationConfig();
  // What a channel query does with the receive accumulator the four station ports share.
  // A load empties it, all its ports being opened afresh; one station's query keeps
  // another station's frame that has begun in it, but not the noise a lost line or the
  // radio left there, which would hide the answer for good.
  // Channel query on slot 1..4 with its DTR sequence; waits 300 ms.
  void QueryStationChannel(int slot);
  // Refresh: handheld lists emptied, polling stopped, all five ports closed, the
  // connected stations forgotten, configuration loaded again.
  void ToolButton3Click();
  // A load or refresh is running (its waits let the operator's clicks in): the slot
  // controls are half filled, so nothing may be saved from them or take their ports.
  bool Loading() const { return loading_ > 0; }
  // The device of a station port vanished: shown, and brought back when it reappears.
  void LineLost(int slot) { recovery_.LineLost(slot); }
  const StationRecovery& Recovery() const { return recovery_; }
  // The serial ports present now.
  std::vector<std::string> ListPorts() const {
    return listSerialPorts_ ? listSerialPorts_() : std::vector<std::string>{};
  }

  // The lines of DCJ.txt that the last load could not read, as they stand in the file
  // (GBK). They register nobody, and the save writes them back so they are not lost.
  const std::vector<std::string>& KeptRegistrationLines() const { return keptRegistrations_; }

 private:
  std::vector<std::string> ReadFileLines(const char* name);
  void Log(std::string line);
  void Notice(const std::string& text);

  EventLoop& loop_;
  FormModel& form_;
  Comms& comms_;
  TxtFolder& txt_;
  StationHooks& hooks_;
  PortLister listSerialPorts_;
  int loading_ = 0;
  std::vector<std::string> keptRegistrations_;
  StationRecovery recovery_;
};

}  // namespace ol
