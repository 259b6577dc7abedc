#include "download/packing.h"

#include <cstdint>
#include <optional>
#include <stdexcept>

#include "core/gbk.h"
#include "core/text_file.h"

namespace ol {
namespace {

constexpr std::int64_t kAmountLimit = std::int64_t{1} << 24;  // three bytes of hundredths

const MenuTable kTables[kMenuTableCount] = {
    {1, "CheckBox1", "菜品表.txt", "菜品表.bin", "不存在\"菜品表.TXT\",不能打包", 128},
    {2, "CheckBox2", "客户要求表.txt", "客户要求表.bin", "不存在\"客户要求表.TXT\",不能打包", 32},
    {3, "CheckBox3", "菜品套餐表.txt", "菜品套餐表.bin", "不存在\"菜品套餐表.txt\",不能打包", 32},
    {4, "CheckBox4", "菜品套餐内容表.txt", "菜品套餐内容表.bin",
     "不存在\"菜品套餐内容表.txt\",不能打包", 32},
    {5, "CheckBox5", "退菜理由表.txt", "退菜理由表.bin", "不存在\"退菜理由表.txt\",不能打包", 32},
    {6, "CheckBox6", "菜品类别表.txt", "菜品类别表.bin", "不存在\"菜品类别表.txt\",不能打包", 32},
};

bool IsBlankByte(char c) {
  return static_cast<unsigned char>(c) <= 0x20;
}

// Removes leading and trailing bytes 0x00..0x20.
std::string_view TrimControls(std::string_view s) {
  std::size_t b = 0, e = s.size();
  while (b < e && IsBlankByte(s[b])) ++b;
  while (e > b && IsBlankByte(s[e - 1])) --e;
  return s.substr(b, e - b);
}

bool IsBlankLine(std::string_view line) {
  return TrimControls(line).empty();
}

// Columns from1 .. from1+width-1 of a line; columns past its end read as spaces.
std::string Columns(std::string_view line, std::size_t from1, std::size_t width) {
  std::string out;
  if (from1 - 1 < line.size()) out = std::string(line.substr(from1 - 1, width));
  out.resize(width, ' ');
  return out;
}

std::string PadTo(std::string s, std::size_t size) {
  if (s.size() < size) s.resize(size, ' ');
  return s;
}

void AppendAmount24(std::string& out, std::int64_t hundredths) {
  out.push_back(static_cast<char>((hundredths >> 16) & 0xFF));
  out.push_back(static_cast<char>((hundredths >> 8) & 0xFF));
  out.push_back(static_cast<char>(hundredths & 0xFF));
}

std::string LineFailure(std::size_t index, std::string_view line) {
  return std::to_string(index) + "---" + GbkToUtf8(line) + "\r\n请重新打包";
}

// The eight characters of a table-1 amount: leading spaces, an optional sign, digits,
// nothing after the last digit. Only 0 .. 2^24-1 hundredths are representable.
std::optional<std::int64_t> ParseWholeHundredths(std::string_view text) {
  std::size_t i = 0;
  while (i < text.size() && text[i] == ' ') ++i;
  bool negative = false;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
  if (i == text.size()) return std::nullopt;
  std::int64_t value = 0;
  for (; i < text.size(); ++i) {
    if (text[i] < '0' || text[i] > '9') return std::nullopt;
    value = value * 10 + (text[i] - '0');
    if (value >= kAmountLimit) return std::nullopt;
  }
  if (negative && value != 0) return std::nullopt;
  return value;
}

// A decimal number with a period ("12.34", "-0", ".5", "3."), times 100, rounded to the
// nearest integer with halves to the even neighbour. Exact: no binary floating point.
std::optional<std::int64_t> ParseDecimalHundredths(std::string_view text) {
  std::size_t i = 0;
  bool negative = false;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
  std::int64_t whole = 0;
  int digits = 0;
  for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i, ++digits) {
    whole = whole * 10 + (text[i] - '0');
    if (whole >= kAmountLimit) return std::nullopt;
  }
  std::string fraction;
  if (i < text.size() && text[i] == '.') {
    for (++i; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i, ++digits)
      fraction.push_back(text[i]);
  }
  if (i != text.size() || digits == 0) return std::nullopt;
  fraction.resize(std::max<std::size_t>(fraction.size(), 2), '0');
  std::int64_t value = whole * 100 + (fraction[0] - '0') * 10 + (fraction[1] - '0');
  std::string_view rest = std::string_view(fraction).substr(2);
  if (!rest.empty()) {
    bool aboveHalf = false, exactlyHalf = false;
    if (rest[0] > '5') {
      aboveHalf = true;
    } else if (rest[0] == '5') {
      exactlyHalf = rest.find_first_not_of('0', 1) == std::string_view::npos;
      aboveHalf = !exactlyHalf;
    }
    if (aboveHalf || (exactlyHalf && value % 2 == 1)) ++value;
  }
  if (negative && value != 0) return std::nullopt;
  if (negative && rest.find_first_not_of('0') != std::string_view::npos) return std::nullopt;
  if (value >= kAmountLimit) return std::nullopt;
  return value;
}

bool IsDigit(char c) {
  return c >= '0' && c <= '9';
}

PackResult PackDishes(const std::vector<std::string>& lines) {
  PackResult result;
  for (std::size_t i = 0; i < lines.size(); ++i) {
    const std::string& line = lines[i];
    if (line.empty()) break;
    std::string code = Columns(line, 1, 7);
    bool digitsOk = true;
    for (char c : code) digitsOk = digitsOk && IsDigit(c);
    auto amount = ParseWholeHundredths(Columns(line, 28, 6) + Columns(line, 35, 2));
    if (!digitsOk || !amount) {
      result.image.clear();
      result.error = LineFailure(i, line);
      return result;
    }
    auto d = [&](int k) { return code[static_cast<std::size_t>(k - 1)] - '0'; };
    std::string record;
    record.reserve(128);
    record.push_back('Z');
    record.push_back(static_cast<char>(d(6) * 16 + d(7)));
    record.push_back(static_cast<char>(d(1) * 16 + d(2)));
    record.push_back(static_cast<char>(d(3) * 16 + d(4)));
    record.push_back(static_cast<char>(d(5) * 16));
    record += Columns(line, 8, 20);
    AppendAmount24(record, *amount);
    record += Columns(line, 37, 4);
    record += Columns(line, 41, 4);
    record += Columns(line, 45, 1);
    record += TrimControls(Columns(line, 46, 45));
    record = PadTo(std::move(record), 82);
    std::string letters = Columns(line, 91, 10);
    record += letters;
    record += KeypadDigits(letters);
    record = PadTo(std::move(record), 128);
    result.image += record;
  }
  result.ok = true;
  return result;
}

PackResult PackFreeText(const std::vector<std::string>& lines, std::size_t limit) {
  PackResult result;
  for (std::size_t i = 0; i < lines.size() && i < limit; ++i)
    if (!IsBlankLine(lines[i])) result.image += PadTo(lines[i], 32);
  result.ok = true;
  return result;
}

PackResult PackSetMeals(const std::vector<std::string>& lines) {
  PackResult result;
  for (std::size_t i = 0; i < lines.size() && i < 100; ++i) {
    if (IsBlankLine(lines[i])) continue;
    result.image += Columns(lines[i], 1, 2);
    result.image += Columns(lines[i], 3, 20);
    result.image.append(10, '\xFF');
  }
  result.ok = true;
  return result;
}

PackResult PackSetMealContents(const std::vector<std::string>& lines) {
  PackResult result;
  for (std::size_t i = 0; i < lines.size(); ++i) {
    const std::string& line = lines[i];
    if (IsBlankLine(line)) continue;
    std::string amountText = line.size() > 16 ? line.substr(16, 9) : std::string();
    auto amount = ParseDecimalHundredths(TrimControls(amountText));
    if (!amount) {
      result.image.clear();
      result.error = LineFailure(i, line);
      return result;
    }
    std::string record = Columns(line, 1, 16);
    record.append(6, '\0');
    AppendAmount24(record, *amount);
    if (line.size() > 25) record += line.substr(25);
    result.image += PadTo(std::move(record), 32);
    if (i + 1 >= 1000) break;
  }
  result.ok = true;
  return result;
}

}  // namespace

