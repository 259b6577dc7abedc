#include "gateway/reply_files.h"

#include "core/gbk.h"
#include "core/text_file.h"
#include "gateway/context.h"

namespace ol {
namespace {

constexpr const char* kLogFailed =
    "logfile.txt写入失败：活动日志文件里暂时没有这次的R1.TXT内容，下次写入成功时补上；"
    "回复照常处理。原因：";
constexpr const char* kReplyTextFailed =
    "R2.TXT写入失败：其中仍是上一次的回复内容，不是这次的；回复照常处理。原因：";

}  // namespace

void RecordReplyFile(FormModel& form, ActivityLog& log, const std::vector<std::string>& lines) {
  std::vector<std::string> record{
      Utf8ToGbk("                        R1.TXT内容                           ")};
  record.insert(record.end(), lines.begin(), lines.end());
  try {
    log.Append(record);
  } catch (const FileError& e) {
    LogLine(form, kLogFailed + std::string(e.what()));
  }
}

void WriteReplyText(FormModel& form, TxtFolder& txt, const std::string& text) {
  try {
    txt.Write("R2.txt", text);
  } catch (const FileError& e) {
    LogLine(form, kReplyTextFailed + std::string(e.what()));
  }
}

}  // namespace ol
