#include "gateway/reply_file.h"

#include "core/text_file.h"
#include "gateway/context.h"

namespace ol {

ReplyFile ReadReplyFile(const TxtFolder& txt, FormModel& form) {
  auto prefix = txt.ReadPrefix("R1.txt", kReplyReadLimit);
  if (!prefix) return {{}, 0, 0, false};
  if (prefix->size > prefix->bytes.size())
    LogLine(form, "R1.TXT过大（" + std::to_string(prefix->size) + "字节），只读取了前" +
                      std::to_string(prefix->bytes.size()) + "字节");
  return {SplitLines(prefix->bytes), prefix->written, prefix->size};
}

}  // namespace ol
