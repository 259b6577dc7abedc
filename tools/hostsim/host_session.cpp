#include "hostsim/host_session.h"

#include <fstream>
#include <memory>

#include "core/gbk.h"
#include "core/text_file.h"
#include "hostsim/request.h"

namespace ol::hostsim {

namespace {
// A reply-ready message may carry any LPARAM but the three commands 11, 12 and 16.
constexpr std::uint32_t kReplyReadyLparam = 1;
constexpr std::uint32_t kShow = 12;
constexpr std::uint32_t kClose = 16;
}  // namespace

HostSession::HostSession(EventLoop& loop, HostLink& link, TxtFolder txt, ReplyTable replies,
                         Settings settings, std::function<void(const std::string&)> transcript)
    : loop_(loop),
      link_(link),
      txt_(std::move(txt)),
      replies_(std::move(replies)),
      settings_(settings),
      transcript_(std::move(transcript)) {
  link_.OnMessage = [this](const HostMessage& m) { OnMessage(m); };
}

HostSession::~HostSession() {
  link_.OnMessage = nullptr;
  for (auto id : timers_) loop_.StopTimer(id);
}

void HostSession::After(Millis ms, std::function<void()> fn) {
  auto id = std::make_shared<EventLoop::TimerId>(0);
  *id = loop_.StartTimer(ms, [this, id, fn = std::move(fn)] {
    loop_.StopTimer(*id);
    timers_.erase(*id);
    fn();
  });
  timers_.insert(*id);
}

void HostSession::Show() {
  if (gateway_ == 0) {
    Say("show: the gateway has not announced itself yet");
    return;
  }
  link_.Post(gateway_, kHostMessage, 0, kShow);
  Say("show sent to gateway " + std::to_string(gateway_));
}

void HostSession::Close() {
  if (gateway_ == 0) {
    Say("close: the gateway has not announced itself yet");
    return;
  }
  link_.Post(gateway_, kHostMessage, 0, kClose);
  Say("close sent to gateway " + std::to_string(gateway_));
}

bool HostSession::Command(const std::string& line) {
  if (line == "show") {
    Show();
  } else if (line == "close") {
    Close();
  } else if (line == "quit") {
    Say("quit");
    return true;
  } else if (!line.empty()) {
    Say("unknown command '" + line + "' (show, close, quit)");
  }
  return false;
}

void HostSession::OnMessage(const HostMessage& m) {
  if (m.message != kHostMessage) {
    Say("ignored message " + std::to_string(m.message));
    return;
  }
  // (1, 1) and (11, 11) are the request and download notices; a gateway's handle is its
  // process id or a number above it, never 1 or 11.
  bool announcement = m.wparam == m.lparam && m.wparam != 0 && m.wparam != 1 && m.wparam != 11;
  if (gateway_ == 0 || announcement) {
    if (!announcement) {
      Say("message (" + std::to_string(m.wparam) + ", " + std::to_string(m.lparam) +
          ") before the gateway announced itself: ignored");
      return;
    }
    bool first = gateway_ == 0;
    gateway_ = m.wparam;
    Say("gateway announced handle " + std::to_string(gateway_));
    if (first && settings_.showAfter >= 0) After(settings_.showAfter, [this] { Show(); });
    if (first && settings_.closeAfter >= 0) After(settings_.closeAfter, [this] { Close(); });
    return;
  }
  if (m.wparam == 1 && m.lparam == 1) {
    HandleRequest();
  } else if (m.wparam == 11 && m.lparam == 11) {
    Say("gateway starts a table download");
  } else {
    Say("unexpected message (" + std::to_string(m.wparam) + ", " + std::to_string(m.lparam) +
        "): ignored");
  }
}

void HostSession::HandleRequest() {
  auto bytes = txt_.Read("T1.txt");
  if (!bytes) {
    Say("request announced but T1.txt cannot be read: not answered");
    return;
  }
  if (!settings_.keepRequests.empty()) {
    std::ofstream copy(Utf8Path(settings_.keepRequests), std::ios::binary | std::ios::app);
    if (!(copy << *bytes)) Say("cannot append to " + settings_.keepRequests);
  }
  HostRequest request = ParseRequest(*bytes);
  if (request.lines.empty()) {
    // A kind without a record: the file names neither kind nor handheld, and the gateway
    // takes a reply of any kind for it, so it is answered under the first such name.
    request.index = 18;
    request.replyName = "KHKH";
    Say("request file is empty (a kind without a record): answered as KHKH");
  } else if (request.index < 0) {
    Say("request of unknown kind '" + GbkToUtf8(request.header) + "': not answered");
  } else {
    Say("request " + request.header + " (index " + std::to_string(request.index) +
        ") from handheld " + request.handheld);
  }
  for (const auto& line : request.lines) Say("  | " + GbkToUtf8(line));
  if (request.index < 0) return;

  ReplyChoice choice = replies_.For(request.replyName);
  if (choice.silent) {
    Say("reply " + request.replyName + ": silent, not answered");
    return;
  }
  if (settings_.replyDelay > 0) {
    After(settings_.replyDelay,
          [this, name = request.replyName, text = choice.textUtf8] { WriteReply(name, text); });
  } else {
    WriteReply(request.replyName, choice.textUtf8);
  }
}

void HostSession::WriteReply(const std::string& replyName, const std::string& textUtf8) {
  try {
    txt_.Write("R1.txt", BuildReplyFile(replyName, textUtf8));
  } catch (const FileError& e) {
    Say(std::string("cannot write R1.txt: ") + e.what());
    return;
  }
  std::string shown = textUtf8;
  for (auto& c : shown)
    if (c == '\n') c = '|';
  Say("reply " + replyName + ": " + shown);
  link_.Post(gateway_, kHostMessage, 0, kReplyReadyLparam);
  ++repliesSent_;
  Say("reply-ready sent to gateway " + std::to_string(gateway_));
}

}  // namespace ol::hostsim
