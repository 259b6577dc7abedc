#include "core/gbk.h"
#include "core/text_file.h"
#include "gateway_fixture.h"
#include "testing/one_shot.h"

namespace ol::testing {
namespace {

class DispatcherTest : public GatewayTest {
 protected:
  void Dispatch(int index, const std::string& payload, const std::string& hh = "5") {
    gw.GetDispatcher().DispatchRequest(index, "1", hh, payload, "563412010203");
  }
  std::vector<std::string> Record() { return SplitLines(T1()); }
};

TEST_F(DispatcherTest, FieldLayoutsOfTheRequestKinds) {
  Dispatch(0, "1234567890ABCDEFGHIJKLMN");
  EXPECT_EQ(T1(), "DL   005\r\n1234567890 ABCD EFGHIJKL\r\n");
  Dispatch(5, "A12");  // padded to width 7 means 8 characters
  EXPECT_EQ(Record(), (std::vector<std::string>{"CT   005", "A12     "}));
  Dispatch(13, "123");  // longer than width 2: unchanged
  EXPECT_EQ(Record(), (std::vector<std::string>{"LBKX 005", "123"}));
  Dispatch(12, "ignored");
  EXPECT_EQ(T1(), "KXHZ 005\r\n");
  Dispatch(2, "0012");  // a range past the end still gets its joining spaces
  EXPECT_EQ(Record(), (std::vector<std::string>{"KT   005", "0012  "}));
  Dispatch(30, "0012051234");  // written as YDKT although its reply is named QCJE
  EXPECT_EQ(Record(), (std::vector<std::string>{"YDKT 005", "0012 05 1234"}));
  Dispatch(24, std::string(51, 'j'));
  EXPECT_EQ(Record()[1].size(), 51u + 7u);
  Dispatch(0, "1234567890AB\r\nEFGHIJKLMN");  // line breaks in a field stay in their line
  EXPECT_EQ(T1(), "DL   005\r\n1234567890 AB   EFGHIJKL\r\n");
}

TEST_F(DispatcherTest, KindsWithoutRecordWriteAnEmptyFileAndStillNotify) {
  Dispatch(18, "whatever");
  EXPECT_EQ(T1(), "");
  ASSERT_EQ(host.posted.size(), 1u);
  auto log = SplitLines(txt.Read("logfile.txt").value());
  EXPECT_EQ(log.back(),
            Utf8ToGbk("************************T1.TXT内容**********************************"));
  EXPECT_TRUE(gw.Relay().ReplyPending());
}

// A file that cannot be written (here a folder stands where it belongs): the operator
// reads what became of the request and what to do; only a request in T1.txt reaches the host.
TEST_F(DispatcherTest, UnwritableFilesAreExplainedAndOnlyAWrittenRequestReachesTheHost) {
  struct Case {
    const char* blocked;
    const char* boxStart;
    bool hostTold;
  } cases[] = {
      {"T1.txt", "005号手持（01基站）的请求无法写入T1.txt，未送到主机，已丢失。", false},
      {"logfile.txt", "005号手持（01基站）的请求已送到主机，但无法记入logfile.txt。", true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.blocked);
    std::filesystem::create_directory(dir.Path() / "TXT" / c.blocked);
    boxes.texts.clear();
    host.posted.clear();
    Dispatch(0, "1234567890ABCDEFGHIJKLMN");
    ASSERT_EQ(boxes.texts.size(), 1u);
    EXPECT_EQ(boxes.texts[0].rfind(c.boxStart, 0), 0u) << boxes.texts[0];
    // The reason names the file itself, not a temporary beside it.
    EXPECT_EQ(boxes.texts[0].find(".tmp"), std::string::npos) << boxes.texts[0];
    EXPECT_EQ(host.posted.size(), c.hostTold ? 1u : 0u);
    EXPECT_TRUE(gw.Relay().ReplyPending());  // so the limit sends the no-reply text
    std::filesystem::remove(dir.Path() / "TXT" / c.blocked);
  }
}

TEST_F(DispatcherTest, OrderWithNoItemsAndWithAShortPayload) {
  std::string payload = "T01    X001Y00000000001";
  Dispatch(7, payload + '\0');
  auto r = Record();
  ASSERT_EQ(r.size(), 2u);
  EXPECT_EQ(r[1],
            "T01    " + std::string(12, ' ') + "Y00000000001" + std::string(6, ' ') + "12:34:56");
  // Two items announced, half of one present: the rest are built from empty fields.
  Dispatch(7, payload + '\x02' + "C0003  1 ");
  r = Record();
  ASSERT_EQ(r.size(), 4u);
  EXPECT_EQ(r[2], "T01     C0003 1" + std::string(7, ' ') + "12:34:56  X001");
  EXPECT_EQ(r[3], "T01" + std::string(14, ' ') + "12:34:56  X001");
}

TEST_F(DispatcherTest, UnregisteredHandheldGetsTheBoxAndNothingIsWritten) {
  form["PADLIST1"].AddLine("009");  // in the list but not registered
  Dispatch(0, "1234567890ABCDEFGHIJKLMN", "9");
  ASSERT_EQ(boxes.texts.size(), 1u);
  EXPECT_EQ(boxes.texts[0], "009手持没有在01基站中注册，请注册后重新登录");
  EXPECT_EQ(T1(), "<missing>");
  EXPECT_TRUE(host.posted.empty());
  EXPECT_FALSE(gw.Relay().ReplyPending());
}

TEST_F(DispatcherTest, BoxesFromRadioTrafficDoNotNest) {
  // The first box stays open while more requests from the unregistered handheld arrive.
  int shown = 0;
  struct NestingBox : MessageBoxService {
    std::function<void()> whileOpen;
    int* shown;
    void Show(const std::string&) override {
      ++*shown;
      if (whileOpen) whileOpen();
    }
  } box;
  box.shown = &shown;
  GatewayEnv env{loop, form, comms, txt, box, host};
  HandheldGateway other(env);
  box.whileOpen = [&] {
    other.GetDispatcher().DispatchRequest(0, "1", "9", "x", "000000000000");
    other.GetDispatcher().DispatchRequest(0, "1", "9", "x", "000000000000");
  };
  other.GetDispatcher().DispatchRequest(0, "1", "9", "x", "000000000000");
  EXPECT_EQ(shown, 1);
  EXPECT_EQ(form["Memo1"].Lines().back(), "009手持没有在01基站中注册，请注册后重新登录");
}

TEST_F(DispatcherTest, UnknownIndexAndNoHostHandle) {
  Dispatch(32, "x");
  EXPECT_EQ(form["Memo1"].Lines().back(), "操作码不存在!!!");
  EXPECT_EQ(T1(), "<missing>");
  gw.Host().SetHandle(0);
  Dispatch(0, "1234567890ABCDEFGHIJKLMN");
  EXPECT_EQ(T1(), "DL   005\r\n1234567890 ABCD EFGHIJKL\r\n");
  EXPECT_EQ(form["Memo1"].Lines().back(), "T1.TXT已经成功写入！！！");
  EXPECT_TRUE(host.posted.empty());
}

// Another program holds T1.txt (the host reading it, a scanner): the write is tried again
// on the event loop, the exchange going on meanwhile. The request reaches the host once
// the file is free; held for good, it is lost with its reason, the handheld gets the
// no-reply text at the limit.
TEST_F(DispatcherTest, AHeldRequestFileIsTriedAgainOnTheLoop) {
  for (const Millis heldFor : {300, 5000}) {
    SCOPED_TRACE(heldFor);
    t1Held = true;
    OneShot release(loop, heldFor, [&] { t1Held = false; });
    Connect({1});
    PollUntil(1, 5);
    Port(1).ReceiveHex("A50105");
    Port(1).ReceiveHex(BuildPackets(1, 5, 0x53, std::string("T01") + '\0')[0]);
    EXPECT_TRUE(host.posted.empty());
    loop.Advance(1100);
    if (heldFor < 1000) {
      EXPECT_EQ(host.posted.size(), 1u);
      EXPECT_EQ(T1().substr(0, 8), "DC   005");
      EXPECT_TRUE(boxes.texts.empty());
    } else {
      EXPECT_TRUE(host.posted.empty());
      ASSERT_EQ(boxes.texts.size(), 1u);
      EXPECT_NE(boxes.texts[0].find("still held it after 1000 ms"), std::string::npos);
    }
    loop.Advance(ReplyRelay::kExchangeTime);
    EXPECT_GT(TakeReplies(1), 0u);  // the host stays silent either way
    FinishExchange();
    host.posted.clear();
    boxes.texts.clear();
  }
}

TEST_F(DispatcherTest, UnwritableRequestFileIsReportedAndTheHostNotTold) {
  std::filesystem::create_directory(txt.Dir() / "T1.txt");
  Dispatch(0, "1234567890ABCDEFGHIJKLMN");
  ASSERT_EQ(boxes.texts.size(), 1u);
  EXPECT_NE(boxes.texts[0].find("T1.txt"), std::string::npos);
  EXPECT_TRUE(host.posted.empty());
  EXPECT_TRUE(gw.Relay().ReplyPending());  // the exchange timer will tell the handheld
}

}  // namespace
}  // namespace ol::testing
