#include "gateway/upload.h"

#include "core/text_file.h"
#include "gateway/dispatcher.h"
#include "gateway/hex.h"
#include "gateway/polling.h"
#include "gateway/receive_path.h"
#include "gateway/reply_relay.h"

namespace ol {

Upload::Upload(GatewayEnv& env, GatewayPeers& peers)
    : env_(env), peers_(peers), timer7_(env.form.TimerNamed("Timer7")) {
  timer7_.SetEnabled(false);
  timer7_.SetInterval(kRepeatInterval);
  timer7_.OnTimer = [this] {
    Tell(Traffic::AckRepeated, 0, {}, packetGood_ ? "OK" : "NO");
    Timer7Timer();
  };
}

void Upload::ResetForPoll() {
  packetGood_ = false;
  timer7_.SetEnabled(false);
  assembled_.clear();
  repeatCount_ = 0;
  packetTotal_ = 1;
  packetIndex_ = 1;
  lastAccepted_ = 0;
  complete_ = false;
  dispatched_.clear();
}

void Upload::Tell(Traffic kind, int slot, const std::string& packet, std::string detail) {
  TrafficEvent e(kind, slot, AddressOf(peers_.polling->PollStationHex()),
                 AddressOf(peers_.polling->PollHandheldHex()));
  e.With(-1, packetIndex_, packetTotal_).detail = std::move(detail);
  if (!packet.empty()) {
    // A packet names its sender and its place in its request; one that fails its check
    // may name anyone, and belongs to the handheld of the upload.
    if (kind != Traffic::PacketBadCheck) {
      e.station = static_cast<int>(HexToInt(Mid(packet, 3, 2)));
      e.handheld = static_cast<int>(HexToInt(Mid(packet, 5, 2)));
    }
    e.total = static_cast<int>(HexToInt(Mid(packet, 7, 2)));
    e.index = static_cast<int>(HexToInt(Mid(packet, 9, 2)));
  }
  Report(peers_, std::move(e));
}

void Upload::StartUpload(const std::string& answer, int slot) {
  complete_ = false;
  peers_.exchange->Open(true);
  env_.form.Polling().Hold(PollHolder::Exchange);
  peers_.relay->StartExchangeTimer();
  peers_.polling->ClearPollReply();
  peers_.relay->ClearReplyPending();
  peers_.polling->SetPollAddress(std::string(Mid(answer, 3, 2)), std::string(Mid(answer, 5, 2)));
  Tell(Traffic::RequestPending, slot);
  uploadSlot_ = slot;
  Timer7Timer();
  RestartRepeater();
  peers_.receive->ClearAccumulator(slot);
}

void Upload::RestartRepeater() {
  repeatCount_ = 0;
  // Once the request is with the host, a packet the handheld sends again is answered, but
  // the exchange keeps the host's time: the repeater must not end it early.
  if (complete_) return;
  timer7_.SetEnabled(false);
  timer7_.SetEnabled(true);
}

void Upload::Timer7Timer() {
  std::string ack = "02" + peers_.polling->PollStationHex() + peers_.polling->PollHandheldHex() +
                    IntToHex(static_cast<std::uint32_t>(packetTotal_) & 0xFF) +
                    IntToHex(static_cast<std::uint32_t>(packetIndex_) & 0xFF) +
                    (packetGood_ ? "4F4B" : "4E4F");
  if (++repeatCount_ > kRepeatLimit) {
    Tell(Traffic::UploadSilent, 0);
    peers_.relay->Timer4Timer();
  }
  ack += FrameCheck(ack);
  LogLine(env_.form, ack);
  // The repeated acknowledgement goes to the slot whose station-list line carries the
  // station's number; a missing or unreadable line matches nothing.
  const auto& stations = env_.form["ListBox3"].Lines();
  for (std::size_t k = 0; k < 4 && k < stations.size(); ++k) {
    std::string id = Trim(Mid(stations[k], 1, 2));
    if (id.empty() || id.find_first_not_of("0123456789") != std::string::npos) continue;
    if (IntToHex(static_cast<std::uint32_t>(std::stoi(id))) == peers_.polling->PollStationHex()) {
      SendHexFrame(env_.form, env_.comms, ack, static_cast<int>(k) + 1);
      break;
    }
  }
  peers_.receive->ClearAccumulator(uploadSlot_);
}

void Upload::SendAck(const std::string& packet, bool ok, int slot) {
  std::string ack = "02" + std::string(Mid(packet, 3, 8)) + (ok ? "4F4B" : "4E4F");
  ack += FrameCheck(ack);
  SendHexFrame(env_.form, env_.comms, ack, slot);
  LogLine(env_.form, ack);
}

void Upload::HandlePacket(const std::string& packet, int slot) {
  // A packet outside an upload would hand the host a request that no exchange answers.
  if (!peers_.exchange->Busy()) {
    LogLine(env_.form, packet);
    LogLine(env_.form, "请求包不属于进行中的交换，已丢弃");
    Tell(Traffic::StrayPacket, slot, packet);
    peers_.receive->ClearAccumulator(slot);
    return;
  }
  timer7_.SetEnabled(false);
  peers_.polling->ClearPollReply();
  repeatCount_ = 0;
  LogLine(env_.form, packet);
  const int total = static_cast<int>(HexToInt(Mid(packet, 7, 2)));
  const int index = static_cast<int>(HexToInt(Mid(packet, 9, 2)));
  packetTotal_ = total;
  packetIndex_ = index;

  if (Mid(packet, 111, 4) != FrameCheck(Mid(packet, 1, 110))) {
    SendAck(packet, false, slot);
    Tell(Traffic::PacketBadCheck, slot, packet);
    packetGood_ = false;
    // Its header may be damaged too: the repeats ask for a packet the request has, or the
    // handheld hears a "NO" for no packet it sent and the exchange runs dry. (Once the
    // request is complete nothing is repeated.)
    const bool needed = index == lastAccepted_ + 1 &&
                        (lastAccepted_ == 0 ? index <= total : total == acceptedTotal_);
    if (!needed && !complete_) {
      packetTotal_ = lastAccepted_ > 0 ? acceptedTotal_ : 1;
      packetIndex_ = lastAccepted_ + 1;
    }
    RestartRepeater();
    peers_.receive->ClearAccumulator(slot);
    return;
  }

  // A packet of no request (its index outside its total), of another handheld, or of
  // another request than the one begun is refused like one out of order, and the
  // counters keep asking for the packet this request needs next.
  const bool foreign =
      index < 1 || index > total ||
      Mid(packet, 3, 4) != peers_.polling->PollStationHex() + peers_.polling->PollHandheldHex() ||
      (lastAccepted_ > 0 && index != 1 && total != acceptedTotal_);
  if (foreign) {
    SendAck(packet, false, slot);
    Tell(Traffic::PacketRefused, slot, packet, "不属于本次请求");
    packetGood_ = false;
    packetTotal_ = lastAccepted_ > 0 ? acceptedTotal_ : 1;
    packetIndex_ = lastAccepted_ + 1;
    RestartRepeater();
    peers_.receive->ClearAccumulator(slot);
    return;
  }
  if (lastAccepted_ > 0 && index != 1 && index == lastAccepted_) {
    // Our "OK" was lost and the handheld sent the same packet again: confirm it again
    // without appending it. After the last packet the request is already dispatched.
    SendAck(packet, true, slot);
    Tell(Traffic::PacketRepeated, slot, packet);
    packetGood_ = true;
    if (index != total) RestartRepeater();
    peers_.receive->ClearAccumulator(slot);
    return;
  }
  if (index != 1 && index != lastAccepted_ + 1) {
    // Out of order: refuse it and keep asking for the packet we need next.
    SendAck(packet, false, slot);
    Tell(Traffic::PacketRefused, slot, packet, "次序不对");
    packetGood_ = false;
    packetIndex_ = lastAccepted_ + 1;
    RestartRepeater();
    peers_.receive->ClearAccumulator(slot);
    return;
  }

  SendAck(packet, true, slot);
  Tell(Traffic::PacketAccepted, slot, packet);
  packetGood_ = true;
  lastAccepted_ = index;
  acceptedTotal_ = total;
  if (index == 1) {
    requestLength_ = static_cast<int>(HexToInt(Mid(packet, 15, 4)));
    if (total == 1) {
      assembled_ = packet;
      peers_.receive->ClearAccumulator(slot);
      CompleteRequest();
      return;
    }
    assembled_ = std::string(Mid(packet, 1, 110));
  } else {
    assembled_ += Mid(packet, 15, 96);
    if (index == total) {
      peers_.receive->ClearAccumulator(slot);
      CompleteRequest();
      return;
    }
  }
  RestartRepeater();
  peers_.receive->ClearAccumulator(slot);
}

void Upload::CompleteRequest() {
  Control& current = env_.form["ListBox1"];
  current.ClearLines();
  timer7_.SetEnabled(false);
  complete_ = true;

  std::string request = assembled_.substr(
      0,
      std::min<std::size_t>(assembled_.size(), 2 * static_cast<std::size_t>(requestLength_) + 22));
  LogLine(env_.form, request);
  const int code = static_cast<int>(HexToInt(Mid(request, 31, 2)));
  const std::string station = std::string(Mid(request, 3, 2));
  const std::string handheld = std::string(Mid(request, 5, 2));
  std::string payload;
  if (request.size() > 8 + 32) payload = HexToBytes(request.substr(32, request.size() - 8 - 32));
  if (auto zero = payload.find('\0'); zero != std::string::npos) payload.resize(zero);
  const std::string stamp = std::string(Mid(request, 19, 12));

  const std::string index = std::to_string(code - 76);
  const std::string stationDec = std::to_string(HexToInt(station));
  const std::string handheldDec = std::to_string(HexToInt(handheld));
  current.SetLines({index, stationDec, handheldDec, payload, stamp});

  // The same station, handheld and stamp as the request dispatched in this exchange: the
  // host has it already. In a new exchange the same bytes are a new order (a handheld whose
  // clock stands still may well order the same again), and the host is told.
  if (!dispatched_.empty() && Mid(dispatched_, 3, 4) == station + handheld &&
      Mid(dispatched_, 19, 12) == stamp) {
    LogLine(env_.form, "重复的请求已确认，不再提交");
    Report(peers_, TrafficEvent(Traffic::RequestRepeated, 0, static_cast<int>(HexToInt(station)),
                                static_cast<int>(HexToInt(handheld)))
                       .With(code - 76));
    return;
  }
  dispatched_ = request;
  peers_.dispatcher->DispatchRequest(code - 76, stationDec, handheldDec, payload, stamp);
}

}  // namespace ol
