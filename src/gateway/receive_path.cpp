#include "gateway/receive_path.h"

#include <string_view>
#include <utility>

#include "core/text_file.h"
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

}  // namespace

bool ReceivePath::ConfirmationAwaited(int slot) const {
  return peers_.exchange->Busy() && peers_.upload->Complete() && peers_.upload->Slot() == slot;
}

bool ReceivePath::CouldBeFrame(std::string_view hex, int slot) const {
  if (hex.size() < 2) return true;
  const std::string_view kind = hex.substr(0, 2);
  const Polling& polling = *peers_.polling;
  // A request-pending answer is taken only from the handheld just polled, on its port, in
  // the poll's wait. At any other time an A5 is a late answer or noise: it would hide the
  // frame behind it, or, glued to another handheld's bytes, open an exchange nobody asked
  // for. Its bytes after the handheld's are not examined.
  if (kind == "A5") {
    if (!polling.PollReplyFlag() || slot != polling.PolledSlot()) return false;
    const std::string polled = polling.PollStationHex() + polling.PollHandheldHex();
    return polled.starts_with(hex.substr(2, 4));
  }
  // While a poll's answer is awaited nothing but an answer or a channel answer is taken:
  // any other bytes would only hide the answer behind them.
  if (polling.PollReplyFlag() && kind != "AA") return false;
  // A handheld's packet carries the number of one of the stations; a late answer's rest
  // (01 57 of A5 01 57) does not, and must not swallow the frame behind it.
  auto namesStation = [&] {
    if (hex.size() < 4) return true;
    for (int n = 1; n <= 4; ++n) {
      const int station = DecimalOf(env_.form.At("JZID", n).Text());
      if (station >= 0 && station <= 255 &&
          hex.substr(2, 2) == IntToHex(static_cast<std::uint32_t>(station)))
        return true;
    }
    return false;
  };
  if (kind == "01") return hex.size() <= 114 && namesStation();
  // A confirmation's bytes after its 04 are the handheld's own and are not examined; it is
  // told from noise by its port and its phase alone.
  if (kind == "04") return hex.size() <= 18 && ConfirmationAwaited(slot);
  if (kind == "0A") {
    // Records of five bytes, each beginning 0A.
    for (std::size_t i = 10; i < hex.size(); i += 10)
      if (hex[i] != '0' || (i + 1 < hex.size() && hex[i + 1] != 'A')) return false;
    return true;
  }
  if (kind == "AA") return hex.size() <= 12 && (hex.size() < 4 || hex.starts_with("AA4F"));
  return false;
}

bool ReceivePath::IsWholeFrame(std::string_view hex) const {
  if (hex.starts_with("A5")) return hex.size() >= 6;
  if (hex.starts_with("01")) return hex.size() == 114;
  if (hex.starts_with("04")) return hex.size() == 18;
  if (hex.starts_with("0A")) return hex.size() % 10 == 0;
  return IsChannelAnswer(hex);
}

