#pragma once

#include <optional>
#include <string>
#include <vector>

#include "core/continuation.h"
#include "gateway/context.h"
#include "gateway/owed_replies.h"
#include "gateway/reply_file.h"

namespace ol {

// The host's side of an exchange: its 0x500 messages, the reply file R1.txt, the reply
// frame with its resending on Timer3 until the handheld confirms, and the exchange timer
// Timer4 that ends an exchange which takes too long.
class ReplyRelay {
 public:
  static constexpr Millis kExchangeTime = 11500;
  static constexpr Millis kResendBudget = 2000;
  static constexpr std::size_t kMaxReplyText = 812;
  // From a reply-ready signal to the read of R1.txt (the host's file settles), and the
  // pace at which a file the host has not yet written is looked for.
  static constexpr Millis kReadAfterSignal = 120;
  static constexpr Millis kLookAgain = 10;

  ReplyRelay(GatewayEnv& env, GatewayPeers& peers);

  void HandleHostMessage(const HostMessage& message);
  void ResendReply();
  void Timer3Timer();
  void Timer4Timer();
  // A confirmation that arrived on slot.
  void HandleConfirmation(const std::string& frame, int slot);

  // Named operations for the other parts of an exchange.
  // The current exchange's request is complete: with the host (in T1.txt), or lost on
  // the way; either way the handheld is owed an answer.
  void SetReplyPending(bool withHost);
  void ClearReplyPending() { replyPending_ = false; }
  // The current exchange's request is with the host and nothing of the host's has
  // reached its handheld yet.
  bool ReplyPending() const { return replyPending_; }
  // The exchange-closed flag: the current exchange has ended.
  bool ExchangeClosed() const { return !peers_.exchange->IsOpen(peers_.exchange->Current()); }
  // A new upload exchange: the limit starts afresh, resends of an older reply stop.
  void StartExchangeTimer();
  void ResetForPoll();

  const std::string& LastReplyFrame() const { return lastReplyFrame_; }
  Millis ResendBudget() const { return resendBudget_; }
  // How often R1.txt has been read: a host that replaces it before the next read has
  // overwritten a reply nobody saw.
  std::uint64_t ReplyFilesRead() const { return replyFilesRead_; }
  // The exchange whose request is with the host now (0: none).
  Exchange::Id WithHost() const;

 private:
  using Id = Exchange::Id;

  // The exchange's request is with the host and the exchange is still open: only then may
  // a reply reach the handheld at the current poll address.
  bool ExpectingReply(Id id) const {
    return asked_.withHost && asked_.request.exchange == id && peers_.exchange->IsOpen(id);
  }
  // The last reply frame is the host's answer to exchange id.
  bool HostReplyOut(Id id) const { return replyExchange_ == id && !hostReply_.empty(); }
  // Whether a reply of kind index (-1: an empty file), naming handheld or nobody, that the
  // host signalled at signalledAt_, answers the request awaited now; named replies are
  // taken off the ledger whichever request they answer.
  bool AnswersAwaited(int index, std::optional<int> handheld, bool empty);
  // The signalled read of R1.txt (id: the exchange that awaited it then, or 0), and what
  // it finds; again: a look after the file was missing or held.
  void ReadReply(Id id, bool again = false);
  // A new reply that is not sent: why, in the monitor log and the decoded view.
  void NotSent(std::optional<int> handheld, int index);
  // The host answered nothing the handheld can be sent: past the limit that ends the
  // exchange now, before it the limit will.
  void NothingToSend(Id id);
  // A reply that no open exchange awaits: kept in the activity log and R2.txt, not sent.
  void RecordLateReply(const std::string& why);
  // kind says whose text it is: the host's reply, or one of the gateway's own.
  void SendReplyFrame(Id id, int index, const std::string& text, Traffic kind);
  // An event about the handheld at the current poll address.
  void Tell(Traffic kind, int code = -1, std::string detail = {}, int slot = 0);
  // An event of no known handheld: once its exchange is over, the poll address names
  // whoever was polled next.
  void TellUnaddressed(Traffic kind, std::string detail);
  // Ends exchange id; polling resumes unless a newer exchange has begun meanwhile.
  void Expire(Id id);
  // Polling resumes after exchange id, unless a newer one has begun meanwhile.
  void ResumePolling(Id id);

  GatewayEnv& env_;
  GatewayPeers& peers_;
  Timer& timer3_;
  Timer& timer4_;
  bool replyPending_ = false;
  // The request of the last exchange that completed one: its handheld is owed an answer;
  // withHost, it is in T1.txt and the host was told.
  struct Asked {
    bool withHost = false;
    OwedReplies::Request request;
  } asked_;
  Id replyExchange_ = 0;  // the exchange that the last reply frame answers
  // It carries the host's answer (not a text of our own): its code and text, else empty.
  std::string hostReply_;
  OwedReplies owed_;
  // The steps that resume: the read a signal asked for (of readFor_), and the end of a
  // reply frame's first interval or of the pause after its last resend.
  Continuation read_;
  Continuation next_;
  Id readFor_ = 0;
  Millis signalledAt_ = 0;  // the last signal before the read that is due
  Id limitPassed_ = 0;      // its limit came with a reply out or a signalled read still due
  // R1.txt as last read: read again unchanged, it is no new reply.
  std::optional<ReplyFile> lastFile_;
  std::uint64_t replyFilesRead_ = 0;
  std::string lastReplyFrame_;
  Millis resendBudget_ = 0;
};

}  // namespace ol
