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
  if (header_.empty()) {
    txt_.WriteLines("logfile.txt", memo_.Lines());
    return;
  }
  std::vector<std::string> lines{header_};
  const std::vector<std::string>& memo = memo_.Lines();
  lines.insert(lines.end(), memo.begin(), memo.end());
  txt_.WriteLines("logfile.txt", lines);
}

void ActivityLog::Append(const std::vector<std::string>& lines) {
  // The newest lines that fit both bounds, counted with their line ends as written; a
  // single line longer than the whole log keeps its start.
  std::vector<std::string> all = memo_.Lines();
  all.insert(all.end(), lines.begin(), lines.end());
  std::size_t first = all.size() > kMaxLines ? all.size() - kMaxLines : 0;
  const std::size_t budget = kMaxBytes - (header_.empty() ? 0 : header_.size() + 2);
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
  memo_.SetLines(std::move(all));
  WriteFile();
}

}  // namespace ol
