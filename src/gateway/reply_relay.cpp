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

// The handheld a reply's first line names, when it has exactly the shape of the request's
// header line ("KT   005": the name padded to five, then three digits); anything else after
// the name names nobody.
std::optional<int> ReplyHandheld(const std::string& firstLine, int index) {
  std::string name = ReplyName(index);
  name.resize(5, ' ');
  const std::string line = Trim(firstLine);
  if (line.size() != 8 || line.compare(0, 5, name) != 0) return std::nullopt;
  const std::string digits = line.substr(5);
  if (digits.find_first_not_of("0123456789") != std::string::npos) return std::nullopt;
  return std::stoi(digits);
}

}  // namespace

ReplyRelay::ReplyRelay(GatewayEnv& env, GatewayPeers& peers)
    : env_(env),
      peers_(peers),
      timer3_(env.form.TimerNamed("Timer3")),
      timer4_(env.form.TimerNamed("Timer4")),
      read_(env.loop),
      next_(env.loop) {
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

void ReplyRelay::SetReplyPending(bool withHost) {
  replyPending_ = true;
  pendingExchange_ = peers_.exchange->Current();
  requestExchange_ = withHost ? pendingExchange_ : 0;
  if (!withHost) return;
  const auto& request = env_.form["ListBox1"].Lines();
  owed_.Add(pendingExchange_, request.size() > 2 ? DecimalOf(request[0]) : -1,
            request.size() > 2 ? DecimalOf(request[2]) : -1, env_.loop.Now());
}

Exchange::Id ReplyRelay::WithHost() const {
  return peers_.exchange->IsOpen(requestExchange_) ? requestExchange_ : 0;
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

void ReplyRelay::ResumePolling(Id id) {
  if (peers_.exchange->IsCurrent(id) && !env_.loop.Ending())
    env_.form.Polling().Release(PollHolder::Exchange);
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
  // Nothing owed and nobody waiting: whatever the file holds answers no request.
  if (!owed_.Owes(env_.loop.Now()) && WithHost() == 0) {
    TellUnaddressed(Traffic::HostSignal, {});
    if (env_.form["ListBox1"].LineCount() >= 5) RecordLateReply("交换已结束");
    return;
  }
  // The exchange awaiting a reply now, if any; a late reply is still read, since it
  // answers a request the host owed and must not be taken for the next one's.
  const Id waiting = WithHost();
  if (waiting != 0)
    Tell(Traffic::HostSignal);
  else
    TellUnaddressed(Traffic::HostSignal, {});
  // A read already due reads the file as the host has written it by then, this signal's
  // reply included; one pending read however often the host signals.
  signalledAt_ = env_.loop.Now();  // the file read answers the last signal before the read
  if (read_.Pending()) {
    if (readFor_ == 0) readFor_ = waiting;
    return;
  }
  readFor_ = waiting;
  read_.Start(kReadAfterSignal, [this] { ReadReply(readFor_); });
}

void ReplyRelay::ReadReply(Id id) {
  readFor_ = 0;
  Control& replyLines = env_.form["Memo4"];
  replyLines.ClearLines();
  const bool waiting = id != 0 && ExpectingReply(id);
  // The host writes R1.txt before it signals; should it be late, look for it as long as
  // the exchange's limit has not passed.
  if (!env_.txt.Exists("R1.txt")) {
    if (!waiting) return RecordLateReply("交换已结束");
    if (limitPassed_ == id && HostReplyOut(id)) return;  // its reply runs its course
    if (limitPassed_ == id) {
      LogLine(env_.form, "R1.TXT未出现，交换已结束");
      Tell(Traffic::ReplyDropped, -1, "R1.TXT未出现");
      Expire(id);
      return;
    }
    readFor_ = id;
    read_.Start(kLookAgain, [this, id] { ReadReply(id); });
    return;
  }
  const ReplyFile file = ReadReplyFile(env_.txt, env_.form);
  ++replyFilesRead_;
  // The file as it was at the last read (a repeated or flooding signal, or one before the
  // host wrote its next reply): it answers nothing new.
  const bool stale = lastFile_ && *lastFile_ == file;
  lastFile_ = file;
  if (stale) {
    LogLine(env_.form, "R1.TXT未更新，仍是此前读过的回复，未发送");
    if (waiting) {
      Tell(Traffic::ReplyDropped, -1, "R1.TXT未更新");
      NothingToSend(id);
    }
    return;
  }
  std::vector<std::string> lines = file.lines;
  replyLines.SetLines(lines);
  RecordReplyFile(env_.form, *peers_.activity, lines);
  const int index = lines.empty() ? -1 : FindReplyName(lines.front());
  const std::optional<int> named =
      lines.empty() ? std::nullopt : ReplyHandheld(lines.front(), index);
  if (!lines.empty()) {
    lines.erase(lines.begin());
    WriteReplyText(env_.form, env_.txt, JoinCrLf(lines));
  }
  const Id current = peers_.exchange->Current();
  if (!file.lines.empty() && index < 0) {
    // No reply of any kind: it answers nothing, and the host may yet correct it.
    LogLine(env_.form, "R1.TXT首行的回复名无法识别，未发送");
    if (ExpectingReply(current)) {
      Tell(Traffic::ReplyDropped, -1, "回复名无法识别");
      NothingToSend(current);
    }
    return;
  }
  // Only a waiter still awaiting a reply can hear one now; for anyone else the host's order
  // alone says which request a reply answers.
  const std::optional<OwedReplies::Owner> owner = owed_.Take(
      index, named, signalledAt_, env_.loop.Now(), ExpectingReply(current) ? current : 0);
  // Only the request of the exchange awaiting a reply, known beyond doubt, is answered: a
  // handheld shown no reply is a lesser harm than one shown another waiter's.
  if (!owner || owner->request.exchange != current || !ExpectingReply(current) || !owner->certain ||
      HostReplyOut(current)) {
    NotSent(owner, index);
    if (ExpectingReply(current)) NothingToSend(current);
    return;
  }
  if (file.lines.empty()) {
    SendReplyFrame(current, 1, Utf8ToGbk(kEmptyReplyText), Traffic::EmptyReply);
    return;
  }
  std::string text = JoinCrLf(lines);
  // Never cut a two-byte character in half.
  text.resize(GbkPrefixLength(text, kMaxReplyText));
  SendReplyFrame(current, index, GbkRoundTrip(text), Traffic::ReplySent);
}

void ReplyRelay::NotSent(const std::optional<OwedReplies::Owner>& owner, int index) {
  if (!owner) {
    LogLine(env_.form, "主机回复没有对应的请求，未发送");
    TellUnaddressed(Traffic::ReplyDropped, "无对应请求");
    return;
  }
  const std::string handheld = ZeroPad(owner->request.handheld, 3);
  if (owner->request.exchange != peers_.exchange->Current() ||
      !ExpectingReply(owner->request.exchange)) {
    LogLine(env_.form, "主机回复属于手持" + handheld + "已结束的交换，未发送");
    TellUnaddressed(Traffic::ReplyDropped, "回复属于手持" + handheld + "已结束的交换");
    return;
  }
  if (owner->certain && HostReplyOut(owner->request.exchange)) {
    // The waiter asked again and is hearing the host's answer to his first request: one
    // answer per exchange, never cut short by the next.
    LogLine(env_.form, "手持" + handheld + "正在收到主机的回复，此回复未发送");
    TellUnaddressed(Traffic::ReplyDropped, "手持" + handheld + "正在收到回复");
    return;
  }
  // The host owed an older request too, and the reply names none: it may be the older's.
  LogLine(env_.form,
          "主机回复未注明手持，无法确定属于哪个请求，未发送；请主机在R1.TXT首行写请求头行");
  Tell(Traffic::ReplyDropped, index, "无法确定回复属于哪个请求");
}

void ReplyRelay::NothingToSend(Id id) {
  // Past the limit the exchange ends now, unless the host's reply is out: that one runs
  // to its confirmation or its budget.
  if (limitPassed_ == id && !HostReplyOut(id)) Expire(id);
}

void ReplyRelay::RecordLateReply(const std::string& why) {
  LogLine(env_.form, "交换已结束，主机回复未发送");
  TellUnaddressed(Traffic::ReplyDropped, why);
  if (!env_.txt.Exists("R1.txt")) return;
  const ReplyFile file = ReadReplyFile(env_.txt, env_.form);
  ++replyFilesRead_;
  // A host that signals again and again must not fill the log with one reply.
  const bool seen = lastFile_ && *lastFile_ == file;
  lastFile_ = file;
  if (seen) return;
  std::vector<std::string> lines = file.lines;
  // The activity log shows it as the host wrote it, and that no handheld got it.
  lines.push_back(Utf8ToGbk("（交换已结束，此回复未发送）"));
  RecordReplyFile(env_.form, *peers_.activity, lines);
  lines.pop_back();
  if (!lines.empty())
    WriteReplyText(env_.form, env_.txt,
                   JoinCrLf(std::vector<std::string>(lines.begin() + 1, lines.end())));
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
  const bool own = kind == Traffic::NoReplyText;
  hostReplyOut_ = !own;
  // The host has been heard: the limit no longer stands for a silent host.
  if (!own && pendingExchange_ == id) replyPending_ = false;
  const Millis interval = static_cast<Millis>(frame.size() / 2) + 60;
  timer3_.SetEnabled(false);
  timer3_.SetInterval(interval);
  resendBudget_ = interval;
  Tell(kind, index);
  ResendReply();
  // Resends only while the exchange is still open: confirmed meanwhile, or overtaken by a
  // newer exchange, a resend would only disturb the next one. The gateway's own text
  // ends its exchange: polling resumes after it.
  next_.Start(interval, [this, id, own] {
    if (own)
      ResumePolling(id);
    else if (peers_.exchange->IsOpen(id))
      timer3_.SetEnabled(true);
  });
}

void ReplyRelay::ResendReply() {
  const Control& current = env_.form["ListBox1"];
  std::string station = current.LineCount() > 1 ? Trim(current.Lines()[1]) : std::string();
  if (!station.empty() && station.find_first_not_of("0123456789") == std::string::npos &&
      station.size() < 3)
    station = ZeroPad(std::stol(station), 2);
  sentSlot_ = 0;
  for (int slot = 1; slot <= 4; ++slot) {
    if (Trim(env_.form.At("JZID", slot).Text()) == station) {
      SendHexFrame(env_.form, env_.comms, lastReplyFrame_, slot);
      sentSlot_ = slot;
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
    next_.Start(timer3_.Interval(), [this, id] { ResumePolling(id); });
  }
}

void ReplyRelay::Timer4Timer() {
  const Id id = peers_.exchange->Current();
  if (peers_.exchange->IsOpen(id) && HostReplyOut(id)) {
    // The host answered in time and its reply is out: it ends by its confirmation or its
    // resend budget, which the handheld is listening for.
    timer4_.SetEnabled(false);
    limitPassed_ = id;
    LogLine(env_.form, "交换时限已到，主机回复已发出，重发至确认或次数用完");
    return;
  }
  if (peers_.exchange->IsOpen(id) && readFor_ == id && read_.Pending()) {
    // The host signalled within the limit and its file is read within moments: the
    // handheld gets the host's answer rather than the text that there is none.
    timer4_.SetEnabled(false);
    peers_.upload->StopRepeater();
    limitPassed_ = id;
    LogLine(env_.form, "交换时限已到，主机已通知回复，读取后发送");
    return;
  }
  Expire(id);
}

void ReplyRelay::Expire(Id id) {
  peers_.exchange->Close(id);
  timer3_.SetEnabled(false);
  timer4_.SetEnabled(false);
  peers_.upload->StopRepeater();
  if (readFor_ == id) {
    read_.Cancel();
    readFor_ = 0;
  }
  const bool pending = replyPending_ && pendingExchange_ == id;
  if (pending) {
    replyPending_ = false;
    SendReplyFrame(id, 1, Utf8ToGbk(kNoReplyText), Traffic::NoReplyText);
  } else {
    ResumePolling(id);
  }
}

void ReplyRelay::HandleConfirmation(const std::string& frame, int slot) {
  LogLine(env_.form, frame);
  // Only the handheld of the exchange whose reply is out confirms, through the port the
  // reply went out on; a late or stray confirmation must not end another exchange.
  const Id id = peers_.exchange->Current();
  if (!peers_.exchange->Busy() || replyExchange_ != id || slot != sentSlot_) {
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
  peers_.upload->ReplyConfirmed();
  peers_.exchange->Close(id);
  env_.form.Polling().Release(PollHolder::Exchange);
}

}  // namespace ol
