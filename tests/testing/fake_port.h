#pragma once

#include <functional>
#include <string>
#include <vector>

#include "core/event_loop.h"
#include "serial/port.h"

namespace ol::testing {

// A station port for logic tests: records what the logic sends and every DTR change,
// and lets the test deliver received chunks synchronously.
class FakePort : public Port {
 public:
  struct DtrChange {
    Millis at;
    bool raised;  // line level after the change
  };

  explicit FakePort(EventLoop* loop = nullptr, int tag = 0) : loop_(loop) { Tag = tag; }

  void OpenPort() override;
  void ClosePort() override;
  bool IsOpen() const override { return open_; }
  bool SendData(const std::uint8_t* data, std::uint16_t length) override;
  const std::string& CommName() const override { return name_; }
  void SetCommName(std::string name) override { name_ = std::move(name); }
  TDtrControl DtrControl() const override { return dtr_; }
  void SetDtrControl(TDtrControl mode) override;
  void RecordAs(int slot) override { recordedAs = slot; }

  // The device vanishes, as an unplugged adapter does.
  void LoseLine() {
    if (OnLineLost) OnLineLost(*this);
  }
  // Delivers bytes as one received chunk, as the reader thread would.
  void Receive(const std::string& bytes);
  void ReceiveHex(const std::string& hex);

  // Everything sent since the last TakeSent, each send as upper-case hex.
  std::vector<std::string> TakeSent();
  const std::vector<std::string>& Sent() const { return sent_; }

  // Called after each send with its hex text, so a test can answer like a station.
  std::function<void(const std::string& hex)> onSend;
  // Called with each chunk before the gateway reads it, as the reader thread's tap is.
  std::function<void(const std::string& bytes)> onReceive;
  bool failOpen = false;  // OpenPort raises "Error opening serial port"
  int openCount = 0;
  int recordedAs = 0;
  std::vector<DtrChange> dtrChanges;

 private:
  EventLoop* loop_;
  bool open_ = false;
  std::string name_ = "COM2";
  TDtrControl dtr_ = TDtrControl::DtrEnable;
  std::vector<std::string> sent_;
};

}  // namespace ol::testing
