#include "monitor/board.h"

#include "core/text_file.h"
#include "gateway/dispatcher.h"
#include "gateway/hex.h"

namespace ol {
namespace {

const char* StateText(HandheldStats::State s) {
  switch (s) {
    case HandheldStats::State::Idle:
      return "空闲";
    case HandheldStats::State::Exchange:
      return "交换中";
    case HandheldStats::State::Downloading:
      return "下载中";
    case HandheldStats::State::Silent:
      return "无应答";
  }
  return "";
}

std::string Ms(Millis ms) {
  return ms < 0 ? std::string("-") : std::to_string(ms) + " ms";
}

bool FrameIn(Traffic kind) {
  switch (kind) {
    case Traffic::RequestPending:
    case Traffic::PacketAccepted:
    case Traffic::PacketBadCheck:
    case Traffic::PacketRefused:
    case Traffic::PacketRepeated:
    case Traffic::StrayPacket:
    case Traffic::Confirmed:
    case Traffic::StrayConfirmation:
    case Traffic::ChannelAnswer:
    case Traffic::DownloadAck:
      return true;
    default:
      return false;
  }
}

}  // namespace

void Board::Fail(HandheldStats& h, const char* why) {
  h.failure = why;
  if (h.failedThisExchange) return;  // one exchange, one failure
  h.failedThisExchange = true;
  ++h.failures;
}

void Board::Apply(const TrafficEvent& e, Millis now, const std::string& time) {
  if (e.slot >= 1 && e.slot <= 4) {
    StationStats& s = stations_[e.slot];
    if (FrameIn(e.kind)) ++s.framesIn;
    if (e.kind == Traffic::PacketBadCheck || e.kind == Traffic::NoiseDropped ||
        e.kind == Traffic::LineLost)
      ++s.lineErrors;
    if (e.kind == Traffic::LineLost) s.lost = true;
    if (e.kind == Traffic::ChannelAnswer) s.lost = false;
  }
  if (e.station < 0 || e.handheld < 0) return;
  using State = HandheldStats::State;
  HandheldStats& h = handhelds_[{e.station, e.handheld}];
  switch (e.kind) {
    case Traffic::Poll:
      // Polled again: whatever it was doing is over (a silent one stays marked).
      if (h.state == State::Exchange || h.state == State::Downloading) h.state = State::Idle;
      break;
    case Traffic::RequestPending:
      h.state = State::Exchange;
      h.pendingAt = now;
      h.handedAt = -1;
      h.failedThisExchange = false;
      h.hostReplyOut = false;
      break;
    case Traffic::PacketBadCheck:
      ++h.badPackets;
      break;
    case Traffic::UploadSilent:
      h.state = State::Silent;
      Fail(h, "上传中断");
      break;
    case Traffic::Unregistered:
      Fail(h, "未注册");
      break;
    case Traffic::UnknownCode:
      Fail(h, "操作码不存在");
      break;
    case Traffic::RequestLost:
      Fail(h, "请求无法写入T1.txt");
      break;
    case Traffic::HandedToHost:
      ++h.requests;
      h.lastKind = e.code;
      h.lastTime = time;
      h.handedAt = now;
      if (h.pendingAt >= 0) h.toHost = now - h.pendingAt;
      break;
    case Traffic::ReplySent:
      h.hostReplyOut = true;
      if (h.handedAt >= 0) h.toHandheld = now - h.handedAt;
      break;
    case Traffic::EmptyReply:
      h.hostReplyOut = false;
      Fail(h, "主机回复为空");
      break;
    case Traffic::NoReplyText:
      ++h.noReply;
      h.hostReplyOut = false;
      Fail(h, "主机无回复");
      break;
    case Traffic::ReplyDropped:
      Fail(h, "主机回复未发送");
      break;
    case Traffic::ReplyResent:
      ++h.resends;
      break;
    case Traffic::ReplyUnconfirmed:
      h.state = State::Silent;
      Fail(h, "回复未确认");
      break;
    case Traffic::Confirmed:
      ++h.confirmed;
      h.state = State::Idle;
      // Only the host's own reply, confirmed, is a request that went through.
      if (h.hostReplyOut) {
        h.failures = 0;
        h.failure.clear();
      }
      break;
    case Traffic::DownloadAck:
      h.state = State::Downloading;
      break;
    default:
      break;
  }
}

void Board::NewDay() {
  for (auto& [key, h] : handhelds_) {
    HandheldStats fresh;
    fresh.state = h.state;
    fresh.pendingAt = h.pendingAt;
    fresh.handedAt = h.handedAt;
    fresh.failedThisExchange = h.failedThisExchange;
    fresh.hostReplyOut = h.hostReplyOut;
    h = fresh;
  }
}

const std::vector<std::string>& Board::HandheldColumns() {
  static const std::vector<std::string> columns{"基站",   "手持",   "状态",   "最近请求",
                                                "请求",   "坏包",   "重发",   "已确认",
                                                "无回复", "交主机", "回手持", "说明"};
  return columns;
}

const std::vector<std::string>& Board::StationColumns() {
  static const std::vector<std::string> columns{"槽位", "基站", "串口", "频道",
                                                "状态", "收帧", "发帧", "线路错误"};
  return columns;
}

const HandheldStats* Board::Find(int station, int handheld) const {
  auto it = handhelds_.find({station, handheld});
  return it == handhelds_.end() ? nullptr : &it->second;
}

std::uint64_t Board::TotalRequests() const {
  std::uint64_t n = 0;
  for (const auto& [key, h] : handhelds_) n += h.requests;
  return n;
}

std::vector<BoardRow> Board::HandheldRows(FormModel& form) const {
  std::vector<BoardRow> rows;
  static const HandheldStats kNone;
  for (int slot = 1; slot <= 4; ++slot) {
    const int station = DecimalOf(form.At("JZID", slot).Text());
    if (station < 0 || StationStatus(form, slot).Text().empty()) continue;
    for (const std::string& item : form.At("PADLIST", slot).Lines()) {
      const int handheld = DecimalOf(item);
      if (handheld < 0) continue;
      const HandheldStats* found = Find(station, handheld);
      const HandheldStats& h = found ? *found : kNone;
      BoardRow row;
      if (h.failures >= kAlertAfter)
        row.alert = "连续" + std::to_string(h.failures) + "次失败：" + h.failure;
      // The code and the time to the second keep the column narrow; the decoded view has
      // the rest.
      std::string last = "-";
      if (h.lastKind >= 0) {
        last = Trim(RequestHeaderName(h.lastKind));
        if (last.empty()) last = ReplyName(h.lastKind);
        last += " " + h.lastTime.substr(0, 8);
      }
      row.cells = {ZeroPad(station, 2),        ZeroPad(handheld, 3),
                   StateText(h.state),         last,
                   std::to_string(h.requests), std::to_string(h.badPackets),
                   std::to_string(h.resends),  std::to_string(h.confirmed),
                   std::to_string(h.noReply),  Ms(h.toHost),
                   Ms(h.toHandheld),           row.alert};
      rows.push_back(std::move(row));
    }
  }
  return rows;
}

std::vector<BoardRow> Board::StationRows(FormModel& form, const Comms& comms) const {
  std::vector<BoardRow> rows;
  for (int slot = 1; slot <= 4; ++slot) {
    const std::string& status = StationStatus(form, slot).Text();
    if (status.empty()) continue;  // not loaded
    const StationStats& s = stations_[slot];
    const bool connected = status != kNotConnected;
    BoardRow row;
    if (s.lost) row.alert = "串口已断开";
    row.cells = {std::to_string(slot),
                 Trim(form.At("JZID", slot).Text()),
                 form.At("COMMID", slot).Text(),
                 connected ? status : "-",
                 s.lost      ? "已断开"
                 : connected ? "已连接"
                             : "未连接",
                 std::to_string(s.framesIn),
                 std::to_string(comms.FramesSent(slot)),
                 std::to_string(s.lineErrors)};
    rows.push_back(std::move(row));
  }
  return rows;
}

}  // namespace ol
