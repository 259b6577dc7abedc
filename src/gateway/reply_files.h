#pragma once

#include <string>
#include <vector>

#include "core/form_model.h"
#include "core/txt_folder.h"
#include "gateway/activity_log.h"

namespace ol {

// The two files a reply leaves behind. Neither may hold back the reply to the waiter: when
// one cannot be written the operator reads in the monitor log which file it was, what
// that means and the system's reason, and the relay goes on.

// The lines of R1.txt under their banner into the activity log and logfile.txt.
void RecordReplyFile(FormModel& form, ActivityLog& log, const std::vector<std::string>& lines);
// The reply text into R2.txt, replacing it.
void WriteReplyText(FormModel& form, TxtFolder& txt, const std::string& text);

}  // namespace ol
