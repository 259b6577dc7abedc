#include "app/gateway.h"

#include <array>

#include "gateway/hex.h"
#include "platform/system_info.h"

namespace ol {

Gateway::Gateway(GatewayWorld world)
    : loop_(world.loop),
      host_(world.host),
      boxes_(world.boxes),
      form_(world.loop),
      txt_(world.txtStore ? TxtFolder(world.txtStore) : TxtFolder(world.txtFolder, world.fileSync)),
      monitor_(world.loop, form_, comms_, txt_.Store().Folder("journal"), world.journalLimits,
               world.journalThread),
      handheld_(GatewayEnv{world.loop, form_, comms_, txt_, world.boxes, world.host}),
      setup_(world.loop, form_, comms_, txt_, stationHooks_, std::move(world.listSerialPorts)),
      settings_(form_, txt_, world.boxes, stationHooks_, setup_),
      channel_(world.loop, form_, comms_, world.boxes, stationHooks_),
      transfer_(form_, comms_, txt_,
                DownloadHooks{
                    [this](int slot) {
                      if (slot == 0)
                        handheld_.Receive().ClearAccumulator();
                      else
                        handheld_.Receive().ClearAccumulator(slot);
                    },
                    [this] { handheld_.GetPolling().ClearPollReply(); },
                    [this](const std::string& text) { boxes_.Show(text); },
                    [this](std::uint32_t wparam, std::uint32_t lparam) {
                      if (WindowHandle h = handheld_.Host().Handle(); h != 0)
                        host_.Post(h, kHostMessage, wparam, lparam);
                    },
                    [this](const TrafficEvent& e) { monitor_.OnTraffic(e); },
                }),
      download_(world.loop, form_, transfer_),
      captures_(
          world.loop, txt_.Store().Folder("capture"), std::move(world.recorder),
          [this](int slot) {
            // The set-up a replay needs: station, channel and handhelds as polled.
            CapturePort port{form_.At("COMMID", slot).Text(), ""};
            PortSetup setup;
            setup.station = DecimalOf(form_.At("JZID", slot).Text());
            setup.channel = DecimalOf(form_.At("PDID", slot).Text());
            for (const std::string& item : form_.At("PADLIST", slot).Lines())
              if (const int h = DecimalOf(item); h >= 0 && h <= 255) setup.handhelds.push_back(h);
            if (setup.station >= 0 && setup.station <= 99 && setup.channel >= 1 &&
                setup.channel <= 64)
              port.description = DescribePortSetup(setup);
            return port;
          },
          [this](const std::string& text) { Notice(text); }) {
  for (int n = 1; n <= 5; ++n) {
    ports_[n] = world.makePort(n);
    ports_[n]->Tag = n <= 4 ? n : 0;
    comms_.Set(n, ports_[n].get());
    if (n <= 4) handheld_.AttachStationPort(*ports_[n]);
    // Nothing else would tell the operator: polls to a vanished station just go nowhere.
    ports_[n]->OnLineLost = [this](Port& port) {
      if (port.Tag >= 1 && port.Tag <= 4) {
        setup_.LineLost(port.Tag);
        monitor_.OnTraffic(TrafficEvent(Traffic::LineLost, port.Tag));
        captures_.OnTraffic(TrafficEvent(Traffic::LineLost, port.Tag));
      } else
        LogLine(form_, "串口" + port.CommName() + "已断开，请检查连接后刷新");
    };
    // A restart does not cure it: the process cannot end while the request is pending
    // (TerminateProcess: "The terminated process cannot exit until all pending I/O has
    // been completed or canceled"). Pulling the adapter makes the driver let go.
    ports_[n]->OnHeldUntilRestart = [this](Port& port) {
      Notice("串口" + port.CommName() +
             "的驱动程序没有放开串口：这个串口一直被占用，无法再打开，网关也无法退出，重新启动"
             "网关无效。请拔下这个串口的USB转串口线，或重新启动Windows");
    };
  }
  ports_[5]->OnReceiveData = [this](Port& sender, const std::uint8_t* buffer,
                                    std::uint16_t length) {
    channel_.Comm5ReceiveData(sender, buffer, length);
  };

  stationHooks_.clearReceiveBuffer = [this](int slot) {
    handheld_.Receive().ClearAccumulator(slot);
  };
  stationHooks_.resetPolling = [this] {
    auto& polling = handheld_.GetPolling();
    polling.ResetPollCursors();
    polling.ClearConnectedStations();
    polling.ClearPollAddress();
  };
  stationHooks_.clearConnectedStations = [this] {
    handheld_.GetPolling().ClearConnectedStations();
    handheld_.GetPolling().ClearPollAddress();
  };
  stationHooks_.clearPollReplyFlag = [this] { handheld_.GetPolling().ClearPollReply(); };
  stationHooks_.clearActivityLog = [this] { handheld_.Activity().Clear(); };
  stationHooks_.loading = [this] { return setup_.Loading(); };
  stationHooks_.notice = [this](const std::string& text) { Notice(text); };

  auto& hooks = handheld_.Hooks();
  hooks.downloadAck = [this](const std::string& record, int) {
    transfer_.HandleAcknowledgement(record);
  };
  hooks.traffic = [this](const TrafficEvent& e) {
    monitor_.OnTraffic(e);
    captures_.OnTraffic(e);
  };
  monitor_.GetHooks().notice = [this](const std::string& text) { Notice(text); };
  monitor_.GetHooks().trayTip = [this](const std::string& text) {
    if (window_.trayTip) window_.trayTip(text);
  };
  hooks.showWindow = [this] { ShowByRequest(); };
  hooks.closeWindow = [this] { CloseByHost(); };
  host_.OnMessage = [this](const HostMessage& m) { handheld_.Relay().HandleHostMessage(m); };

  transfer_.ConnectTimers();
  Timer& clock = form_.TimerNamed("Timer1");
  clock.SetInterval(1000);
  clock.OnTimer = [this] { Timer1Timer(); };
  clock.SetEnabled(true);
  Timer& hider = form_.TimerNamed("Timer2");
  hider.SetInterval(kHideAfter);
  hider.OnTimer = [this] { Timer2Timer(); };
  hider.SetEnabled(true);
  form_["StatusPanel1"].SetText("实时监控界面");
  if (!world.version.empty()) {
    form_["StatusPanel3"].SetText("版本 " + world.version);
    handheld_.Activity().SetHeader("OrderLink " + world.version);
  }
  // The design state of the controls, which every edition's window shows.
  DownloadScreen::PrepareForm(form_);
  SettingsScreen::PrepareForm(form_);
  // The refresh button is hidden and disabled; the settings screen's save runs it.
  form_["ToolButton3"].SetVisible(false);
  form_["ToolButton3"].SetEnabled(false);
}

Gateway::~Gateway() {
  host_.OnMessage = nullptr;
  CloseEveryPort();
}

void Gateway::CloseEveryPort() {
  CloseAll(std::array<Port*, 5>{ports_[1].get(), ports_[2].get(), ports_[3].get(), ports_[4].get(),
                                ports_[5].get()});
}

bool Gateway::SessionEnds(std::chrono::milliseconds journalLimit) {
  if (!CloseQuery()) return false;
  CloseEveryPort();
  monitor_.GetJournal().Flush(journalLimit);
  return true;
}

void Gateway::FormCreate() {
  setup_.FormCreate();
  // The start-up's waits serve the host and the operator: a close accepted during them
  // cannot end the program before its loop runs, so what the start-up opened after it
  // is closed here.
  if (ended_) {
    StopAndClosePorts();
    return;
  }
  Timer1Timer();
  monitor_.StationsChanged();
}

void Gateway::Announce(WindowHandle host) {
  handheld_.Host().SetHandle(host);
  const WindowHandle own = host_.OwnHandle();
  host_.Post(host, kHostMessage, own, own);
}

bool Gateway::FormCloseRequest() {
  if (closing_) return false;  // a close is already waiting for the host
  closing_ = true;
  HostWindow& host = handheld_.Host();
  for (int step = 0; step < kHostWaitSteps; ++step) {
    if (host.Handle() == 0 || host.Gone() || !host_.WindowExists(host.Handle())) break;
    if (!loop_.Delay(0, 500)) break;
  }
  if (host.Handle() == 0 || !host_.WindowExists(host.Handle())) host.MarkGone();
  closing_ = false;
  return CloseQuery();
}

bool Gateway::HostAlive() {
  HostWindow& host = handheld_.Host();
  return !host.Gone() && host.Handle() != 0 && host_.WindowExists(host.Handle());
}

bool Gateway::MayEnd() {
  if (!HostAlive()) return true;
  Hide();
  return false;
}

bool Gateway::CloseQuery() {
  if (!MayEnd()) return false;
  StopAndClosePorts();
  ended_ = true;
  // Waits that are running resume into a program that ends: they return at once and
  // start nothing new.
  loop_.EndWaits();
  return true;
}

void Gateway::Notice(const std::string& text) {
  LogLine(form_, text);
  form_["StatusPanel2"].SetText(text);
  if (window_.trayMessage) window_.trayMessage(text);
}

void Gateway::StopAndClosePorts() {
  form_.TimerNamed("Timer1").SetEnabled(false);
  form_.Polling().Stop();
  CloseAll(
      std::array<Port*, 4>{ports_[1].get(), ports_[2].get(), ports_[3].get(), ports_[4].get()});
}

void Gateway::CloseByHost() {
  if (CloseQuery() && window_.close) window_.close();
}

void Gateway::ToolButton1Click() {
  form_["Panel1"].SetVisible(true);
  form_["Panel2"].SetVisible(false);
  form_["Panel3"].SetVisible(false);
  form_["StatusPanel1"].SetText("实时监控界面");
  form_.Polling().Start();
}

void Gateway::ToolButton5Click() {
  Hide();
}

void Gateway::SaveCaptureClick() {
  try {
    Notice("抓包已保存：TXT/capture/" + captures_.SaveNow());
  } catch (const FileError& e) {
    boxes_.Show(std::string("无法保存抓包：") + e.what());
  }
}

void Gateway::Button4Click() {
  form_.Polling().Stop();
}

void Gateway::Timer1Timer() {
  form_["StatusPanel0"].SetText(SystemDateTimeText(loop_.LocalTime()));
}

void Gateway::Timer2Timer() {
  if (!hidePending_) return;
  hidePending_ = false;
  form_.TimerNamed("Timer2").SetEnabled(false);
  Hide();
}

void Gateway::FormActivate() {
  if (window_.setTrayVisible) window_.setTrayVisible(true);
  // Only the activation that follows the start hides the window by itself; a window the
  // operator or the host brought back stays until the operator leaves it.
  if (startupActivationSeen_) return;
  startupActivationSeen_ = true;
  hidePending_ = true;
  form_.TimerNamed("Timer2").SetEnabled(true);
}

void Gateway::FormDeactivate(bool toOtherProgram) {
  if (toOtherProgram) Hide();
}

void Gateway::TrayIconDblClick() {
  ShowByRequest();
}

void Gateway::ShowByRequest() {
  hidePending_ = false;
  if (window_.show) window_.show();
}

void Gateway::Hide() {
  const bool tray = !window_.trayAvailable || window_.trayAvailable();
  if (tray) {
    if (window_.setTrayVisible) window_.setTrayVisible(true);
    if (window_.hide) window_.hide();
    return;
  }
  // Without a tray a hidden window could never come back.
  if (!noTrayNoted_) {
    noTrayNoted_ = true;
    LogLine(form_, "系统托盘不可用，窗口最小化而不隐藏");
  }
  if (window_.minimise) window_.minimise();
}

}  // namespace ol
