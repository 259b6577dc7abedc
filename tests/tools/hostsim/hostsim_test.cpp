#include <gtest/gtest.h>

#include "core/gbk.h"
#include "core/manual_loop.h"
#include "hostsim/host_session.h"
#include "hostsim/options.h"
#include "hostsim/replies.h"
#include "hostsim/request.h"
#include "testing/in_memory_host_link.h"
#include "testing/temp_dir.h"

namespace ol::hostsim {
namespace {

using ol::testing::InMemoryHostHub;
using ol::testing::InMemoryHostLink;
using ol::testing::ReadBytes;
using ol::testing::TempDir;
using ol::testing::WriteBytes;

TEST(ParseRequest, ReadsKindAndHandheldFromTheHeader) {
  HostRequest dl = ParseRequest("DL   005\r\n1234567890 ABCD EFGHIJKL\r\n");
  EXPECT_EQ(dl.index, 0);
  EXPECT_EQ(dl.replyName, "DL");
  EXPECT_EQ(dl.handheld, "005");
  EXPECT_EQ(dl.lines.size(), 2u);

  // The one kind whose request and reply names differ.
  HostRequest ydkt = ParseRequest("YDKT 191\r\nA1   02 12345\r\n");
  EXPECT_EQ(ydkt.index, 30);
  EXPECT_EQ(ydkt.replyName, "QCJE");
  EXPECT_EQ(ydkt.handheld, "191");

  EXPECT_EQ(ParseRequest("LSC  010\r\n").replyName, "LSC");
  EXPECT_EQ(ParseRequest("").index, -1);
  EXPECT_EQ(ParseRequest("ZZZZ 001\r\n").index, -1);
  // A reply name that has no request record is no request header.
  EXPECT_EQ(ParseRequest("QCJE 001\r\n").index, -1);
}

TEST(ReplyTable, EveryKindHasADefaultAndTheFileOverridesSingleKinds) {
  ReplyTable table;
  for (const char* name : kReplyNames) {
    ReplyChoice c = table.For(name);
    EXPECT_FALSE(c.silent) << name;
    EXPECT_FALSE(c.textUtf8.empty()) << name;
  }
  EXPECT_EQ(table.For("DL").textUtf8, "登录成功");
  EXPECT_EQ(table.For("DC").textUtf8, "下单成功");

  // As Notepad saves it: a byte-order mark before the first line.
  table.Load(
      "\xEF\xBB\xBF# answers for the evening\r\n"
      "DC\t已下单\\n请稍候\r\n"
      "\n"
      "TC\n"
      "  KT \t开台 \\\\ 完成\n");
  EXPECT_EQ(table.For("DC").textUtf8, "已下单\n请稍候");
  EXPECT_TRUE(table.For("TC").silent);
  EXPECT_EQ(table.For("KT").textUtf8, "开台 \\ 完成");
  EXPECT_EQ(table.For("DL").textUtf8, "登录成功");

  table.SetAllSilent(true);
  EXPECT_TRUE(table.For("DL").silent);
}

TEST(ReplyTable, BadLinesAreReportedByNumberAndChangeNothing) {
  ReplyTable table;
  auto errorOf = [&](const char* text) {
    try {
      table.Load(text);
    } catch (const ReplyFileError& e) {
      return std::string(e.what());
    }
    return std::string("no error");
  };
  EXPECT_EQ(errorOf("DL\tok\nXX\tbad\n"), "line 2: unknown reply name 'XX'");
  EXPECT_EQ(table.For("DL").textUtf8, "登录成功") << "a rejected file changes nothing";
  EXPECT_NE(errorOf("DC\t\xF0\x9F\x98\x80\n").find("line 1: "), std::string::npos);  // no GBK
  EXPECT_NE(errorOf("DC\tbad \\t escape\n").find("line 1: "), std::string::npos);
}

TEST(BuildReplyFile, PadsTheNameToFourAndEndsEveryLineWithCrLf) {
  EXPECT_EQ(BuildReplyFile("DL", "登录成功"), "DL  \r\n" + Utf8ToGbk("登录成功") + "\r\n");
  EXPECT_EQ(BuildReplyFile("LSC", "a\nb"), "LSC \r\na\r\nb\r\n");
  EXPECT_EQ(BuildReplyFile("XGMM", ""), "XGMM\r\n");
}

TEST(ParseOptions, ReadsEveryOptionAndRejectsBadOnes) {
  std::string error;
  auto o = ParseOptions({"--gateway", "/opt/gw/orderlink", "--txt", "/tmp/t", "--replies", "r.txt",
                         "--silent", "--handle", "77", "--reply-delay", "250", "--close-after",
                         "1.5", "--show-after", "0.25", "--timeout", "30"},
                        error);
  ASSERT_TRUE(o) << error;
  EXPECT_EQ(o->gateway, "/opt/gw/orderlink");
  EXPECT_EQ(o->txt, "/tmp/t");
  EXPECT_EQ(o->replies, "r.txt");
  EXPECT_TRUE(o->silent);
  EXPECT_EQ(o->handle, 77u);
  EXPECT_EQ(o->replyDelay, 250);
  EXPECT_EQ(o->closeAfter, 1500);
  EXPECT_EQ(o->showAfter, 250);
  EXPECT_EQ(o->timeout, 30000);

  auto fails = [&](std::vector<std::string> args) {
    error.clear();
    return !ParseOptions(args, error) && !error.empty();
  };
  EXPECT_TRUE(fails({}));
  EXPECT_TRUE(fails({"--gateway"}));
  EXPECT_TRUE(fails({"--gateway", "g", "--handle", "0"}));
  EXPECT_TRUE(fails({"--gateway", "g", "--handle", "4294967296"}));
  EXPECT_TRUE(fails({"--gateway", "g", "--timeout", "-1"}));
  EXPECT_TRUE(fails({"--gateway", "g", "--timeout", "5s"}));
  EXPECT_TRUE(fails({"--gateway", "g", "--verbose"}));
  EXPECT_TRUE(ParseOptions({"--help"}, error));
}

TEST(ParseOptions, TxtFolderDefaultsToTheGatewaysFolder) {
  Options o;
  o.gateway = "/opt/gw/orderlink";
  EXPECT_EQ(TxtFolderFor(o), "/opt/gw/TXT");
  o.txt = "/srv/txt";
  EXPECT_EQ(TxtFolderFor(o), "/srv/txt");
}

// The host session against an in-memory gateway on virtual time.
class SessionTest : public ::testing::Test {
 protected:
  static constexpr WindowHandle kHost = 100, kGateway = 4242;

