#pragma once

#include <cstdint>

#include "core/event_loop.h"
#include "core/form_model.h"
#include "core/message_box.h"
#include "gateway/link.h"
#include "stations/hooks.h"

namespace ol {

// Changing a station's radio channel: the station's device is taken over by the
// auxiliary port Comm5, which sends the channel-setting frame and listens 300 ms for the
// acknowledgement. The composition root routes Comm5's OnReceiveData to Comm5ReceiveData.
class ChannelSetting {
 public:
  static constexpr int kBeforeOpenMs = 30;
  static constexpr int kAckWaitMs = 300;
  static constexpr const char* kMissingField = "请选择串口、输入基站ID、选择频道ID";
  static constexpr const char* kSuccess =
      "频道设置成功,请重新给基站上电，进行硬件复位...... 然后【保存】";
  static constexpr const char* kNoAnswer = "基站无应答，请检查基站连接情况";

  // Every reference must outlive this.
  ChannelSetting(EventLoop& loop, FormModel& form, Comms& comms, MessageBoxService& boxes,
                 StationHooks& hooks);

  // "频道设置" on the active page. Ignored while Button1 is disabled (one at a time).
  void Button1Click();
  // Every chunk goes to the monitor log; one that begins AA 4F while a setting waits for
  // the answer to its frame is the acknowledgement.
  void Comm5ReceiveData(Port& sender, const std::uint8_t* buffer, std::uint16_t length);

  bool ChannelAnswerFlag() const { return channelAnswer_; }

 private:
  EventLoop& loop_;
  FormModel& form_;
  Comms& comms_;
  MessageBoxService& boxes_;
  StationHooks& hooks_;
  bool channelAnswer_ = false;
  // From the send of a setting's frame to the end of its answer wait.
  bool listening_ = false;
};

}  // namespace ol
