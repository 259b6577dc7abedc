// The simulated station driven through its byte interface in virtual time, with the
// gateway's side played by the test: frames written as the gateway builds them (hex
// text with FrameCheck), what comes back read the way the gateway reads it.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "core/gbk.h"
#include "core/manual_loop.h"
#include "gateway/hex.h"
#include "stationsim/frames.h"
#include "stationsim/sim_station.h"

namespace ol::sim {
namespace {

// Bytes of a hex text plus its check value, as the gateway's SendHexFrame would put them.
std::string WithCheck(const std::string& hex) {
  return HexToBytes(hex + FrameCheck(hex));
}

std::string Poll(int station, int handheld) {
  return WithCheck("AA" + IntToHex(station) + IntToHex(handheld));
}

std::string Ack(int station, int handheld, int total, int index, bool ok) {
  return WithCheck("02" + IntToHex(station) + IntToHex(handheld) + IntToHex(total) +
                   IntToHex(index) + (ok ? "4F4B" : "4E4F"));
}

// A reply frame built field by field as the gateway builds it.
std::string Reply(int station, int handheld, const std::string& stampHex, int code,
                  const std::string& timeHex, const std::string& text) {
  std::size_t n = text.size(), p = n > 220 && n < 250 ? 250 - n : 0;
  std::string hex = "03" + IntToHex(station) + IntToHex(handheld) + "55555500" +
                    IntToHex(static_cast<std::uint32_t>(n + 9 + p), 4) + stampHex + IntToHex(code) +
                    timeHex;
  std::string body = BytesToHex(text) + "AABB";
  for (std::size_t i = 0; i < p; ++i) body += "20";
  hex += body + FrameCheck(body);
  hex += FrameCheck(hex);
  return HexToBytes(hex);
}

// The gateway's reading of an assembled upload.
struct Upload {
  std::string code, station, handheld, payload, stamp;
};
Upload Reassemble(const std::vector<std::string>& packetHex) {
  std::string assembled;
  for (std::size_t i = 0; i < packetHex.size(); ++i) {
    assembled += i == 0 ? packetHex[i].substr(0, 110) : packetHex[i].substr(14, 96);
  }
  std::size_t length = HexToInt(assembled.substr(14, 4));
  assembled = assembled.substr(0, 2 * length + 22);
  return {assembled.substr(30, 2), assembled.substr(2, 2), assembled.substr(4, 2),
          HexToBytes(assembled.substr(32, assembled.size() - 8 - 32)), assembled.substr(18, 12)};
}

bool CheckOk(const std::string& packetHex) {
  return packetHex.substr(110, 4) == FrameCheck(packetHex.substr(0, 110));
}

class StationTest : public ::testing::Test {
 protected:
  StationTest() : station(loop, {1, 4, {5, 6}}, [this](const std::string& b) { Sent(b); }) {
    station.onReply = [this](const ReceivedReply& r) { replies.push_back(r); };
    station.onEvent = [this](const SimEvent& e) { events.push_back(e); };
  }

  void Sent(const std::string& bytes) { out.push_back(BytesToHex(bytes)); }
  // Delivers a chunk and lets the radio delay pass.
  std::vector<std::string> Send(const std::string& bytes) {
    station.Receive(bytes);
    loop.Advance(50);
    std::vector<std::string> got;
    got.swap(out);
    return got;
  }
  bool HasEvent(SimEvent::Kind kind) const {
    for (const auto& e : events) {
      if (e.kind == kind) return true;
    }
    return false;
  }

  // Polls handheld 5 and runs the upload to its end, returning the packets.
  std::vector<std::string> UploadAll(int total) {
    EXPECT_EQ(Send(Poll(1, 5)), std::vector<std::string>{"A50105"});
    std::vector<std::string> packets;
    auto got = Send(Ack(1, 5, 1, 1, false));
    for (int k = 1; k <= total; ++k) {
      EXPECT_EQ(got.size(), 1u);
      if (got.size() != 1) return packets;
      packets.push_back(got[0]);
      got = Send(Ack(1, 5, total, k, true));
    }
    EXPECT_TRUE(got.empty());
    return packets;
  }

