#include "stations/channel_setting.h"

#include <optional>

#include "core/text_file.h"
#include "gateway/hex.h"
#include "stations/config_files.h"
#include "stations/form_helpers.h"

namespace ol {

ChannelSetting::ChannelSetting(EventLoop& loop, FormModel& form, Comms& comms,
                               MessageBoxService& boxes, StationHooks& hooks)
    : loop_(loop), form_(form), comms_(comms), boxes_(boxes), hooks_(hooks) {}

void ChannelSetting::Button1Click() {
  Control& button = form_["Button1"];
  if (!button.Enabled()) return;
  // The load would reopen the slot's port while Comm5 holds its device.
  if (hooks_.loading && hooks_.loading()) return boxes_.Show(kBusyLoading);
  button.SetEnabled(false);
  form_["Button3"].SetEnabled(false);
  form_["ToolButton1"].SetEnabled(false);
  form_["ToolButton2"].SetEnabled(false);
  // The station's port is lent to the auxiliary port for the setting's waits; polling
  // stays stopped after it, until the operator leaves the screen or a reload's answers.
  form_.Polling().Stop();
  form_.Polling().Hold(PollHolder::ChannelSetting);
  struct Release {
    FormModel& form;
    ~Release() { form.Polling().Release(PollHolder::ChannelSetting); }
  } release{form_};
  Call(hooks_.clearPollReplyFlag);

  int n = ActiveSlot(form_);
  const std::string port = form_.At("COMMID", n).Text();
  const std::string id = form_.At("JZID", n).Text();
  const std::string channelText = form_.At("PDID", n).Text();
  bool missing = port.empty() || id.empty() || channelText.empty();
  // A typed channel that is no channel 1..64 is refused before anything is closed, so
  // the station keeps its port and no frame with a wrong channel byte goes out.
  std::optional<int> channel = ChannelNumber(Trim(channelText));
  if (!missing && !channel) {
    boxes_.Show(kMissingField);
    button.SetEnabled(true);
    return;
  }
  Port* comm5 = comms_.Get(5);
  if (comm5) comm5->ClosePort();
  if (missing) {
    boxes_.Show(kMissingField);
    button.SetEnabled(true);
    return;
  }

  std::string frame = "AA49FF" + IntToHex(static_cast<std::uint32_t>(*channel - 1)) + "BB";
  if (Port* own = comms_.Get(n)) own->ClosePort();
  if (comm5) {
    comm5->SetCommName(port);
    comm5->RecordAs(n);  // a capture shows the setting among the station's frames
  }
  if (!loop_.Delay(0, kBeforeOpenMs)) return;
  try {
    if (!comm5) throw ECommsError("no port component");
    comm5->OpenPort();
  } catch (const ECommsError&) {
    boxes_.Show((comm5 ? comm5->CommName() : port) + "打开失败!");
  }
  if (comm5) {
    comm5->SetDtrControl(TDtrControl::DtrDisable);
    comm5->SetDtrControl(TDtrControl::DtrEnable);
  }
  SendHexFrame(form_, comms_, frame, 5);
  // Only what arrives from now on can answer this frame: a chunk left over from an
  // earlier setting, delivered during the wait before the open, cannot.
  channelAnswer_ = false;
  listening_ = true;
  const bool waited = loop_.Delay(0, kAckWaitMs);
  listening_ = false;
  if (!waited) return;

  const bool answered = channelAnswer_;
  channelAnswer_ = false;
  boxes_.Show(answered ? kSuccess : kNoAnswer);
  button.SetEnabled(true);
}

void ChannelSetting::Comm5ReceiveData(Port&, const std::uint8_t* buffer, std::uint16_t length) {
  form_["Memo1"].AddLine(BytesToHex(buffer, length));
  if (listening_ && length >= 2 && buffer[0] == 0xAA && buffer[1] == 0x4F) channelAnswer_ = true;
}

}  // namespace ol
