#pragma once

#include <cstdint>
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
  void WriteFile();

  Control& memo_;
  TxtFolder& txt_;
  std::string header_;
  // The memo's lines as written, at the memo's version textVersion_: an append adds its
  // lines and drops the scrolled-out ones here rather than joining every line again. Any
  // other change to the memo shows in its version, and the text is then joined afresh.
  std::string text_;
  std::uint64_t textVersion_ = ~std::uint64_t{0};
};

}  // namespace ol
