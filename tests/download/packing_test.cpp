#include "download/packing.h"

#include <gtest/gtest.h>

#include <filesystem>

#include "core/gbk.h"
#include "core/text_file.h"
#include "testing/temp_dir.h"

namespace ol {
namespace {

using testing::ReadBytes;
using testing::TempDir;
using testing::WriteBytes;

std::string Gbk(std::string_view utf8) {
  return Utf8ToGbk(utf8);
}

// A dish line laid out in its fixed columns.
std::string DishLine(std::string code, std::string name, std::string amount,
                     std::string letters = "HSR", std::string note = "") {
  auto field = [](std::string s, std::size_t w) {
    s.resize(w, ' ');
    return s;
  };
  return field(code, 7) + field(name, 20) + field(amount, 9) + field(Gbk("份"), 4) + field("1", 4) +
         "0" + field(note, 45) + field(letters, 10);
}

unsigned Byte(const std::string& s, std::size_t i) {
  return static_cast<unsigned char>(s.at(i));
}

TEST(DishPacking, RecordLayout) {
  std::string name = Gbk("红烧肉");
  std::string line = DishLine("1234567", name, "    12.50", "abc1 Z", Gbk("  招牌 菜  "));
  ASSERT_EQ(line.size(), 100u);
  PackResult r = PackLines(1, {line});
  ASSERT_TRUE(r.ok) << r.error;
  const std::string& rec = r.image;
  ASSERT_EQ(rec.size(), 128u);
  EXPECT_EQ(Byte(rec, 0), 0x5Au);
  EXPECT_EQ(Byte(rec, 1), 0x67u);  // d6 d7
  EXPECT_EQ(Byte(rec, 2), 0x12u);  // d1 d2
  EXPECT_EQ(Byte(rec, 3), 0x34u);  // d3 d4
  EXPECT_EQ(Byte(rec, 4), 0x50u);  // d5, low half zero
  EXPECT_EQ(rec.substr(5, 20), line.substr(7, 20));
  EXPECT_EQ(Byte(rec, 25), 0x00u);  // 1250 hundredths
  EXPECT_EQ(Byte(rec, 26), 0x04u);
  EXPECT_EQ(Byte(rec, 27), 0xE2u);
  EXPECT_EQ(rec.substr(28, 9), line.substr(36, 9));
  std::string note = Gbk("招牌 菜");
  EXPECT_EQ(rec.substr(37, note.size()), note);
  EXPECT_EQ(rec.substr(37 + note.size(), 82 - 37 - note.size()),
            std::string(82 - 37 - note.size(), ' '));
  EXPECT_EQ(rec.substr(82, 10), "abc1 Z    ");
  EXPECT_EQ(rec.substr(92, 10), "2221 9    ");
  EXPECT_EQ(rec.substr(102), std::string(26, ' '));
}

TEST(DishPacking, BlankDescriptionAndShortLines) {
  PackResult r = PackLines(1, {DishLine("0000001", "x", "     0.00")});
  ASSERT_TRUE(r.ok);
  EXPECT_EQ(r.image.substr(37, 45), std::string(45, ' '));
  // A line that ends after the amount reads the missing columns as spaces.
  PackResult shortLine = PackLines(1, {DishLine("0000001", "x", "     1.00").substr(0, 36)});
  ASSERT_TRUE(shortLine.ok);
  ASSERT_EQ(shortLine.image.size(), 128u);
  EXPECT_EQ(shortLine.image.substr(28), std::string(100, ' '));
}

TEST(DishPacking, ReadingStopsAtTheFirstEmptyLine) {
  std::string a = DishLine("1000001", "a", "     1.00");
  PackResult r = PackLines(1, {a, "", a, "garbage"});
  ASSERT_TRUE(r.ok);
  EXPECT_EQ(r.image.size(), 128u);
}

TEST(DishPacking, LargestAmountAndRefusedAmounts) {
  PackResult max = PackLines(1, {DishLine("1000001", "a", "167772.15")});
  ASSERT_TRUE(max.ok);
  EXPECT_EQ(max.image.substr(25, 3), "\xFF\xFF\xFF");

  std::string good = DishLine("1000001", "a", "     1.00");
  for (std::string amount : {"167772.16", "    -1.00", "      .  ", "   12.5  ", "  1 2.00"}) {
    std::string bad = DishLine("1000002", "b", amount);
    PackResult r = PackLines(1, {good, good, good, bad});
    EXPECT_FALSE(r.ok) << amount;
    EXPECT_TRUE(r.image.empty());
    EXPECT_EQ(r.error, "3---" + GbkToUtf8(bad) + "\r\n请重新打包") << amount;
  }
  EXPECT_FALSE(PackLines(1, {DishLine("12a4567", "a", "     1.00")}).ok);
  EXPECT_FALSE(PackLines(1, {"   "}).ok);  // spaces only: not empty, and not digits
}

TEST(Keypad, Transcription) {
  EXPECT_EQ(KeypadDigits("HSR       "), "477       ");
  EXPECT_EQ(KeypadDigits("abcdefghijklmnopqrstuvwxyz"), "22233344455566677778889999");
  EXPECT_EQ(KeypadDigits("a-1."), "2-1.");
  // Both bytes of a GBK character stay, even when the second looks like a letter.
  std::string mixed = std::string("\x81\x41", 2) + "b";
  EXPECT_EQ(KeypadDigits(mixed), std::string("\x81\x41", 2) + "2");
  EXPECT_EQ(KeypadDigits("ab"), "22");  // shorter codes yield nothing beyond their end
}

TEST(FreeTextPacking, PaddingLongLinesAndLimits) {
  std::string forty(40, 'x');
  PackResult r = PackLines(6, {Gbk("凉菜"), forty, "  ", "y"});
  ASSERT_TRUE(r.ok);
  ASSERT_EQ(r.image.size(), 32u + 40u + 32u);
  EXPECT_EQ(r.image.substr(0, 32), Gbk("凉菜") + std::string(28, ' '));
  EXPECT_EQ(r.image.substr(32, 40), forty);
  EXPECT_EQ(r.image.substr(72, 1), "y");

  std::vector<std::string> lines;
  for (int i = 1; i <= 150; ++i) lines.push_back("L" + std::to_string(i));
  lines[9] = "\t ";  // blank lines count towards the limit
  for (int table : {3, 5}) {
    PackResult limited = PackLines(table, lines);
    ASSERT_TRUE(limited.ok);
    EXPECT_EQ(limited.image.size(), 99u * 32u) << table;
    EXPECT_EQ(limited.image.substr(98 * 32, 4), "L100") << table;
  }
  lines.resize(1200, "z");
  EXPECT_EQ(PackLines(2, lines).image.size(), 999u * 32u);
}

TEST(SetMealPacking, RecordLayout) {
  std::string line = "01" + Gbk("商务套餐A") + std::string(11, ' ') + "ignored";
  PackResult r = PackLines(3, {line, "0"});
  ASSERT_TRUE(r.ok);
  ASSERT_EQ(r.image.size(), 64u);
  EXPECT_EQ(r.image.substr(0, 22), line.substr(0, 22));
  EXPECT_EQ(r.image.substr(22, 10), std::string(10, '\xFF'));
  EXPECT_EQ(r.image.substr(32, 22), "0" + std::string(21, ' '));
}

std::string ContentLine(std::string amount, std::string rest = "") {
  std::string head = "011010001" + std::string(7, ' ');
  amount.resize(9, ' ');
  return head + amount + rest;
}

TEST(SetMealContentPacking, AmountsRoundHalfToEven) {
  struct Case {
    const char* text;
    unsigned value;
  } cases[] = {
      {"  12.34", 1234}, {"0.125", 12}, {"0.135", 14}, {"0.1251", 13}, {"7", 700},
      {".5", 50},        {"3.", 300},   {"-0.00", 0},  {"+1.5", 150},  {"167772.15", 16777215}};
  for (const Case& c : cases) {
    PackResult r = PackLines(4, {ContentLine(c.text, Gbk("份"))});
    ASSERT_TRUE(r.ok) << c.text << r.error;
    ASSERT_EQ(r.image.size(), 32u);
    EXPECT_EQ(r.image.substr(0, 16), ContentLine("").substr(0, 16));
    EXPECT_EQ(r.image.substr(16, 6), std::string(6, '\0'));
    unsigned v = Byte(r.image, 22) << 16 | Byte(r.image, 23) << 8 | Byte(r.image, 24);
    EXPECT_EQ(v, c.value) << c.text;
    EXPECT_EQ(r.image.substr(25, 2), Gbk("份"));
    EXPECT_EQ(r.image.substr(27), std::string(5, ' '));
  }
}

TEST(SetMealContentPacking, ConversionFailuresNameTheLine) {
  for (std::string amount : {"", "abc", "1.2.3", "-1", "167772.16", "1e3", "- 1"}) {
    std::string bad = ContentLine(amount);
    PackResult r = PackLines(4, {ContentLine("1"), "", bad});
    EXPECT_FALSE(r.ok) << amount;
    EXPECT_EQ(r.error, "2---" + GbkToUtf8(bad) + "\r\n请重新打包") << amount;
  }
}

TEST(SetMealContentPacking, StopsAfterTheFirstRecordFromLineOneThousandOn) {
  std::vector<std::string> lines(998, ContentLine("1"));
  lines.push_back(" ");               // line 999
  lines.push_back("");                // line 1000, blank: no record, no stop
  lines.push_back(ContentLine("2"));  // line 1001 gives the last record
  lines.push_back(ContentLine("3"));
  PackResult r = PackLines(4, lines);
  ASSERT_TRUE(r.ok);
  ASSERT_EQ(r.image.size(), 999u * 32u);
  EXPECT_EQ(Byte(r.image, 998 * 32 + 24), 200u);
}

TEST(PackTable, WritesThePackedFileAndNothingOnFailure) {
  TempDir dir;
  TxtFolder txt(dir.Path());
  WriteBytes(dir.Path() / Utf8Path("菜品类别表.TXT"), "");  // case-insensitive name
  PackResult empty = PackTable(txt, 6);
  ASSERT_TRUE(empty.ok);
  ASSERT_TRUE(std::filesystem::exists(dir.Path() / Utf8Path("菜品类别表.bin")));
  EXPECT_EQ(ReadBytes(dir.Path() / Utf8Path("菜品类别表.bin")), "");

  WriteBytes(dir.Path() / Utf8Path("菜品套餐内容表.txt"), JoinCrLf({ContentLine("1")}));
  ASSERT_TRUE(PackTable(txt, 4).ok);
  std::string before = ReadBytes(dir.Path() / Utf8Path("菜品套餐内容表.bin"));
  EXPECT_EQ(before.size(), 32u);
  WriteBytes(dir.Path() / Utf8Path("菜品套餐内容表.txt"), JoinCrLf({ContentLine("x")}));
  EXPECT_FALSE(PackTable(txt, 4).ok);
  EXPECT_EQ(ReadBytes(dir.Path() / Utf8Path("菜品套餐内容表.bin")), before);

  int files = 0;
  for (auto& e : std::filesystem::directory_iterator(dir.Path())) {
    (void)e;
    ++files;
  }
  EXPECT_EQ(files, 4);  // no temporary file left behind

  PackResult missing = PackTable(txt, 2);
  EXPECT_FALSE(missing.ok);
  EXPECT_EQ(missing.error, "不存在\"客户要求表.txt\",不能打包");
  EXPECT_FALSE(std::filesystem::exists(dir.Path() / Utf8Path("客户要求表.bin")));
}

}  // namespace
}  // namespace ol