const MenuTable& MenuTableInfo(int number) {
  if (number < 1 || number > kMenuTableCount) throw std::out_of_range("no menu table");
  return kTables[number - 1];
}

std::string KeypadDigits(std::string_view code) {
  static constexpr char kKeys[] = "22233344455566677778889999";
  std::string out;
  out.reserve(code.size());
  for (std::size_t i = 0; i < code.size(); ++i) {
    auto c = static_cast<unsigned char>(code[i]);
    if (c >= 0x81 && c <= 0xFE && i + 1 < code.size()) {
      out.push_back(code[i]);
      out.push_back(code[++i]);
      continue;
    }
    if (c >= 'a' && c <= 'z') c = static_cast<unsigned char>(c - 'a' + 'A');
    out.push_back(c >= 'A' && c <= 'Z' ? kKeys[c - 'A'] : static_cast<char>(c));
  }
  return out;
}

PackResult PackLines(int number, const std::vector<std::string>& lines) {
  switch (number) {
    case 1:
      return PackDishes(lines);
    case 2:
      return PackFreeText(lines, 1000);
    case 3:
      return PackSetMeals(lines);
    case 4:
      return PackSetMealContents(lines);
    case 5:
    case 6:
      return PackFreeText(lines, 100);
    default:
      return PackResult{false, {}, "没有编号为" + std::to_string(number) + "的表"};
  }
}

PackResult PackTable(const TxtFolder& txt, int number) {
  const MenuTable& table = MenuTableInfo(number);
  auto lines = txt.ReadLines(table.textFile);
  if (!lines) {
    PackResult missing;
    missing.error = number == 2 ? "不存在\"客户要求表.txt\",不能打包" : table.missingText;
    return missing;
  }
  PackResult result = PackLines(number, *lines);
  if (!result.ok) return result;
  try {
    txt.Write(table.packedFile, result.image);
  } catch (const FileError& e) {
    return PackResult{
        false, {}, std::string("写入\"") + table.packedFile + "\"失败,不能打包\r\n" + e.what()};
  }
  return result;
}

}  // namespace ol
