#pragma once

#include <algorithm>
#include <bitset>
#include <cstddef>
#include <deque>
#include <optional>

#include "core/event_loop.h"
#include "gateway/exchange.h"

namespace ol {

// The requests handed to the host that no reply naming them has answered yet, oldest
// first. Only a reply whose first line echoes its request's header line ("DC   005") says
// whose it is, and only up to its kind and handheld: a host that answers in order means the
// oldest such request still owed, one that skipped it means the newest. A reply that names
// nobody is matched by the relay, not here.
class OwedReplies {
 public:
  // No time horizon: a host an hour behind still answers in order, and its reply must
  // never be taken for a newer request's. Only the count is bounded, far beyond any
  // backlog (a request the host leaves unanswered holds its exchange 11.5 s: this is hours).
  static constexpr std::size_t kMaxOwed = 1024;

  struct Request {
    Exchange::Id exchange = 0;
    int kind = -1;
    int handheld = -1;
    Millis handedOver = 0;
  };

  void Add(const Request& request) {
    if (owed_.size() == kMaxOwed) owed_.pop_front();
    owed_.push_back(request);
    if (InRange(request.kind, request.handheld)) asked_.set(Bit(request.kind, request.handheld));
  }

  // Whether the host was ever given a request of kind from handheld: only then is a reply's
  // "KT   012" its header line echoed; else the digits are the host's own text (a table).
  bool EverAsked(int kind, int handheld) const {
    return InRange(kind, handheld) && asked_.test(Bit(kind, handheld));
  }

  // The request a reply naming handheld, of kind, signalled at signalled, answers: taken
  // off the ledger with every request older than it. The request of exchange mine, when
  // it is one of them, else the oldest. None when nothing of that kind and handheld was
  // owed by then (the digits were the host's own text, or it answered again).
  std::optional<Request> TakeNamed(int kind, int handheld, Millis signalled,
                                   Exchange::Id mine = 0) {
    const auto named = [&](const Request& r) {
      return r.kind == kind && r.handheld == handheld && r.handedOver <= signalled;
    };
    auto it = std::find_if(owed_.begin(), owed_.end(), [&](const Request& r) {
      return mine && r.exchange == mine && named(r);
    });
    if (it == owed_.end()) it = std::find_if(owed_.begin(), owed_.end(), named);
    if (it == owed_.end()) return std::nullopt;
    const Request owner = *it;
    owed_.erase(owed_.begin(), it + 1);
    return owner;
  }

  // Exchange id's request was answered by a reply naming nobody.
  void Answered(Exchange::Id id) {
    std::erase_if(owed_, [&](const Request& r) { return r.exchange == id; });
  }

  bool Empty() const { return owed_.empty(); }
  std::size_t Count() const { return owed_.size(); }

 private:
  static constexpr int kKinds = 32, kHandhelds = 256;
  static bool InRange(int kind, int handheld) {
    return kind >= 0 && kind < kKinds && handheld >= 0 && handheld < kHandhelds;
  }
  static std::size_t Bit(int kind, int handheld) {
    return static_cast<std::size_t>(kind * kHandhelds + handheld);
  }

  std::deque<Request> owed_;
  std::bitset<kKinds * kHandhelds> asked_;
};

}  // namespace ol
