// The reply relay on any R1.txt: the reply frame is well formed (checked by the rig), its
// text is the start of what R2.txt keeps, cut at 812 bytes without halving a character,
// and R2.txt and the logs stay within their bounds.
#include "core/gbk.h"
#include "core/text_file.h"
#include "gateway/reply_file.h"
#include "harness.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using ol::fuzz::Require;
  ol::fuzz::GatewayRig rig;
  Require(rig.RequestFromHandheld5(), "request did not reach the host");
  const std::string r1(reinterpret_cast<const char*>(data), size);
  rig.files->Write("R1.txt", r1);
  rig.ports[1]->TakeSent();
  rig.host.Post(rig.kOwn, ol::kHostMessage, 0, 1);
  rig.Advance(ol::ReplyRelay::kReadAfterSignal);

  const auto lines = ol::SplitLines(r1.substr(0, ol::kReplyReadLimit));
  const auto sent = rig.ports[1]->Sent();
  std::optional<std::string> text;
  for (const auto& hex : sent)
    if (hex.rfind("03", 0) == 0 && !text) text = ol::fuzz::ReplyText(hex);
  if (!lines.empty()) {
    const auto r2 = rig.gw->Txt().Read("R2.txt");
    Require(r2.has_value(), "R2.txt not written");
    Require(r2->size() <= 2 * ol::kReplyReadLimit, "R2.txt over its bound");
    Require(*r2 == ol::JoinCrLf({lines.begin() + 1, lines.end()}), "R2.txt is not the reply text");
    if (text) {
      // Sent through the code page: bytes it does not know come out as its replacement.
      Require(*text == ol::GbkRoundTrip(r2->substr(0, ol::GbkPrefixLength(*r2, 812))),
              "sent text is not the start of the reply text", *text);
    }
  } else {
    Require(text.has_value(), "empty reply file sent nothing");
  }
  rig.Finish(12000);
  return 0;
}
