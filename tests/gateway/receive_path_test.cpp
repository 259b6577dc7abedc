#include "gateway_fixture.h"

namespace ol::testing {
namespace {

class ReceivePathTest : public GatewayTest {};

TEST_F(ReceivePathTest, PollFrameBytesOnTheWire) {
  Connect({1});
  form["JZID1"].SetText("12");
  form["PADLIST1"].SetLines({"191"});
  gw.GetPolling().ComTimerTimer();
  EXPECT_EQ(Port(1).TakeSent(), std::vector<std::string>{"AA0CBF0175"});
  form["JZID1"].SetText("01");
  form["PADLIST1"].SetLines({"005"});
  gw.GetPolling().ComTimerTimer();
  EXPECT_EQ(Port(1).TakeSent(), std::vector<std::string>{"AA010500B0"});
  EXPECT_EQ(form["Memo1"].Lines().back(), "005COM3");
}

TEST_F(ReceivePathTest, ChannelAnswerOnSlotTwoConnectsAndRestartsPolling) {
  Port(2).ReceiveHex("AA4F000400BB");  // channel byte 04: channel 05
  EXPECT_EQ(StationStatus(form, 2).Text(), "05");
  EXPECT_EQ(form["PDID2"].Text(), "05");
  EXPECT_EQ(form["Label3"].Text(), "05");
  EXPECT_EQ(gw.GetPolling().ConnectedCount(), 1);
  EXPECT_EQ(gw.GetPolling().ConnectedAt(1), 2);
  EXPECT_TRUE(form.TimerNamed("ComTimer").Enabled());
  EXPECT_EQ(form["Memo1"].Lines().back(), "AA4F000400BB");
  // Taken as a channel answer while a poll answer is awaited too; a second answer of the
  // same station does not list it twice.
  gw.GetPolling().ComTimerTimer();
  ASSERT_TRUE(gw.GetPolling().PollReplyFlag());
  Port(2).ReceiveHex("AA4F000400BB");
  EXPECT_FALSE(gw.GetPolling().PollReplyFlag());
  EXPECT_EQ(gw.GetPolling().ConnectedCount(), 1);
  for (int s : {1, 3, 4, 1}) gw.Receive().ApplyChannelAnswer(3, s);
  EXPECT_EQ(gw.GetPolling().ConnectedCount(), 4);
  gw.Receive().ApplyChannelAnswer(3, 5);  // not a slot
  EXPECT_EQ(gw.GetPolling().ConnectedCount(), 4);
}

TEST_F(ReceivePathTest, ChannelAnswerResetsPollCursorsNotTheStationCursor) {
  Connect({1, 2});
  gw.GetPolling().ComTimerTimer();  // 1/005, slot 1 cursor now 1
  EXPECT_EQ(gw.GetPolling().PollCursor(1), 1);
  Port(1).ReceiveHex("AA4F000400BB");
  EXPECT_EQ(gw.GetPolling().PollCursor(1), 0);
  Port(1).TakeSent();
  Port(2).TakeSent();
  loop.Advance(70);  // the station cursor kept its place: slot 2 is next
  EXPECT_EQ(Port(2).TakeSent(), std::vector<std::string>{"AA020A00B6"});
}

TEST_F(ReceivePathTest, RequestPacketOnlyAsTheWholeAccumulator) {
  Connect({1});
  gw.GetPolling().ComTimerTimer();
  Port(1).ReceiveHex("A50105");
  Port(1).TakeSent();
  std::string packet = BuildPackets(1, 5, 0x4C, "1234567890ABCDEFGHIJKLMN")[0];
  ASSERT_EQ(packet.size(), 114u);
  Port(1).ReceiveHex(packet.substr(0, 112));  // 56 bytes: 112 characters, not yet
  EXPECT_TRUE(Port(1).Sent().empty());
  Port(1).ReceiveHex(packet.substr(112));
  EXPECT_EQ(Port(1).TakeSent().front(), "02010501014F4B00A4");
  // 113 characters cannot arrive as bytes; a byte before the packet is noise that no
  // packet can begin with, and goes.
  gw.Receive().ClearAccumulator();
  Port(1).ReceiveHex("01" + packet);
  EXPECT_EQ(Port(1).TakeSent().front(), "02010501014F4B00A4");
  EXPECT_TRUE(gw.Receive().Accumulator(1).empty());
}

TEST_F(ReceivePathTest, DownloadAcknowledgementsAreCutIntoRecords) {
  std::vector<std::pair<std::string, int>> got;
  gw.Hooks().downloadAck = [&](const std::string& r, int slot) { got.emplace_back(r, slot); };
  form.TimerNamed("Timer7").SetEnabled(true);
  Port(2).ReceiveHex("0A0105000A0A01060000");
  ASSERT_EQ(got.size(), 2u);
  EXPECT_EQ(got[0], std::make_pair(std::string("0A0105000A"), 2));
  EXPECT_EQ(got[1], std::make_pair(std::string("0A01060000"), 2));
  EXPECT_EQ(form["Memo5"].Lines(), (std::vector<std::string>{"0A0105000A", "0A01060000"}));
  EXPECT_TRUE(gw.Receive().Accumulator(2).empty());
  EXPECT_FALSE(form.TimerNamed("Timer7").Enabled());
  // A late poll answer split after its A5: its rest (04 05) names no station, and cannot
  // swallow the acknowledgement that follows it in pieces.
  got.clear();
  Connect({1});
  for (const char* piece : {"A5", "0405", "0A", "0105", "00", "0A"}) Port(1).ReceiveHex(piece);
  ASSERT_EQ(got.size(), 1u);
  EXPECT_EQ(got[0], std::make_pair(std::string("0A0105000A"), 1));
  // Nor can a confirmation nobody awaits, read whole: its 01 01 has a packet's shape.
  got.clear();
  for (const char* piece : {"0401014D0014000067", "0A01", "0500", "02"}) Port(1).ReceiveHex(piece);
  ASSERT_EQ(got.size(), 1u);
  EXPECT_EQ(got[0], std::make_pair(std::string("0A01050002"), 1));
}

// However its handheld fills the bytes after its 04, and however slowly they come (while a
// reply is out no tick empties the port's buffer), a confirmation on the port its reply
// went out on ends the resending.
TEST_F(ReceivePathTest, AConfirmationIsTakenWhateverItsBytesAndItsPace) {
  const struct {
    const char* name;
    std::vector<std::string> pieces;
    Millis gap;
  } cases[] = {{"in two pieces 20 ms apart", {"04", "0105000000000000"}, 20},
               {"in two pieces 300 ms apart", {"0401", "05000000000000"}, 300},
               {"naming no station", {"040000000000000000"}, 0},
               {"bytes of its own, in pieces", {"04FF", "FFFFFF", "FFFFFFFF"}, 150}};
  int n = 0;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Connect({1});
    PollUntil(1, 5);
    Port(1).ReceiveHex("A50105");
    Port(1).ReceiveHex(BuildPackets(1, 5, 0x53, "T01", IntToHex(0x10 + n++) + "3412010203")[0]);
    txt.Write("R1.txt", "DC\r\nOK\r\n");
    gw.Relay().HandleHostMessage({kHostMessage, 0, 1});
    loop.Advance(250);  // read, sent, first interval over
    ASSERT_TRUE(form.TimerNamed("Timer3").Enabled());
    std::string whole;
    for (const std::string& piece : c.pieces) {
      if (!whole.empty()) loop.Advance(c.gap);
      Port(1).ReceiveHex(piece);
      whole += piece;
    }
    EXPECT_FALSE(form.TimerNamed("Timer3").Enabled());
    EXPECT_TRUE(gw.Relay().ExchangeClosed());
    EXPECT_TRUE(form.TimerNamed("ComTimer").Enabled());
    ASSERT_FALSE(form["Memo1"].Lines().empty());
    EXPECT_EQ(form["Memo1"].Lines().back(), whole);
    FinishExchange();
  }
}

// A packet in pieces waits for its rest however slow the radio, until the acknowledgement
// repeater's tick empties the port's buffer: a tick between the pieces loses it.
TEST_F(ReceivePathTest, APacketInPiecesWaitsUntilTheRepeaterTick) {
  const std::string packet = BuildPackets(1, 5, 0x53, "T01")[0];
  const struct {
    Millis gap;
    bool taken;
  } cases[] = {{230, true}, {300, false}};  // the first piece 10 ms after the answer
  for (const auto& c : cases) {
    SCOPED_TRACE(c.gap);
    Connect({1});
    PollUntil(1, 5);
    Port(1).ReceiveHex("A50105");
    loop.Advance(10);
    Port(1).ReceiveHex(packet.substr(0, 60));
    loop.Advance(c.gap);
    Port(1).TakeSent();
    Port(1).ReceiveHex(packet.substr(60));
    EXPECT_EQ(Port(1).TakeSent(), c.taken ? std::vector<std::string>{"02010501014F4B00A4"}
                                          : std::vector<std::string>{});
    EXPECT_EQ(host.posted.size(), c.taken ? 1u : 0u);
    FinishExchange();
    host.posted.clear();
  }
}

TEST_F(ReceivePathTest, NeitherAnotherStationNorCutOffBytesHideAFrame) {
  Connect({1});
  gw.GetPolling().ComTimerTimer();
  Port(1).ReceiveHex("A50105");
  Port(1).TakeSent();
  // Station 2 reports its channel (a load, a recovery) in the middle of station 1's packet,
  // and a channel query's clear keeps the part already in.
  std::string packet = BuildPackets(1, 5, 0x53, "T01")[0];
  Port(1).ReceiveHex(packet.substr(0, 40));
  Port(2).ReceiveHex("AA4F000800BB");
  gw.Receive().ClearAccumulator(2);  // station 2's channel query
  EXPECT_EQ(StationStatus(form, 2).Text(), "09");
  Port(1).ReceiveHex(packet.substr(40));
  ASSERT_EQ(Port(1).Sent().size(), 1u);
  EXPECT_EQ(Port(1).TakeSent().front().substr(10, 4), "4F4B");
  // The tail of a frame cut off by a clear: the confirmation after it still counts.
  txt.Write("R1.txt", "DC\r\nOK\r\n");
  gw.Relay().HandleHostMessage({kHostMessage, 0, 1});
  loop.Advance(250);
  ASSERT_TRUE(form.TimerNamed("Timer3").Enabled());
  // Station 2's channel, in pieces behind a noise 04, while station 1's reply is out: a
  // confirmation is awaited on station 1's port only.
  for (const char* piece : {"04", "AA4F00", "0900BB"}) Port(2).ReceiveHex(piece);
  EXPECT_EQ(StationStatus(form, 2).Text(), "10");
  Port(1).ReceiveHex("0500");
  Port(1).ReceiveHex("040105000000000000");
  EXPECT_FALSE(form.TimerNamed("Timer3").Enabled());
  EXPECT_TRUE(gw.Relay().ExchangeClosed());
}

// A late answer on another station's port or on the port itself (handheld 002 or 001 of
// station 1: its rest has a packet's shape, 01 01 even its own station's, but no packet
// is awaited once the request is complete; or the handheld's own, heard again), or a noise
// byte before the confirmation, alone or read with its first two bytes, cannot hide the
// confirmation: the resending stops when it arrives.
TEST_F(ReceivePathTest, StrayBytesCannotHideAConfirmation) {
  // split: the confirmation comes in two pieces, so only the noise's own shape (not a
  // whole frame after it) can tell it from the start of a frame; glued: read with its first.
  const struct {
    int port;
    const char* bytes;
    bool split;
    const char* glued;
  } cases[] = {{2, "A5020A", true, ""}, {1, "A5", true, ""},     {1, "01", true, ""},
               {1, "0102", false, ""},  {1, "0A", true, ""},     {1, "FF", true, ""},
               {1, "A50102", true, ""}, {1, "A50101", true, ""}, {1, "A50105", true, ""},
               {1, "", true, "A5"}};
  int n = 0;
  for (const auto& c : cases) {
    SCOPED_TRACE(std::to_string(c.port) + ": " + c.bytes + c.glued);
    Connect({1});
    PollUntil(1, 5);
    Port(1).ReceiveHex("A50105");
    Port(1).ReceiveHex(BuildPackets(1, 5, 0x53, "T01", IntToHex(0x10 + n) + "3412010203")[0]);
    Port(c.port).ReceiveHex(c.bytes);  // while the host works on the request
    txt.Write("R1.txt", "DC\r\nOK " + std::to_string(++n) + "\r\n");
    gw.Relay().HandleHostMessage({kHostMessage, 0, 1});
    loop.Advance(ReplyRelay::kReadAfterSignal + 50);
    ASSERT_TRUE(Port(1).Sent().back().starts_with("03"));
    if (c.split) {
      Port(1).ReceiveHex(std::string(c.glued) + "0401");
      Port(1).ReceiveHex("05000000000000");
    } else {
      Port(1).ReceiveHex("040105000000000000");
    }
    EXPECT_FALSE(form.TimerNamed("Timer3").Enabled());
    EXPECT_TRUE(form.TimerNamed("ComTimer").Enabled());
    loop.Advance(3000);
    for (int p = 1; p <= 2; ++p) Port(p).TakeSent();
  }
}

TEST_F(ReceivePathTest, RequestPendingSplitAfterFirstByteWaitsForTheAddress) {
  // Whatever came before it in the poll's wait, noise or a whole packet of another handheld,
  // cannot hide an answer that arrives in pieces: nothing else is taken in the wait. Nor can
  // a channel answer's first piece from before the poll: the poll's tick empties the buffer.
  const struct {
    const char* beforePoll;
    std::string inWait;
  } cases[] = {
      {"", ""},      {"", "04"}, {"", "0A"}, {"", "01"}, {"", BuildPackets(1, 9, 0x53, "T01")[0]},
      {"AA4F00", ""}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.beforePoll + c.inWait);
    Connect({1});
    if (*c.beforePoll) Port(1).ReceiveHex(c.beforePoll);
    PollUntil(1, 5);
    Port(1).TakeSent();
    if (!c.inWait.empty()) Port(1).ReceiveHex(c.inWait);
    Port(1).ReceiveHex("A5");
    EXPECT_TRUE(Port(1).Sent().empty());
    EXPECT_TRUE(gw.GetPolling().PollReplyFlag());
    Port(1).ReceiveHex("0105");
    EXPECT_EQ(Port(1).TakeSent(), std::vector<std::string>{"02010501014E4F00A7"});
    EXPECT_FALSE(form.TimerNamed("ComTimer").Enabled());
    EXPECT_TRUE(form.TimerNamed("Timer4").Enabled());
    loop.Advance(20000);
  }
}

