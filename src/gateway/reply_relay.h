#pragma once

#include <string>

#include "gateway/context.h"

namespace ol {

// The host's side of an exchange: its 0x500 messages, the reply file R1.txt, the reply
// frame with its resending on Timer3 until the handheld confirms, and the exchange timer
// Timer4 that ends an exchange which takes too long.
class ReplyRelay {
 public:
  static constexpr Millis kExchangeTime = 11500;
  static constexpr Millis kResendBudget = 2000;
  static constexpr std::size_t kMaxReplyText = 812;

  ReplyRelay(GatewayEnv& env, GatewayPeers& peers);

  void HandleHostMessage(const HostMessage& message);
  void ResendReply();
  void Timer3Timer();
  void Timer4Timer();
  // A confirmation that arrived on slot.
  void HandleConfirmation(const std::string& frame, int slot);

  // Named operations for the other parts of an exchange.
  // The dispatcher has given the current exchange's request to the host.
  void SetReplyPending();
  void ClearReplyPending() { replyPending_ = false; }
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

 private:
  using Id = Exchange::Id;

  // The exchange's request is with the host and the exchange is still open: only then may
  // a reply reach the handheld at the current poll address.
  bool ExpectingReply(Id id) const { return requestExchange_ == id && peers_.exchange->IsOpen(id); }
  void RelayHostReply(Id id);
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
  bool Wait(Millis ms);

  GatewayEnv& env_;
  GatewayPeers& peers_;
  Timer& timer3_;
  Timer& timer4_;
  bool replyPending_ = false;
  Id requestExchange_ = 0;  // the exchange whose request the host has
  Id replyExchange_ = 0;    // the exchange that the last reply frame answers
  // The exchange whose reply is being read and sent now (0: none): the exchange limit
  // passing meanwhile is held until it is done, and a repeated signal adds nothing.
  Id relaying_ = 0;
  Id expiryHeld_ = 0;
  Id signalledAgain_ = 0;  // a further signal came while relaying_ ran
  std::uint64_t replyFramesSent_ = 0;
  std::uint64_t replyFilesRead_ = 0;
  std::string lastReplyFrame_;
  Millis resendBudget_ = 0;
};

}  // namespace ol
