#include "monitor/monitor.h"

#include <algorithm>
#include <chrono>
#include <cstdio>

#include "core/gbk.h"
#include "core/text_file.h"
#include "gateway/hex.h"

namespace ol {
Monitor::Monitor(EventLoop& loop, FormModel& form, const Comms& comms,
                 std::shared_ptr<FileStore> journal, Journal::Limits limits, bool threaded)
    : loop_(loop), form_(form), comms_(comms), journal_(std::move(journal), limits, threaded) {}

Monitor::Monitor(EventLoop& loop, FormModel& form, const Comms& comms,
                 std::filesystem::path journal, Journal::Limits limits, bool threaded)
    : Monitor(loop, form, comms, std::make_shared<DiskFileStore>(std::move(journal)), limits,
              threaded) {}

void Monitor::OnTraffic(TrafficEvent e) {
  using namespace std::chrono;
  if (e.station < 0 && e.slot >= 1 && e.slot <= 4)
    e.station = DecimalOf(form_.At("JZID", e.slot).Text());
  const auto wall = loop_.WallClock();
  const LocalDateTime t = loop_.LocalTimeOf(wall);
  const long long ms = duration_cast<milliseconds>(wall.time_since_epoch()).count() % 1000;
  // Every poll passes here: the time in one formatting call, the day's text only when the
  // date moved.
  char buf[96];
  std::snprintf(buf, sizeof buf, "%02ld:%02ld:%02ld.%03ld", long{t.hour}, long{t.minute},
                long{t.second}, static_cast<long>(ms < 0 ? ms + 1000 : ms));
  const std::string time = buf;
  if (t.year != dayDate_[0] || t.month != dayDate_[1] || t.day != dayDate_[2] || day_.empty()) {
    std::string day = ZeroPad(t.year, 4) + "-" + ZeroPad(t.month, 2) + "-" + ZeroPad(t.day, 2);
    if (day != day_) {
      if (!day_.empty()) board_.NewDay();
      day_ = std::move(day);
    }
    dayDate_ = {t.year, t.month, t.day};
  }
  const std::string& day = day_;
  board_.Apply(e, loop_.Now(), time);

  TrafficLine line;
  line.kind = e.kind;
  line.time = time;
  line.station = e.station;
  line.handheld = e.handheld;
  line.text = DescribeTraffic(e);
  if (e.kind == Traffic::Poll) {
    // Polls go round all handhelds: one running line, naming the last one polled.
    std::snprintf(buf, sizeof buf, "（最近 基站%02ld 手持%03ld）", long{e.station},
                  long{e.handheld});
    line.text += buf;
    line.station = line.handheld = -1;
  }
  const bool folded = log_.Add(line);
  // The journal keeps each event, a repeated one once per run, and no polls.
  if (!folded && e.kind != Traffic::Poll) {
    journal_.Append(day, RenderTrafficLine(line));
    CheckJournal();
  }

  if (e.kind == Traffic::NoReplyText && ++noReplyRun_ >= kHostSilentAfter && !hostSilentShown_) {
    hostSilentShown_ = true;
    if (hooks_.notice)
      hooks_.notice("主机连续" + std::to_string(noReplyRun_) +
                    "次没有回复，手持收到的都是无回复提示，请检查主机程序");
  }
  if (e.kind == Traffic::ReplySent) {
    noReplyRun_ = 0;
    if (hostSilentShown_ && hooks_.notice) hooks_.notice("主机已恢复回复");
    hostSilentShown_ = false;
  }
  if (e.kind == Traffic::ChannelAnswer || e.kind == Traffic::LineLost) StationsChanged();
}

void Monitor::CheckJournal() {
  const Journal::Status status = journal_.CurrentStatus();
  if (status.changes == journalSeen_) return;
  journalSeen_ = status.changes;
  // One report per failing period, however many lines it loses.
  if (!status.ok && !journalFailing_) {
    journalFailing_ = true;
    ++journalReports_;
    if (hooks_.notice)
      hooks_.notice("通信记录无法写入" + journal_.Where() + "：" + status.reason +
                    "。收发照常进行，只是这段时间的记录会缺失");
  } else if (status.ok && journalFailing_) {
    journalFailing_ = false;
    form_["Memo1"].AddLine("通信记录恢复写入");
  }
}

void Monitor::StationsChanged() {
  if (hooks_.trayTip) hooks_.trayTip(TrayTip());
}

std::string Monitor::TrayTip() const {
  std::string tip = "无线点菜机系统";
  for (const BoardRow& row : StationRows()) {
    // Cells: slot, station, port, channel, state, ...
    tip += "\n基站" + row.cells[1] + " " + row.cells[2] + "：" + row.cells[4];
    if (row.cells[3] != "-") tip += " 频道" + row.cells[3];
  }
  return tip;
}

namespace {

// Columns on a terminal: a character of three or more UTF-8 bytes (Chinese) takes two.
std::size_t Columns(const std::string& utf8) {
  std::size_t n = 0;
  for (std::size_t i = 0; i < utf8.size();) {
    const auto c = static_cast<unsigned char>(utf8[i]);
    const std::size_t len = c < 0x80 ? 1 : c < 0xE0 ? 2 : c < 0xF0 ? 3 : 4;
    n += len >= 3 ? 2 : 1;
    i += len;
  }
  return n;
}

void AppendTable(std::string& out, const std::vector<std::string>& columns,
                 const std::vector<BoardRow>& rows) {
  std::vector<std::size_t> width(columns.size());
  for (std::size_t c = 0; c < columns.size(); ++c) width[c] = Columns(columns[c]);
  for (const BoardRow& row : rows)
    for (std::size_t c = 0; c < row.cells.size() && c < width.size(); ++c)
      width[c] = std::max(width[c], Columns(row.cells[c]));
  auto line = [&](const std::vector<std::string>& cells, bool alert) {
    std::string text = alert ? "! " : "  ";
    for (std::size_t c = 0; c < cells.size(); ++c) {
      text += cells[c];
      if (c + 1 < cells.size()) text += std::string(width[c] - Columns(cells[c]) + 2, ' ');
    }
    out += Trim(text).empty() ? "\n" : text + "\n";
  };
  line(columns, false);
  for (const BoardRow& row : rows) line(row.cells, !row.alert.empty());
}

}  // namespace

TrafficChoices Monitor::FilterChoices() const {
  TrafficChoices choices;
  for (int slot = 1; slot <= 4; ++slot) {
    if (StationStatus(form_, slot).Text().empty()) continue;
    const int id = DecimalOf(form_.At("JZID", slot).Text());
    if (id < 0) continue;
    choices.stations.emplace_back(id, ZeroPad(id, 2));
    for (const std::string& item : form_.At("PADLIST", slot).Lines())
      if (const int h = DecimalOf(item); h >= 0) choices.handhelds.emplace_back(h, ZeroPad(h, 3));
  }
  auto& h = choices.handhelds;
  std::sort(h.begin(), h.end());
  h.erase(std::unique(h.begin(), h.end()), h.end());
  return choices;
}

std::string Monitor::TrafficFileName() const {
  const LocalDateTime t = loop_.LocalTime();
  return "通信记录-" + ZeroPad(t.year, 4) + "-" + ZeroPad(t.month, 2) + "-" + ZeroPad(t.day, 2) +
         ".txt";
}

std::string FormatBoard(const Monitor& monitor) {
  std::string out;
  AppendTable(out, Board::StationColumns(), monitor.StationRows());
  out += "\n";
  AppendTable(out, Board::HandheldColumns(), monitor.HandheldRows());
  return out;
}

void SaveTrafficLines(const std::filesystem::path& path, const std::vector<std::string>& lines) {
  std::vector<std::string> gbk;
  gbk.reserve(lines.size());
  for (const std::string& l : lines) gbk.push_back(Utf8ToGbk(l));
  WriteFileAtomic(path, JoinCrLf(gbk));
}

}  // namespace ol
