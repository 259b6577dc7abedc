#pragma once

#include <array>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "core/event_loop.h"
#include "core/form_model.h"
#include "gateway/link.h"
#include "gateway/traffic.h"
#include "monitor/board.h"
#include "monitor/journal.h"
#include "monitor/traffic_log.h"

namespace ol {

// What the decoded view's filters offer besides kAll: the loaded stations' IDs and their
// registered handhelds' numbers (sorted, once each), with their texts ("01", "005").
struct TrafficChoices {
  static constexpr const char* kAll = "全部";
  std::vector<std::pair<int, std::string>> stations, handhelds;
  bool operator==(const TrafficChoices&) const = default;
};

// What the operator can see of the traffic, without a toolkit: the decoded view's lines,
// the handheld board, the journal on disk, the tray's alerts and tooltip. Fed by the
// gateway's events on the loop's thread; the views read it while they are shown.
class Monitor {
 public:
  // No-reply texts in a row before the host is reported as not answering.
  static constexpr int kHostSilentAfter = 3;

  struct Hooks {
    // A fault or recovery the operator should see even with the window hidden.
    std::function<void(const std::string&)> notice;
    // The stations' state changed: the tray's tooltip.
    std::function<void(const std::string&)> trayTip;
  };

  // journal: the folder of the day files, written on a thread of its own when threaded.
  Monitor(EventLoop& loop, FormModel& form, const Comms& comms, std::shared_ptr<FileStore> journal,
          Journal::Limits limits, bool threaded);
  Monitor(EventLoop& loop, FormModel& form, const Comms& comms, std::filesystem::path journal,
          Journal::Limits limits, bool threaded);

  void OnTraffic(TrafficEvent e);
  // The stations were (re)loaded: the tooltip follows.
  void StationsChanged();

  Hooks& GetHooks() { return hooks_; }
  const TrafficLog& Log() const { return log_; }
  const Board& GetBoard() const { return board_; }
  Journal& GetJournal() { return journal_; }
  std::vector<BoardRow> HandheldRows() const { return board_.HandheldRows(form_); }
  std::vector<BoardRow> StationRows() const { return board_.StationRows(form_, comms_); }
  TrafficChoices FilterChoices() const;
  // The name a saved decoded view is offered: "通信记录-2026-03-01.txt", of today.
  std::string TrafficFileName() const;
  // "无线点菜机系统" and one line per loaded station: its port and state.
  std::string TrayTip() const;
  std::uint64_t JournalFailuresReported() const { return journalReports_; }

 private:
  void CheckJournal();

  EventLoop& loop_;
  FormModel& form_;
  const Comms& comms_;
  TrafficLog log_;
  Board board_;
  Journal journal_;
  Hooks hooks_;
  std::string day_;
  std::array<int, 3> dayDate_ = {};  // the year, month and day day_ was made of
  int noReplyRun_ = 0;
  bool hostSilentShown_ = false;
  std::uint64_t journalSeen_ = 0;
  std::uint64_t journalReports_ = 0;
  bool journalFailing_ = false;
};

// The board as text (UTF-8): the stations' table, then the handhelds', columns aligned
// for a fixed-width font, a row that stands out marked with "!".
std::string FormatBoard(const Monitor& monitor);

// Writes lines (UTF-8) to path as GBK with CR LF, replacing the file. Throws FileError.
void SaveTrafficLines(const std::filesystem::path& path, const std::vector<std::string>& lines);

}  // namespace ol
