#include <gtest/gtest.h>

#include "stations/config_files.h"

namespace ol {
namespace {

TEST(StationLineTest, WrittenLayoutReadsByItsColumns) {
  auto line = ParseStationLine("01 05 COM3");
  ASSERT_TRUE(line);
  EXPECT_EQ(line->stationId, "01");
  EXPECT_EQ(line->channel, "05");
  EXPECT_EQ(line->portName, "COM3");
  EXPECT_EQ(line->text, "01 05 COM3");
  // Blanks around the port name are trimmed; a port name may hold blanks.
  line = ParseStationLine("12 64  /dev/serial/by-id/usb station ");
  ASSERT_TRUE(line);
  EXPECT_EQ(line->portName, "/dev/serial/by-id/usb station");
  EXPECT_EQ(line->text, "12 64  /dev/serial/by-id/usb station ");
  // Blank channel columns: an empty channel.
  line = ParseStationLine("03    COM7");
  ASSERT_TRUE(line);
  EXPECT_EQ(line->channel, "");
  EXPECT_EQ(line->portName, "COM7");
  // Blank channel columns with the fields further on: read by the fields, and the text
  // written back reads the same.
  line = ParseStationLine("1       5 tty");
  ASSERT_TRUE(line);
  EXPECT_EQ(line->channel, "5");
  EXPECT_EQ(line->portName, "tty");
  auto again = ParseStationLine(line->text);
  ASSERT_TRUE(again);
  EXPECT_EQ(again->channel, "5");
  EXPECT_EQ(again->portName, "tty");
  // A one-column ID, blank channel columns and a port name holding a blank: the ID is
  // rewritten in its columns, and the channel stays blank when the line is read back.
  line = ParseStationLine(" 2    0 x");
  ASSERT_TRUE(line);
  EXPECT_EQ(line->text, "02    0 x");
  again = ParseStationLine(line->text);
  ASSERT_TRUE(again);
  EXPECT_EQ(again->channel, "");
  EXPECT_EQ(again->portName, "0 x");
}

TEST(StationLineTest, ChannelOfAnotherLengthDoesNotShiftThePort) {
  auto line = ParseStationLine("01 5 COM3");
  ASSERT_TRUE(line);
  EXPECT_EQ(line->channel, "5");
  EXPECT_EQ(line->portName, "COM3");
  EXPECT_EQ(line->text, "01 5 COM3");
  line = ParseStationLine("02 123 /dev/ttyUSB0");
  ASSERT_TRUE(line);
  EXPECT_EQ(line->channel, "123");
  EXPECT_EQ(line->portName, "/dev/ttyUSB0");
  // An empty channel box is written as two blanks.
  line = ParseStationLine("04  COM4");
  ASSERT_TRUE(line);
  EXPECT_EQ(line->channel, "");
  EXPECT_EQ(line->portName, "COM4");
  // A one-digit ID is kept in the two-digit form the registrations use.
  line = ParseStationLine("7 05 COM3");
  ASSERT_TRUE(line);
  EXPECT_EQ(line->stationId, "07");
  EXPECT_EQ(line->text, "07 05 COM3");
}

TEST(StationLineTest, UnreadableLines) {
  for (const char* bad : {"", "   ", "01", "01 05", "0105 COM3", "xx 05 COM3", "123 05 COM3",
                          "a1 05 COM3", "01 05 ", "-1 05 COM3"})
    EXPECT_FALSE(ParseStationLine(bad)) << '"' << bad << '"';
}

TEST(RegistrationLineTest, OnlyTheWrittenLayoutRegisters) {
  for (const char* good : {"01 007", "99 191", "00 000"}) {
    auto line = ParseRegistrationLine(good);
    ASSERT_TRUE(line) << good;
    EXPECT_EQ(line->stationId + " " + line->handheld, good);
    EXPECT_EQ(line->text, good);
  }
  for (const char* bad : {"2 7", "01 0007", "01 192", "01 007 x", "01 007 ", " 01 007", "01  07",
                          "0a 007", "01 +07", "01\t007", ""})
    EXPECT_FALSE(ParseRegistrationLine(bad)) << '"' << bad << '"';
}

TEST(ConfigFilesTest, WrittenFromTheSlots) {
  std::array<StationConfig, kSlotCount> slots{{
      {"COM5", "", "03", {"001"}},               // port but no ID: in neither file
      {" COM3 ", "1", " 005 ", {"007", "009"}},  // ID "1" is written 01, channel 05
      {"", "04", "07", {"010"}},                 // ID but no port: its handhelds only
      {"COM4", "01", "", {"009", "011"}},        // no channel: written; 01 again: 009 once
  }};
  EXPECT_EQ(BuildStationFile(slots), (std::vector<std::string>{"01 05 COM3", "01  COM4"}));
  EXPECT_EQ(BuildRegistrationFile(slots),
            (std::vector<std::string>{"01 007", "01 009", "04 010", "01 011"}));
  // What is written reads back as the same fields.
  auto back = ParseStationLine(BuildStationFile(slots)[1]);
  ASSERT_TRUE(back);
  EXPECT_EQ(back->stationId, "01");
  EXPECT_EQ(back->channel, "");
  EXPECT_EQ(back->portName, "COM4");
}

TEST(ConfigFilesTest, NumberChecks) {
  const std::pair<const char*, int> channels[] = {
      {"01", 1}, {"64", 64}, {"5", 5}, {"005", 5}, {"+5", 5}, {"+0064", 64},
  };
  for (const auto& [text, number] : channels) EXPECT_EQ(ChannelNumber(text), number) << text;
  for (const char* bad :
       {"", "0", "00", "65", "ab", "1a", " 5", "+", "-5", "++5", "0065", "99999999999999999999"})
    EXPECT_FALSE(ChannelNumber(bad)) << '"' << bad << '"';
  EXPECT_EQ(HandheldDigits("0"), "000");
  EXPECT_FALSE(HandheldDigits("192"));
  EXPECT_EQ(StationIdDigits("9"), "09");
  EXPECT_FALSE(StationIdDigits("100"));
}

}  // namespace
}  // namespace ol
