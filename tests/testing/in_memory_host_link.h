#pragma once

#include <map>
#include <memory>
#include <vector>

#include "core/event_loop.h"
#include "platform/host_link.h"

namespace ol::testing {

// Window messages between links in one process, for logic tests. Every post is recorded.
// A message is delivered through the receiving link's EventLoop::Post, so on a
// ManualLoop it arrives at the next RunPending/Advance, as a posted window message
// would, never inside the sender's call. Single-threaded: use it from the loop's thread.
class InMemoryHostHub {
 public:
  struct Record {
    WindowHandle from = 0;
    WindowHandle to = 0;
    HostMessage message;
    bool delivered = false;  // the target window existed and had a link
  };

  const std::vector<Record>& Posted() const { return posted_; }
  std::vector<HostMessage> PostedTo(WindowHandle to) const {
    std::vector<HostMessage> out;
    for (const auto& r : posted_)
      if (r.to == to) out.push_back(r.message);
    return out;
  }
  void ClearPosted() { posted_.clear(); }

  // A window exists while a link holds its handle, unless the test says otherwise; the
  // test may also declare windows that have no link (a host that never answers).
  void SetWindowExists(WindowHandle handle, bool exists) { exists_[handle] = exists; }
  bool WindowExists(WindowHandle handle) const {
    if (handle == 0) return false;
    if (auto it = exists_.find(handle); it != exists_.end()) return it->second;
    return links_.count(handle) != 0;
  }

 private:
  friend class InMemoryHostLink;
  struct Target {
    EventLoop* loop;
    std::shared_ptr<HostLink*> alive;  // cleared when the link goes away
  };

  void Post(WindowHandle from, WindowHandle to, const HostMessage& message) {
    Record record{from, to, message, false};
    auto it = links_.find(to);
    if (WindowExists(to) && it != links_.end()) {
      record.delivered = true;
      std::shared_ptr<HostLink*> alive = it->second.alive;
      it->second.loop->Post([alive, message] {
        HostLink* link = *alive;
        if (link != nullptr && link->OnMessage) link->OnMessage(message);
      });
    }
    posted_.push_back(record);
  }

  std::map<WindowHandle, Target> links_;
  std::map<WindowHandle, bool> exists_;
  std::vector<Record> posted_;
};

class InMemoryHostLink : public HostLink {
 public:
  // The handle must not be taken by another live link of the hub.
  InMemoryHostLink(InMemoryHostHub& hub, EventLoop& loop, WindowHandle own)
      : hub_(hub), own_(own), alive_(std::make_shared<HostLink*>(this)) {
    hub_.links_[own_] = InMemoryHostHub::Target{&loop, alive_};
  }
  ~InMemoryHostLink() override {
    *alive_ = nullptr;
    hub_.links_.erase(own_);
  }
  InMemoryHostLink(const InMemoryHostLink&) = delete;
  InMemoryHostLink& operator=(const InMemoryHostLink&) = delete;

  WindowHandle OwnHandle() const override { return own_; }
  void Post(WindowHandle to, std::uint32_t message, std::uint32_t wparam,
            std::uint32_t lparam) override {
    hub_.Post(own_, to, HostMessage{message, wparam, lparam});
  }
  bool WindowExists(WindowHandle handle) const override { return hub_.WindowExists(handle); }

 private:
  InMemoryHostHub& hub_;
  WindowHandle own_;
  std::shared_ptr<HostLink*> alive_;
};

}  // namespace ol::testing
