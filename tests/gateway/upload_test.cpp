#include "gateway_fixture.h"

#include "core/text_file.h"

namespace ol::testing {
namespace {

class UploadTest : public GatewayTest {
 protected:
  // Polls station 1 / handheld 5 and answers with a request-pending answer.
  void OpenExchange() {
    Connect({1});
    gw.GetPolling().ComTimerTimer();
    Port(1).TakeSent();
    Port(1).ReceiveHex("A50105");
  }
  std::vector<std::string> Lines(const std::string& text) { return SplitLines(text); }
};

const char kNo11[] = "02010501014E4F00A7";
const char kOk11[] = "02010501014F4B00A4";

TEST_F(UploadTest, NoAtOnceAndEvery300msUntilTheEleventhRepetitionEndsTheExchange) {
  OpenExchange();
  EXPECT_EQ(Port(1).TakeSent(), std::vector<std::string>{kNo11});
  EXPECT_FALSE(form.TimerNamed("ComTimer").Enabled());
  loop.Advance(299);
  EXPECT_TRUE(Port(1).Sent().empty());
  loop.Advance(1);
  EXPECT_EQ(Port(1).TakeSent(), std::vector<std::string>{kNo11});
  loop.Advance(2999);  // up to 3299 ms: nine more, the exchange still open
  EXPECT_EQ(Port(1).TakeSent().size(), 9u);
  EXPECT_FALSE(form.TimerNamed("ComTimer").Enabled());
  loop.Advance(1);  // 3300 ms: the eleventh repetition is still sent, and ends it
  EXPECT_EQ(Port(1).TakeSent(), std::vector<std::string>{kNo11});
  EXPECT_TRUE(form.TimerNamed("ComTimer").Enabled());
  EXPECT_FALSE(form.TimerNamed("Timer7").Enabled());
  EXPECT_FALSE(form.TimerNamed("Timer4").Enabled());
  // Nothing went to the handheld: no request was with the host.
  EXPECT_EQ(T1(), "<missing>");
}

TEST_F(UploadTest, OnePacketRequestIsAcknowledgedOnceAndDispatched) {
  OpenExchange();
  Port(1).TakeSent();
  Port(1).ReceiveHex(BuildPackets(1, 5, 0x4C, "1234567890ABCDEFGHIJKLMN")[0]);
  EXPECT_EQ(Port(1).TakeSent(), std::vector<std::string>{kOk11});
  loop.Advance(3000);
  EXPECT_TRUE(Port(1).Sent().empty());  // the last "OK" is not repeated
  EXPECT_EQ(T1(), "DL   005\r\n1234567890 ABCD EFGHIJKL\r\n");
  EXPECT_EQ(form["ListBox1"].Lines(),
            (std::vector<std::string>{"0", "1", "5", "1234567890ABCDEFGHIJKLMN", "563412010203"}));
  ASSERT_EQ(host.posted.size(), 1u);
  EXPECT_EQ(host.posted[0].to, 777u);
  EXPECT_EQ(host.posted[0].message.wparam, 1u);
  EXPECT_EQ(host.posted[0].message.lparam, 1u);
}

TEST_F(UploadTest, ThreePacketsWithABadSecondAreAssembledAndDispatched) {
  // "DC" with two items: 24 + 2 * 28 = 80 payload bytes, 93 stream bytes, 2 packets; add
  // a long note so it takes three.
  std::string payload = "T01    X001Y00000000001";
  payload += static_cast<char>(2);
  payload += "A0001  2 U01 Note1234567801 ";
  payload += "B0002 10 U02 Note8765432102!";
  payload += std::string(40, 'Z');
  auto packets = BuildPackets(1, 5, 0x53, payload);
  ASSERT_EQ(packets.size(), 3u);
  OpenExchange();
  Port(1).TakeSent();
  Port(1).ReceiveHex(packets[0]);
  EXPECT_EQ(Port(1).TakeSent(), std::vector<std::string>{"02010503014F4B00A6"});
  std::string bad = packets[1];
  bad[40] = bad[40] == '0' ? '1' : '0';
  Port(1).ReceiveHex(bad);
  EXPECT_EQ(Port(1).TakeSent(), std::vector<std::string>{"02010503024E4F00AA"});
  loop.Advance(300);
  EXPECT_EQ(Port(1).TakeSent(), std::vector<std::string>{"02010503024E4F00AA"});  // repeated
  // Damage in its header too (index 02 read as 00): refused as it says, then packet 2 is
  // asked for again, not a packet no request has.
  bad[9] = '0';
  Port(1).ReceiveHex(bad);
  EXPECT_EQ(Port(1).TakeSent(), std::vector<std::string>{"02010503004E4F00A8"});
  loop.Advance(300);
  EXPECT_EQ(Port(1).TakeSent(), std::vector<std::string>{"02010503024E4F00AA"});
  Port(1).ReceiveHex(packets[1]);
  EXPECT_EQ(gw.GetUpload().AssembledRequest().size(), 110u + 96u);
  Port(1).ReceiveHex(packets[2]);
  EXPECT_EQ(Port(1).TakeSent(),
            (std::vector<std::string>{"02010503024F4B00A7", "02010503034F4B00A8"}));
  auto t1 = Lines(T1());
  ASSERT_EQ(t1.size(), 4u);
  EXPECT_EQ(t1[0], "DC   005");
  EXPECT_EQ(t1[1],
            "T01    " + std::string(12, ' ') + "Y00000000001" + std::string(6, ' ') + "12:34:56");
  EXPECT_EQ(t1[1].size(), 45u);
  EXPECT_EQ(t1[2], "T01     A0001 2    Note12345678 01 0 12:34:56 U01  X001");
  EXPECT_EQ(t1[3], "T01     B0002 10   Note87654321 02 1 12:34:56 U02  X001");
}

TEST_F(UploadTest, LengthTwentyGivesAnElevenBytePayloadAndAZeroByteEndsTheText) {
  OpenExchange();
  Port(1).ReceiveHex(BuildPackets(1, 5, 0x51, "ABCDEFGHIJK")[0]);  // L = 20
  auto& memo = form["Memo1"].Lines();
  bool found62 = false;
  for (auto& l : memo) found62 |= l.size() == 62 && l.starts_with("01010501010000");
  EXPECT_TRUE(found62);
  EXPECT_EQ(form["ListBox1"].Lines()[3], "ABCDEFGHIJK");
  EXPECT_EQ(Lines(T1())[1], "ABCDEFGHIJK");  // longer than width 7: unchanged

  FinishExchange();
  PollUntil(1, 5);
  Port(1).ReceiveHex("A50105");
  Port(1).ReceiveHex(BuildPackets(1, 5, 0x51, std::string("AB\0CD", 5))[0]);
  EXPECT_EQ(form["ListBox1"].Lines()[3], "AB");
  EXPECT_EQ(Lines(T1())[1], "AB      ");
}

TEST_F(UploadTest, RepeatedPacketsAreNotAppendedAndRequestsNotDispatchedTwice) {
  auto packets = BuildPackets(1, 5, 0x4C, std::string(60, 'Q'));
  ASSERT_EQ(packets.size(), 2u);
  OpenExchange();
  Port(1).ReceiveHex(packets[0]);
  Port(1).ReceiveHex(packets[0]);  // our "OK" was lost
  EXPECT_EQ(gw.GetUpload().AssembledRequest().size(), 110u);
  Port(1).TakeSent();
  Port(1).ReceiveHex(packets[1]);
  ASSERT_EQ(host.posted.size(), 1u);
  // The last "OK" was lost too: the repetition is confirmed, the order not sent again.
  Port(1).ReceiveHex(packets[1]);
  EXPECT_EQ(Port(1).TakeSent(),
            (std::vector<std::string>{"02010502024F4B00A6", "02010502024F4B00A6"}));
  EXPECT_EQ(host.posted.size(), 1u);
  // A new exchange after polling resumed may send the same again.
  FinishExchange();
  PollUntil(1, 5);
  Port(1).ReceiveHex("A50105");
  Port(1).ReceiveHex(packets[0]);
  Port(1).ReceiveHex(packets[1]);
  EXPECT_EQ(host.posted.size(), 2u);
  // A handheld whose clock stands still orders the same again once its reply is
  // confirmed: a new order, which the host is told of.
  txt.Write("R1.txt", "DL\r\nOK\r\n");
  gw.Relay().HandleHostMessage({kHostMessage, 0, 1});
  loop.Advance(ReplyRelay::kReadAfterSignal);
  ASSERT_TRUE(Port(1).TakeSent().back().starts_with("03"));
  Port(1).ReceiveHex("040105000000000000");
  loop.Advance(2000);
  const std::size_t told = host.posted.size();
  PollUntil(1, 5);
  Port(1).ReceiveHex("A50105");
  Port(1).ReceiveHex(packets[0]);
  Port(1).ReceiveHex(packets[1]);
  EXPECT_EQ(host.posted.size(), told + 1);
  EXPECT_FALSE(form.TimerNamed("ComTimer").Enabled());  // its reply is awaited
}

// Index 0 is no packet of any request; before any packet was accepted it is no
// repetition either.
TEST_F(UploadTest, AFirstPacketWithIndexZeroIsRefused) {
  OpenExchange();
  Port(1).TakeSent();
  std::string packet = BuildPackets(1, 5, 0x4C, "1234567890ABCDEFGHIJKLMN")[0];
  packet = packet.substr(0, 8) + "00" + packet.substr(10, 100);
  packet += FrameCheck(packet);
  Port(1).ReceiveHex(packet);
  EXPECT_EQ(Port(1).TakeSent(), std::vector<std::string>{"0201050100"
                                                         "4E4F" +
                                                         FrameCheck("02010501004E4F")});
  EXPECT_TRUE(host.posted.empty());
  EXPECT_TRUE(gw.GetUpload().AssembledRequest().empty());
}

TEST_F(UploadTest, OutOfOrderPacketIsRefusedAndTheNextOneAskedFor) {
  auto packets = BuildPackets(1, 5, 0x4C, std::string(150, 'Q'));
  ASSERT_EQ(packets.size(), 4u);
  OpenExchange();
  Port(1).ReceiveHex(packets[0]);
  Port(1).TakeSent();
  Port(1).ReceiveHex(packets[2]);  // packet 2 was lost
  EXPECT_EQ(Port(1).TakeSent(), std::vector<std::string>{"02010504034E4F00AC"});
  EXPECT_EQ(gw.GetUpload().AssembledRequest().size(), 110u);
  loop.Advance(300);
  EXPECT_EQ(Port(1).TakeSent(), std::vector<std::string>{"02010504024E4F00AB"});
  for (int i = 1; i < 4; ++i) Port(1).ReceiveHex(packets[i]);
  EXPECT_EQ(host.posted.size(), 1u);
  EXPECT_EQ(Lines(T1())[1], "QQQQQQQQQQ QQQQ QQQQQQQQ");
}

TEST_F(UploadTest, RepeatedAcknowledgementsFollowTheStationListNotThePort) {
  // The packet arrives on slot 2's port, but its station 01 is line 0 of the list.
  OpenExchange();
  Port(1).TakeSent();
  auto packets = BuildPackets(1, 5, 0x4C, std::string(60, 'Q'));
  Port(2).ReceiveHex(packets[0]);
  EXPECT_EQ(Port(2).TakeSent().size(), 1u);
  loop.Advance(300);
  EXPECT_EQ(Port(1).TakeSent().size(), 1u);
  EXPECT_TRUE(Port(2).Sent().empty());
  // A station that is in no line of the list hears no repetitions.
  form["ListBox3"].SetLines({"03 05 COM3"});
  loop.Advance(300);
  EXPECT_TRUE(Port(1).Sent().empty());
}

}  // namespace
}  // namespace ol::testing
