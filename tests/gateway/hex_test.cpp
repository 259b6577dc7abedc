#include <gtest/gtest.h>

#include "gateway/hex.h"

namespace ol {
namespace {

TEST(Hex, CodecRoundTripAndOddInput) {
  EXPECT_EQ(BytesToHex(std::string("\xAA\x01\x05\x00\xFF", 5)), "AA010500FF");
  EXPECT_EQ(BytesToHex(""), "");
  EXPECT_EQ(HexToBytes("AA0105"), std::string("\xAA\x01\x05", 3));
  EXPECT_EQ(HexToBytes("AA0"), std::string("\xAA", 1));  // odd trailing digit ignored
  EXPECT_EQ(HexToBytes(""), "");
  // A pair with a character that is no hex digit is a zero byte; lower case is read.
  EXPECT_EQ(HexToBytes("G1a5zzF\xFF"
                       "0x"),
            std::string("\x00\xA5\x00\x00\x00", 5));
  EXPECT_EQ(HexToInt("00B0"), 176u);
  EXPECT_EQ(HexToInt("ff"), 255u);
  EXPECT_EQ(HexToInt("G1"), 0u);
}

TEST(Hex, FrameCheckIsSixteenBitSum) {
  // Poll frames: station 1 handheld 5, and station 12 handheld 191.
  EXPECT_EQ(FrameCheck("AA0105"), "00B0");
  EXPECT_EQ(FrameCheck("AA0CBF"), "0175");
  // Acknowledgements "OK" and "NO" for packet 1 of 1.
  EXPECT_EQ(FrameCheck("02010501014F4B"), "00A4");
  EXPECT_EQ(FrameCheck("02010501014E4F"), "00A7");
  // Wraps at 65536: 258 bytes of FF sum to 0x100FE.
  EXPECT_EQ(FrameCheck(std::string(516, 'F')), "00FE");
  EXPECT_EQ(FrameCheck("AA0"), "00AA");
  // G1 and the pair with a byte beyond ASCII count 0.
  EXPECT_EQ(FrameCheck("AAG1ff\x80"
                       "0"),
            "01A9");
}

TEST(Hex, PaddingAndMid) {
  EXPECT_EQ(ZeroPad(5, 2), "05");
  EXPECT_EQ(ZeroPad(100, 2), "100");
  EXPECT_EQ(IntToHex(12), "0C");
  EXPECT_EQ(IntToHex(259, 4), "0103");
  EXPECT_EQ(Mid("ABCDEF", 3, 2), "CD");
  EXPECT_EQ(Mid("ABCDEF", 5, 10), "EF");
  EXPECT_EQ(Mid("ABCDEF", 7, 1), "");
  EXPECT_EQ(Mid("ABCDEF", 0, 1), "");
}

}  // namespace
}  // namespace ol
