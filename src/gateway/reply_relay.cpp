#include "gateway/reply_relay.h"

#include <ctime>

#include "core/gbk.h"
#include "core/text_file.h"
#include "gateway/activity_log.h"
#include "gateway/dispatcher.h"
#include "gateway/hex.h"
#include "gateway/host_window.h"
#include "gateway/polling.h"
#include "gateway/upload.h"

namespace ol {
namespace {

constexpr const char* kEmptyReplyText = "系统无回复数据，请与管理员联系";
constexpr const char* kNoReplyText = "信息上传完毕,系统无回复数据，请与管理员联系";

// Six BCD bytes of the local time: second, minute, hour, day, month, year in the century.
std::string BcdTime(std::chrono::system_clock::time_point when) {
  std::time_t t = std::chrono::system_clock::to_time_t(when);
  std::tm tm{};
  localtime_r(&t, &tm);
  return ZeroPad(tm.tm_sec, 2) + ZeroPad(tm.tm_min, 2) + ZeroPad(tm.tm_hour, 2) +
         ZeroPad(tm.tm_mday, 2) + ZeroPad(tm.tm_mon + 1, 2) + ZeroPad(tm.tm_year % 100, 2);
}

int FindReplyName(const std::string& firstLine) {
  const std::string name = Trim(Trim(firstLine).substr(0, 4));
  for (int i = 0; i < kRequestKinds; ++i)
    if (name == ReplyName(i)) return i;
  return -1;
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

void ReplyRelay::SetReplyPending() {
  replyPending_ = true;
  expectingReply_ = true;
}

void ReplyRelay::StartExchangeTimer() {
  expectingReply_ = false;
  timer4_.SetEnabled(true);
}

void ReplyRelay::ResetForPoll() {
  replyPending_ = false;
  EndExpecting();
  timer3_.SetEnabled(false);
  timer4_.SetEnabled(false);
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
  // A reply is already being read: it reads the file as it stands when it gets there,
  // so a further signal adds nothing but one more nested wait.
  if (relaying_) {
    LogLine(env_.form, "主机回复正在处理，重复的通知已忽略");
    return;
  }
  const std::uint64_t framesBefore = replyFramesSent_;
  relaying_ = true;
  try {
    env_.loop.Delay(0, 20);
    replyPending_ = false;
    RelayHostReply();
  } catch (...) {
    relaying_ = false;
    throw;
  }
  relaying_ = false;
  // The limit passed while the reply was read: a reply sent ends its exchange through
  // its confirmation or its resend budget; without one the exchange ends now.
  if (expiryHeld_) {
    expiryHeld_ = false;
    if (replyFramesSent_ == framesBefore) Timer4Timer();
  }
}

void ReplyRelay::RelayHostReply() {
  env_.loop.Delay(0, 100);
  Control& replyLines = env_.form["Memo4"];
  replyLines.ClearLines();
  if (env_.form["ListBox1"].LineCount() < 5) return;
  if (!ExpectingReply()) {
    LogLine(env_.form, "交换已结束，主机回复未发送");
    return;
  }
  // The host writes R1.txt before it signals; should it be late, wait as long as the
  // exchange is open, no longer.
  while (!env_.txt.Exists("R1.txt")) {
    if (!ExpectingReply() || expiryHeld_) {
      LogLine(env_.form, "R1.TXT未出现，交换已结束");
      return;
    }
    env_.loop.Delay(0, 10);
  }
  if (!ExpectingReply()) {
    LogLine(env_.form, "交换已结束，主机回复未发送");
    return;
  }
  std::vector<std::string> lines =
      env_.txt.ReadLines("R1.txt").value_or(std::vector<std::string>{});
  replyLines.SetLines(lines);
  std::vector<std::string> log{
      Utf8ToGbk("                        R1.TXT内容                           ")};
  log.insert(log.end(), lines.begin(), lines.end());
  try {
    peers_.activity->Append(log);
  } catch (const FileError& e) {
    LogLine(env_.form, e.what());
  }
  if (lines.empty()) {
    SendReplyFrame(1, Utf8ToGbk(kEmptyReplyText));
    return;
  }
  const int index = FindReplyName(lines.front());
  lines.erase(lines.begin());
  std::string text = JoinCrLf(lines);
  try {
    env_.txt.Write("R2.txt", text);
  } catch (const FileError& e) {
    LogLine(env_.form, e.what());
  }
  if (index < 0) return;
  // Never cut a two-byte character in half.
  text.resize(GbkPrefixLength(text, kMaxReplyText));
  SendReplyFrame(index, text);
}

void ReplyRelay::SendReplyFrame(int index, const std::string& text) {
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
    std::string time = BcdTime(env_.loop.WallClock());
    env_.form["Label18"].SetText(time);
    frame += "4C" + time;
  }
  std::string body = BytesToHex(text) + "AABB";
  for (std::size_t i = 0; i < p; ++i) body += "20";
  frame += body + FrameCheck(body);
  frame += FrameCheck(frame);
  lastReplyFrame_ = frame;
  ++replyFramesSent_;
  const Millis interval = static_cast<Millis>(frame.size() / 2) + 60;
  timer3_.SetInterval(interval);
  resendBudget_ = interval;
  ResendReply();
  const std::uint64_t confirmationsBefore = confirmations_;
  env_.loop.Delay(static_cast<int>(interval / 1000), static_cast<int>(interval % 1000));
  // Confirmed during the first interval: the exchange is over and polling runs again, so
  // a resend now would only disturb the next exchange.
  if (confirmations_ == confirmationsBefore) timer3_.SetEnabled(true);
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
  ResendReply();
  if (resendBudget_ > kResendBudget || exchangeClosed_) {
    exchangeClosed_ = true;
    EndExpecting();
    timer3_.SetEnabled(false);
    timer4_.SetEnabled(false);
    peers_.upload->StopRepeater();
    const Millis interval = timer3_.Interval();
    env_.loop.Delay(static_cast<int>(interval / 1000), static_cast<int>(interval % 1000));
    env_.form.TimerNamed("ComTimer").SetEnabled(true);
  }
}

void ReplyRelay::Timer4Timer() {
  if (relaying_) {
    expiryHeld_ = true;
    timer4_.SetEnabled(false);
    return;
  }
  exchangeClosed_ = true;
  EndExpecting();
  timer3_.SetEnabled(false);
  timer4_.SetEnabled(false);
  peers_.upload->StopRepeater();
  if (replyPending_) {
    SendReplyFrame(1, Utf8ToGbk(kNoReplyText));
    replyPending_ = false;
  }
  env_.form.TimerNamed("ComTimer").SetEnabled(true);
}

void ReplyRelay::HandleConfirmation(const std::string& frame) {
  ++confirmations_;
  peers_.polling->ClearPollReply();
  replyPending_ = false;
  timer3_.SetEnabled(false);
  timer4_.SetEnabled(false);
  peers_.upload->ClearPacketGood();
  peers_.upload->StopRepeater();
  exchangeClosed_ = true;
  EndExpecting();
  LogLine(env_.form, frame);
  env_.form.TimerNamed("ComTimer").SetEnabled(true);
}

}  // namespace ol
