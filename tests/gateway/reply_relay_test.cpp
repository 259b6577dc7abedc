#include <algorithm>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <map>
#include <random>

#include "core/gbk.h"
#include "core/text_file.h"
#include "gateway/activity_log.h"
#include "gateway/reply_file.h"
#include "gateway_fixture.h"
#include "testing/memory_file_store.h"
#include "testing/one_shot.h"

namespace ol::testing {
namespace {

// A frame's fields, cut from its hex text.
struct ReplyFrame {
  explicit ReplyFrame(const std::string& hex) : hex(hex) {}
  std::string Head() const { return hex.substr(0, 14); }
  unsigned Length() const { return HexToInt(hex.substr(14, 4)); }
  std::string Stamp() const { return hex.substr(18, 12); }
  std::string Code() const { return hex.substr(30, 2); }
  bool ChecksValid() const {
    std::string all = hex.substr(0, hex.size() - 4);
    return FrameCheck(all) == hex.substr(hex.size() - 4);
  }
  std::string hex;
};

std::string Repeat(const std::string& s, int n) {
  std::string out;
  for (int i = 0; i < n; ++i) out += s;
  return out;
}

// The reply text of a frame without the six time bytes.
std::string TextOf(const std::string& hex) {
  return HexToBytes(hex.substr(32, hex.size() - 44));
}

class ReplyRelayTest : public GatewayTest {
 protected:
  // Runs a one-packet request from station 1 / handheld 5 up to the host; each request
  // carries the next second of the handheld's clock.
  void RequestWithTheHost(int code = 0x53, const std::string& payload = "T01    X001Y00000000001") {
    Ask(1, 5, code, payload);
  }
  // Polls handheld on slot's station until its poll goes out, then uploads its request.
  void Ask(int slot, int handheld, int code,
           const std::string& payload = "T01    X001Y00000000001") {
    Connect({slot});
    const std::string address = IntToHex(slot) + IntToHex(handheld);
    for (int tick = 0; tick < 8; ++tick) {
      gw.GetPolling().ComTimerTimer();
      const auto polls = Port(slot).TakeSent();
      if (std::find(polls.begin(), polls.end(), "AA" + address + FrameCheck("AA" + address)) !=
          polls.end())
        break;
    }
    Port(slot).ReceiveHex("A5" + address);
    const std::string stamp = IntToHex(0x56 + requests_++) + "3412010203";
    Port(slot).ReceiveHex(BuildPackets(slot, handheld, code, payload + '\0', stamp)[0]);
    Port(slot).TakeSent();
  }
  int requests_ = 0;
  // The host writes its reply and signals; the relay reads it kReadAfterSignal later.
  void HostReplies(const std::string& r1) {
    txt.Write("R1.txt", r1);
    gw.Relay().HandleHostMessage({kHostMessage, 0, 1});
    loop.Advance(ReplyRelay::kReadAfterSignal);
  }
};

TEST_F(ReplyRelayTest, DcOkReplyFrameLayout) {
  RequestWithTheHost();
  HostReplies("DC   \r\nOK\r\n");
  auto sent = Port(1).TakeSent();
  ASSERT_EQ(sent.size(), 1u);
  ReplyFrame f(sent[0]);
  EXPECT_EQ(f.Head(), "03010555555500");
  EXPECT_EQ(f.Length(), 4u + 9u);
  EXPECT_EQ(f.Stamp(), "563412010203");
  EXPECT_EQ(f.Code(), "53");
  EXPECT_EQ(f.hex.substr(32),
            "4F4B0D0A"
            "AABB" +
                FrameCheck("4F4B0D0AAABB") + FrameCheck(f.hex.substr(0, f.hex.size() - 4)));
  EXPECT_EQ(txt.Read("R2.txt").value(), "OK\r\n");
  EXPECT_FALSE(gw.Relay().ReplyPending());
}

TEST_F(ReplyRelayTest, IndexZeroCarriesTheLoopsLocalTimeThatTheLengthDoesNotCount) {
  // The loop's local time alone decides, not the machine's time zone.
  SetEnvironment("TZ", "CST-8");
  const std::pair<LocalDateTime, const char*> cases[] = {
      {{2026, 12, 31, 23, 59, 59}, "595923311226"},
      {{2000, 1, 2, 3, 4, 5}, "050403020100"},
  };
  for (const auto& [when, bcd] : cases) {
    RequestWithTheHost(0x4C, "1234567890ABCDEFGHIJKLMN");
    loop.SetWallClock(ManualLoop::At(when));
    HostReplies("DL\r\nAB");
    ReplyFrame f(Port(1).TakeSent().at(0));
    EXPECT_EQ(f.Code(), "4C");
    EXPECT_EQ(f.Length(), 4u + 9u);  // every line of the text ends with CR LF
    EXPECT_EQ(f.hex.substr(32, 24), bcd + std::string("41420D0AAABB"));
    EXPECT_EQ(form["Label18"].Text(), bcd);
    EXPECT_TRUE(f.ChecksValid());
    Port(1).ReceiveHex("040105000000000000");  // confirmed: the exchange ends
  }
  SetEnvironment("TZ", nullptr);
}

TEST_F(ReplyRelayTest, TextGoesThroughTheCodePageAndR2KeepsItAsWritten) {
  RequestWithTheHost();
  HostReplies("DC\r\nOK\xFF\r\n" + Utf8ToGbk("菜") + "\xD6");
  ReplyFrame f(Port(1).TakeSent().at(0));
  EXPECT_EQ(TextOf(f.hex), "OK?\r\n" + Utf8ToGbk("菜") + "?\r\n");
  EXPECT_EQ(f.Length(), 10u + 9u);
  EXPECT_EQ(txt.Read("R2.txt").value(), "OK\xFF\r\n" + Utf8ToGbk("菜") + "\xD6\r\n");
}

TEST_F(ReplyRelayTest, FileThatCannotBeWrittenIsToldAndTheReplyStillGoesOut) {
  for (const std::string file : {"R2.txt", "logfile.txt"}) {
    std::filesystem::remove(txt.PathOf(file));
    std::filesystem::create_directory(txt.PathOf(file));  // cannot be replaced by a file
    RequestWithTheHost();
    HostReplies("DC\r\nOK\r\n");
    EXPECT_EQ(ReplyFrame(Port(1).TakeSent().at(0)).Code(), "53") << file;
    const std::string told = (file == "R2.txt" ? "R2.TXT" : file) + "写入失败：";
    const auto& log = form["Memo1"].Lines();
    EXPECT_EQ(std::count_if(log.begin(), log.end(),
                            [&](const std::string& l) { return l.rfind(told, 0) == 0; }),
              1)
        << file;
    std::filesystem::remove(txt.PathOf(file));
    Port(1).ReceiveHex("040105000000000000");  // confirmed: the exchange ends
  }
}

TEST_F(ReplyRelayTest, SpacesFillTextsBetween220And250) {
  RequestWithTheHost();
  HostReplies("DC\r\n" + std::string(228, 'x'));  // 228 + CR LF = 230 bytes
  ReplyFrame f(Port(1).TakeSent().at(0));
  EXPECT_EQ(f.Length(), 259u);
  EXPECT_EQ(f.hex.substr(32 + 460, 4 + 40), "AABB" + Repeat("20", 20));
  EXPECT_TRUE(f.ChecksValid());
  Port(1).ReceiveHex("040105000000000000");
  RequestWithTheHost();
  HostReplies("DC\r\n" + std::string(248, 'x'));  // 250 bytes: no spaces
  ReplyFrame g(Port(1).TakeSent().at(0));
  EXPECT_EQ(g.Length(), 259u);
  EXPECT_EQ(g.hex.size(), 32u + 500u + 4u + 4u + 4u);
}

TEST_F(ReplyRelayTest, EmptyReplyFileSendsTheNoDataText) {
  RequestWithTheHost();
  HostReplies("");
  ReplyFrame f(Port(1).TakeSent().at(0));
  EXPECT_EQ(f.Code(), "4D");
  EXPECT_EQ(GbkToUtf8(TextOf(f.hex)), "系统无回复数据，请与管理员联系");
}

TEST_F(ReplyRelayTest, UnknownReplyNameWritesR2AndSendsNothing) {
  RequestWithTheHost();
  HostReplies("ZZZZ\r\nhello\r\n");
  EXPECT_TRUE(Port(1).Sent().empty());
  EXPECT_EQ(txt.Read("R2.txt").value(), "hello\r\n");
}

// A reply's name is its request's kind: 005 asked DC, so a KT reply naming nobody answers
// some other request (one the host had answered already), and DC is still owed.
TEST_F(ReplyRelayTest, AReplyOfAnotherKindIsNotTheWaitingRequestsOwn) {
  RequestWithTheHost(0x53);
  HostReplies("KT\r\nTABLE OPENED\r\n");
  EXPECT_TRUE(Port(1).TakeSent().empty());
  HostReplies("DC\r\nORDERED");
  auto sent = Port(1).TakeSent();
  ASSERT_FALSE(sent.empty());
  EXPECT_EQ(GbkToUtf8(TextOf(sent[0])), "ORDERED\r\n");
}

// Digits after the name name a handheld only in the request header's own shape and only
// when that handheld is owed a reply; anything else is the host's own text (a table
// number) and the reply goes to the handheld that asked (005).
TEST_F(ReplyRelayTest, DigitsAfterTheNameAreTheHostsTextUnlessTheyNameAnOwedRequest) {
  const struct {
    const char* first;
    int code;
  } cases[] = {{"KT   012", 0x4E}, {"DC   005", 0x53}, {"DC   007", 0x53},
               {"DC   12", 0x53},  {"DC  7", 0x53},    {"DC   5x", 0x53}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.first);
    RequestWithTheHost(c.code);
    HostReplies(std::string(c.first) + "\r\nTABLE OPENED\r\n");
    auto sent = Port(1).TakeSent();
    ASSERT_FALSE(sent.empty());
    EXPECT_EQ(ReplyFrame(sent[0]).Code(), IntToHex(static_cast<std::uint32_t>(c.code)));
    Port(1).ReceiveHex("040105000000000000");
  }
}

// Which request a reply answers, from what the reply carries: its first line echoing the
// request's header line (which names the handheld and the kind), its kind, and when it was
// signalled. Each row plays requests (handheld on a station's slot, its code),
// exchanges running out and the host's replies; what every handheld heard of the host's
// texts is compared.
TEST_F(ReplyRelayTest, WhichRequestAReplyAnswers) {
  constexpr int DC = 0x53, CT = 0x51, KT = 0x4E, KHKH = 0x5E, YDKT = 0x6A;
  struct Step {
    char op;  // 'a' ask, 'x' the exchange runs out, 'r' the host replies, 'c' confirm
    int slot = 0, handheld = 0, code = 0;
    std::string r1;
  };
  auto ask = [](int slot, int handheld, int code) { return Step{'a', slot, handheld, code, {}}; };
  auto reply = [](std::string r1) { return Step{'r', 0, 0, 0, std::move(r1)}; };
  const Step runOut{'x', 0, 0, 0, {}}, early{'s', 0, 0, 0, {}};
  auto wait = [](int ms) { return Step{'w', 0, 0, ms, {}}; };
  auto confirm = [](int slot, int handheld) { return Step{'c', slot, handheld, 0, {}}; };
  struct Row {
    const char* name;
    std::vector<Step> steps;
    std::map<int, std::string> heard;  // handheld: texts heard, in order
  } rows[] = {
      {"a request the host skipped costs no later reply",
       {ask(1, 5, KHKH), runOut, ask(1, 5, CT), reply("CT\r\nA"), confirm(1, 5), ask(2, 10, CT),
        reply("CT\r\nB")},
       {{5, "A|"}, {10, "B|"}}},
      {"a named reply after a long stall reaches its own waiter only",
       {ask(1, 5, DC), runOut, wait(600000), runOut, ask(1, 7, DC), reply("DC   005\r\nX"),
        reply("DC   007\r\nY")},
       {{7, "Y|"}}},
      // The header line cannot tell a waiter's requests of one kind apart: a late answer to
      // the older is heard, and the newer one's corrects it.
      {"a waiter's late answer to his older request is corrected by his newer one's",
       {ask(1, 5, DC), runOut, wait(600000), ask(1, 5, DC), reply("DC   005\r\nA001 OK"),
        reply("DC   005\r\nB002 SOLD OUT")},
       {{5, "A001 OK|B002 SOLD OUT|"}}},
      {"a named reply reaches its waiter though the host skipped his older request",
       {ask(1, 5, DC), runOut, ask(1, 5, DC), reply("DC   005\r\nB002 OK")},
       {{5, "B002 OK|"}}},
      {"a late reply of another kind leaves the awaited request alone",
       {ask(1, 5, CT), runOut, ask(2, 10, KT), reply("CT\r\nLATE"), reply("KT\r\nOPEN")},
       {{10, "OPEN|"}}},
      {"a corrected reply is sent again, named or not",
       {ask(1, 5, DC), reply("DC\r\nFIRST"), reply("DC\r\nSECOND"), reply("DC   005\r\nTHIRD")},
       {{5, "FIRST|SECOND|THIRD|"}}},
      {"the header line of a kind whose reply has another name",
       {ask(1, 5, YDKT), reply("YDKT 005\r\nMOVED")},
       {{5, "MOVED|"}}},
      {"a request whose record is empty takes a reply of any kind",
       {ask(1, 5, KHKH), reply("DC\r\nANY")},
       {{5, "ANY|"}}},
      {"a signal before the request was handed over does not answer it",
       {ask(1, 5, DC), runOut, early, ask(1, 7, DC), wait(300)},
       {}},
      // No gateway can tell this one: nothing in the reply says it was 005's.
      {"an unnamed late reply goes to the waiter of its kind awaiting now",
       {ask(1, 5, DC), runOut, ask(1, 7, DC), reply("DC\r\nFOR-005")},
       {{7, "FOR-005|"}}},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    std::map<int, std::string> heard;
    std::string last[6];
    auto collect = [&] {
      for (int slot = 1; slot <= 2; ++slot)
        for (const std::string& s : Port(slot).TakeSent()) {
          if (!s.starts_with("03") || s == last[slot]) continue;
          last[slot] = s;
          std::string text = GbkToUtf8(TextOf(s));
          if (text.ends_with("\r\n")) text.resize(text.size() - 2);
          if (ReplyFrame(s).Code() != "4D") heard[HexToInt(s.substr(4, 2))] += text + "|";
        }
    };
    for (const Step& step : row.steps) {
      switch (step.op) {
        case 'a':
          Ask(step.slot, step.handheld, step.code);
          break;
        case 'x':
          loop.Advance(ReplyRelay::kExchangeTime + 1000);
          break;
        case 'w':
          loop.Advance(step.code);
          break;
        case 'c':
          Port(step.slot).ReceiveHex("04" + IntToHex(step.slot) + IntToHex(step.handheld) +
                                     "000000000000");
          break;
        case 's':
          txt.Write("R1.txt", "DC\r\nLATE");
          gw.Relay().HandleHostMessage({kHostMessage, 0, 1});
          loop.Advance(50);
          break;
        case 'r':
          HostReplies(step.r1);
          loop.Advance(200);
          break;
      }
      collect();
    }
    EXPECT_EQ(heard, row.heard);
    FinishExchange();
  }
}

// A host that signals again and again, its file empty (or unreadable, which reads as
// empty), is answered once: the exchange ends and every station is polled again.
TEST_F(ReplyRelayTest, AnEmptyFileSignalledAgainAndAgainIsAnsweredOnce) {
  RequestWithTheHost();
  std::size_t replies = 0, polls = 0;
  for (int second = 0; second < 26; ++second) {
    txt.Write("R1.txt", "");
    gw.Relay().HandleHostMessage({kHostMessage, 0, 1});
    loop.Advance(1000);
    for (auto& s : Port(1).TakeSent()) {
      replies += s.starts_with("03") ? 1 : 0;
      polls += s.starts_with("AA") ? 1 : 0;
    }
  }
  EXPECT_LE(replies, 18u);  // one 52-byte frame's resends
  EXPECT_GT(polls, 300u);
}

// An R1.txt that exists but cannot be opened yet (the host or a scanner holds it) is looked
// at again: the host's reply once it can be read, the empty file's text if it is still held
// at the limit.
TEST_F(ReplyRelayTest, AHeldReplyFileIsReadOnceItIsReleased) {
  auto files = std::make_shared<MemoryFileStore>();
  txt = TxtFolder(files);
  for (const bool released : {true, false}) {
    SCOPED_TRACE(released ? "released" : "held past the limit");
    RequestWithTheHost();
    txt.Write("R1.txt", "DC\r\nOK\r\n");
    files->FailReads("R1.txt");
    gw.Relay().HandleHostMessage({kHostMessage, 0, 1});
    loop.Advance(released ? 3000 : ReplyRelay::kExchangeTime + 200);
    if (released) {
      EXPECT_TRUE(Port(1).TakeSent().empty());
      files->FailReads("R1.txt", false);
      loop.Advance(ReplyRelay::kLookAgain);
    }
    std::vector<std::string> texts;
    for (auto& s : Port(1).TakeSent())
      if (s.starts_with("03")) texts.push_back(GbkToUtf8(TextOf(s)));
    ASSERT_FALSE(texts.empty());
    EXPECT_EQ(texts[0], released ? "OK\r\n" : "系统无回复数据，请与管理员联系");
    files->FailReads("R1.txt", false);
    FinishExchange();
  }
}

// Only the port the reply went out on can confirm it.
TEST_F(ReplyRelayTest, AConfirmationOnAnotherStationsPortLeavesTheResendingAlone) {
  RequestWithTheHost();
  HostReplies("DC\r\n" + std::string(76, 'y'));
  Port(2).ReceiveHex("040105000000000000");
  loop.Advance(5000);
  EXPECT_EQ(TakeReplies(1), 12u);
}

// Two stations with one number: the reply goes out on the first one's port, and the
// handheld of the second confirms it on its own port.
TEST_F(ReplyRelayTest, TheHandheldOfAStationSharingItsNumberConfirmsOnItsOwnPort) {
  form["JZID2"].SetText("01");
  form["PADLIST2"].SetLines({"007"});
  Connect({1, 2});
  PollUntil(2, 7);
  Port(2).ReceiveHex("A50107");
  Port(2).ReceiveHex(BuildPackets(1, 7, 0x53, "T01    X001Y00000000001" + std::string(1, '\0'),
                                  "563412010203")[0]);
  HostReplies("DC\r\n" + std::string(76, 'y'));
  Port(2).ReceiveHex("040107000000000000");
  loop.Advance(5000);
  EXPECT_EQ(TakeReplies(1), 1u);
  EXPECT_TRUE(form.TimerNamed("ComTimer").Enabled());
}

TEST_F(ReplyRelayTest, UnconfirmedHundredByteFrameIsSentTwelveTimes) {
  RequestWithTheHost();
  // 100-byte frame: 16 header bytes + n + 2 + 2 + 2 = 100 gives n = 78.
  HostReplies("DC\r\n" + std::string(76, 'y'));
  loop.Advance(5000);
  auto sent = Port(1).TakeSent();
  std::size_t replies = 0;
  for (auto& s : sent) replies += s.starts_with("03") ? 1 : 0;
  ASSERT_GT(sent.size(), 0u);
  EXPECT_EQ(sent[0].size(), 200u);
  EXPECT_EQ(replies, 12u);
  EXPECT_TRUE(form.TimerNamed("ComTimer").Enabled());
}

TEST_F(ReplyRelayTest, ConfirmationStopsTheResending) {
  RequestWithTheHost();
  HostReplies("DC\r\n" + std::string(76, 'y'));
  Port(1).TakeSent();
  Port(1).ReceiveHex("040105000000000000");
  loop.Advance(3000);
  for (auto& s : Port(1).TakeSent()) EXPECT_FALSE(s.starts_with("03")) << s;
}

// The handheld confirms before the first resend interval is over: nothing is sent again
// and nothing of the exchange is touched afterwards.
TEST_F(ReplyRelayTest, ConfirmationDuringTheFirstSendingStopsTheResending) {
  RequestWithTheHost();
  OneShot confirm(loop, 150, [&] {  // after the 120 ms before the reply goes out
    Port(1).ReceiveHex("040105000000000000");
  });
  HostReplies("DC\r\n" + std::string(76, 'y'));
  EXPECT_FALSE(form.TimerNamed("Timer3").Enabled());
  loop.Advance(3000);
  EXPECT_EQ(TakeReplies(1), 1u);
}

// A host that signals again and again while its reply file is missing: one relay reads
// it, the further signals do not pile up waits of their own.
TEST_F(ReplyRelayTest, RepeatedReplySignalsDuringARelayAreIgnored) {
  RequestWithTheHost();
  int signals = 0;
  Timer again(loop, 10);
  again.OnTimer = [&] {
    if (++signals == 50) {
      again.SetEnabled(false);
      txt.Write("R1.txt", "DC\r\nOK\r\n");
    }
    gw.Relay().HandleHostMessage({kHostMessage, 0, 1});
  };
  again.SetEnabled(true);
  gw.Relay().HandleHostMessage({kHostMessage, 0, 1});
  loop.Advance(560);  // the file at 500, read within 10 ms; the first resend is due at 682
  EXPECT_EQ(TakeReplies(1), 1u);
}

TEST_F(ReplyRelayTest, HostSilenceSendsTheNoReplyTextOnceAtTheExchangeLimit) {
  RequestWithTheHost();
  loop.Advance(11499);  // the upload began at time 0
  auto before = Port(1).TakeSent();
  for (auto& s : before) EXPECT_FALSE(s.starts_with("03"));
  loop.Advance(1);
  auto at = Port(1).TakeSent();
  ASSERT_EQ(at.size(), 1u);
  ReplyFrame f(at[0]);
  EXPECT_EQ(f.Code(), "4D");
  EXPECT_EQ(GbkToUtf8(TextOf(f.hex)), "信息上传完毕,系统无回复数据，请与管理员联系");
  loop.Advance(5000);
  for (auto& s : Port(1).TakeSent()) EXPECT_FALSE(s.starts_with("03")) << s;
  EXPECT_TRUE(form.TimerNamed("ComTimer").Enabled());
}

TEST_F(ReplyRelayTest, LateReplyAfterTheExchangeEndedIsDropped) {
  RequestWithTheHost();
  loop.Advance(11500 + 100);
  txt.Write("R1.txt", "DC\r\nOK\r\n");
  Port(1).TakeSent();
  gw.Relay().HandleHostMessage({kHostMessage, 0, 1});
  loop.Advance(ReplyRelay::kReadAfterSignal);
  for (auto& s : Port(1).TakeSent()) EXPECT_FALSE(s.starts_with("03")) << s;
  EXPECT_NE(form["Memo1"].Lines().back().find("已结束的交换"), std::string::npos);
}

TEST_F(ReplyRelayTest, ReplyFileThatAppearsWithinTheExchangeIsStillRelayed) {
  RequestWithTheHost();
  loop.Advance(1000);
  gw.Relay().HandleHostMessage({kHostMessage, 0, 1});  // signalled before R1.txt exists
  loop.Advance(3000);
  EXPECT_TRUE(Port(1).TakeSent().empty());
  txt.Write("R1.txt", "DC\r\nOK\r\n");
  loop.Advance(ReplyRelay::kLookAgain);
  auto sent = Port(1).TakeSent();
  ASSERT_FALSE(sent.empty());
  EXPECT_TRUE(sent[0].starts_with("0301055555550000"));
}

// The reply is signalled within the exchange and the limit passes while it is read: the
// handheld gets the reply, its resends run their course and polling resumes after them.
TEST_F(ReplyRelayTest, ReplySignalledJustBeforeTheExchangeLimitIsStillRelayed) {
  RequestWithTheHost();
  loop.Advance(11450);
  HostReplies("DC\r\nOK\r\n");
  loop.Advance(5000);
  std::vector<std::string> replies;
  for (auto& s : Port(1).TakeSent())
    if (s.starts_with("03")) replies.push_back(s);
  ASSERT_FALSE(replies.empty());
  for (auto& r : replies) {
    EXPECT_TRUE(r.starts_with("0301055555550000")) << r;
    EXPECT_EQ(ReplyFrame(r).Code(), "53") << r;
  }
  EXPECT_TRUE(form.TimerNamed("ComTimer").Enabled());
}

// Past the limit with the host's reply out, a further signal that brings nothing new (the
// same file, another request's reply) leaves that reply's resending to run its course.
TEST_F(ReplyRelayTest, ASignalAfterTheLimitDoesNotCutTheReplyShort) {
  RequestWithTheHost();
  loop.Advance(11450);
  HostReplies("DC\r\n" + std::string(76, 'y'));  // a 100-byte frame, sent 12 times
  loop.Advance(200);
  gw.Relay().HandleHostMessage({kHostMessage, 0, 1});
  loop.Advance(5000);
  EXPECT_EQ(TakeReplies(1), 12u);
}

TEST_F(ReplyRelayTest, LongTextIsCutWithoutHalfACharacter) {
  RequestWithTheHost();
  std::string text = "a" + Utf8ToGbk(Repeat("菜", 500));
  HostReplies("DC\r\n" + text);
  ReplyFrame f(Port(1).TakeSent().at(0));
  EXPECT_EQ(f.Length(), 811u + 9u);  // 812 would end in the first half of a character
  EXPECT_LE(form.TimerNamed("Timer3").Interval(), 900);
}

TEST_F(ReplyRelayTest, HostCommandsAndHandleAdoption) {
  int shown = 0, closed = 0;
  gw.Hooks().showWindow = [&] { ++shown; };
  gw.Hooks().closeWindow = [&] { ++closed; };
  gw.Relay().HandleHostMessage({kHostMessage, 0, 11});
  gw.Relay().HandleHostMessage({kHostMessage, 0, 12});
  EXPECT_EQ(shown, 1);
  EXPECT_TRUE(form["Memo1"].Lines().empty());
  gw.Host().SetHandle(0);
  gw.Relay().HandleHostMessage({kHostMessage, 0, 9999});
  EXPECT_EQ(gw.Host().Handle(), 9999u);
  EXPECT_EQ(form["Memo1"].Lines().back(), "收到用户消息。。。");
  gw.Relay().HandleHostMessage({kHostMessage, 0, 16});
  EXPECT_EQ(closed, 1);
  EXPECT_EQ(gw.Host().Handle(), 0u);
  EXPECT_TRUE(gw.Host().Gone());
}

// A runaway host file: what is read, kept and logged stays bounded whatever its size and
// shape, and the handheld still gets the first 812 bytes of the text.
TEST_F(ReplyRelayTest, OversizedReplyFileIsReadBoundedAndLoggedBounded) {
  const std::size_t kFile = 3 * 1024 * 1024;
  struct Case {
    const char* shape;
    std::string body;  // after the first line "DC"
  } cases[] = {
      {"one long line", std::string(kFile, 'x')},
      {"many short lines", Repeat("ab\r\n", kFile / 4)},
      {"empty lines", std::string(kFile, '\n')},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.shape);
    RequestWithTheHost();
    HostReplies("DC\r\n" + c.body);
    auto sent = Port(1).TakeSent();
    ASSERT_FALSE(sent.empty());
    ReplyFrame f(sent[0]);
    EXPECT_TRUE(f.ChecksValid());
    EXPECT_EQ(TextOf(f.hex).size(), ReplyRelay::kMaxReplyText);
    EXPECT_EQ(TextOf(f.hex),
              JoinCrLf(SplitLines(c.body.substr(0, 1000))).substr(0, ReplyRelay::kMaxReplyText));
    EXPECT_LE(txt.Read("R2.txt").value().size(), 2 * kReplyReadLimit);
    EXPECT_LE(form["Memo4"].LineCount(), kReplyReadLimit);
    const std::string note =
        "R1.TXT过大（" + std::to_string(kFile + 4) + "字节），只读取了前8192字节";
    const auto& monitor = form["Memo1"].Lines();
    EXPECT_NE(std::find(monitor.begin(), monitor.end(), note), monitor.end());
    const std::string log = txt.Read("logfile.txt").value();
    EXPECT_LE(log.size(), ActivityLog::kMaxBytes);
    EXPECT_LE(SplitLines(log).size(), ActivityLog::kMaxLines);
    loop.Advance(ReplyRelay::kExchangeTime);
  }
  // A single record longer than the whole log keeps its start and the bound.
  gw.Activity().Append({std::string(ActivityLog::kMaxBytes * 2, 'y')});
  EXPECT_EQ(txt.Read("logfile.txt").value(), std::string(ActivityLog::kMaxBytes - 2, 'y') + "\r\n");
}

}  // namespace
// Records of every size, a few at a time or more than the log holds, some longer than the
// whole log, while the memo is also changed from elsewhere: logfile.txt is always the header
// and the memo's lines as they stand.
TEST(ActivityLog, TheFileIsTheHeaderAndTheMemoWhateverChangedIt) {
  ManualLoop loop;
  FormModel form(loop);
  TxtFolder txt(std::make_shared<MemoryFileStore>());
  ActivityLog log(form, txt);
  std::mt19937 random(11);
  for (int step = 0; step < 1200; ++step) {
    if (step == 600) log.SetHeader("OrderLink v1");
    const unsigned op = random() % 20;
    if (op == 0) {
      form["Memo6"].ClearLines();
    } else if (op == 1) {
      form["Memo6"].DeleteLine(0);
    } else if (op == 2) {
      form["Memo6"].AddLine("added elsewhere");
    }
    std::vector<std::string> lines(op == 3 ? ActivityLog::kMaxLines + 3 : random() % 4);
    for (std::string& line : lines) {
      const std::size_t size = random() % 50 ? random() % 300 : random() % ActivityLog::kMaxBytes;
      line.assign(size, static_cast<char>('a' + random() % 26));
    }
    if (step % 97 == 0) lines.push_back(std::string(ActivityLog::kMaxBytes + 10, 'z'));
    log.Append(lines);
    const std::string header = step >= 600 ? "OrderLink v1\r\n" : "";
    const std::string file = txt.Read("logfile.txt").value();
    ASSERT_EQ(file, header + JoinCrLf(form["Memo6"].Lines())) << "step " << step;
    ASSERT_LE(file.size(), ActivityLog::kMaxBytes);
    ASSERT_LE(form["Memo6"].LineCount(), ActivityLog::kMaxLines);
  }
}

}  // namespace ol::testing