// Only the handheld just polled answers, on its station's port: an A5 naming anyone else (a
// late answer, or a noise A5 read with the start of another handheld's packet) opens no
// exchange, and the polled handheld's answer behind it still does.
TEST_F(ReceivePathTest, OnlyThePolledHandheldOpensAnExchange) {
  const std::string otherPacket = BuildPackets(1, 7, 0x53, "T07")[0];
  const struct {
    int port;
    std::vector<std::string> chunks;
  } cases[] = {{1, {"A50205"}},             // handheld 5 of another station
               {1, {"A501", "07"}},         // handheld 7, in pieces
               {2, {"A50105"}},             // the polled address on another port
               {1, {"A5" + otherPacket}}};  // noise glued to another handheld's packet
  for (const auto& c : cases) {
    SCOPED_TRACE(std::to_string(c.port) + ": " + c.chunks[0].substr(0, 20));
    Connect({1, 2});
    PollUntil(1, 5);
    for (int p = 1; p <= 2; ++p) Port(p).TakeSent();
    for (const std::string& chunk : c.chunks) Port(c.port).ReceiveHex(chunk);
    EXPECT_TRUE(Port(1).Sent().empty());
    EXPECT_TRUE(Port(2).Sent().empty());
    EXPECT_FALSE(form.TimerNamed("Timer4").Enabled());
    Port(1).ReceiveHex("A50105");
    EXPECT_EQ(Port(1).TakeSent(), std::vector<std::string>{"02010501014E4F00A7"});
    FinishExchange();
  }
}

TEST_F(ReceivePathTest, MonitorLogIsEmptiedAbove200AndBoundedAlways) {
  for (int i = 0; i < 201; ++i) LogLine(form, "x");
  Port(3).ReceiveHex("FF");
  EXPECT_EQ(form["Memo1"].LineCount(), 0u);
  // Nobody answers: the log still keeps a fixed maximum.
  Connect({1});
  form.TimerNamed("ComTimer").SetEnabled(true);
  loop.Advance(70 * 5000);
  EXPECT_EQ(form["Memo1"].LineCount(), ReceivePath::kMemoMaxLines);
}

TEST_F(ReceivePathTest, NoiseNeverGrowsTheAccumulatorWithoutBound) {
  std::string noise(1000, '\x55');
  for (int i = 0; i < 20; ++i) Port(1).Receive(noise);
  EXPECT_LE(gw.Receive().Accumulator(1).size(), ReceivePath::kAccumulatorLimit);
  // A frame after the reset is recognised again.
  gw.Receive().ClearAccumulator();
  Port(1).ReceiveHex("AA4F000900BB");
  EXPECT_EQ(StationStatus(form, 1).Text(), "10");
}

}  // namespace
}  // namespace ol::testing
