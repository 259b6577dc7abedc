#pragma once

#include <string>
#include <vector>

#include "core/form_model.h"
#include "core/txt_folder.h"

namespace ol {

// How much of R1.txt is read. At most 812 bytes of the reply text are sent; the rest goes
// to R2.txt and the activity log, and a reply ten times what can be sent is already far
// beyond any real one, so a runaway file costs no more time or memory than this.
inline constexpr std::size_t kReplyReadLimit = 8192;

// R1.txt as read: its lines from its first kReplyReadLimit bytes (none when it cannot be
// read; a longer file is noted in the monitor log with its size), and when it was written.
struct ReplyFile {
  std::vector<std::string> lines;
  std::int64_t written = 0;
  std::uintmax_t size = 0;
  bool readable = true;
  bool operator==(const ReplyFile&) const = default;
};
ReplyFile ReadReplyFile(const TxtFolder& txt, FormModel& form);

}  // namespace ol
