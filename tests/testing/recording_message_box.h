#pragma once

#include <string>
#include <vector>

#include "core/event_loop.h"
#include "core/message_box.h"

namespace ol::testing {

// Records every text shown; when holdMs is set the "operator" keeps the box open for that
// long in virtual time, with events running meanwhile.
class RecordingMessageBox : public MessageBoxService {
 public:
  explicit RecordingMessageBox(EventLoop* loop = nullptr, Millis holdMs = 0)
      : loop_(loop), holdMs_(holdMs) {}
  void Show(const std::string& text) override {
    texts.push_back(text);
    if (loop_ && holdMs_ > 0) loop_->Delay(static_cast<int>(holdMs_ / 1000), holdMs_ % 1000);
  }
  // From now on every box stays open ms of the loop's time.
  void Hold(EventLoop& loop, Millis ms) {
    loop_ = &loop;
    holdMs_ = ms;
  }
  std::vector<std::string> texts;

 private:
  EventLoop* loop_;
  Millis holdMs_;
};

}  // namespace ol::testing