  ManualLoop loop;
  std::vector<std::string> out;
  SimStation station;
  std::vector<ReceivedReply> replies;
  std::vector<SimEvent> events;
};

TEST_F(StationTest, AnswersChannelQueryAndAdoptsChannelSetting) {
  EXPECT_EQ(Send(HexToBytes("AA400000BB")), std::vector<std::string>{"AA4F010400BB"});
  // Channel 64 is 3F on the wire.
  EXPECT_EQ(Send(HexToBytes("AA49FF3FBB")), std::vector<std::string>{"AA4F013F00BB"});
  EXPECT_EQ(Send(HexToBytes("AA400000BB")), std::vector<std::string>{"AA4F013F00BB"});
  // A channel past 64 is refused and changes nothing.
  EXPECT_TRUE(Send(HexToBytes("AA49FF40BB")).empty());
  EXPECT_EQ(station.Channel0(), 0x3F);
  EXPECT_EQ(station.GetCounters().badFrames, 1u);
}

TEST_F(StationTest, IdleOrForeignHandheldStaysSilent) {
  EXPECT_TRUE(Send(Poll(1, 5)).empty());  // nothing queued
  station.QueueRequest({5, 0x4C, "X"});
  EXPECT_TRUE(Send(Poll(1, 7)).empty());  // not at this station
  EXPECT_TRUE(Send(Poll(2, 5)).empty());  // another station's ID
  EXPECT_EQ(Send(Poll(1, 5)), std::vector<std::string>{"A50105"});
  EXPECT_THROW(station.QueueRequest({7, 0x4C, "X"}), std::invalid_argument);
}

TEST_F(StationTest, OnePacketRequestHonoursAcknowledgements) {
  loop.Advance(12 * 3600 * 1000 + 34 * 60 * 1000 + 56 * 1000);  // 12:34:56 of the wall clock
  station.QueueRequest({5, 0x4C, "1234567890ABCDEFGHIJKLMN"});
  EXPECT_EQ(Send(Poll(1, 5)), std::vector<std::string>{"A50105"});
  // An "OK" before any packet is not the gateway's request for packet 1.
  EXPECT_TRUE(Send(Ack(1, 5, 1, 1, true)).empty());
  auto got = Send(Ack(1, 5, 1, 1, false));
  ASSERT_EQ(got.size(), 1u);
  const std::string& p = got[0];
  ASSERT_EQ(p.size(), 114u);
  EXPECT_EQ(p.substr(0, 10), "0101050101");  // 01, station, handheld, total 1, index 1
  EXPECT_TRUE(CheckOk(p));
  EXPECT_EQ(p.substr(14, 4), "0021");  // L = 9 + 24
  Upload u = Reassemble({p});
  EXPECT_EQ(u.code, "4C");
  EXPECT_EQ(u.payload, "1234567890ABCDEFGHIJKLMN");
  EXPECT_EQ(u.stamp.substr(0, 6), "563412");  // BCD seconds, minutes, hours
  // A repeated "NO" for packet 1 gets packet 1 again; "OK" ends the upload.
  EXPECT_EQ(Send(Ack(1, 5, 1, 1, false)), std::vector<std::string>{p});
  EXPECT_TRUE(Send(Ack(1, 5, 1, 1, true)).empty());
  EXPECT_EQ(station.GetCounters().requestsSent, 1u);
  EXPECT_EQ(station.GetCounters().packetsSent, 2u);
  // Waiting for the reply, it does not answer polls with a new A5.
  EXPECT_TRUE(Send(Poll(1, 5)).empty());
}

TEST_F(StationTest, CorruptedSecondPacketIsResentAfterNo) {
  std::string payload(100, 'a');
  for (std::size_t i = 0; i < payload.size(); ++i) payload[i] = static_cast<char>('A' + i % 26);
  station.QueueRequest({5, 0x53, payload, Fault::CorruptPacket, 2});
  EXPECT_EQ(Send(Poll(1, 5)), std::vector<std::string>{"A50105"});
  auto p1 = Send(Ack(1, 5, 1, 1, false));
  ASSERT_EQ(p1.size(), 1u);
  EXPECT_EQ(p1[0].substr(0, 10), "0101050301");
  EXPECT_TRUE(CheckOk(p1[0]));
  auto bad = Send(Ack(1, 5, 3, 1, true));
  ASSERT_EQ(bad.size(), 1u);
  EXPECT_EQ(bad[0].substr(0, 10), "0101050302");
  EXPECT_FALSE(CheckOk(bad[0]));
  // The gateway's repeater may still say "OK" for packet 1: that is stale.
  EXPECT_TRUE(Send(Ack(1, 5, 3, 1, true)).empty());
  auto p2 = Send(Ack(1, 5, 3, 2, false));
  ASSERT_EQ(p2.size(), 1u);
  EXPECT_TRUE(CheckOk(p2[0]));
  EXPECT_EQ(p2[0].substr(0, 110), bad[0].substr(0, 110));
  auto p3 = Send(Ack(1, 5, 3, 2, true));
  ASSERT_EQ(p3.size(), 1u);
  EXPECT_TRUE(Send(Ack(1, 5, 3, 3, true)).empty());
  Upload u = Reassemble({p1[0], p2[0], p3[0]});
  EXPECT_EQ(u.code, "53");
  EXPECT_EQ(u.payload, payload);
  EXPECT_EQ(station.GetCounters().packetResends, 1u);
  EXPECT_EQ(station.GetCounters().requestsSent, 1u);
}

TEST_F(StationTest, WrongCheckRejectedCorrectReplyConfirmed) {
  station.QueueRequest({5, 0x53, "T1"});
  auto packets = UploadAll(1);
  ASSERT_EQ(packets.size(), 1u);
  std::string stamp = Reassemble(packets).stamp;

  std::string good = Reply(1, 5, stamp, 0x53, "", "OK\r\n");
  std::string badFrameCheck = good;
  badFrameCheck.back() ^= 0x01;
  EXPECT_TRUE(Send(badFrameCheck).empty());
  // A wrong text check under a frame check that fits it.
  std::string badTextHex = BytesToHex(good.substr(0, good.size() - 2));
  badTextHex[badTextHex.size() - 1] = badTextHex.back() == '0' ? '1' : '0';
  EXPECT_TRUE(Send(HexToBytes(badTextHex + FrameCheck(badTextHex))).empty());
  // The layout must hold too: a frame whose checks fit but whose AA BB is missing.
  std::string noMarker = HexToBytes("03010555555500000D" + stamp + "53" + "4F4B0D0A" + "AACC");
  std::string nm = BytesToHex(noMarker);
  std::string body = nm.substr(32);
  nm += FrameCheck(body);
  nm += FrameCheck(nm);
  EXPECT_TRUE(Send(HexToBytes(nm)).empty());
  // A code past the 32 names (6C).
  EXPECT_TRUE(Send(Reply(1, 5, stamp, 0x6C, "", "OK\r\n")).empty());
  EXPECT_TRUE(replies.empty());
  EXPECT_EQ(station.GetCounters().badFrames, 4u);

  auto confirm = Send(good);
  ASSERT_EQ(confirm.size(), 1u);
  EXPECT_EQ(confirm[0].size(), 18u);
  EXPECT_EQ(confirm[0].substr(0, 6), "040105");
  ASSERT_EQ(replies.size(), 1u);
  EXPECT_EQ(replies[0].code, 0x53);
  EXPECT_EQ(replies[0].codeName, "DC");
  EXPECT_EQ(replies[0].text, "OK\r\n");
  EXPECT_EQ(BytesToHex(replies[0].stamp), stamp);
  EXPECT_FALSE(replies[0].duplicate);
  // A resent copy is confirmed again but reported as a copy; the request is done.
  EXPECT_EQ(Send(good).size(), 1u);
  ASSERT_EQ(replies.size(), 2u);
  EXPECT_TRUE(replies[1].duplicate);
  EXPECT_TRUE(station.Idle());
  EXPECT_EQ(station.GetCounters().repliesReceived, 1u);
}

TEST_F(StationTest, DlReplyTimeBytesDecodedAndTextConverted) {
  station.QueueRequest({5, 0x4C, "1234567890ABCDEFGHIJKLMN"});
  auto packets = UploadAll(1);
  ASSERT_EQ(packets.size(), 1u);
  std::string stamp = Reassemble(packets).stamp;
  // 12:43:56 on the 15th of June '25; the length does not count the time bytes.
  std::string frame = Reply(1, 5, stamp, 0x4C, "564312150625", Utf8ToGbk("好的"));
  EXPECT_EQ(BytesToHex(frame).substr(14, 4), IntToHex(4 + 9, 4));
  EXPECT_EQ(Send(frame).size(), 1u);
  ASSERT_EQ(replies.size(), 1u);
  ASSERT_TRUE(replies[0].time.has_value());
  const ReplyTime& t = *replies[0].time;
  EXPECT_EQ(t.second, 56);
  EXPECT_EQ(t.minute, 43);
  EXPECT_EQ(t.hour, 12);
  EXPECT_EQ(t.day, 15);
  EXPECT_EQ(t.month, 6);
  EXPECT_EQ(t.year, 25);
  EXPECT_EQ(replies[0].text, "好的");
}

TEST_F(StationTest, DlReplyWithTimeBytesThatAreNotBcdIsRejected) {
  station.QueueRequest({5, 0x4C, "1"});
  std::string stamp = Reassemble(UploadAll(1)).stamp;
  EXPECT_TRUE(Send(Reply(1, 5, stamp, 0x4C, "5A4312150625", "x")).empty());
  EXPECT_TRUE(replies.empty());
}

TEST_F(StationTest, RequestAndFramesSplitOrJoinedAcrossChunks) {
  station.QueueRequest({5, 0x4C, "split"});
  std::string poll = Poll(1, 5);
  station.Receive(poll.substr(0, 2));
  loop.Advance(50);
  EXPECT_TRUE(out.empty());
  EXPECT_EQ(Send(poll.substr(2)), std::vector<std::string>{"A50105"});

  // Noise before the "NO", then the "NO" one byte at a time.
  station.Receive(HexToBytes("FF00"));
  std::string no = Ack(1, 5, 1, 1, false);
  for (char c : no) station.Receive(std::string(1, c));
  loop.Advance(50);
  ASSERT_EQ(out.size(), 1u);
  std::string stamp = Reassemble({out[0]}).stamp;
  out.clear();

  // The "OK" and the reply joined in one chunk, the reply's tail in a later one.
  std::string reply = Reply(1, 5, stamp, 0x4D, "", "wait");
  std::string joined = Ack(1, 5, 1, 1, true) + reply.substr(0, 10);
  EXPECT_TRUE(Send(joined).empty());
  auto got = Send(reply.substr(10));
  ASSERT_EQ(got.size(), 1u);
  EXPECT_EQ(got[0].substr(0, 2), "04");
  ASSERT_EQ(replies.size(), 1u);
  EXPECT_EQ(replies[0].text, "wait");
  EXPECT_EQ(station.GetCounters().badFrames, 1u);  // the noise, once
}

TEST_F(StationTest, IncompleteFrameIsDroppedAfterQuiet) {
  station.QueueRequest({5, 0x4C, "x"});
  station.Receive(HexToBytes("AA01"));  // a poll cut off
  loop.Advance(999);
  EXPECT_EQ(station.GetCounters().badFrames, 0u);
  loop.Advance(1);
  EXPECT_EQ(station.GetCounters().badFrames, 1u);
  EXPECT_EQ(Send(Poll(1, 5)), std::vector<std::string>{"A50105"});
}

TEST_F(StationTest, SilentAfterA5ThenRetriedAtNextPoll) {
  station.QueueRequest({5, 0x4C, "quiet", Fault::SilentAfterA5});
  EXPECT_EQ(Send(Poll(1, 5)), std::vector<std::string>{"A50105"});
  for (int i = 0; i < 11; ++i) {
    EXPECT_TRUE(Send(Ack(1, 5, 1, 1, false)).empty());
    loop.Advance(250);
  }
  // The gateway gave up and polls again: the handheld tries once more and uploads.
  EXPECT_EQ(Send(Poll(1, 5)), std::vector<std::string>{"A50105"});
  EXPECT_TRUE(HasEvent(SimEvent::Kind::AttemptAbandoned));
  EXPECT_EQ(Send(Ack(1, 5, 1, 1, false)).size(), 1u);
}

TEST_F(StationTest, NoConfirmFaultTakesReplyWithoutConfirming) {
  station.QueueRequest({5, 0x4C, "nc", Fault::NoConfirm});
  std::string stamp = Reassemble(UploadAll(1)).stamp;
  std::string frame = Reply(1, 5, stamp, 0x4D, "", "x");
  EXPECT_TRUE(Send(frame).empty());
  EXPECT_TRUE(Send(frame).empty());
  ASSERT_EQ(replies.size(), 2u);
  EXPECT_FALSE(replies[0].duplicate);
  EXPECT_EQ(station.GetCounters().confirmationsSent, 0u);
}

TEST_F(StationTest, ReplyTimeoutFailsRequestAndForeignStampIsNotConfirmed) {
  station.QueueRequest({5, 0x4C, "a"});
  std::string stamp = Reassemble(UploadAll(1)).stamp;
  // A reply meant for another request (another stamp) is not taken.
  EXPECT_TRUE(Send(Reply(1, 5, "000000000000", 0x4D, "", "x")).empty());
  EXPECT_EQ(station.GetCounters().unexpectedReplies, 1u);
  // So is one for a handheld this station does not have, and both are counted.
  EXPECT_TRUE(Send(Reply(1, 9, stamp, 0x4D, "", "x")).empty());
  EXPECT_EQ(station.GetCounters().unexpectedReplies, 2u);
  loop.Advance(15000);
  EXPECT_TRUE(HasEvent(SimEvent::Kind::RequestFailed));
  EXPECT_TRUE(station.Idle());
  // The real reply arriving after that is reported but not confirmed.
  EXPECT_TRUE(Send(Reply(1, 5, stamp, 0x4D, "", "late")).empty());
}

TEST_F(StationTest, GivesUpAfterThreeAbandonedAttempts) {
  station.QueueRequest({5, 0x4C, "a"});
  for (int attempt = 0; attempt < 3; ++attempt) {
    EXPECT_EQ(Send(Poll(1, 5)), std::vector<std::string>{"A50105"});
    loop.Advance(4000);  // no acknowledgement at all
  }
  EXPECT_TRUE(HasEvent(SimEvent::Kind::RequestFailed));
  EXPECT_TRUE(Send(Poll(1, 5)).empty());
}

// Reply bodies whose text length the body size alone does not tell.
TEST(ReplyFrameTest, PaddedTextsAroundTheSpaceRule) {
  for (std::size_t n : {0u, 220u, 221u, 230u, 249u, 250u, 812u}) {
    std::string text(n, 'k');
    std::string frame = Reply(1, 5, "010203040506", 0x53, "", text);
    std::string error;
    auto r = ParseReplyFrame(frame, &error);
    ASSERT_TRUE(r.has_value()) << n << ": " << error;
    EXPECT_EQ(r->text.size(), n);
    EXPECT_EQ(r->spaces, n > 220 && n < 250 ? 250 - n : 0u);
  }
  // 230 bytes of text: L = 230 + 9 + 20.
  EXPECT_EQ(BytesToHex(Reply(1, 5, "010203040506", 0x53, "", std::string(230, 'k'))).substr(14, 4),
            IntToHex(259, 4));
}

TEST(FrameReaderTest, KnowsEveryGatewayFrame) {
  GatewayFrameReader reader;
  std::string search = WithCheck(
      "0A01060203"
      "07");
  std::string data = WithCheck(
      "0A010001060000"
      "0000" +
      std::string(256, 'F'));
  auto frames = reader.Push(HexToBytes("AA400000BB") + Poll(12, 191) + HexToBytes("AA49FF00BB") +
                            search + data);
  ASSERT_EQ(frames.size(), 5u);
  EXPECT_EQ(frames[0].kind, GatewayFrameKind::ChannelQuery);
  EXPECT_EQ(frames[1].kind, GatewayFrameKind::Poll);
  EXPECT_EQ(BytesToHex(frames[1].bytes), "AA0CBF0175");
  EXPECT_EQ(frames[2].kind, GatewayFrameKind::ChannelSetting);
  EXPECT_EQ(frames[3].kind, GatewayFrameKind::Search);
  EXPECT_EQ(frames[4].kind, GatewayFrameKind::Data);
  EXPECT_EQ(frames[4].bytes.size(), 139u);
  EXPECT_EQ(reader.BadFrames(), 0u);
  // A poll with a wrong check frames nothing; the bytes after it still do.
  frames = reader.Push(HexToBytes("AA010500B1") + Poll(1, 5));
  ASSERT_EQ(frames.size(), 1u);
  EXPECT_EQ(BytesToHex(frames[0].bytes), "AA010500B0");
  EXPECT_EQ(reader.BadFrames(), 1u);
}

}  // namespace
}  // namespace ol::sim

