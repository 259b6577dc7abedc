// The replay engine in virtual time, the test playing today's gateway against a small
// capture: what is tolerated by nature, and each kind of difference it must report.

#include <gtest/gtest.h>

#include <algorithm>
#include <optional>
#include <string>
#include <tuple>
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
    // These frames come at no gateway's pace: timing has its own test.
    std::erase_if(found, [](const ReplayDifference& d) { return d.kind == Kind::Timing; });
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

// A port of station 1 polled every pollMs (in the capture handhelds 5 and 6 by turns, by
// the gateway 6 alone: any poll met before its time counts as idle), then handheld 5
// uploads a request and its reply is resent once after resendMs and confirmed. Times in
// ms from the start.
struct Timeline {
  std::vector<std::pair<Millis, std::string>> written, read;
};
Timeline Exchange(int polls, Millis pollMs, Millis answeredAt, Millis resendMs, int reply) {
  const std::string kPoll6 = HexToBytes("AA010600B1");
  const bool captured = reply == 7;
  Timeline t;
  for (int i = 0; i < polls; ++i)
    t.written.push_back({i * pollMs, i % 2 || !captured ? kPoll6 : kPoll5});
  const Millis a = answeredAt;
  t.written.push_back({a, kPoll5});
  t.read.push_back({a + 12, "\xA5\x01\x05"});
  t.written.push_back({a + 13, kNo});
  t.read.push_back({a + 25, std::string(57, '\x01')});
  t.written.push_back({a + 26, kOk});
  t.written.push_back({a + 300, Reply(reply)});
  t.written.push_back({a + 300 + resendMs, Reply(reply)});
  t.read.push_back({a + 312 + resendMs, BuildConfirmation(1, 5, 0x4C, 11)});
  return t;
}

// The capture's wall clock is set by stepMicros after the request packet; the steady clock
// goes on.
std::string CaptureOf(const Timeline& t, std::int64_t stepMicros) {
  std::vector<FlightRecorder::Record> records;
  for (const auto& [at, bytes] : t.written) records.push_back({at, 1, Dir::Out, bytes});
  for (const auto& [at, bytes] : t.read) records.push_back({at, 1, Dir::In, bytes});
  std::stable_sort(records.begin(), records.end(),
                   [](const auto& a, const auto& b) { return a.micros < b.micros; });
  for (std::size_t i = 0; i < records.size(); ++i) {
    FlightRecorder::Record& r = records[i];
    r.steady = 1'000'000 + r.micros * 1000;
    r.micros = 1'765'300'000'000'000 + r.micros * 1000 + (i > 9 ? stepMicros : 0);
  }
  return PortsToPcapng({{"/dev/ttyS0", DescribePortSetup({1, 5, {5, 6}})}}, records);
}

TEST(ReplayTest, ReportsTimingOffItsFiguresWithTheFigureAndPacesAcrossClockSteps) {
  using M = TimingCheck::Measure;
  const struct {
    const char* name;
    Timeline capture, gateway;
    std::int64_t step;
    // The one timing difference expected: measure, captured and written medians (ms).
    std::optional<std::tuple<M, double, double>> breach;
  } cases[] = {
      {"faithful", Exchange(6, 70, 420, 180, 7), Exchange(6, 70, 420, 180, 31), 0, {}},
      {"captured polls at half the pace", Exchange(6, 140, 840, 180, 7),
       Exchange(12, 70, 840, 180, 31), 0, std::tuple{M::PollCadence, 140.0, 70.0}},
      {"polls now at half the pace", Exchange(6, 70, 420, 180, 7), Exchange(3, 140, 420, 180, 31),
       0, std::tuple{M::PollCadence, 70.0, 140.0}},
      // The reply of 30 bytes is resent after two intervals of 90 ms.
      {"captured reply resent late", Exchange(6, 70, 420, 400, 7), Exchange(6, 70, 420, 180, 31), 0,
       std::tuple{M::ReplyResend, 400.0, 180.0}},
      {"clock set forward an hour",
       Exchange(6, 70, 420, 180, 7),
       Exchange(6, 70, 420, 180, 31),
       3'600'000'000,
       {}},
      {"clock set back an hour",
       Exchange(6, 70, 420, 180, 7),
       Exchange(6, 70, 420, 180, 31),
       -3'600'000'000,
       {}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const ReplayScript script = ScriptFromCapture(ReadPcapng(CaptureOf(c.capture, c.step)));
    ASSERT_EQ(script.ports.size(), 1u);
    ASSERT_TRUE(script.ports[0].setup);
    EXPECT_EQ(script.ports[0].setup->handhelds, (std::vector<int>{5, 6}));
    ManualLoop loop;
    Replayer r(loop, script, {}, [](std::size_t, const std::string&) {});
    std::vector<ReplayDifference> found;
    r.onDifference = [&](const ReplayDifference& d) { found.push_back(d); };
    bool done = false;
    r.onDone = [&] { done = true; };
    const Millis start = loop.Now();
    for (const auto& [at, frame] : c.gateway.written) {
      loop.Advance(start + at - loop.Now());
      r.Receive(0, frame);
    }
    loop.Advance(100);
    EXPECT_TRUE(done);  // at the capture's pace, whatever its wall clock did
    if (!c.breach) {
      EXPECT_TRUE(found.empty()) << found.size() << " differences";
      continue;
    }
    ASSERT_EQ(found.size(), 1u);
    const auto& [measure, captured, now] = *c.breach;
    EXPECT_EQ(found[0].kind, Kind::Timing);
    EXPECT_EQ(found[0].measure, measure);
    ASSERT_TRUE(found[0].captured && found[0].now);
    EXPECT_NEAR(found[0].captured->measuredMs, captured, 1);
    EXPECT_NEAR(found[0].now->measuredMs, now, 1);
    EXPECT_NEAR(found[0].captured->figureMs, measure == M::PollCadence ? 70 : 180, 0.5);
  }
}

}  // namespace
}  // namespace ol::sim
