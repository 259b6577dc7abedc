#include "gateway/activity_log.h"

#include "core/gbk.h"

namespace ol {

ActivityLog::ActivityLog(FormModel& form, TxtFolder& txt) : memo_(form["Memo6"]), txt_(txt) {
  memo_.SetMaxLines(kMaxLines);
}

void ActivityLog::SetHeader(const std::string& line) {
  header_ = line.substr(0, GbkPrefixLength(line, kMaxHeaderBytes));
}

void ActivityLog::Clear() {
  memo_.ClearLines();
  WriteFile();
}

void ActivityLog::WriteFile() const {
  const std::vector<std::string>& memo = memo_.Lines();
  if (header_.empty()) {
    txt_.WriteLines("logfile.txt", memo);
    return;
  }
  std::size_t size = header_.size() + 2;
  for (const std::string& line : memo) size += line.size() + 2;
  std::string text;
  text.reserve(size);
  text += header_;
  text += "\r\n";
  for (const std::string& line : memo) {
    text += line;
    text += "\r\n";
  }
  txt_.Write("logfile.txt", text);
}

void ActivityLog::Append(const std::vector<std::string>& lines) {
  const std::size_t budget = kMaxBytes - (header_.empty() ? 0 : header_.size() + 2);
  // Edited in place: the log holds up to kMaxLines lines and takes a few at a time.
  memo_.EditLines([&](std::vector<std::string>& all) {
    // The newest lines that fit both bounds, counted with their line ends as written; a
    // single line longer than the whole log keeps its start.
    all.insert(all.end(), lines.begin(), lines.end());
    std::size_t first = all.size() > kMaxLines ? all.size() - kMaxLines : 0;
    std::size_t bytes = 0;
    std::size_t keep = all.size();
    while (keep > first && bytes + all[keep - 1].size() + 2 <= budget) {
      bytes += all[keep - 1].size() + 2;
      --keep;
    }
    if (keep == all.size() && !all.empty()) {
      all.back().resize(GbkPrefixLength(all.back(), budget - 2));
      keep = all.size() - 1;
    }
    all.erase(all.begin(), all.begin() + static_cast<long>(keep));
  });
  WriteFile();
}

}  // namespace ol
