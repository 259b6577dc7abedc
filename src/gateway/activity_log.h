#pragma once

#include <string>
#include <vector>

#include "core/form_model.h"
#include "core/txt_folder.h"

namespace ol {

// The activity log: every request and reply record since start, in the hidden memo
// Memo6 and the file logfile.txt. The memo keeps the newest kMaxLines lines and at most
// kMaxBytes of text, so a long day or a runaway reply neither fills memory nor makes each
// rewrite of the file slower.
class ActivityLog {
 public:
  static constexpr std::size_t kMaxLines = 2000;
  static constexpr std::size_t kMaxBytes = 256 * 1024;

  ActivityLog(FormModel& form, TxtFolder& txt);

  // Empties the log and the file. Throws FileError.
  void Clear();
  // Appends the lines and rewrites logfile.txt. Throws FileError.
  void Append(const std::vector<std::string>& lines);

 private:
  Control& memo_;
  TxtFolder& txt_;
};

}  // namespace ol
