#pragma once

#include <QAbstractButton>
#include <QElapsedTimer>
#include <QPointer>
#include <QTimer>
#include <array>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "testing/fake_port.h"
#include "testing/in_memory_host_link.h"
#include "testing/temp_dir.h"
#include "ui/download_view.h"
#include "ui/main_window.h"
#include "ui/qt_event_loop.h"
#include "ui/settings_view.h"

namespace ol::testing {

// Plays the operator at every message box the window opens: notes its text, leaves it
// open for a while and then presses its OK button.
class BoxOperator {
 public:
  BoxOperator();
  std::vector<std::string> texts;
  int keepOpenMs = 0;
  // Called once per box as soon as it is seen, and once just before OK is pressed.
  std::function<void(const std::string& text)> onShown;
  std::function<void(const std::string& text)> onClosing;

 private:
  void Look();
  QTimer poll_;
  QPointer<QWidget> current_;
  QElapsedTimer shownFor_;
};

// The real window on the real Qt loop, with FakePorts for the five serial ports and the
// in-memory host link. A configured station answers the channel query on its own.
class UiRig {
 public:
  static constexpr WindowHandle kOwnHandle = 700;
  static constexpr WindowHandle kHostHandle = 42;

  // jz and dcj are the configuration files' contents (ASCII), written before the start.
  // channels: the channel byte (channel - 1) each slot's station reports; -1 is mute.
  UiRig(const std::string& jz, const std::string& dcj,
        std::array<int, 5> channels = {-1, 4, 6, -1, -1});
  ~UiRig();

  TForm1& Window() { return *window_; }
  Gateway& Logic() { return window_->Logic(); }
  FormModel& Form() { return window_->Logic().Form(); }
  FakePort& Port(int n) { return *ports_.at(static_cast<std::size_t>(n)); }
  SettingsView* Settings();
  DownloadView* Download();
  QWidget* CurrentScreen();
  QAbstractButton* ToolButton(const char* name);
  QAbstractButton* Button(const char* name);
  QString StatusText();
  // Clicks the tab of the settings page of a slot.
  void PickPage(int slot);
  // Lets the loop run, so the view shows what the logic changed.
  static void Settle(int ms = 60);
  // Writes a file into the TXT folder as it stands (GBK bytes for table files).
  void WriteTxt(const std::string& name, const std::string& bytes);
  std::string ReadTxt(const std::string& name);
  // Poll frames sent to the stations so far on port n.
  int PollFrames(int n);

  InMemoryHostHub hub;
  BoxOperator boxes;
  std::array<int, 5> answerChannel;
  bool acksChannelSetting = true;
  int hides = 0;

 private:
  TempDir dir_;
  QtEventLoop loop_;
  InMemoryHostLink link_{hub, loop_, kOwnHandle};
  InMemoryHostLink host_{hub, loop_, kHostHandle};
  QtMessageBox messageBoxes_;
  std::array<FakePort*, 6> ports_{};
  std::unique_ptr<TForm1> window_;
};

}  // namespace ol::testing
