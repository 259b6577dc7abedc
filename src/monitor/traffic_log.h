#pragma once

#include <cstdint>
#include <deque>
#include <string>
#include <vector>

#include "gateway/traffic.h"

namespace ol {

// The words of the trade for one event: "请求包 2/3 校验错，已回 NO".
std::string DescribeTraffic(const TrafficEvent& e);
// A request kind as the operator knows it: "DC（点菜）", or its code alone.
std::string RequestKindText(int index);
// Events that repeat many times in a row (polls, repeated answers, resends, download
// frames): they fold into one line with a running count.
bool FoldsTraffic(Traffic kind);

// One line of the decoded view.
struct TrafficLine {
  Traffic kind = Traffic::Poll;
  std::string time;      // "19:40:01.123", of the first event of the line
  std::string lastTime;  // of the last event folded into it
  int station = -1;
  int handheld = -1;
  std::string text;  // of the last event folded into it
  std::uint64_t count = 1;
};
// "19:40:01.123  基站01 手持005  请求 DC（点菜）已交主机", with "×N（至 …）" when folded.
std::string RenderTrafficLine(const TrafficLine& line);

struct TrafficFilter {
  int station = -1;  // -1: every station
  int handheld = -1;
  bool Matches(const TrafficLine& line) const {
    return (station < 0 || line.station == station) && (handheld < 0 || line.handheld == handheld);
  }
};

// The decoded view's lines, the newest kMaxLines. Only the last line ever changes (by
// folding), so a view brings itself up to date from Appended() and Folds().
class TrafficLog {
 public:
  static constexpr std::size_t kMaxLines = 2000;

  // Folds line into the last one when both are of one foldable kind and address; true
  // then.
  bool Add(TrafficLine line);
  const std::deque<TrafficLine>& Lines() const { return lines_; }
  std::uint64_t Appended() const { return appended_; }
  std::uint64_t Folds() const { return folds_; }
  // The rendered lines the filter lets through, oldest first.
  std::vector<std::string> Shown(const TrafficFilter& filter) const;

 private:
  std::deque<TrafficLine> lines_;
  std::uint64_t appended_ = 0;
  std::uint64_t folds_ = 0;
};

// What a view of the log through a filter changes to be up to date: only the log's last
// line ever changes, so mostly its own last line is rewritten and lines are added; when
// the filter changed or the view fell behind by more than the log keeps, all anew.
struct TrafficUpdate {
  bool rebuild = false;      // lines is the whole text
  bool rewriteLast = false;  // the view's last line becomes last
  std::string last;
  std::vector<std::string> lines;  // rendered, to add at the end
};

// Follows one view of the log: what it was shown last, so the next update is only the
// difference.
class TrafficFollower {
 public:
  TrafficUpdate Next(const TrafficLog& log, const TrafficFilter& filter);
  // The filter changed: the next update rebuilds.
  void Restart() { stale_ = true; }

 private:
  std::uint64_t appended_ = 0;
  std::uint64_t folds_ = 0;
  bool lastShown_ = false;  // the log's last line is the view's last line
  bool stale_ = true;
};

}  // namespace ol
