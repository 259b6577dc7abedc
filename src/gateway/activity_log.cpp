#include "gateway/activity_log.h"

#include "core/gbk.h"

namespace ol {

ActivityLog::ActivityLog(FormModel& form, TxtFolder& txt) : memo_(form["Memo6"]), txt_(txt) {
  memo_.SetMaxLines(kMaxLines);
}

void ActivityLog::Clear() {
  memo_.ClearLines();
  txt_.WriteLines("logfile.txt", memo_.Lines());
}

void ActivityLog::Append(const std::vector<std::string>& lines) {
  // The newest lines that fit both bounds, counted with their line ends as written; a
  // single line longer than the whole log keeps its start.
  std::vector<std::string> all = memo_.Lines();
  all.insert(all.end(), lines.begin(), lines.end());
  std::size_t first = all.size() > kMaxLines ? all.size() - kMaxLines : 0;
  std::size_t bytes = 0;
  std::size_t keep = all.size();
  while (keep > first && bytes + all[keep - 1].size() + 2 <= kMaxBytes) {
    bytes += all[keep - 1].size() + 2;
    --keep;
  }
  if (keep == all.size() && !all.empty()) {
    all.back().resize(GbkPrefixLength(all.back(), kMaxBytes - 2));
    keep = all.size() - 1;
  }
  all.erase(all.begin(), all.begin() + static_cast<long>(keep));
  memo_.SetLines(std::move(all));
  txt_.WriteLines("logfile.txt", memo_.Lines());
}

}  // namespace ol
