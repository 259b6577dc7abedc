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

// A reply's first line: its kind, and the handheld it names when it is the request's header
// line exactly as T1.txt gave it ("KT   005", "YDKT 005": the request's name, or the
// reply's, padded to five, then three digits); anything else after the name names nobody.
struct ReplyHead {
  int index = -1;
  std::optional<int> handheld;
};
ReplyHead ReadReplyHead(const std::string& firstLine) {
  const std::string line = Trim(firstLine);
  const std::string digits = line.size() == 8 ? line.substr(5) : std::string();
  if (digits.size() == 3 && digits.find_first_not_of("0123456789") == std::string::npos) {
    for (int i = 0; i < kRequestKinds; ++i) {
      std::string reply = ReplyName(i);
      reply.resize(5, ' ');
      const std::string header = RequestHeaderName(i);
      if (line.compare(0, 5, reply) == 0 || (!header.empty() && line.compare(0, 5, header) == 0))
        return {i, std::stoi(digits)};
    }
  }
  return {FindReplyName(firstLine), std::nullopt};
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
  const auto& request = env_.form["ListBox1"].Lines();
  asked_ = {withHost,
            {peers_.exchange->Current(), request.size() > 2 ? DecimalOf(request[0]) : -1,
             request.size() > 2 ? DecimalOf(request[2]) : -1, env_.loop.Now()}};
  if (withHost) owed_.Add(asked_.request);
}

Exchange::Id ReplyRelay::WithHost() const {
  return asked_.withHost && peers_.exchange->IsOpen(asked_.request.exchange)
             ? asked_.request.exchange
             : 0;
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
  if (owed_.Empty() && WithHost() == 0) {
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

void ReplyRelay::ReadReply(Id id, bool again) {
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
    read_.Start(kLookAgain, [this, id] { ReadReply(id, true); });
    return;
  }
  const ReplyFile file = ReadReplyFile(env_.txt, env_.form);
  // There but not to be opened: the host or a virus scanner still holds it. Looked at again
  // as a missing one is; past the limit it reads as empty.
  if (!file.readable && waiting && limitPassed_ != id) {
    if (!again) LogLine(env_.form, "R1.TXT被其他程序占用，稍后重试");
    readFor_ = id;
    read_.Start(kLookAgain, [this, id] { ReadReply(id, true); });
    return;
  }
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
  ReplyHead head = lines.empty() ? ReplyHead{} : ReadReplyHead(lines.front());
  if (head.handheld && !owed_.EverAsked(head.index, *head.handheld)) head.handheld.reset();
  if (!lines.empty()) {
    lines.erase(lines.begin());
    WriteReplyText(env_.form, env_.txt, JoinCrLf(lines));
  }
  const Id current = peers_.exchange->Current();
  if (!file.lines.empty() && head.index < 0) {
    // No reply of any kind: it answers nothing, and the host may yet correct it.
    LogLine(env_.form, "R1.TXT首行的回复名无法识别，未发送");
    if (ExpectingReply(current)) {
      Tell(Traffic::ReplyDropped, -1, "回复名无法识别");
      NothingToSend(current);
    }
    return;
  }
  if (!AnswersAwaited(head.index, head.handheld, file.lines.empty())) {
    NotSent(head.handheld, head.index);
    if (ExpectingReply(current)) NothingToSend(current);
    return;
  }
  std::string text = Utf8ToGbk(kEmptyReplyText);
  int index = 1;
  Traffic kind = Traffic::EmptyReply;
  if (!file.lines.empty()) {
    text = JoinCrLf(lines);
    // Never cut a two-byte character in half.
    text.resize(GbkPrefixLength(text, kMaxReplyText));
    text = GbkRoundTrip(text);
    index = head.index;
    kind = Traffic::ReplySent;
  }
  // The host corrected the reply being resent: the handheld hears the new one. The same
  // reply again changes nothing, and past the limit the one out runs its course.
  const bool same = hostReply_ == IntToHex(static_cast<std::uint32_t>(index)) + text;
  if (HostReplyOut(current) && (limitPassed_ == current || same)) {
    LogLine(env_.form, "手持正在收到相同或已到时限的回复，此回复未发送");
    return;
  }
  SendReplyFrame(current, index, text, kind);
}

bool ReplyRelay::AnswersAwaited(int index, std::optional<int> handheld, bool empty) {
  const Id current = peers_.exchange->Current();
  const bool awaiting = ExpectingReply(current) && asked_.request.handedOver <= signalledAt_;
  const OwedReplies::Request& r = asked_.request;
  if (handheld) {
    // The header line tells the handheld and the kind, not which of that handheld's
    // requests: the awaited one of that kind and handheld takes it, as any reply of its
    // kind (a host that skipped an older one means it; one that answers late corrects it
    // next). A reply naming anyone else is never heard by this waiter.
    const bool mine = awaiting && r.kind == index && r.handheld == *handheld;
    owed_.TakeNamed(index, *handheld, signalledAt_, mine ? current : 0);
    return mine;
  }
  // Nothing names the handheld: the request awaiting a reply takes it, if the reply is of
  // its kind. An empty file has no kind; a request whose T1.txt is empty told the host none.
  if (!awaiting || !(empty || r.kind == index || *RequestHeaderName(r.kind) == '\0')) return false;
  owed_.Answered(current);
  return true;
}

void ReplyRelay::NotSent(std::optional<int> handheld, int index) {
  const Id current = peers_.exchange->Current();
  if (handheld) {
    const std::string who = ZeroPad(*handheld, 3);
    LogLine(env_.form, "主机回复属于手持" + who + "的其他请求，未发送");
    TellUnaddressed(Traffic::ReplyDropped, "回复属于手持" + who + "的其他请求");
    return;
  }
  if (!ExpectingReply(current)) {
    LogLine(env_.form, "主机回复属于已结束的交换，未发送");
    TellUnaddressed(Traffic::ReplyDropped, "无等待回复的请求");
    return;
  }
  if (asked_.request.handedOver > signalledAt_) {
    LogLine(env_.form, "主机在此请求交出之前已通知回复，未发送");
    Tell(Traffic::ReplyDropped, index, "回复早于请求");
    return;
  }
  LogLine(env_.form, "主机回复与等待中的请求种类不同，未发送");
  Tell(Traffic::ReplyDropped, index, "回复种类不同");
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
  hostReply_ = own ? std::string() : IntToHex(static_cast<std::uint32_t>(index)) + text;
  // The host has been heard: the limit no longer stands for a silent host.
  if (!own && asked_.request.exchange == id) replyPending_ = false;
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
  const bool pending = replyPending_ && asked_.request.exchange == id;
  if (pending) {
    replyPending_ = false;
    SendReplyFrame(id, 1, Utf8ToGbk(kNoReplyText), Traffic::NoReplyText);
  } else {
    ResumePolling(id);
  }
}

void ReplyRelay::HandleConfirmation(const std::string& frame, int slot) {
  LogLine(env_.form, frame);
  // Only the handheld of the exchange whose reply is out confirms; a late or stray
  // confirmation must not end another exchange. (Its port was checked as its bytes came.)
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
  env_.form.Polling().Release(PollHolder::Exchange);
}

}  // namespace ol
