#include "gateway/polling.h"

#include "core/text_file.h"
#include "gateway/hex.h"
#include "gateway/receive_path.h"
#include "gateway/reply_relay.h"
#include "gateway/upload.h"

namespace ol {
Polling::Polling(GatewayEnv& env, GatewayPeers& peers)
    : env_(env), peers_(peers), comTimer_(env.form.TimerNamed("ComTimer")) {
  comTimer_.SetEnabled(false);
  comTimer_.SetInterval(kInterval);
  comTimer_.OnTimer = [this] { ComTimerTimer(); };
}

void Polling::ComTimerTimer() {
  polledSlot_ = 0;
  // Whatever restarted polling, a handheld's exchange under way ends first, by its own
  // confirmation, expiry or resend budget, which start polling again.
  if (peers_.exchange->Busy()) {
    env_.form.Polling().Hold(PollHolder::Exchange);
    return;
  }
  peers_.exchange->Open(false);
  peers_.receive->ClearAccumulator();
  peers_.upload->ResetForPoll();
  peers_.relay->ResetForPoll();
  pollReply_ = true;
  if (count_ > 0 && cursor_ >= 1 && cursor_ <= count_ && connected_[cursor_ - 1] > 0) {
    PollStation(connected_[cursor_ - 1]);
    if (++cursor_ > count_) cursor_ = 1;
  }
}

void Polling::PollStation(int slot) {
  if (slot < 1 || slot > 4) return;
  Control& list = env_.form.At("PADLIST", slot);
  if (list.LineCount() == 0 || StationStatus(env_.form, slot).Text() == kNotConnected) return;
  int& cursor = pollCursor_[slot - 1];
  if (cursor < 0 || static_cast<std::size_t>(cursor) >= list.LineCount()) cursor = 0;
  const std::string item = list.Lines()[cursor];
  if (++cursor >= static_cast<int>(list.LineCount())) cursor = 0;
  int station = DecimalOf(env_.form.At("JZID", slot).Text());
  int handheld = DecimalOf(item);
  if (station < 0 || station > 255 || handheld < 0 || handheld > 255) return;
  SetPollAddress(IntToHex(station), IntToHex(handheld));
  std::string frame = "AA" + station_ + handheld_;
  frame += FrameCheck(frame);
  SendHexFrame(env_.form, env_.comms, frame, slot);
  polledSlot_ = slot;
  LogLine(env_.form, item + env_.form.At("COMMID", slot).Text());
  Report(peers_, TrafficEvent(Traffic::Poll, slot, station, handheld));
}

void Polling::AddConnectedStation(int slot) {
  for (int i = 0; i < count_; ++i)
    if (connected_[i] == slot) return;
  if (count_ >= 4) return;
  connected_[count_++] = slot;
}

void Polling::ClearConnectedStations() {
  connected_.fill(0);
  count_ = 0;
  cursor_ = 1;
}

void Polling::SetPollAddress(std::string station, std::string handheld) {
  station_ = std::move(station);
  handheld_ = std::move(handheld);
}

void Polling::ClearPollAddress() {
  // A refresh during a handheld's exchange must leave its reply an address.
  if (peers_.exchange->Busy()) return;
  station_.clear();
  handheld_.clear();
}

}  // namespace ol
