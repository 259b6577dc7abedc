#include <gtest/gtest.h>

#include "app/captures.h"
#include "core/manual_loop.h"
#include "testing/memory_file_store.h"

namespace ol::testing {
namespace {

class CapturesTest : public ::testing::Test {
 protected:
  void Traffic(char byte) {
    const auto b = static_cast<std::uint8_t>(byte);
    recorder->Add(1, FlightRecorder::Direction::In, &b, 1);
  }
  std::vector<std::string> Files() { return folder->Names(); }

  ManualLoop loop;
  std::int64_t now = 1'000'000'000;
  std::shared_ptr<FlightRecorder> recorder =
      std::make_shared<FlightRecorder>(FlightRecorder::Limits{}, [this] { return now; });
  std::shared_ptr<MemoryFileStore> txt = std::make_shared<MemoryFileStore>();
  std::shared_ptr<MemoryFileStore> folder = txt->MemoryFolder("capture");
  std::vector<std::string> notices;
  Captures captures{loop,
                    folder,
                    recorder,
                    [](int slot) {
                      return CapturePort{"COM" + std::to_string(slot), ""};
                    },
                    [this](const std::string& text) { notices.push_back(text); },
                    4096};
};

TEST_F(CapturesTest, AFailureIsCapturedOnceWithTheMinutesAroundIt) {
  Traffic('a');                            // before the window: left out
  now += Captures::kBeforeMicros / 2 * 3;  // six minutes on
  Traffic('b');
  captures.OnTraffic(TrafficEvent(Traffic::NoReplyText, 1));
  EXPECT_TRUE(Files().empty());  // the minute after is still to come
  now += 1'000'000;
  Traffic('c');
  captures.OnTraffic(TrafficEvent(Traffic::LineLost, 2));  // one capture holds both
  loop.Advance(Captures::kAfter);
  ASSERT_EQ(Files().size(), 1u);
  EXPECT_TRUE(Files()[0].ends_with("-failure.pcapng"));
  const std::string pcap = folder->Read(Files()[0]).value_or("");
  // Past the section header, whose program version may hold any letter.
  ASSERT_GT(pcap.size(), 8u);
  std::size_t packets = 0;
  for (int i = 3; i >= 0; --i) packets = packets << 8 | static_cast<unsigned char>(pcap[4 + i]);
  EXPECT_EQ(pcap.find("a\0\0\0", packets, 4), std::string::npos);
  EXPECT_NE(pcap.find("b\0\0\0", packets, 4), std::string::npos);
  EXPECT_NE(pcap.find("c\0\0\0", packets, 4), std::string::npos);
  ASSERT_EQ(notices.size(), 1u);
  // Within the quiet time a failure makes none; after it, one again.
  captures.OnTraffic(TrafficEvent(Traffic::ReplyDropped, 1));
  loop.Advance(Captures::kAfter);
  EXPECT_EQ(Files().size(), 1u);
  loop.Advance(Captures::kQuiet);
  captures.OnTraffic(TrafficEvent(Traffic::Confirmed, 1));  // no failure
  loop.Advance(Captures::kAfter);
  EXPECT_EQ(Files().size(), 1u);
}

TEST_F(CapturesTest, TheOperatorsCapturesStayBoundedAndAFailureIsToldOnce) {
  for (int i = 0; i < 300; ++i) Traffic('x');
  std::vector<std::string> names;
  for (int i = 0; i < 3; ++i) {
    names.push_back(captures.SaveNow());
    loop.Advance(1000);  // a name of its own
  }
  // Each holds 300 records of about 40 bytes: the bound of 4096 keeps only the newest.
  EXPECT_EQ(Files(), std::vector<std::string>{names.back()});
  folder->FailAllWrites();
  EXPECT_THROW(captures.SaveNow(), FileError);
  EXPECT_THROW(captures.SaveNow(), FileError);
  EXPECT_EQ(notices.size(), 1u);
  EXPECT_EQ(Files(), std::vector<std::string>{names.back()});
}

}  // namespace
}  // namespace ol::testing