void ReceivePath::Comm1ReceiveData(Port& sender, const std::uint8_t* buffer, std::uint16_t length) {
  Control& memo = env_.form["Memo1"];
  if (memo.LineCount() > kMemoEmptyAbove) memo.ClearLines();
  env_.form.TimerNamed("Timer6").SetEnabled(false);
  const int slot = sender.Tag;
  std::string& accumulator = buffers_[Index(slot)];
  std::string chunk = BytesToHex(buffer, length);
  // A late answer comes in a read of its own, outside a poll's wait: dropped whole, its
  // station and handheld bytes (A5 15 01) cannot pass for the start of the next frame.
  // Unless a handheld's exchange on this port awaits a frame they begin: a packet of this
  // port's station while its request is incomplete, the confirmation after. Then the A5
  // may be a noise byte read with that frame's first two bytes (A5 04 04 on station 4's
  // port, A5 04 00 of any confirmation).
  auto awaitedFrame = [&] {
    if (buffer[1] == 0x04) return ConfirmationAwaited(slot);
    const int own = DecimalOf(env_.form.At("JZID", slot).Text());
    return buffer[1] == 0x01 && buffer[2] == own && peers_.exchange->Busy() &&
           peers_.upload->Slot() == slot && !peers_.upload->Complete();
  };
  if (length == 3 && buffer[0] == 0xA5 && !CouldBeFrame(chunk, slot) && !awaitedFrame()) {
    Report(peers_, TrafficEvent(Traffic::NoiseDropped, slot).With(-1, 3));
    return;
  }
  // So does a confirmation nobody awaits here (a late copy, another port's): dropped whole,
  // its station and handheld bytes (04 01 01) cannot pass for a packet's start and swallow
  // the download acknowledgement behind them. Unless a packet's start waits for its rest.
  if (length == 9 && buffer[0] == 0x04 && !ConfirmationAwaited(slot) &&
      !accumulator.starts_with("01")) {
    Report(peers_, TrafficEvent(Traffic::NoiseDropped, slot).With(-1, 9));
    return;
  }
  // A fragment waits for its rest, however slow the radio, until a tick empties the buffer
  // (a poll, an acknowledgement repeat) or the bytes can no longer be a frame; but a whole
  // new frame behind it means its rest was lost.
  if (!accumulator.empty() && CouldBeFrame(chunk, slot) && IsWholeFrame(chunk)) {
    Report(peers_, TrafficEvent(Traffic::NoiseDropped, slot)
                       .With(-1, static_cast<int>(accumulator.size() / 2)));
    accumulator.clear();
  }
  accumulator += chunk;
  // Bytes that can no longer begin a frame the gateway would take are noise: they go from
  // the front, so that a stray byte cannot hide the frame that follows it.
  std::size_t start = 0;
  while (start < accumulator.size() &&
         !CouldBeFrame(std::string_view(accumulator).substr(start), slot))
    start += 2;
  if (start > 0) {
    Report(peers_, TrafficEvent(Traffic::NoiseDropped, slot).With(-1, static_cast<int>(start / 2)));
    accumulator.erase(0, start);
  }
  Classify(slot);
}

void ReceivePath::Classify(int slot) {
  std::string& accumulator = buffers_[Index(slot)];
  if (peers_.polling->PollReplyFlag() && !IsChannelAnswer(accumulator)) {
    // A request-pending answer is acted on once its station and handheld bytes are in;
    // anything else waits for more bytes.
    if (accumulator.starts_with("A5") && accumulator.size() >= 6)
      peers_.upload->StartUpload(accumulator, slot);
  } else if (accumulator.starts_with("01") && accumulator.size() == 114) {
    peers_.upload->HandlePacket(accumulator, slot);
  } else if (accumulator.starts_with("04") && accumulator.size() == 18) {
    peers_.relay->HandleConfirmation(accumulator, slot);
    // Handled, stray or not: left here it would spoil the port's next frame.
    accumulator.clear();
  } else if (accumulator.starts_with("0A") && accumulator.size() % 10 == 0) {
    peers_.polling->ClearPollReply();
    peers_.upload->StopRepeater();
    Control& trace = env_.form["Memo5"];  // bounded by the download, its owner
    const std::string records = std::exchange(accumulator, std::string());
    for (std::size_t i = 0; i < records.size(); i += 10) {
      std::string record = records.substr(i, 10);
      trace.AddLine(record);
      Report(peers_,
             TrafficEvent(Traffic::DownloadAck, slot, static_cast<int>(HexToInt(Mid(record, 3, 2))),
                          static_cast<int>(HexToInt(Mid(record, 5, 2)))));
      if (peers_.hooks.downloadAck) peers_.hooks.downloadAck(record, slot);
    }
  } else if (IsChannelAnswer(accumulator)) {
    // A station that reports its channel during a handheld's exchange leaves that exchange
    // alone; a held polling restarts when its holders let go, a running one restarts now.
    const bool exchangeUnderWay = peers_.exchange->Busy();
    env_.form.Polling().Stop();
    if (!exchangeUnderWay) {
      peers_.polling->ClearPollReply();
      peers_.upload->StopRepeater();
    }
    const int channel = static_cast<int>(HexToInt(Mid(accumulator, 7, 2))) + 1;
    ApplyChannelAnswer(channel, slot);
    Report(peers_, TrafficEvent(Traffic::ChannelAnswer, slot).With(-1, channel));
    LogLine(env_.form, accumulator);
    // Taken: during an exchange no poll tick empties it, and the port's next answer must
    // not be read behind this one.
    accumulator.clear();
    peers_.polling->ResetPollCursors();
    env_.form.Polling().Start();
  }
  if (accumulator.size() > kAccumulatorLimit) {
    LogLine(env_.form,
            "接收数据无法识别，已清除 " + std::to_string(accumulator.size() / 2) + " 字节");
    Report(peers_, TrafficEvent(Traffic::NoiseDropped, slot)
                       .With(-1, static_cast<int>(accumulator.size() / 2)));
    accumulator.clear();
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
