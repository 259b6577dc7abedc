#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "core/file_store.h"

namespace ol {

// The traffic journal: the decoded events, one file per day (2026-12-08.txt, GBK with
// CR LF) in a folder of their own, kept across restarts. The files together stay below
// a bound: the oldest days go first, and a day that alone reaches it keeps its first
// lines. Writing happens on a thread of its own, so a slow or failing disk never holds up
// a poll or a reply; lines that cannot be written are dropped and counted.
class Journal {
 public:
  struct Limits {
    std::uintmax_t maxTotalBytes = 64u << 20;
    std::size_t maxQueued = 20000;  // lines waiting for the writer
  };
  // What the writer last found, for the loop's thread to report.
  struct Status {
    bool ok = true;
    std::string reason;         // UTF-8, when not ok
    std::uint64_t dropped = 0;  // lines lost since start
    std::uint64_t changes = 0;  // bumped whenever ok flips
  };

  // threaded false writes each line at once, on the caller's thread (tests, simulations).
  // The folder is the journal's alone: the writer's thread uses it without a lock.
  Journal(std::shared_ptr<FileStore> folder, Limits limits, bool threaded);
  // The folder on the disk.
  Journal(std::filesystem::path dir, Limits limits, bool threaded);
  ~Journal();
  Journal(const Journal&) = delete;
  Journal& operator=(const Journal&) = delete;

  // day: "2026-12-08"; line: UTF-8. Never blocks on the disk.
  void Append(const std::string& day, std::string line);
  // Waits until every line appended so far is written or dropped.
  void Flush();
  // The same, for at most limit (a disk that hangs must not hold up the end of a session);
  // false when lines were still waiting then.
  bool Flush(std::chrono::milliseconds limit);
  Status CurrentStatus() const;
  // The folder, for messages.
  std::string Where() const { return folder_->Where(); }

  // The day files of the folder, oldest first.
  static std::vector<std::filesystem::path> DayFiles(const std::filesystem::path& dir);
  static std::vector<std::string> DayFiles(const FileStore& folder);

 private:
  // Every line appended so far written or dropped; asked under mutex_.
  bool Idle() const { return queue_.empty() && !busy_; }
  struct Entry {
    std::string day;
    std::string line;
  };
  void Run();
  void Write(std::vector<Entry>& batch);
  // Drops the oldest days other than today until the rest and incoming bytes fit; the
  // bytes that remain.
  std::uintmax_t Trim(const std::string& today, std::uintmax_t incoming);
  void SetStatus(bool ok, std::string reason, std::uint64_t dropped);

  const std::shared_ptr<FileStore> folder_;
  const Limits limits_;
  // Writer's own state.
  std::string day_;           // the day whose file was written last
  std::uintmax_t total_ = 0;  // bytes of all day files, as last counted
  bool dayFull_ = false;

  mutable std::mutex mutex_;
  std::condition_variable wake_;
  std::condition_variable idle_;
  std::vector<Entry> queue_;
  bool busy_ = false;
  bool stop_ = false;
  Status status_;
  std::thread thread_;  // last: starts once the rest is ready
};

}  // namespace ol
