#include "gateway/activity_log.h"

#include "core/gbk.h"
#include "core/text_file.h"

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

void ActivityLog::WriteFile() {
  if (textVersion_ != memo_.Version()) {
    text_ = JoinCrLf(memo_.Lines());
    textVersion_ = memo_.Version();
  }
  if (header_.empty()) {
    txt_.Write("logfile.txt", text_);
    return;
  }
  std::string file;
  file.reserve(header_.size() + 2 + text_.size());
  file += header_;
  file += "\r\n";
  file += text_;
  txt_.Write("logfile.txt", file);
}

void ActivityLog::Append(const std::vector<std::string>& lines) {
  const std::size_t budget = kMaxBytes - (header_.empty() ? 0 : header_.size() + 2);
  const bool joined = textVersion_ == memo_.Version();
  bool cut = false;
  std::size_t dropped = 0;  // bytes of the lines that scroll out, as written
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
      cut = true;
    }
    for (std::size_t i = 0; i < keep; ++i) dropped += all[i].size() + 2;
    all.erase(all.begin(), all.begin() + static_cast<long>(keep));
  });
  if (joined && !cut) {
    text_ += JoinCrLf(lines);
    text_.erase(0, dropped);
    textVersion_ = memo_.Version();
  }
  WriteFile();
}

}  // namespace ol
