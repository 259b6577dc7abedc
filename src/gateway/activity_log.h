#pragma once

#include <string>
#include <vector>

#include "core/form_model.h"
#include "core/txt_folder.h"

namespace ol {

// The activity log: every request and reply record since start, in the hidden memo
// Memo6 and the file logfile.txt. The memo keeps the newest kMaxLines lines and at most
// kMaxBytes of text, so a long day or a runaway reply neither fills memory nor makes each
// rewrite of the file slower. A header line (the program's version) may open the file; it
// stays first, outside the memo, and counts against kMaxBytes.
class ActivityLog {
 public:
  static constexpr std::size_t kMaxLines = 2000;
  static constexpr std::size_t kMaxBytes = 256 * 1024;

  static constexpr std::size_t kMaxHeaderBytes = 256;

  ActivityLog(FormModel& form, TxtFolder& txt);

  // The line that opens logfile.txt from its next write on (its first kMaxHeaderBytes);
  // empty for none.
  void SetHeader(const std::string& line);
  // Empties the log and the file (but for the header). Throws FileError.
  void Clear();
  // Appends the lines and rewrites logfile.txt. Throws FileError.
  void Append(const std::vector<std::string>& lines);

 private:
  void WriteFile() const;

  Control& memo_;
  TxtFolder& txt_;
  std::string header_;
};

}  // namespace ol
