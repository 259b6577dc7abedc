#pragma once

#include <functional>
#include <set>
#include <string>

#include "core/event_loop.h"
#include "core/txt_folder.h"
#include "hostsim/replies.h"
#include "platform/host_link.h"

namespace ol::hostsim {

// The host's side of the exchange: learns the gateway's handle from its announcement,
// answers each request file from the reply table and can send the show and close
// commands. Every event becomes one transcript line (UTF-8).
class HostSession {
 public:
  struct Settings {
    Millis replyDelay = 0;     // between reading T1.txt and writing R1.txt
    Millis closeAfter = -1;    // send close this long after the announcement; -1: never
    Millis showAfter = -1;     // send show this long after the announcement; -1: never
    std::string keepRequests;  // UTF-8 path; each request file read is appended to it
  };

  HostSession(EventLoop& loop, HostLink& link, TxtFolder txt, ReplyTable replies, Settings settings,
              std::function<void(const std::string&)> transcript);
  ~HostSession();
  HostSession(const HostSession&) = delete;
  HostSession& operator=(const HostSession&) = delete;

  WindowHandle GatewayHandle() const { return gateway_; }
  int RepliesSent() const { return repliesSent_; }

  void Show();
  void Close();
  // A command line of the operator: show, close or quit. True for quit, which is the
  // caller's to carry out.
  bool Command(const std::string& line);

 private:
  void OnMessage(const HostMessage& m);
  void HandleRequest();
  void WriteReply(const std::string& replyName, const std::string& textUtf8);
  void After(Millis ms, std::function<void()> fn);
  void Say(const std::string& line) { transcript_(line); }

  EventLoop& loop_;
  HostLink& link_;
  TxtFolder txt_;
  ReplyTable replies_;
  Settings settings_;
  std::function<void(const std::string&)> transcript_;
  WindowHandle gateway_ = 0;
  int repliesSent_ = 0;
  std::set<EventLoop::TimerId> timers_;
};

}  // namespace ol::hostsim
