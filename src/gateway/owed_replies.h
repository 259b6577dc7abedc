#pragma once

#include <algorithm>
#include <cstddef>
#include <deque>
#include <optional>

#include "core/event_loop.h"
#include "gateway/exchange.h"

namespace ol {

// The requests the host owes a reply, oldest first. The host answers in order, but it may
// answer late (after the handheld was told there is no reply), skip a request, or signal
// the same file twice; a reply's first line may name the request it answers by echoing
// the request's header line. A reply can only answer a request written before its signal.
// It is taken by the request it names, else by the oldest; only a reply whose owner is
// beyond doubt may reach a handheld.
class OwedReplies {
 public:
  // A request the host never answered is forgotten this long after it was written: far
  // past its exchange's limit, so that even a host minutes behind is still matched in
  // order rather than its late answer taken for a newer request's.
  static constexpr Millis kForgetAfter = 600000;
  static constexpr std::size_t kMaxOwed = 64;
  // Requests remembered, owed or not, so that a reply naming one is never taken for
  // another's.
  static constexpr Millis kRemember = 600000;
  static constexpr std::size_t kRecent = 64;

  struct Request {
    Exchange::Id exchange = 0;
    int kind = -1;
    int handheld = -1;
    Millis written = 0;
    // A reply that named nobody was once taken by an older request while this one could
    // have been its owner: a reply naming nobody is never again known to be this one's.
    bool doubtful = false;
    // A reply known to be its own was read.
    bool settled = false;
    // A reply naming nobody took it while another request could have been the owner.
    bool takenInDoubt = false;
  };
  struct Owner {
    Request request;
    bool certain = false;  // named by the reply, or the only request it can answer
  };

  void Add(Exchange::Id exchange, int kind, int handheld, Millis now) {
    Forget(now);
    if (owed_.size() == kMaxOwed) owed_.pop_front();
    owed_.push_back({exchange, kind, handheld, now});
    if (recent_.size() == kRecent) recent_.pop_front();
    recent_.push_back(owed_.back());
  }

  // The request a new reply answers, taken off the ledger. Only requests written by
  // signalled (when the host said the reply was ready) can be its owner. A reply that
  // names a handheld answers the oldest request of that kind from it (the host has then
  // passed every older request), or the one awaited now if that is of the same kind and
  // handheld too (a waiter who asked again: either answer is this waiter's own); a reply
  // that names nobody answers the oldest of its kind.
  std::optional<Owner> Take(int kind, std::optional<int> handheld, Millis signalled, Millis now,
                            Exchange::Id awaited) {
    Forget(now);
    std::size_t candidates = 0;
    while (candidates < owed_.size() && owed_[candidates].written <= signalled) ++candidates;
    if (handheld) {
      auto named = [&](const Request& r) {
        return r.kind == kind && r.handheld == *handheld && r.written <= signalled &&
               now - r.written < kRemember;
      };
      std::size_t first = candidates;
      for (std::size_t i = 0; i < candidates && first == candidates; ++i)
        if (named(owed_[i])) first = i;
      // The awaited request, even if a reply naming nobody was taken for it before.
      for (Request& r : recent_)
        if (r.exchange == awaited && named(r) && !r.settled) {
          // The same waiter's older request was taken by a reply naming nobody, in doubt:
          // this may be the host's (corrected) answer to that one, and the awaited request
          // still owed. Its waiter hears it (either answer is his own), and the awaited
          // request stays owed, in doubt, so that the host's next reply naming nobody
          // cannot reach whoever asked next.
          const bool older = first < candidates && owed_[first].exchange != r.exchange;
          if (!older && TakenInDoubtBefore(r, named)) return Keep(r, named);
          return Settle(r, first, candidates, named);
        }
      if (first < candidates) {
        if (TakenInDoubtBefore(owed_[first], named)) return Keep(owed_[first], named);
        return Settle(owed_[first], first, candidates, named);
      }
      // It names a request answered or given up already: a late or repeated answer to that
      // one, whatever is owed now. Digits that name no request of that kind are the host's
      // own text (a table number).
      for (Request r : recent_)
        if (named(r)) {
          r.exchange = 0;  // no exchange awaits it any more
          return Owner{r, true};
        }
    }
    // A reply's name is its request's kind: one of another kind is not that request's (an
    // empty file has no name and may be anyone's). It goes to the oldest of its kind, in
    // doubt when the host owed an older one, and to nobody when none of its kind is owed.
    std::size_t oldest = 0;
    while (oldest < candidates && kind >= 0 && owed_[oldest].kind != kind) ++oldest;
    if (oldest == candidates) return std::nullopt;
    Owner owner{owed_[oldest], candidates == 1 && !owed_[oldest].doubtful};
    if (owner.certain) MarkSettled(owner.request.exchange);
    owed_.erase(owed_.begin() + static_cast<std::ptrdiff_t>(oldest));
    if (!owner.certain) {
      for (std::size_t i = 0; i + 1 < candidates; ++i) owed_[i].doubtful = true;
      for (Request& q : recent_)
        if (q.exchange == owner.request.exchange) q.takenInDoubt = true;
    }
    return owner;
  }

  bool Owes(Millis now) {
    Forget(now);
    return !owed_.empty();
  }

 private:
  // Request r is answered beyond doubt, and every owed request up to the oldest the reply
  // names (at place first, when there is one) has been passed by the host.
  template <typename Named>
  Owner Settle(Request r, std::size_t first, std::size_t candidates, Named named) {
    MarkSettled(r.exchange);
    SpendDoubt(r, named);
    // The host answers in order: a reply naming a handheld owed an older request of its
    // kind answers that older one. Its waiter, asking again, hears it now, and his newer
    // request is owed still: dropping both would give the host's next reply to the next.
    if (first < candidates)
      owed_.erase(owed_.begin(), owed_.begin() + static_cast<std::ptrdiff_t>(first) + 1);
    else
      std::erase_if(owed_, [&](const Request& o) { return o.exchange == r.exchange; });
    return Owner{r, true};
  }
  template <typename Named>
  bool TakenInDoubtBefore(const Request& r, Named named) const {
    return std::any_of(recent_.begin(), recent_.end(), [&](const Request& q) {
      return named(q) && q.written < r.written && q.takenInDoubt;
    });
  }
  // Once: the doubt this reply may answer is spent.
  template <typename Named>
  Owner Keep(Request r, Named named) {
    SpendDoubt(r, named);
    MarkSettled(r.exchange);
    for (Request& o : owed_)
      if (o.exchange == r.exchange) o.doubtful = true;
    return Owner{r, true};
  }
  // A named reply for this waiter answers his request r or an older one: the doubt of an
  // older request taken by a reply naming nobody is spent, whichever it answers.
  template <typename Named>
  void SpendDoubt(const Request& r, Named named) {
    for (Request& q : recent_)
      if (named(q) && q.written < r.written) q.takenInDoubt = false;
  }
  void MarkSettled(Exchange::Id exchange) {
    for (Request& r : recent_)
      if (r.exchange == exchange) r.settled = true;
  }
  void Forget(Millis now) {
    while (!owed_.empty() && now - owed_.front().written >= kForgetAfter) owed_.pop_front();
  }

  std::deque<Request> owed_;
  std::deque<Request> recent_;
};

}  // namespace ol
