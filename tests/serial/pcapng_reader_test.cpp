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

TEST(PcapngReaderTest, ReadsTheRecordersCapturesBack) {
  const std::vector<FlightRecorder::Record> records = {
      {1'765'300'000'123'456, 1, Dir::Out, std::string("\xAA\x01\x05\x00\xB0", 5)},
      {1'765'300'000'135'000, 1, Dir::In, "\xA5\x01\x05"},
      {1'765'300'000'200'001, 3, Dir::Out, std::string(139, '\x0A')},
  };
  const PcapngFile f = ReadPcapng(ToPcapng({"/dev/ttyS0", "", "COM3"}, records));
  ASSERT_EQ(f.interfaces.size(), 3u);
  EXPECT_EQ(f.interfaces[0].name, "/dev/ttyS0");
  EXPECT_EQ(f.interfaces[1].name, "");
  EXPECT_EQ(f.interfaces[2].linkType, kCaptureLinkType);
  ASSERT_EQ(f.packets.size(), records.size());
  for (std::size_t i = 0; i < records.size(); ++i) {
    EXPECT_EQ(f.packets[i].interface, static_cast<std::size_t>(records[i].port - 1));
    EXPECT_EQ(f.packets[i].micros, records[i].micros);
    EXPECT_EQ(f.packets[i].direction, records[i].direction);
    EXPECT_EQ(f.packets[i].bytes, records[i].bytes);
  }
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
