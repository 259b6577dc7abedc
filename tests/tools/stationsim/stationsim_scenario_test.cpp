#include <gtest/gtest.h>

#include "core/gbk.h"
#include "stationsim/scenario.h"

namespace ol::sim {
namespace {

TEST(ScenarioTest, ParsesRequestLines) {
  auto s = ParseScenarioLine(
      "at 2.5 station 1 handheld 5 request DL payload \"1234567890ABCDEFGHIJKLMN\"");
  ASSERT_TRUE(s.has_value());
  EXPECT_DOUBLE_EQ(s->at, 2.5);
  EXPECT_EQ(s->station, 1);
  EXPECT_EQ(s->request.handheld, 5);
  EXPECT_EQ(s->request.code, 0x4C);
  EXPECT_EQ(s->request.payload, "1234567890ABCDEFGHIJKLMN");
  EXPECT_EQ(s->request.fault, Fault::None);
  EXPECT_EQ(s->expect, Expect::Reply);

  s = ParseScenarioLine(
      "handheld 191 station 12 request KHYQ payload \"桌\\\"3\\\"\\r\\n\\x00z\" "
      "fault corrupt-packet 2 expect text \"好\"  # comment");
  ASSERT_TRUE(s.has_value());
  EXPECT_EQ(s->at, 0);
  EXPECT_EQ(s->request.code, 0x6B);
  EXPECT_EQ(s->request.payload, Utf8ToGbk("桌") + "\"3\"\r\n" + std::string(1, '\0') + "z");
  EXPECT_EQ(s->request.fault, Fault::CorruptPacket);
  EXPECT_EQ(s->request.faultPacket, 2);
  EXPECT_EQ(s->expect, Expect::Text);
  EXPECT_EQ(s->expectText, "好");

  s = ParseScenarioLine("station 0 handheld 0 request 53 fault no-confirm expect no-reply");
  ASSERT_TRUE(s.has_value());
  EXPECT_EQ(s->request.code, 0x53);
  EXPECT_EQ(s->request.fault, Fault::NoConfirm);
  EXPECT_EQ(s->expect, Expect::NoReplyText);

  EXPECT_FALSE(ParseScenarioLine("   # only a comment").has_value());
  EXPECT_FALSE(ParseScenarioLine("").has_value());
}

TEST(ScenarioTest, RejectsBadLinesWithReason) {
  auto reason = [](const char* line) {
    try {
      ParseScenarioLine(line);
    } catch (const ScenarioError& e) {
      return std::string(e.what());
    }
    return std::string("accepted");
  };
  EXPECT_EQ(reason("station 1 request DL"), "\"handheld\" is missing");
  EXPECT_EQ(reason("station 1 handheld 192 request DL"),
            "handheld must be a number from 0 to 191, not \"192\"");
  EXPECT_EQ(reason("station 1 handheld 5 request XX"), "unknown request name \"XX\"");
  EXPECT_EQ(reason("station 1 handheld 5 request DL payload \"open"), "unterminated quoted text");
  EXPECT_EQ(reason("station 1 handheld 5 request DL fault loud"), "unknown fault \"loud\"");
  EXPECT_EQ(reason("station 1 station 2 handheld 5 request DL"), "\"station\" given twice");
  EXPECT_EQ(reason("at -1 station 1 handheld 5 request DL"),
            "\"at\" needs seconds from 0, not \"-1\"");
  // A character GBK cannot carry is refused rather than sent as '?'.
  EXPECT_NE(reason("station 1 handheld 5 request DL payload \"\xF0\x9F\x98\x80\"").find("GBK"),
            std::string::npos);
}

TEST(ScenarioTest, ExpectationsJudgeTheOutcome) {
  ReceivedReply noReply;
  noReply.code = 0x4D;
  noReply.text = kNoReplyTexts[1];
  ReceivedReply ok;
  ok.code = 0x53;
  ok.text = "OK";

  auto line = [](const char* text) { return *ParseScenarioLine(text); };
  auto any = line("station 1 handheld 5 request DL");
  EXPECT_TRUE(MeetsExpectation(any, &ok));
  EXPECT_FALSE(MeetsExpectation(any, nullptr));
  auto nr = line("station 1 handheld 5 request DL expect no-reply");
  EXPECT_TRUE(MeetsExpectation(nr, &noReply));
  EXPECT_FALSE(MeetsExpectation(nr, &ok));
  auto none = line("station 1 handheld 5 request DL expect none");
  EXPECT_TRUE(MeetsExpectation(none, nullptr));
  EXPECT_FALSE(MeetsExpectation(none, &ok));
  auto code = line("station 1 handheld 5 request DC expect code DC");
  EXPECT_TRUE(MeetsExpectation(code, &ok));
  EXPECT_FALSE(MeetsExpectation(code, &noReply));
}

}  // namespace
}  // namespace ol::sim
