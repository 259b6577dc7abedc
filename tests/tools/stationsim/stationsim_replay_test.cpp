// The replay engine in virtual time, the test playing today's gateway against a small
// capture: what is tolerated by nature, and each kind of difference it must report.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "core/manual_loop.h"
#include "gateway/hex.h"
#include "stationsim/frames.h"
#include "stationsim/replay.h"

namespace ol::sim {
namespace {

using Dir = FlightRecorder::Direction;
using Kind = ReplayDifference::Kind;

const std::string kPoll5 = HexToBytes("AA010500B0");
const std::string kNo = HexToBytes("02010501014E4F00A7");
const std::string kOk = HexToBytes("02010501014F4B00A4");
const std::string kStamp = HexToBytes("091401050001");

std::string Reply(int second) {
  const ReplyTime t{second, 14, 9, 9, 12, 26};
  return BuildReplyFrame(1, 5, kStamp, 0x4C, &t, "OK");
}

// A capture that begins inside an exchange, then an idle poll, a poll answered with a
// request of one packet, and its reply of index 0 with its confirmation.
ReplayScript Script() {
  const std::string packet(57, '\x01');
  const std::vector<FlightRecorder::Record> records = {
      {1'000'000, 1, Dir::Out, kOk},
      {1'012'000, 1, Dir::In, BuildConfirmation(1, 5, 0x4C, 11)},
      {1'100'000, 1, Dir::Out, kPoll5},
      {1'240'000, 1, Dir::Out, kPoll5},
      {1'252'000, 1, Dir::In, "\xA5\x01\x05"},
      {1'253'000, 1, Dir::Out, kNo},
      {1'265'000, 1, Dir::In, packet},
      {1'266'000, 1, Dir::Out, kOk},
      {1'500'000, 1, Dir::Out, Reply(7)},
      {1'512'000, 1, Dir::In, BuildConfirmation(1, 5, 0x4C, 11)},
  };
  return ScriptFromCapture(ReadPcapng(ToPcapng({"/dev/ttyS0"}, records)));
}

TEST(ReplayTest, ToleratesWhatDiffersByNatureAndReportsEachFault) {
  const ReplayScript script = Script();
  ASSERT_EQ(script.ports.size(), 1u);
  EXPECT_EQ(script.ports[0].steps.size(), 5u);  // the exchange before the first poll left out
  ASSERT_EQ(script.notes.size(), 1u);

  std::string badCheck = Reply(31);
  badCheck.back() = static_cast<char>(badCheck.back() ^ 1);
  const std::string query("\xAA\x40\x00\x00\xBB", 5);
  const std::string strangePoll = HexToBytes("AA010900B4");
  const struct {
    const char* name;
    std::vector<std::string> written;  // 100 ms apart
    std::vector<Kind> differences;
    std::size_t chunks;  // the station's bytes sent
  } cases[] = {
      // A start-up query the capture lacks is answered; polls come at any count; the
      // reply's time of day is its own.
      {"faithful", {query, kPoll5, kPoll5, kNo, kOk, Reply(31)}, {}, 4},
      {"wrong check", {kPoll5, kNo, kOk, badCheck}, {Kind::Differs}, 3},
      {"no reply", {kPoll5, kNo, kOk}, {Kind::Missing}, 2},
      {"acknowledgement left out", {kPoll5, kOk, Reply(31)}, {Kind::Missing}, 2},
      {"a poll no capture holds", {kPoll5, strangePoll, kNo, kOk, Reply(7)}, {Kind::Extra}, 3},
      {"polls instead of the reply",
       {kPoll5, kNo, kOk, kPoll5, kPoll5, Reply(7)},
       {Kind::Extra},
       3},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    ManualLoop loop;
    std::vector<std::string> sent;
    Replayer::Options options;
    options.stationIds = {1};
    options.channels0 = {4};
    Replayer r(loop, script, options,
               [&](std::size_t, const std::string& b) { sent.push_back(b); });
    std::vector<ReplayDifference> found;
    r.onDifference = [&](const ReplayDifference& d) { found.push_back(d); };
    bool done = false;
    r.onDone = [&] { done = true; };
    for (const std::string& frame : c.written) {
      r.Receive(0, frame);
      loop.Advance(c.name == std::string("polls instead of the reply") ? 400 : 100);
    }
    loop.Advance(10000);
    EXPECT_TRUE(done);
    ASSERT_EQ(found.size(), c.differences.size());
    for (std::size_t i = 0; i < found.size(); ++i) EXPECT_EQ(found[i].kind, c.differences[i]);
    ASSERT_EQ(sent.size(), c.chunks);
    if (c.written[0] == query) {
      EXPECT_EQ(sent[0], BuildChannelAnswer(1, 4));
    }
    if (!found.empty() && found[0].kind == Kind::Differs) {
      EXPECT_EQ(found[0].expected, Reply(7));
      EXPECT_EQ(found[0].written, badCheck);
      EXPECT_EQ(found[0].packet, 9u);
      EXPECT_EQ(found[0].captureMicros, 500000);  // from the first packet, as Wireshark counts
    }
  }
}

}  // namespace
}  // namespace ol::sim
