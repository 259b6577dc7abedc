#include "monitor/traffic_log.h"

#include "core/text_file.h"
#include "gateway/dispatcher.h"
#include "gateway/hex.h"

namespace ol {
namespace {

std::string Packet(const TrafficEvent& e) {
  return "请求包 " + std::to_string(e.index) + "/" + std::to_string(e.total);
}

std::string Reason(const std::string& detail) {
  return detail.empty() ? std::string() : "：" + detail;
}

}  // namespace

std::string RequestKindText(int index) {
  // Only the kinds whose meaning is beyond doubt get a word; the others keep their code.
  static const char* const kWords[][2] = {
      {"DL", "登录"}, {"XGMM", "修改密码"}, {"KT", "开台"}, {"HT", "换台"},   {"BT", "并台"},
      {"CT", "查台"}, {"DC", "点菜"},       {"TC", "退菜"}, {"CPCC", "催菜"}, {"ZDCX", "账单查询"},
  };
  if (index < 0 || index >= kRequestKinds) return "操作码" + std::to_string(index);
  // The request's own name; index 30 is asked as YDKT and answered as QCJE.
  std::string name = Trim(RequestHeaderName(index));
  if (name.empty()) name = ReplyName(index);
  for (const auto& w : kWords)
    if (name == w[0]) return name + "（" + w[1] + "）";
  return name;
}

bool FoldsTraffic(Traffic kind) {
  switch (kind) {
    case Traffic::Poll:
    case Traffic::AckRepeated:
    case Traffic::ReplyResent:
    case Traffic::DownloadSearch:
    case Traffic::DownloadPacket:
    case Traffic::DownloadAck:
      return true;
    default:
      return false;
  }
}

std::string DescribeTraffic(const TrafficEvent& e) {
  switch (e.kind) {
    case Traffic::Poll:
      return "轮询";
    case Traffic::RequestPending:
      return "请求待传";
    case Traffic::PacketAccepted:
      return Packet(e) + " 已收，已回 OK";
    case Traffic::PacketBadCheck:
      return Packet(e) + " 校验错，已回 NO";
    case Traffic::PacketRefused:
      return Packet(e) + " " + e.detail + "，已回 NO";
    case Traffic::PacketRepeated:
      return Packet(e) + " 重复收到，已再回 OK";
    case Traffic::StrayPacket:
      return Packet(e) + " 不属于进行中的交换，已丢弃";
    case Traffic::AckRepeated:
      return "重发应答 " + e.detail + "（等待" + Packet(e) + "）";
    case Traffic::UploadSilent:
      return "手持停止上传，交换结束";
    case Traffic::RequestRepeated:
      return "重复的请求 " + RequestKindText(e.code) + "，未再交主机";
    case Traffic::Unregistered:
      return "手持未注册，请求未交主机";
    case Traffic::UnknownCode:
      return "操作码不存在，请求未交主机";
    case Traffic::RequestLost:
      return "T1.txt无法写入，请求未交主机" + Reason(e.detail);
    case Traffic::HandedToHost:
      return "请求 " + RequestKindText(e.code) + "已交主机" +
             (e.detail.empty() ? "" : "（" + e.detail + "）");
    case Traffic::HostSignal:
      return "主机通知回复已就绪";
    case Traffic::ReplySent:
      return "主机回复 " + std::string(ReplyName(e.code)) + "，已发往手持 " +
             (e.handheld >= 0 ? ZeroPad(e.handheld, 3) : std::string("?"));
    case Traffic::EmptyReply:
      return "主机回复为空，已发无回复提示";
    case Traffic::NoReplyText:
      return "无应答，已发无回复提示";
    case Traffic::ReplyResent:
      return "重发回复";
    case Traffic::ReplyDropped:
      return "主机回复未发送" + Reason(e.detail);
    case Traffic::ReplyUnconfirmed:
      return "手持未确认回复，重发结束";
    case Traffic::Confirmed:
      return "手持确认";
    case Traffic::StrayConfirmation:
      return "确认不属于当前回复，已忽略";
    case Traffic::ChannelAnswer:
      return "频道应答：频道 " + ZeroPad(e.index, 2);
    case Traffic::DownloadSearch:
      return "下载搜索帧";
    case Traffic::DownloadPacket:
      return "下载包 " + std::to_string(e.index) + "/" + std::to_string(e.total) + "（表 " +
             std::to_string(e.code) + "）";
    case Traffic::DownloadAck:
      return "下载应答";
    case Traffic::NoiseDropped:
      return "无法识别的数据 " + std::to_string(e.index) + " 字节，已清除";
    case Traffic::LineLost:
      return "串口断开";
  }
  return {};
}

std::string RenderTrafficLine(const TrafficLine& line) {
  // Built in one buffer: every event the journal keeps is rendered as it happens.
  std::string out;
  out.reserve(line.time.size() + line.text.size() + line.lastTime.size() + 64);
  out += line.time;
  out += "  ";
  if (line.station >= 0) {
    out += "基站";
    out += ZeroPad(line.station, 2);
  } else {
    out.append(6, ' ');
  }
  if (line.handheld >= 0) {
    out += " 手持";
    out += ZeroPad(line.handheld, 3);
  } else {
    out.append(10, ' ');
  }
  out += "  ";
  out += line.text;
  if (line.count > 1) {
    out += " ×";
    out += std::to_string(line.count);
    out += "（至 ";
    out += line.lastTime;
    out += "）";
  }
  return out;
}

bool TrafficLog::Add(TrafficLine line) {
  if (!lines_.empty() && FoldsTraffic(line.kind)) {
    TrafficLine& last = lines_.back();
    if (last.kind == line.kind && last.station == line.station && last.handheld == line.handheld) {
      ++last.count;
      last.lastTime = std::move(line.time);
      last.text = std::move(line.text);
      ++folds_;
      return true;
    }
  }
  line.lastTime = line.time;
  lines_.push_back(std::move(line));
  ++appended_;
  if (lines_.size() > kMaxLines) lines_.pop_front();
  return false;
}

std::vector<std::string> TrafficLog::Shown(const TrafficFilter& filter) const {
  std::vector<std::string> out;
  for (const TrafficLine& line : lines_)
    if (filter.Matches(line)) out.push_back(RenderTrafficLine(line));
  return out;
}

TrafficUpdate TrafficFollower::Next(const TrafficLog& log, const TrafficFilter& filter) {
  TrafficUpdate update;
  const std::deque<TrafficLine>& lines = log.Lines();
  const std::uint64_t added = log.Appended() - appended_;
  if (stale_ || added > lines.size()) {
    update.rebuild = true;
    update.lines = log.Shown(filter);
  } else if (added > 0 || log.Folds() != folds_) {
    // A fold counts up the line that was last before the new ones came.
    const std::size_t first = lines.size() - static_cast<std::size_t>(added);
    if (log.Folds() != folds_ && lastShown_ && first > 0) {
      update.rewriteLast = true;
      update.last = RenderTrafficLine(lines[first - 1]);
    }
    for (std::size_t i = first; i < lines.size(); ++i)
      if (filter.Matches(lines[i])) update.lines.push_back(RenderTrafficLine(lines[i]));
  }
  appended_ = log.Appended();
  folds_ = log.Folds();
  lastShown_ = !lines.empty() && filter.Matches(lines.back());
  stale_ = false;
  return update;
}

}  // namespace ol
