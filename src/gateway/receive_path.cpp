#include "gateway/receive_path.h"

#include <string_view>
#include <utility>

#include "gateway/hex.h"
#include "gateway/polling.h"
#include "gateway/reply_relay.h"
#include "gateway/upload.h"

namespace ol {

ReceivePath::ReceivePath(GatewayEnv& env, GatewayPeers& peers) : env_(env), peers_(peers) {
  env_.form["Memo1"].SetMaxLines(kMemoMaxLines);
}

namespace {

bool IsChannelAnswer(std::string_view hex) {
  return hex.size() == 12 && hex.starts_with("AA4F") && hex.ends_with("BB");
}

// Whether hex text is, or may still grow into, a frame a station sends.
bool CouldBeFrame(std::string_view hex) {
  if (hex.size() < 2 || hex.starts_with("A5") || hex.starts_with("0A")) return true;
  if (hex.starts_with("01")) return hex.size() <= 114;
  if (hex.starts_with("04")) return hex.size() <= 18;
  return hex.starts_with("AA") && hex.size() <= 12 && (hex.size() < 4 || hex.starts_with("AA4F"));
}

}  // namespace

void ReceivePath::ClearForChannelQuery() {
  if (peers_.exchange->Busy())
    ClearUnlessFrameUnderWay();
  else
    accumulator_.clear();
}

void ReceivePath::Comm1ReceiveData(Port& sender, const std::uint8_t* buffer, std::uint16_t length) {
  std::string chunk = BytesToHex(buffer, length);
  Control& memo = env_.form["Memo1"];
  if (memo.LineCount() > kMemoEmptyAbove) memo.ClearLines();
  env_.form.TimerNamed("Timer6").SetEnabled(false);
  const int slot = sender.Tag;

  // The accumulator is shared by the four ports, and only the poll keeps stations from
  // talking at once: a station's channel answer (a load, a recovery) can land inside
  // another station's frame, and bytes cut off by a clear would hide every frame after
  // them until polling resumes, the confirmations of a reply included.
  if (!accumulator_.empty() && IsChannelAnswer(chunk)) {
    std::string underWay = std::exchange(accumulator_, std::move(chunk));
    Classify(slot);
    // Outside an exchange the answer restarts polling, and what was under way is moot.
    if (peers_.exchange->Busy()) accumulator_ = std::move(underWay);
    return;
  }
  if (!accumulator_.empty() && CouldBeFrame(chunk) && !CouldBeFrame(accumulator_ + chunk)) {
    Report(peers_, TrafficEvent(Traffic::NoiseDropped, slot)
                       .With(-1, static_cast<int>(accumulator_.size() / 2)));
    accumulator_.clear();
  }
  accumulator_ += chunk;
  Classify(slot);
}

void ReceivePath::Classify(int slot) {
  if (peers_.polling->PollReplyFlag() && !IsChannelAnswer(accumulator_)) {
    // A request-pending answer is acted on once its station and handheld bytes are in;
    // anything else waits for more bytes.
    if (accumulator_.starts_with("A5") && accumulator_.size() >= 6)
      peers_.upload->StartUpload(accumulator_, slot);
  } else if (accumulator_.starts_with("01") && accumulator_.size() == 114) {
    peers_.upload->HandlePacket(accumulator_, slot);
  } else if (accumulator_.starts_with("04") && accumulator_.size() == 18) {
    peers_.relay->HandleConfirmation(accumulator_, slot);
    // Handled, stray or not: left here it would spoil the next frame of any station.
    accumulator_.clear();
  } else if (accumulator_.starts_with("0A") && accumulator_.size() % 10 == 0) {
    peers_.polling->ClearPollReply();
    peers_.upload->StopRepeater();
    Control& trace = env_.form["Memo5"];  // bounded by the download, its owner
    std::string records = std::move(accumulator_);
    accumulator_.clear();
    for (std::size_t i = 0; i < records.size(); i += 10) {
      std::string record = records.substr(i, 10);
      trace.AddLine(record);
      Report(peers_,
             TrafficEvent(Traffic::DownloadAck, slot, static_cast<int>(HexToInt(Mid(record, 3, 2))),
                          static_cast<int>(HexToInt(Mid(record, 5, 2)))));
      if (peers_.hooks.downloadAck) peers_.hooks.downloadAck(record, slot);
    }
  } else if (IsChannelAnswer(accumulator_)) {
    // A station that reports its channel during a handheld's exchange leaves that exchange
    // alone: polling resumes at its end.
    const bool exchangeUnderWay = peers_.exchange->Busy();
    if (!exchangeUnderWay) {
      env_.form.TimerNamed("ComTimer").SetEnabled(false);
      peers_.polling->ClearPollReply();
      peers_.upload->StopRepeater();
    }
    const int channel = static_cast<int>(HexToInt(Mid(accumulator_, 7, 2))) + 1;
    ApplyChannelAnswer(channel, slot);
    Report(peers_, TrafficEvent(Traffic::ChannelAnswer, slot).With(-1, channel));
    LogLine(env_.form, accumulator_);
    // Taken: during an exchange no poll tick empties the accumulator, and the next
    // station's answer must not be read behind this one.
    accumulator_.clear();
    peers_.polling->ResetPollCursors();
    if (!exchangeUnderWay) env_.form.TimerNamed("ComTimer").SetEnabled(true);
  }
  if (accumulator_.size() > kAccumulatorLimit) {
    LogLine(env_.form,
            "接收数据无法识别，已清除 " + std::to_string(accumulator_.size() / 2) + " 字节");
    Report(peers_, TrafficEvent(Traffic::NoiseDropped, slot)
                       .With(-1, static_cast<int>(accumulator_.size() / 2)));
    accumulator_.clear();
  }
}

void ReceivePath::ApplyChannelAnswer(int channel, int slot) {
  if (slot < 1 || slot > 4) return;
  std::string status = ZeroPad(channel, 2);
  StationStatus(env_.form, slot).SetText(status);
  peers_.polling->AddConnectedStation(slot);
  env_.form["Label3"].SetText(status);
  env_.form.At("PDID", slot).SetText(status);
}

}  // namespace ol
