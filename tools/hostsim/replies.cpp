#include "hostsim/replies.h"

#include <vector>

#include "core/gbk.h"
#include "core/text_file.h"

namespace ol::hostsim {

const std::array<const char*, kKinds> kReplyNames = {
    "DL",   "XGMM", "KT",   "HT",   "BT",   "CT",   "XGTT", "DC",   "TC",   "ZZCC", "CPCC",
    "ZDCX", "KXHZ", "LBKX", "THKX", "YDHZ", "THYD", "ZLQR", "KHKH", "PYKH", "DYJZ", "GT",
    "CLCC", "ZKMD", "JC",   "DYDC", "GQ",   "LSC",  "XGJQ", "XJJZ", "QCJE", "KHYQ"};

const std::array<const char*, kKinds> kHeaderNames = {
    "DL",   "XGMM", "KT",   "HT",   "BT",   "CT",   "XGTT", "DC", "TC",   "ZZCC", "CPCC",
    "ZDCX", "KXHZ", "LBKX", "THKX", "YDHZ", "THYD", "ZLQR", "",   "",     "DYJZ", "GT",
    "CLCC", "",     "JC",   "DYDC", "GQ",   "LSC",  "XGJQ", "",   "YDKT", "KHYQ"};

namespace {

// Default answers, by index; short confirmations a cashier's program would give.
const std::array<const char*, kKinds> kDefaultTexts = {
    "登录成功",     "密码修改成功", "开台成功",     "换台成功",     "并台成功",     "查台成功",
    "台头修改成功", "下单成功",     "退菜成功",     "整桌催菜成功", "催菜成功",     "账单查询成功",
    "空闲汇总成功", "空闲查询成功", "台号查询成功", "预订汇总成功", "预订查询成功", "确认成功",
    "卡号查询成功", "客户查询成功", "结账单已打印", "改台成功",     "催菜成功",     "查询成功",
    "加菜成功",     "点菜单已打印", "沽清查询成功", "操作成功",     "修改成功",     "结账成功",
    "金额查询成功", "要求已记录"};

std::string Unescape(std::string_view text, int lineNo) {
  std::string out;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '\\') {
      out.push_back(text[i]);
      continue;
    }
    if (i + 1 < text.size() && text[i + 1] == 'n') {
      out.push_back('\n');
    } else if (i + 1 < text.size() && text[i + 1] == '\\') {
      out.push_back('\\');
    } else {
      throw ReplyFileError("line " + std::to_string(lineNo) +
                           ": only \\n and \\\\ may follow a backslash");
    }
    ++i;
  }
  return out;
}

}  // namespace

int ReplyIndex(std::string_view name) {
  for (int i = 0; i < kKinds; ++i)
    if (name == kReplyNames[i]) return i;
  return -1;
}

ReplyTable::ReplyTable() {
  for (int i = 0; i < kKinds; ++i) replies_[kReplyNames[i]] = ReplyChoice{false, kDefaultTexts[i]};
}

void ReplyTable::Load(std::string_view fileUtf8) {
  // Notepad on Windows 7 saves UTF-8 with a byte-order mark; it is no part of the first name.
  if (fileUtf8.starts_with("\xEF\xBB\xBF")) fileUtf8.remove_prefix(3);
  auto replies = replies_;
  int lineNo = 0;
  for (const std::string& line : SplitLines(fileUtf8)) {
    ++lineNo;
    if (Trim(line).empty() || line[0] == '#') continue;
    auto tab = line.find('\t');
    std::string name = Trim(std::string_view(line).substr(0, tab));
    if (ReplyIndex(name) < 0)
      throw ReplyFileError("line " + std::to_string(lineNo) + ": unknown reply name '" + name +
                           "'");
    if (tab == std::string::npos) {
      replies[name] = ReplyChoice{true, {}};
      continue;
    }
    std::string text = Unescape(std::string_view(line).substr(tab + 1), lineNo);
    if (GbkToUtf8(Utf8ToGbk(text)) != text)
      throw ReplyFileError("line " + std::to_string(lineNo) +
                           ": the text is not UTF-8 that GBK can hold");
    replies[name] = ReplyChoice{false, std::move(text)};
  }
  replies_ = std::move(replies);
}

ReplyChoice ReplyTable::For(std::string_view replyName) const {
  if (allSilent_) return ReplyChoice{true, {}};
  auto it = replies_.find(replyName);
  if (it == replies_.end()) return ReplyChoice{true, {}};
  return it->second;
}

std::string BuildReplyFile(std::string_view replyName, std::string_view textUtf8) {
  std::string first(replyName);
  if (first.size() < 4) first.resize(4, ' ');
  std::vector<std::string> lines{first};
  for (const std::string& line : SplitLines(textUtf8)) lines.push_back(Utf8ToGbk(line));
  return JoinCrLf(lines);
}

}  // namespace ol::hostsim
