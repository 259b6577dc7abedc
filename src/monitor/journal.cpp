#include "monitor/journal.h"

#include <algorithm>

#include "core/gbk.h"

namespace ol {
namespace fs = std::filesystem;

namespace {

bool IsDayFileName(const std::string& name) {
  // 2026-12-08.txt
  if (name.size() != 14 || name.substr(10) != ".txt") return false;
  for (std::size_t i = 0; i < 10; ++i) {
    const bool dash = i == 4 || i == 7;
    if (dash ? name[i] != '-' : (name[i] < '0' || name[i] > '9')) return false;
  }
  return true;
}

}  // namespace

Journal::Journal(std::shared_ptr<FileStore> folder, Limits limits, bool threaded)
    : folder_(std::move(folder)), limits_(limits) {
  if (threaded) thread_ = std::thread([this] { Run(); });
}

Journal::Journal(fs::path dir, Limits limits, bool threaded)
    : Journal(std::make_shared<DiskFileStore>(std::move(dir)), limits, threaded) {}

Journal::~Journal() {
  if (!thread_.joinable()) return;
  {
    std::lock_guard lock(mutex_);
    stop_ = true;
  }
  wake_.notify_all();
  thread_.join();
}

void Journal::Append(const std::string& day, std::string line) {
  if (!thread_.joinable()) {
    // Not from a braced list, which would copy the line once more.
    std::vector<Entry> batch;
    batch.push_back({day, std::move(line)});
    Write(batch);
    return;
  }
  {
    std::lock_guard lock(mutex_);
    if (queue_.size() >= limits_.maxQueued) {
      // The disk cannot keep up: the cycle goes on, the line is lost and counted.
      ++status_.dropped;
      if (status_.ok) {
        status_.ok = false;
        status_.reason = "写入跟不上，部分记录已丢弃";
        ++status_.changes;
      }
      return;
    }
    queue_.push_back({day, std::move(line)});
  }
  wake_.notify_one();
}

void Journal::Flush() {
  if (!thread_.joinable()) return;
  std::unique_lock lock(mutex_);
  idle_.wait(lock, [this] { return Idle(); });
}

bool Journal::Flush(std::chrono::milliseconds limit) {
  if (!thread_.joinable()) return true;
  std::unique_lock lock(mutex_);
  return idle_.wait_for(lock, limit, [this] { return Idle(); });
}

Journal::Status Journal::CurrentStatus() const {
  std::lock_guard lock(mutex_);
  return status_;
}

void Journal::Run() {
  std::unique_lock lock(mutex_);
  for (;;) {
    wake_.wait(lock, [this] { return stop_ || !queue_.empty(); });
    if (queue_.empty()) break;  // stopping, everything written
    std::vector<Entry> batch;
    batch.swap(queue_);
    busy_ = true;
    lock.unlock();
    Write(batch);
    lock.lock();
    busy_ = false;
    idle_.notify_all();
  }
}

void Journal::SetStatus(bool ok, std::string reason, std::uint64_t dropped) {
  std::lock_guard lock(mutex_);
  status_.dropped += dropped;
  if (status_.ok == ok) return;
  status_.ok = ok;
  status_.reason = std::move(reason);
  ++status_.changes;
}

std::vector<std::string> Journal::DayFiles(const FileStore& folder) {
  std::vector<std::string> files = folder.Names();
  std::erase_if(files, [](const std::string& name) { return !IsDayFileName(name); });
  std::sort(files.begin(), files.end());
  return files;
}

std::vector<fs::path> Journal::DayFiles(const fs::path& dir) {
  std::vector<fs::path> files;
  for (const std::string& name : DayFiles(DiskFileStore(dir))) files.push_back(dir / name);
  return files;
}

std::uintmax_t Journal::Trim(const std::string& today, std::uintmax_t incoming) {
  const std::vector<std::string> files = DayFiles(*folder_);
  std::vector<std::uintmax_t> sizes;
  std::uintmax_t total = 0;
  for (const std::string& f : files) {
    const auto size = folder_->ReadPrefix(f, 0);
    sizes.push_back(size ? size->size : 0);
    total += sizes.back();
  }
  for (std::size_t i = 0; i < files.size() && total + incoming > limits_.maxTotalBytes; ++i) {
    if (files[i] == today + ".txt") continue;
    if (folder_->Remove(files[i])) total -= sizes[i];
  }
  return total;
}

void Journal::Write(std::vector<Entry>& batch) {
  for (std::size_t first = 0; first < batch.size();) {
    const std::string day = batch[first].day;
    if (day != day_) {
      day_ = day;
      dayFull_ = false;
      total_ = Trim(day, 0);
    }
    // The lines of one day that fit, line by line: a day at the bound keeps its first.
    std::string bytes;
    std::uint64_t lines = 0;
    std::uint64_t full = 0;
    for (; first < batch.size() && batch[first].day == day; ++first) {
      const std::string piece = Utf8ToGbk(batch[first].line) + "\r\n";
      const std::uintmax_t incoming = bytes.size() + piece.size();
      if (!dayFull_ && total_ + incoming > limits_.maxTotalBytes) {
        total_ = Trim(day, incoming);
        dayFull_ = total_ + incoming > limits_.maxTotalBytes;
      }
      if (dayFull_) {
        ++full;
        continue;
      }
      bytes += piece;
      ++lines;
    }
    if (!bytes.empty()) {
      try {
        folder_->Append(day + ".txt", bytes);
      } catch (const FileError& e) {
        SetStatus(false, e.what(), lines + full);
        continue;
      }
      total_ += bytes.size();
    }
    if (full > 0)
      SetStatus(false, "今天的记录已达上限，其后的记录不再写入", full);
    else
      SetStatus(true, {}, 0);
  }
}

}  // namespace ol