namespace ol::sim {
namespace {

// A data frame as the gateway builds it: packet index of a table, 128 bytes of its image
// filled up with FF.
std::string DataFrameFor(int station, int tableCount, int table, const std::string& image,
                         int index) {
  int last = image.empty() ? 0 : static_cast<int>((image.size() + 127) / 128) - 1;
  std::string payload = image.size() > static_cast<std::size_t>(index) * 128
                            ? image.substr(static_cast<std::size_t>(index) * 128, 128)
                            : "";
  payload.resize(128, static_cast<char>(0xFF));
  return WithCheck("0A" + IntToHex(station) + "00" + IntToHex(tableCount) + IntToHex(table) +
                   IntToHex(last, 4) + IntToHex(index, 4) + BytesToHex(payload));
}

class DownloadTest : public StationTest {
 protected:
  DownloadTest() {
    station.onTable = [this](const TableReceived& t) { tables.push_back(t); };
  }
  // Everything the station sends within one pacing interval of the gateway.
  std::vector<std::string> SendAndWait(const std::string& bytes) {
    station.Receive(bytes);
    loop.Advance(400);
    std::vector<std::string> got;
    got.swap(out);
    return got;
  }
  std::vector<TableReceived> tables;
};

TEST_F(DownloadTest, SearchAnsweredOncePerDownloadByNamedHandhelds) {
  std::string search = WithCheck(
      "0A01060205"
      "06");  // table 6, handhelds 5 and 6
  EXPECT_EQ(SendAndWait(search), (std::vector<std::string>{"0A0105FFFF", "0A0106FFFF"}));
  EXPECT_TRUE(SendAndWait(search).empty());
  // Another station's search is not for these handhelds.
  EXPECT_TRUE(SendAndWait(WithCheck("0A02060105")).empty());
}

TEST_F(DownloadTest, TableReassembledAcknowledgedAndVerified) {
  std::string image;
  for (int i = 0; i < 200; ++i) image.push_back(static_cast<char>(i));
  station.ExpectTable(1, image);
  SendAndWait(
      WithCheck("0A0101"
                "0105"));  // only handheld 5 is selected
  EXPECT_EQ(SendAndWait(DataFrameFor(1, 1, 1, image, 0)), std::vector<std::string>{"0A01050000"});
  // The gateway repeats a packet: acknowledged again, stored once.
  EXPECT_EQ(SendAndWait(DataFrameFor(1, 1, 1, image, 0)), std::vector<std::string>{"0A01050000"});
  EXPECT_TRUE(tables.empty());
  EXPECT_EQ(SendAndWait(DataFrameFor(1, 1, 1, image, 1)), std::vector<std::string>{"0A01050001"});
  ASSERT_EQ(tables.size(), 1u);
  EXPECT_EQ(tables[0].handheld, 5);
  EXPECT_EQ(tables[0].image.size(), 256u);
  EXPECT_TRUE(tables[0].verified);
  EXPECT_TRUE(tables[0].matches);
  EXPECT_EQ(station.GetCounters().tablesMismatched, 0u);
}

TEST_F(DownloadTest, WrongOrEmptyTablesJudgedAgainstPackedFile) {
  station.ExpectTable(6, "");  // an empty image travels as one packet of FF
  std::string dishes(130, 'd');
  station.ExpectTable(1, dishes);
  SendAndWait(
      WithCheck("0A0101"
                "0105"));
  SendAndWait(DataFrameFor(1, 2, 6, "", 0));
  std::string altered = dishes;
  altered[129] = 'x';
  SendAndWait(DataFrameFor(1, 2, 1, altered, 0));
  SendAndWait(DataFrameFor(1, 2, 1, altered, 1));
  ASSERT_EQ(tables.size(), 2u);
  EXPECT_TRUE(tables[0].matches);
  EXPECT_FALSE(tables[1].matches);
  EXPECT_EQ(station.GetCounters().tablesMismatched, 1u);
  EXPECT_TRUE(HasEvent(SimEvent::Kind::DownloadEvent));
}

TEST_F(DownloadTest, LossAndSilenceAsConfigured) {
  station.SetDownloadBehaviour(6, {0, true});
  EXPECT_EQ(SendAndWait(WithCheck("0A0101020506")), std::vector<std::string>{"0A0105FFFF"});
  station.SetDownloadBehaviour(5, {0.5, false});
  station.SeedLoss(7);
  std::string image(128 * 100, 'z');
  int acks = 0;
  for (int i = 0; i < 100; ++i) {
    acks += static_cast<int>(SendAndWait(DataFrameFor(1, 1, 1, image, i)).size());
  }
  EXPECT_GT(acks, 30);
  EXPECT_LT(acks, 70);
  EXPECT_EQ(station.GetCounters().framesLost, static_cast<std::uint64_t>(100 - acks));
  EXPECT_THROW(station.SetDownloadBehaviour(9, {}), std::invalid_argument);
}

}  // namespace
}  // namespace ol::sim
