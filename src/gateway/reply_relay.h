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
  void RelayHostReply();
  void SendReplyFrame(int index, const std::string& text);
  void ResendReply();
  void Timer3Timer();
  void Timer4Timer();
  void HandleConfirmation(const std::string& frame);

  // Named operations for the other parts of an exchange.
  void SetReplyPending();
  void ClearReplyPending() { replyPending_ = false; }
  bool ReplyPending() const { return replyPending_; }
  void ClearExchangeClosed() { exchangeClosed_ = false; }
  bool ExchangeClosed() const { return exchangeClosed_; }
  void StartExchangeTimer();
  void StopExchangeTimer() { timer4_.SetEnabled(false); }
  void ResetForPoll();

  const std::string& LastReplyFrame() const { return lastReplyFrame_; }
  Millis ResendBudget() const { return resendBudget_; }

 private:
  // A request is with the host and its exchange is still open: only then may a reply
  // reach the handheld at the current poll address.
  bool ExpectingReply() const { return expectingReply_; }
  void EndExpecting() { expectingReply_ = false; }

  GatewayEnv& env_;
  GatewayPeers& peers_;
  Timer& timer3_;
  Timer& timer4_;
  bool replyPending_ = false;
  bool exchangeClosed_ = false;
  bool expectingReply_ = false;
  // A reply signalled within the exchange is being read and sent (one at a time): the
  // exchange limit passing meanwhile is held until it is done.
  bool relaying_ = false;
  bool expiryHeld_ = false;
  std::uint64_t replyFramesSent_ = 0;
  std::uint64_t confirmations_ = 0;
  std::string lastReplyFrame_;
  Millis resendBudget_ = 0;
};

}  // namespace ol
