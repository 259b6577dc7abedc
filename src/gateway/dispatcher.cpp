#include "gateway/dispatcher.h"

#include <array>
#include <utility>

#include "core/gbk.h"
#include "core/text_file.h"
#include "gateway/activity_log.h"
#include "gateway/hex.h"
#include "gateway/host_window.h"
#include "gateway/reply_relay.h"

namespace ol {
namespace {

using Range = std::pair<int, int>;  // 1-based first and last position; last 0: to the end

const std::array<RequestKind, kRequestKinds>& Kinds() {
  static const std::array<RequestKind, kRequestKinds> kinds = {{
      {"DL   ", "DL", 0, {{1, 10}, {11, 14}, {15, 22}}},
      {"XGMM ", "XGMM", 0, {{1, 8}, {9, 16}}},
      {"KT   ", "KT", 0, {{1, 4}, {5, 6}, {7, 0}}},
      {"HT   ", "HT", 0, {{1, 7}, {8, 14}}},
      {"BT   ", "BT", 0, {{1, 7}, {8, 14}}},
      {"CT   ", "CT", 7, {}},
      {"XGTT ", "XGTT", 0, {{1, 7}, {8, 9}, {10, 14}}},
      {"DC   ", "DC", 0, {}},
      {"TC   ", "TC", 0, {{1, 7}, {8, 17}, {18, 21}, {22, 25}, {26, 35}}},
      {"ZZCC ", "ZZCC", 7, {}},
      {"CPCC ", "CPCC", 0, {{1, 7}, {8, 12}}},
      {"ZDCX ", "ZDCX", 7, {}},
      {"KXHZ ", "KXHZ", 0, {}},
      {"LBKX ", "LBKX", 2, {}},
      {"THKX ", "THKX", 7, {}},
      {"YDHZ ", "YDHZ", 0, {}},
      {"THYD ", "THYD", 4, {}},
      {"ZLQR ", "ZLQR", 0, {{1, 7}, {8, 12}, {13, 22}, {23, 30}}},
      {"", "KHKH", 0, {}},
      {"", "PYKH", 0, {}},
      {"DYJZ ", "DYJZ", 7, {}},
      {"GT   ", "GT", 0, {{1, 7}, {8, 12}}},
      {"CLCC ", "CLCC", 0, {{1, 7}, {8, 15}}},
      {"", "ZKMD", 0, {}},
      {"JC   ",
       "JC",
       0,
       {{1, 7}, {8, 12}, {13, 16}, {17, 30}, {31, 34}, {35, 38}, {39, 39}, {40, 51}}},
      {"DYDC ", "DYDC", 7, {}},
      {"GQ   ", "GQ", 0, {}},
      {"LSC  ",
       "LSC",
       0,
       {{1, 7}, {8, 12}, {13, 16}, {17, 30}, {31, 34}, {35, 38}, {39, 39}, {40, 51}}},
      {"XGJQ ", "XGJQ", 21, {}},
      {"", "XJJZ", 0, {}},
      {"YDKT ", "QCJE", 0, {{1, 4}, {5, 6}, {7, 11}}},
      {"KHYQ ", "KHYQ", 0, {{1, 12}, {13, 24}}},
  }};
  return kinds;
}

std::string Field(const std::string& payload, Range r) {
  std::size_t count =
      r.second == 0 ? std::string::npos : static_cast<std::size_t>(r.second - r.first + 1);
  return std::string(Mid(payload, static_cast<std::size_t>(r.first), count));
}

std::string Join(const std::vector<std::string>& fields) {
  std::string line;
  for (std::size_t i = 0; i < fields.size(); ++i) {
    if (i) line += ' ';
    line += fields[i];
  }
  return line;
}

std::vector<std::string> OrderRecord(const std::string& payload, const std::string& stamp) {
  const std::string t = Field(payload, {1, 7});
  const std::string x = Field(payload, {8, 11});
  const std::string y = Field(payload, {12, 23});
  const int n = payload.size() >= 24 ? static_cast<unsigned char>(payload[23]) : 0;
  const std::string items = payload.size() > 24 ? payload.substr(24) : std::string();
  const std::string time = std::string(Mid(stamp, 5, 2)) + ":" + std::string(Mid(stamp, 3, 2)) +
                           ":" + std::string(Mid(stamp, 1, 2));
  std::vector<std::string> lines{Join({t, std::string(10, ' '), y, std::string(4, ' '), time})};
  for (int i = 0; i < n; ++i) {
    const std::string item(Mid(items, static_cast<std::size_t>(28 * i) + 1, 28));
    std::string quantity = Trim(Field(item, {6, 9}));
    if (quantity.size() < 4) quantity.resize(4, ' ');
    std::string mark;
    if (item.size() >= 28) {
      switch (item[27]) {
        case ' ':
          mark = "0";
          break;
        case '!':
          mark = "1";
          break;
        case 'V':
          mark = "2";
          break;
        default:
          break;
      }
    }
    lines.push_back(Join({t, Field(item, {1, 5}), quantity, Field(item, {14, 25}),
                          Field(item, {26, 27}), mark, time, Field(item, {10, 13}), x}));
  }
  return lines;
}

}  // namespace

const RequestKind& RequestKindAt(int index) {
  return Kinds().at(static_cast<std::size_t>(index));
}

const char* RequestHeaderName(int index) {
  return index >= 0 && index < kRequestKinds ? Kinds()[index].header : "";
}

const char* ReplyName(int index) {
  return index >= 0 && index < kRequestKinds ? Kinds()[index].reply : "";
}

std::string PadField(const std::string& text, int width) {
  std::string out = text;
  if (static_cast<int>(out.size()) <= width) out.resize(static_cast<std::size_t>(width) + 1, ' ');
  return out;
}

std::vector<std::string> RequestRecordLines(int index, const std::string& payload,
                                            const std::string& stamp) {
  if (index < 0 || index >= kRequestKinds) return {};
  const RequestKind& kind = Kinds()[index];
  if (index == kOrderKind) return OrderRecord(payload, stamp);
  if (kind.padWidth > 0) return {PadField(payload, kind.padWidth)};
  if (kind.ranges.empty()) return {};
  std::vector<std::string> fields;
  for (Range r : kind.ranges) fields.push_back(Field(payload, r));
  return {Join(fields)};
}

Dispatcher::Dispatcher(GatewayEnv& env, GatewayPeers& peers)
    : env_(env), peers_(peers), retry_(env.loop) {}

bool Dispatcher::IsRegistered(const std::string& station, const std::string& handheld) const {
  const std::string line = station + " " + handheld;
  for (const auto& l : env_.form["ListBox2"].Lines())
    if (l == line) return true;
  return false;
}

void Dispatcher::ShowTrafficBox(const std::string& text) {
  if (boxOpen_) {
    LogLine(env_.form, text);
    return;
  }
  boxOpen_ = true;
  env_.boxes.Show(text);
  boxOpen_ = false;
}

void Dispatcher::DispatchRequest(int index, const std::string& station, const std::string& handheld,
                                 const std::string& payload, const std::string& stamp) {
  Control& requestLines = env_.form["Memo3"];
  requestLines.ClearLines();
  const std::string h = ZeroPad(std::stol(handheld), 3);
  const std::string s = ZeroPad(std::stol(station), 2);
  retry_.Cancel();
  request_ = {peers_.exchange->Current(), index, std::stoi(station), std::stoi(handheld), s, h, {}};
  if (!IsRegistered(s, h)) {
    Tell(Traffic::Unregistered);
    ShowTrafficBox(h + "手持没有在" + s + "基站中注册，请注册后重新登录");
    return;
  }
  if (index < 0 || index >= kRequestKinds) {
    LogLine(env_.form, "操作码不存在!!!");
    Tell(Traffic::UnknownCode);
    return;
  }
  std::vector<std::string> lines;
  if (*RequestHeaderName(index)) lines.push_back(RequestHeaderName(index) + h);
  for (auto& l : RequestRecordLines(index, payload, stamp)) lines.push_back(std::move(l));
  // A line break inside a field would split the record into lines of other meanings for
  // the host; a blank keeps every column where it was.
  for (auto& l : lines)
    for (char& c : l)
      if (c == '\r' || c == '\n') c = ' ';
  requestLines.SetLines(lines);
  request_.lines = std::move(lines);
  tries_ = 0;
  WriteRequest();
}

void Dispatcher::Tell(Traffic kind, std::string detail) {
  TrafficEvent e(kind, 0, request_.station, request_.handheld);
  e.code = request_.index;
  e.detail = std::move(detail);
  Report(peers_, std::move(e));
}

void Dispatcher::WriteRequest() {
  const std::string& s = request_.stationText;
  const std::string& h = request_.handheldText;
  try {
    if (!env_.txt.TryWriteLines("T1.txt", request_.lines)) {
      // Another program (the host reading it, a scanner) holds T1.txt: try again on the
      // event loop, as long as the exchange waits and within about a second, so the window
      // and every station go on meanwhile. Its handheld is owed an answer already.
      const auto& pauses = SystemRenameRetry().pauses;
      if (tries_ == 0) peers_.relay->SetReplyPending(false);
      if (tries_ < pauses.size() && peers_.exchange->IsOpen(request_.exchange)) {
        if (tries_ == 0) LogLine(env_.form, "T1.TXT被其他程序占用，稍后重试");
        retry_.Start(pauses[tries_++].count(), [this] { WriteRequest(); });
        return;
      }
      Millis waited = 0;
      for (std::size_t i = 0; i < tries_; ++i) waited += pauses[i].count();
      throw FileError("cannot replace T1.txt: another program still held it after " +
                      std::to_string(waited) + " ms");
    }
    LogLine(env_.form, "T1.TXT已经成功写入！！！");
    // The exchange may have moved on while T1.txt was held: its handheld was told already.
    if (tries_ > 0 && !peers_.exchange->IsOpen(request_.exchange)) {
      LogLine(env_.form, "T1.TXT写入时交换已结束，主机未通知");
      Tell(Traffic::RequestLost, "交换已结束");
      return;
    }
    peers_.relay->SetReplyPending(true);
  } catch (const FileError& e) {
    // The host is not told, so no reply of its can be this request's; the exchange timer
    // later gives the handheld its no-reply text.
    if (peers_.exchange->IsCurrent(request_.exchange)) peers_.relay->SetReplyPending(false);
    Tell(Traffic::RequestLost, e.what());
    ShowTrafficBox(h + "号手持（" + s +
                   "基站）的请求无法写入T1.txt，未送到主机，已丢失。手持将显示无回复，" +
                   "请检查TXT文件夹的磁盘空间和写入权限，然后让手持重新发送。\n原因：" + e.what());
    return;
  }
  std::string logFault;
  try {
    // The activity log is GBK on disk like every other file.
    std::vector<std::string> log{
        Utf8ToGbk("************************T1.TXT内容**********************************")};
    log.insert(log.end(), request_.lines.begin(), request_.lines.end());
    peers_.activity->Append(log);
  } catch (const FileError& e) {
    logFault = h + "号手持（" + s + "基站）的请求已送到主机，但无法记入logfile.txt。" +
               "请检查TXT文件夹的磁盘空间和写入权限。\n原因：" + e.what();
  }
  // The request is in T1.txt: a log that cannot be written must not keep it from the
  // host, not even while its box waits for the operator (the exchange is still open now,
  // however long the box then stays).
  if (WindowHandle host = peers_.hostWindow->Handle(); host != 0) {
    env_.host.Post(host, kHostMessage, 1, 1);
    LogLine(env_.form, "消息已经成功发出！！！");
    Tell(Traffic::HandedToHost);
  } else {
    Tell(Traffic::HandedToHost, "主机未连接，未通知");
  }
  if (!logFault.empty()) ShowTrafficBox(logFault);
}

}  // namespace ol
