#include "gateway/reply_relay.h"

#include <optional>

#include "core/gbk.h"
#include "core/text_file.h"
#include "gateway/activity_log.h"
#include "gateway/dispatcher.h"
#include "gateway/hex.h"
#include "gateway/host_window.h"
#include "gateway/polling.h"
#include "gateway/reply_file.h"
#include "gateway/reply_files.h"
#include "gateway/upload.h"

namespace ol {
namespace {

constexpr const char* kEmptyReplyText = "系统无回复数据，请与管理员联系";
constexpr const char* kNoReplyText = "信息上传完毕,系统无回复数据，请与管理员联系";

// Six BCD bytes of the local time: second, minute, hour, day, month, year in the century.
std::string BcdTime(const LocalDateTime& t) {
  return ZeroPad(t.second, 2) + ZeroPad(t.minute, 2) + ZeroPad(t.hour, 2) + ZeroPad(t.day, 2) +
         ZeroPad(t.month, 2) + ZeroPad(t.year % 100, 2);
}

int FindReplyName(const std::string& firstLine) {
  const std::string name = Trim(Trim(firstLine).substr(0, 4));
  for (int i = 0; i < kRequestKinds; ++i)
    if (name == ReplyName(i)) return i;
  return -1;
}

// The handheld number a host may put after the reply's name, as the request's header line
// carries it ("DC   005"); none when the rest of the line is not such a number.
std::optional<int> ReplyHandheld(const std::string& firstLine) {
  const std::string line = Trim(firstLine);
  if (line.size() <= 4) return std::nullopt;
  const std::string rest = Trim(line.substr(4));
  if (rest.empty() || rest.size() > 3 || rest.find_first_not_of("0123456789") != std::string::npos)
    return std::nullopt;
  return std::stoi(rest);
}

}  // namespace

ReplyRelay::ReplyRelay(GatewayEnv& env, GatewayPeers& peers)
    : env_(env),
      peers_(peers),
      timer3_(env.form.TimerNamed("Timer3")),
      timer4_(env.form.TimerNamed("Timer4")) {
  timer3_.SetEnabled(false);
  timer3_.OnTimer = [this] { Timer3Timer(); };
  timer4_.SetEnabled(false);
  timer4_.SetInterval(kExchangeTime);
  timer4_.OnTimer = [this] { Timer4Timer(); };
}

void ReplyRelay::Tell(Traffic kind, int code, std::string detail, int slot) {
  TrafficEvent e(kind, slot, AddressOf(peers_.polling->PollStationHex()),
                 AddressOf(peers_.polling->PollHandheldHex()));
  e.With(code).detail = std::move(detail);
  Report(peers_, std::move(e));
}

void ReplyRelay::TellUnaddressed(Traffic kind, std::string detail) {
  TrafficEvent e(kind);
  e.detail = std::move(detail);
  Report(peers_, std::move(e));
}

void ReplyRelay::SetReplyPending() {
  replyPending_ = true;
  requestExchange_ = peers_.exchange->Current();
}

void ReplyRelay::StartExchangeTimer() {
  timer3_.SetEnabled(false);
  timer4_.SetEnabled(false);
  timer4_.SetEnabled(true);
}

void ReplyRelay::ResetForPoll() {
  replyPending_ = false;
  timer3_.SetEnabled(false);
  timer4_.SetEnabled(false);
}

bool ReplyRelay::Wait(Millis ms) {
  return env_.loop.Delay(static_cast<int>(ms / 1000), static_cast<int>(ms % 1000));
}

void ReplyRelay::ResumePolling(Id id) {
  if (peers_.exchange->IsCurrent(id) && !env_.loop.Ending())
    env_.form.TimerNamed("ComTimer").SetEnabled(true);
}

void ReplyRelay::HandleHostMessage(const HostMessage& message) {
  if (message.message != kHostMessage) return;
  switch (message.lparam) {
    case 11:
      return;
    case 12:
      if (peers_.hooks.showWindow) peers_.hooks.showWindow();
      return;
    case 16:
      peers_.hostWindow->MarkGone();
      if (peers_.hooks.closeWindow) peers_.hooks.closeWindow();
      return;
    default:
      break;
  }
  LogLine(env_.form, "收到用户消息。。。");
  if (peers_.hostWindow->Handle() == 0) {
    peers_.hostWindow->SetHandle(message.lparam);
    return;
  }
  // The signal belongs to the exchange that is current as it arrives. Its reply is already
  // being read: that reads the file as it stands when it gets there, so a further signal
  // adds nothing but one more nested wait.
  const Id id = peers_.exchange->Current();
  if (peers_.exchange->Busy())
    Tell(Traffic::HostSignal);
  else
    TellUnaddressed(Traffic::HostSignal, {});
  if (relaying_ != 0 && relaying_ == id) {
    LogLine(env_.form, "主机回复正在处理，重复的通知已忽略");
    signalledAgain_ = id;
    return;
  }
  const Id outer = relaying_;
  const std::uint64_t framesBefore = replyFramesSent_;
  relaying_ = id;
  try {
    // A signal that came while a relay found nothing to send may mean a file written
    // since: read it once more.
    bool again = true;
    while (again && Wait(20)) {
      signalledAgain_ = 0;
      if (peers_.exchange->IsCurrent(id)) replyPending_ = false;
      RelayHostReply(id);
      again = signalledAgain_ == id && replyFramesSent_ == framesBefore && ExpectingReply(id);
    }
  } catch (...) {
    relaying_ = outer;
    throw;
  }
  relaying_ = outer;
  // The limit passed while the reply was read: a reply sent ends its exchange through
  // its confirmation or its resend budget; without one the exchange ends now.
  if (expiryHeld_ == id) {
    expiryHeld_ = 0;
    if (replyFramesSent_ == framesBefore && peers_.exchange->IsOpen(id)) Expire(id);
  }
}

void ReplyRelay::RelayHostReply(Id id) {
  const bool more = Wait(100);
  Control& replyLines = env_.form["Memo4"];
  replyLines.ClearLines();
  if (!more) return;
  if (env_.form["ListBox1"].LineCount() < 5) return;
  if (!ExpectingReply(id)) {
    LogLine(env_.form, "交换已结束，主机回复未发送");
    TellUnaddressed(Traffic::ReplyDropped, "交换已结束");
    return;
  }
  // The host writes R1.txt before it signals; should it be late, wait as long as the
  // exchange is open, no longer.
  while (!env_.txt.Exists("R1.txt")) {
    if (!ExpectingReply(id) || expiryHeld_ == id) {
      LogLine(env_.form, "R1.TXT未出现，交换已结束");
      TellUnaddressed(Traffic::ReplyDropped, "R1.TXT未出现，交换已结束");
      return;
    }
    if (!Wait(10)) return;
  }
  if (!ExpectingReply(id)) {
    LogLine(env_.form, "交换已结束，主机回复未发送");
    TellUnaddressed(Traffic::ReplyDropped, "交换已结束");
    return;
  }
  std::vector<std::string> lines = ReadReplyLines(env_.txt, env_.form);
  ++replyFilesRead_;
  replyLines.SetLines(lines);
  RecordReplyFile(env_.form, *peers_.activity, lines);
  if (lines.empty()) {
    SendReplyFrame(id, 1, Utf8ToGbk(kEmptyReplyText), Traffic::EmptyReply);
    return;
  }
  const int index = FindReplyName(lines.front());
  const std::optional<int> addressee = ReplyHandheld(lines.front());
  lines.erase(lines.begin());
  std::string text = JoinCrLf(lines);
  WriteReplyText(env_.form, env_.txt, text);
  if (index < 0) {
    Tell(Traffic::ReplyDropped, -1, "回复名无法识别");
    return;
  }
  // A host that names the handheld in the reply's first line (as the request's header
  // does) may be answering an earlier request of another handheld.
  const Control& current = env_.form["ListBox1"];
  if (addressee && std::to_string(*addressee) != Trim(current.Lines()[2])) {
    LogLine(env_.form, "主机回复属于手持" + ZeroPad(*addressee, 3) + "，不是当前手持" +
                           Trim(current.Lines()[2]) + "，未发送");
    Tell(Traffic::ReplyDropped, index, "回复属于手持" + ZeroPad(*addressee, 3));
    // The request is still with the host: its own reply, or the no-reply text at the
    // exchange limit.
    replyPending_ = true;
    return;
  }
  // Never cut a two-byte character in half.
  text.resize(GbkPrefixLength(text, kMaxReplyText));
  SendReplyFrame(id, index, GbkRoundTrip(text), Traffic::ReplySent);
}

void ReplyRelay::SendReplyFrame(Id id, int index, const std::string& text, Traffic kind) {
  const std::size_t n = text.size();
  const std::size_t p = (n > 220 && n < 250) ? 250 - n : 0;
  const std::string stamp =
      env_.form["ListBox1"].LineCount() > 4 ? env_.form["ListBox1"].Lines()[4] : std::string();
  std::string frame =
      "03" + peers_.polling->PollStationHex() + peers_.polling->PollHandheldHex() + "55555500";
  frame += IntToHex(static_cast<std::uint32_t>(3 + n + stamp.size() / 2 + p), 4);
  frame += stamp;
  if (index != 0) {
    frame += IntToHex(static_cast<std::uint32_t>(index + 76));
  } else {
    std::string time = BcdTime(env_.loop.LocalTime());
    env_.form["Label18"].SetText(time);
    frame += "4C" + time;
  }
  std::string body = BytesToHex(text) + "AABB";
  for (std::size_t i = 0; i < p; ++i) body += "20";
  frame += body + FrameCheck(body);
  frame += FrameCheck(frame);
  lastReplyFrame_ = frame;
  replyExchange_ = id;
  ++replyFramesSent_;
  const Millis interval = static_cast<Millis>(frame.size() / 2) + 60;
  timer3_.SetInterval(interval);
  resendBudget_ = interval;
  Tell(kind, index);
  ResendReply();
  // Resends only while the exchange is still open: confirmed meanwhile, or overtaken by a
  // newer exchange, a resend would only disturb the next one.
  if (Wait(interval) && peers_.exchange->IsOpen(id)) timer3_.SetEnabled(true);
}

void ReplyRelay::ResendReply() {
  const Control& current = env_.form["ListBox1"];
  std::string station = current.LineCount() > 1 ? Trim(current.Lines()[1]) : std::string();
  if (!station.empty() && station.find_first_not_of("0123456789") == std::string::npos &&
      station.size() < 3)
    station = ZeroPad(std::stol(station), 2);
  for (int slot = 1; slot <= 4; ++slot) {
    if (Trim(env_.form.At("JZID", slot).Text()) == station) {
      SendHexFrame(env_.form, env_.comms, lastReplyFrame_, slot);
      break;
    }
  }
  LogLine(env_.form, lastReplyFrame_);
  resendBudget_ += timer3_.Interval();
}

void ReplyRelay::Timer3Timer() {
  const Id id = replyExchange_;
  if (!peers_.exchange->IsCurrent(id)) {
    timer3_.SetEnabled(false);  // an older exchange's resends never reach a newer one
    return;
  }
  ResendReply();
  Tell(Traffic::ReplyResent);
  if (resendBudget_ > kResendBudget || !peers_.exchange->IsOpen(id)) {
    if (peers_.exchange->IsOpen(id)) Tell(Traffic::ReplyUnconfirmed);
    peers_.exchange->Close(id);
    timer3_.SetEnabled(false);
    timer4_.SetEnabled(false);
    peers_.upload->StopRepeater();
    if (Wait(timer3_.Interval())) ResumePolling(id);
  }
}

void ReplyRelay::Timer4Timer() {
  const Id id = peers_.exchange->Current();
  if (relaying_ != 0 && relaying_ == id) {
    expiryHeld_ = id;
    timer4_.SetEnabled(false);
    return;
  }
  Expire(id);
}

void ReplyRelay::Expire(Id id) {
  peers_.exchange->Close(id);
  timer3_.SetEnabled(false);
  timer4_.SetEnabled(false);
  peers_.upload->StopRepeater();
  // Cleared before the frame's wait, which a newer exchange's request may fall into.
  const bool pending = replyPending_ && requestExchange_ == id;
  if (pending) replyPending_ = false;
  if (pending) SendReplyFrame(id, 1, Utf8ToGbk(kNoReplyText), Traffic::NoReplyText);
  ResumePolling(id);
}

void ReplyRelay::HandleConfirmation(const std::string& frame, int slot) {
  LogLine(env_.form, frame);
  // Only the handheld of the exchange whose reply is out confirms; a late or stray
  // confirmation must not end another exchange.
  const Id id = peers_.exchange->Current();
  if (!peers_.exchange->Busy() || replyExchange_ != id) {
    Report(peers_, TrafficEvent(Traffic::StrayConfirmation, slot));
    return;
  }
  Tell(Traffic::Confirmed, -1, {}, slot);
  peers_.polling->ClearPollReply();
  replyPending_ = false;
  timer3_.SetEnabled(false);
  timer4_.SetEnabled(false);
  peers_.upload->ClearPacketGood();
  peers_.upload->StopRepeater();
  peers_.exchange->Close(id);
  env_.form.TimerNamed("ComTimer").SetEnabled(true);
}

}  // namespace ol