  void Start(ReplyTable replies = {}, HostSession::Settings settings = {}) {
    session = std::make_unique<HostSession>(loop, hostLink, TxtFolder(dir.Path()),
                                            std::move(replies), settings,
                                            [this](const std::string& l) { lines.push_back(l); });
    gatewayLink.OnMessage = [this](const HostMessage& m) { toGateway.push_back(m); };
  }
  void FromGateway(std::uint32_t w, std::uint32_t l) {
    gatewayLink.Post(kHost, kHostMessage, w, l);
    loop.RunPending();
  }
  void Announce() { FromGateway(kGateway, kGateway); }
  void Request(const std::string& t1Gbk) {
    WriteBytes(dir.Path() / "T1.txt", t1Gbk);
    FromGateway(1, 1);
  }
  bool Said(const std::string& text) const {
    for (const auto& l : lines)
      if (l.find(text) != std::string::npos) return true;
    return false;
  }
  bool ReplyWritten() const { return std::filesystem::exists(dir.Path() / "R1.txt"); }

  ManualLoop loop;
  InMemoryHostHub hub;
  InMemoryHostLink hostLink{hub, loop, kHost};
  InMemoryHostLink gatewayLink{hub, loop, kGateway};
  TempDir dir;
  std::vector<std::string> lines;
  std::vector<HostMessage> toGateway;
  std::unique_ptr<HostSession> session;
};

TEST_F(SessionTest, AnswersARequestAndSignalsTheGateway) {
  Start();
  Announce();
  EXPECT_EQ(session->GatewayHandle(), kGateway);
  Request(Utf8ToGbk("DC   005\r\nA1              00000001 12:30:00\r\nA1 00001 2    少辣\r\n"));
  EXPECT_EQ(ReadBytes(dir.Path() / "R1.txt"), "DC  \r\n" + Utf8ToGbk("下单成功") + "\r\n");
  ASSERT_EQ(toGateway.size(), 1u);
  EXPECT_EQ(toGateway[0].message, kHostMessage);
  EXPECT_EQ(toGateway[0].wparam, 0u);
  EXPECT_EQ(toGateway[0].lparam, 1u);
  EXPECT_TRUE(Said("request DC (index 7) from handheld 005"));
  EXPECT_TRUE(Said("| A1 00001 2    少辣")) << "record lines are shown in UTF-8";
  EXPECT_TRUE(Said("reply-ready sent to gateway 4242"));
  EXPECT_EQ(session->RepliesSent(), 1);

  // The next request replaces the reply file whole; the kinds without a record, whose file
  // is empty, are answered under one of their names.
  Request("YDKT 012\r\nA1   02 12345\r\n");
  EXPECT_EQ(ReadBytes(dir.Path() / "R1.txt"), "QCJE\r\n" + Utf8ToGbk("金额查询成功") + "\r\n");
  Request("");
  EXPECT_TRUE(ReadBytes(dir.Path() / "R1.txt").starts_with("KHKH\r\n"));
  EXPECT_EQ(toGateway.size(), 3u);
}

TEST_F(SessionTest, SilentKindsAndUnreadableRequestsGetNoAnswer) {
  ReplyTable replies;
  replies.Load("TC\n");
  Start(std::move(replies));
  Announce();
  Request("TC   005\r\nA1 1 2 3 4\r\n");
  EXPECT_TRUE(Said("silent"));
  Request("ZZZZ 005\r\n");
  EXPECT_TRUE(Said("unknown kind 'ZZZZ'"));
  std::filesystem::remove(dir.Path() / "T1.txt");
  FromGateway(1, 1);
  EXPECT_TRUE(Said("T1.txt cannot be read"));
  EXPECT_FALSE(ReplyWritten());
  EXPECT_TRUE(toGateway.empty());
}

TEST_F(SessionTest, ReplyDelayHoldsTheAnswerBack) {
  Start({}, {500, -1, -1, {}});
  Announce();
  Request("DL   005\r\n1234567890 ABCD EFGHIJKL\r\n");
  loop.Advance(499);
  EXPECT_FALSE(ReplyWritten());
  EXPECT_TRUE(toGateway.empty());
  loop.Advance(1);
  EXPECT_TRUE(ReplyWritten());
  ASSERT_EQ(toGateway.size(), 1u);
  loop.Advance(2000);
  EXPECT_EQ(toGateway.size(), 1u) << "one answer per request";
}

TEST_F(SessionTest, ShowAfterTheAnnouncementOnce) {
  Start({}, {0, -1, 500, {}});
  loop.Advance(1000);
  EXPECT_TRUE(toGateway.empty()) << "counted from the announcement";
  Announce();
  loop.Advance(499);
  EXPECT_TRUE(toGateway.empty());
  loop.Advance(1);
  ASSERT_EQ(toGateway.size(), 1u);
  EXPECT_EQ(toGateway[0].lparam, 12u);
  Announce();  // a second announcement starts nothing new
  loop.Advance(1000);
  EXPECT_EQ(toGateway.size(), 1u);
}

TEST_F(SessionTest, CommandsGoToTheAnnouncedGateway) {
  Start({}, {0, 3000, -1, {}});
  session->Show();  // nobody to show yet
  EXPECT_TRUE(hub.Posted().empty());
  FromGateway(1, 1);  // not an announcement: ignored
  EXPECT_TRUE(Said("before the gateway announced itself"));
  Announce();
  session->Show();
  loop.RunPending();
  ASSERT_EQ(toGateway.size(), 1u);
  EXPECT_EQ(toGateway[0].lparam, 12u);
  loop.Advance(2999);
  EXPECT_EQ(toGateway.size(), 1u);
  loop.Advance(1);
  ASSERT_EQ(toGateway.size(), 2u);
  EXPECT_EQ(toGateway[1].lparam, 16u);
  FromGateway(11, 11);
  EXPECT_TRUE(Said("table download"));
  loop.Advance(10000);
  EXPECT_EQ(toGateway.size(), 2u) << "close is sent once";
}

}  // namespace
}  // namespace ol::hostsim
