#include "serial/pcapng_reader.h"

#include <gtest/gtest.h>

#include "serial/flight_recorder.h"

namespace ol {
namespace {

using Dir = FlightRecorder::Direction;

void Put32(std::string& s, std::size_t at, std::uint32_t v) {
  for (int i = 0; i < 4; ++i) s[at + i] = static_cast<char>(v >> (8 * i));
}
std::uint32_t Get32(const std::string& s, std::size_t at) {
  std::uint32_t v = 0;
  for (int i = 3; i >= 0; --i) v = v << 8 | static_cast<std::uint8_t>(s[at + i]);
  return v;
}

// Each port's set-up rides in its interface's description; a slot without a port keeps
// its interface under a name of its own; a wall clock set between two records (here back
// an hour, while the steady clock went on 65 ms) is told in the later packet's comment.
TEST(PcapngReaderTest, ReadsTheRecordersCapturesBack) {
  const std::vector<FlightRecorder::Record> records = {
      {1'765'300'000'123'456, 1, Dir::Out, std::string("\xAA\x01\x05\x00\xB0", 5), 5'000'000},
      {1'765'300'000'135'000, 1, Dir::In, "\xA5\x01\x05", 5'011'544},
      {1'765'296'400'200'001, 3, Dir::Out, std::string(139, '\x0A'), 5'076'545},
  };
  const PortSetup setup{1, 5, {1, 2, 191}};
  const PcapngFile f = ReadPcapng(
      PortsToPcapng({{"/dev/ttyS0", DescribePortSetup(setup)}, {"", ""}, {"COM3", ""}}, records));
  ASSERT_EQ(f.interfaces.size(), 3u);
  EXPECT_EQ(f.interfaces[0].name, "/dev/ttyS0");
  EXPECT_EQ(f.interfaces[0].description, "station 01, channel 05, handhelds 001 002 191");
  EXPECT_EQ(f.interfaces[1].name, "slot 2 (no port)");
  EXPECT_EQ(f.interfaces[2].linkType, kCaptureLinkType);
  ASSERT_EQ(f.packets.size(), records.size());
  for (std::size_t i = 0; i < records.size(); ++i) {
    EXPECT_EQ(f.packets[i].interface, static_cast<std::size_t>(records[i].port - 1));
    EXPECT_EQ(f.packets[i].micros, records[i].micros);
    EXPECT_EQ(f.packets[i].direction, records[i].direction);
    EXPECT_EQ(f.packets[i].bytes, records[i].bytes);
  }
  EXPECT_EQ(f.packets[1].comment, "");
  EXPECT_EQ(ParseClockStepComment(f.packets[2].comment), -3'600'000'000 + 0);

  const auto back = ParsePortSetup(f.interfaces[0].description);
  ASSERT_TRUE(back);
  EXPECT_EQ(back->station, 1);
  EXPECT_EQ(back->channel, 5);
  EXPECT_EQ(back->handhelds, setup.handhelds);
  for (const char* bad :
       {"", "station 01, channel 00, handhelds 001", "station 1, channel 5",
        "station 100, channel 05, handhelds", "station 01, channel 05, handhelds 1x", "COM3"})
    EXPECT_FALSE(ParsePortSetup(bad)) << bad;
  EXPECT_TRUE(ParsePortSetup("station 07, channel 64, handhelds"));

  // The recorder forgets by the steady clock: the wall clock set an hour either way
  // neither empties it nor keeps old records.
  std::int64_t wall = 1'765'300'000'000'000, steady = 1;
  FlightRecorder recorder(
      FlightRecorder::Limits{10'000'000, std::size_t{1} << 20}, [&] { return wall; },
      [&] { return steady; });
  const std::uint8_t b = 0x04;
  for (const std::int64_t step : {-3'600'000'000LL, 7'200'000'000LL}) {
    wall += step;
    steady += 1000;
    recorder.Add(1, Dir::In, &b, 1);
  }
  EXPECT_EQ(recorder.Since(0).size(), 2u);
  steady += 10'000'500;
  recorder.Add(1, Dir::In, &b, 1);
  EXPECT_EQ(recorder.Since(0).size(), 1u);
}

TEST(PcapngReaderTest, ReadsBigEndianSectionsAndSkipsUnknownBlocks) {
  // Section header, interface in milliseconds named "tty", an unknown block, a packet of
  // 3 bytes written (flags 2) at tick 0x1'00000005, all big endian.
  const std::string be =
      std::string("\x0A\x0D\x0D\x0A\x00\x00\x00\x1C\x1A\x2B\x3C\x4D\x00\x01\x00\x00", 16) +
      std::string(8, '\xFF') + std::string("\x00\x00\x00\x1C", 4) +
      std::string(
          "\x00\x00\x00\x01\x00\x00\x00\x24\x00\x93\x00\x00\x00\x00\x00\x00"
          "\x00\x02\x00\x03tty\x00\x00\x09\x00\x01\x03\x00\x00\x00"
          "\x00\x00\x00\x24",
          36) +
      std::string("\x00\x00\x0B\xAD\x00\x00\x00\x10\xDE\xAD\xBE\xEF\x00\x00\x00\x10", 16) +
      std::string(
          "\x00\x00\x00\x06\x00\x00\x00\x2C\x00\x00\x00\x00\x00\x00\x00\x01"
          "\x00\x00\x00\x05\x00\x00\x00\x03\x00\x00\x00\x03\x04\x01\x05\x00"
          "\x00\x02\x00\x04\x00\x00\x00\x02\x00\x00\x00\x2C",
          44);
  const PcapngFile f = ReadPcapng(be);
  ASSERT_EQ(f.interfaces.size(), 1u);
  EXPECT_EQ(f.interfaces[0].name, "tty");
  EXPECT_EQ(f.interfaces[0].linkType, 147);
  ASSERT_EQ(f.packets.size(), 1u);
  EXPECT_EQ(f.packets[0].micros, ((std::int64_t{1} << 32) + 5) * 1000);
  EXPECT_EQ(f.packets[0].direction, Dir::Out);
  EXPECT_EQ(f.packets[0].bytes, std::string("\x04\x01\x05", 3));
  EXPECT_EQ(f.packets[0].offset, 80u);
}

TEST(PcapngReaderTest, RefusesBrokenFilesNamingTheOffset) {
  // The section header (its length varies with the version it names), the interface "A"
  // after it (40 bytes), then a 3-byte packet.
  const std::string good = ToPcapng({"A"}, {{1000, 1, Dir::In, "abc"}});
  const std::size_t shb = Get32(good, 4);
  ASSERT_EQ(Get32(good, shb + 4), 40u);
  const std::size_t epb = shb + 40, end = good.size();
  auto with = [&](std::size_t at, std::uint32_t v) {
    std::string s = good;
    Put32(s, at, v);
    return s;
  };
  auto offset = [](std::size_t at) { return "offset " + std::to_string(at) + ": "; };
  std::string many = good.substr(0, shb);
  for (int i = 0; i < 257; ++i) many += good.substr(shb, 40);
  const struct {
    std::string file;
    std::string message;
  } cases[] = {
      {"", "offset 0: empty file"},
      {"GIF89a, not a capture", "offset 0: not a pcapng file"},
      {good.substr(0, epb + 10), offset(epb) + "truncated block"},
      {good.substr(0, end - 4), offset(epb) + "block of 48 bytes, only 44 left"},
      {with(epb + 4, 45), offset(epb) + "block length 45 is not a multiple of 4"},
      {with(epb + 4, 0x7FFFFFFC), offset(epb) + "block of 2147483644 bytes"},
      {with(end - 4, 40), offset(end - 4) + "trailing block length 40"},
      {with(8, 0x1A2B3C4E), "offset 8: garbled byte-order magic"},
      {with(epb + 8, 7), offset(epb + 8) + "packet of interface 7, the section has 1"},
      {with(epb + 20, 0xFFFFFFF0), offset(epb + 20) + "packet of 4294967280 bytes runs past"},
      {with(shb + 16, 0x00C80002), offset(shb + 16) + "option of 200 bytes runs past"},
      {with(end - 12, 3), offset(end - 12) + "packet flags name no valid direction"},
      {many, offset(shb + 256 * 40) + "more than 256 interfaces"},
  };
  for (const auto& c : cases) {
    try {
      ReadPcapng(c.file);
      ADD_FAILURE() << "accepted, expected: " << c.message;
    } catch (const PcapngError& e) {
      EXPECT_NE(std::string(e.what()).find(c.message), std::string::npos)
          << e.what() << "\nexpected: " << c.message;
    }
  }
}

}  // namespace
}  // namespace ol
