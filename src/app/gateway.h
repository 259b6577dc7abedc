#pragma once

#include <chrono>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "app/captures.h"
#include "core/event_loop.h"
#include "core/form_model.h"
#include "core/message_box.h"
#include "core/txt_folder.h"
#include "download/screen.h"
#include "download/transfer.h"
#include "gateway/handheld_gateway.h"
#include "monitor/monitor.h"
#include "platform/host_link.h"
#include "stations/channel_setting.h"
#include "stations/settings_screen.h"
#include "stations/station_setup.h"

namespace ol {

// What the gateway asks of its window; the Qt view fills these in, tests record them.
struct WindowHooks {
  std::function<void()> show;  // restore, show and activate
  std::function<void()> hide;
  std::function<void()> minimise;
  std::function<void()> close;  // the program ends
  std::function<bool()> trayAvailable;
  std::function<void(bool)> setTrayVisible;
  // A short message from the tray icon, seen even while the window is hidden.
  std::function<void(const std::string&)> trayMessage;
  // The tray icon's tooltip: the title and the stations' state.
  std::function<void(const std::string&)> trayTip;
};

// The gateway's outside world.
struct GatewayWorld {
  EventLoop& loop;
  HostLink& host;
  MessageBoxService& boxes;
  // Comm1..Comm4 (station slots, Tag = n) and Comm5 (auxiliary, Tag 0).
  std::function<std::unique_ptr<Port>(int n)> makePort;
  std::filesystem::path txtFolder;
  std::function<std::vector<std::string>()> listSerialPorts;
  // Makes the TXT folder's replacements durable; none in tests.
  const FileSync* fileSync = nullptr;
  // The traffic journal (TXT/journal) writes on a thread of its own; tests and
  // simulations in virtual time write it at once instead.
  bool journalThread = true;
  Journal::Limits journalLimits{};
  // The TXT folder's files when they are not the folder txtFolder on the disk (held in
  // memory for fuzzing and simulation); the journal goes to its folder "journal".
  std::shared_ptr<FileStore> txtStore{};
  // The station ports' traffic of the last minutes, for captures; none in tests.
  std::shared_ptr<FlightRecorder> recorder{};
  // The program's version (kVersion) for the status bar's last panel (StatusPanel3) and
  // the first line of logfile.txt; none in tests.
  std::string version{};
};

// The whole gateway put together without a screen: the ports, the timers and controls
// of the form model, and every component wired to the others.
class Gateway {
 public:
  static constexpr const char* kTitle = "无线点菜机系统";
  static constexpr int kHostWaitSteps = 10;  // of 500 ms: a close waits at most 5 s
  static constexpr Millis kHideAfter = 1000;

  explicit Gateway(GatewayWorld world);
  ~Gateway();
  Gateway(const Gateway&) = delete;
  Gateway& operator=(const Gateway&) = delete;

  // The window's creation: configuration files, station ports, channel queries.
  void FormCreate();
  // Before the station ports open: remember the host and announce our own handle to it.
  void Announce(WindowHandle host);

  // The standard close of the window: waits while the host lives (at most 5 s), then the
  // close check. True when the program may end (the station ports are closed then).
  bool FormCloseRequest();
  // The close check alone: the system's log-off query and the host's close command.
  bool CloseQuery();
  // The question of the close check without its consequences: true when the host is gone;
  // otherwise the window hides and the answer is false. For a system that asks first and
  // may still cancel the end of the session.
  bool MayEnd();
  // The end of the session, confirmed: the close check, and when it lets the program end,
  // what the program's end leaves behind done before returning, since the process may be
  // ended any moment after: every port closed, the journal written (waiting at most
  // journalLimit for a slow disk). True when the program may end.
  bool SessionEnds(std::chrono::milliseconds journalLimit = std::chrono::seconds(2));
  // True while the host's window exists: the answer MayEnd would give, without hiding.
  bool HostAlive();
  bool Ended() const { return ended_; }

  // Main window.
  void ToolButton1Click();  // monitor screen
  void ToolButton5Click();  // hide to the tray
  void Button4Click();      // stop polling
  void SaveCaptureClick();  // the station ports' last minutes into TXT/capture
  void Timer1Timer();
  void Timer2Timer();
  // The window became active; startup is true for the activation after program start.
  void FormActivate();
  // The window lost activation; toOtherProgram is false for our own dialogs.
  void FormDeactivate(bool toOtherProgram);
  // Double-click on the tray icon.
  void TrayIconDblClick();

  FormModel& Form() { return form_; }
  HandheldGateway& Handheld() { return handheld_; }
  StationSetup& Setup() { return setup_; }
  SettingsScreen& Settings() { return settings_; }
  ChannelSetting& Channel() { return channel_; }
  DownloadTransfer& Transfer() { return transfer_; }
  DownloadScreen& DownloadView() { return download_; }
  WindowHooks& Window() { return window_; }
  Monitor& GetMonitor() { return monitor_; }
  Captures& GetCaptures() { return captures_; }
  const Comms& Ports() const { return comms_; }
  Port& Comm(int n) { return *ports_[n]; }
  const TxtFolder& Txt() const { return txt_; }
  EventLoop& Loop() { return loop_; }

 private:
  void Hide();
  void ShowByRequest();
  void CloseByHost();
  void StopAndClosePorts();
  // The station ports and the channel port, as the program's end closes them.
  void CloseEveryPort();
  // A fault or recovery the operator should see without a modal box: the monitor log,
  // the status bar's notice panel (StatusPanel2) and a tray message.
  void Notice(const std::string& text);

  EventLoop& loop_;
  HostLink& host_;
  MessageBoxService& boxes_;
  FormModel form_;
  TxtFolder txt_;
  std::unique_ptr<Port> ports_[6];
  Comms comms_;
  Monitor monitor_;
  HandheldGateway handheld_;
  StationHooks stationHooks_;
  StationSetup setup_;
  SettingsScreen settings_;
  ChannelSetting channel_;
  DownloadTransfer transfer_;
  DownloadScreen download_;
  Captures captures_;
  WindowHooks window_;
  bool hidePending_ = false;
  bool startupActivationSeen_ = false;
  bool closing_ = false;
  bool ended_ = false;
  bool noTrayNoted_ = false;
};

}  // namespace ol
