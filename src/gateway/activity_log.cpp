#include "gateway/activity_log.h"

namespace ol {

ActivityLog::ActivityLog(FormModel& form, TxtFolder& txt) : memo_(form["Memo6"]), txt_(txt) {
  memo_.SetMaxLines(kMaxLines);
}

void ActivityLog::Clear() {
  memo_.ClearLines();
  txt_.WriteLines("logfile.txt", memo_.Lines());
}

void ActivityLog::Append(const std::vector<std::string>& lines) {
  for (const auto& line : lines) memo_.AddLine(line);
  txt_.WriteLines("logfile.txt", memo_.Lines());
}

}  // namespace ol
