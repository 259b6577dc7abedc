#pragma once

#include <array>
#include <string>
#include <string_view>
#include <vector>

#include "core/form_model.h"
#include "core/txt_folder.h"
#include "download/hooks.h"
#include "download/packing.h"
#include "gateway/link.h"

namespace ol {

inline constexpr int kPacketBytes = 128;
inline constexpr int kStallWindow = 50;  // data frames between two progress checks
inline constexpr int kFirstDishPacketRetries = 20;
inline constexpr int kPacketRetries = 6;
inline constexpr Millis kSearchMillis = 22000;
inline constexpr std::size_t kTraceLines = 5000;  // the trace list keeps the newest lines

// Sends the packed menu tables to the handhelds of the download rows (ListView1),
// station slot by station slot: first 22 s of search frames (Timer6, countdown on
// Timer8), then one data packet per Timer5 tick, repeated until every live handheld of
// the station has acknowledged it or the retry limit is reached. Each acknowledgement
// moves the handheld's progress bar.
class DownloadTransfer {
 public:
  DownloadTransfer(FormModel& form, const Comms& comms, const TxtFolder& txt, DownloadHooks hooks);
  DownloadTransfer(const DownloadTransfer&) = delete;
  DownloadTransfer& operator=(const DownloadTransfer&) = delete;

  // Points Timer5, Timer6 and Timer8 of the form at the handlers below.
  void ConnectTimers();

  // Forgets the previous request: stop flag, tables, pending flags, rows; hides the
  // progress labels and stops Timer5.
  void ResetForRequest();
  // Drops the per-row state; call before the rows of ListView1 are removed.
  void ReleaseRows();

  // Packs the tables ticked in CheckBox1..CheckBox6, reads them back, groups the rows of
  // ListView1 by station slot and starts the search phase. Reports a missing or
  // unpackable table by message box and returns false without sending anything.
  bool StartDownload();

  void Timer5Timer();  // packet tick
  void Timer6Timer();  // search tick
  void Timer8Timer();  // countdown

  // One acknowledgement record, 10 hex digits (0A, station, handheld, two bytes). The
  // receive path calls it for each record, after it has cleared the poll-reply flag,
  // stopped Timer7 and appended the record to Memo5, and empties the accumulator after.
  void HandleAcknowledgement(std::string_view record);

  // The operator leaves the screen: no data frame goes out any more.
  void Stop();
  void ClearPending();

  const DownloadHooks& Hooks() const { return hooks_; }
  // For a composition root that builds its parts before it can wire them.
  void SetHooks(DownloadHooks hooks) { hooks_ = std::move(hooks); }
  int TableCount() const { return tableCount_; }
  const std::string& Image(int table) const { return images_.at(table); }
  int TotalPackets() const { return totalPackets_; }
  bool StopFlag() const { return stopFlag_; }
  bool Pending(int table, int slot) const { return pending_.at(table).at(slot); }
  std::size_t RowCount() const { return rows_.size(); }
  bool Live(std::size_t row) const { return rows_.at(row).live; }

 private:
  struct Row {
    std::string stationHex;   // empty when the caption's station part is not a number
    std::string handheldHex;  // likewise for the handheld part
    int slot = 0;             // 0: takes no part
    bool live = true;
    long acks = 0;      // acknowledgements received, not bounded by the bar
    long snapshot = 0;  // acks at the last snapshot
  };
  struct Slot {
    std::string handhelds;
    std::string stationByte;
    std::vector<std::size_t> rows;
    int sends = 0;
    int packetIndex = 0;
    int frameTable = 0;
    int frameLastIndex = 0;
    std::vector<bool> marks;  // by row
  };

  void SearchStep();
  void SendStep(int s);
  void SendDataFrame(int table, int s);
  void AdvanceSlot() { currentSlot_ = currentSlot_ % 4 + 1; }
  bool Fail(const std::string& text);
  Control& Label(const char* name) { return form_[name]; }

  FormModel& form_;
  const Comms& comms_;
  const TxtFolder& txt_;
  DownloadHooks hooks_;
  // Timer5 ticks every millisecond between packets: its timers are looked up once.
  Timer& timer5_;
  Timer& timer6_;
  Timer& timer8_;

  bool stopFlag_ = false;
  int tableCount_ = 0;
  int firstTable_ = 0;
  std::array<std::string, kMenuTableCount + 1> images_;
  std::array<std::array<bool, 5>, kMenuTableCount + 1> pending_{};
  int totalPackets_ = 0;
  int currentSlot_ = 1;
  int packetsSent_ = 0;
  bool snapshotDue_ = false;
  std::vector<Row> rows_;
  std::array<Slot, 5> slots_;  // 1..4
};

}  // namespace ol
