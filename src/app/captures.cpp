#include "app/captures.h"

#include <algorithm>
#include <cstdio>
#include <vector>

#include "core/error_text.h"
#include "core/text_file.h"

namespace ol {

Captures::Captures(EventLoop& loop, std::shared_ptr<FileStore> folder,
                   std::shared_ptr<FlightRecorder> recorder, std::function<CapturePort(int)> port,
                   std::function<void(const std::string&)> notice, std::uintmax_t maxTotal)
    : loop_(loop),
      folder_(std::move(folder)),
      recorder_(std::move(recorder)),
      port_(std::move(port)),
      notice_(std::move(notice)),
      due_(loop),
      maxTotal_(maxTotal) {}

std::string Captures::SaveNow() {
  if (!recorder_) throw FileError("无抓包记录");
  return Write(0, "operator");
}

void Captures::OnTraffic(const TrafficEvent& e) {
  const bool failure = e.kind == Traffic::NoReplyText || e.kind == Traffic::ReplyDropped ||
                       e.kind == Traffic::LineLost;
  if (!recorder_ || !failure || due_.Pending() || loop_.Now() - lastAuto_ < kQuiet) return;
  lastAuto_ = loop_.Now();
  const std::int64_t from = recorder_->Now() - kBeforeMicros;
  due_.Start(kAfter, [this, from] {
    try {
      const std::string name = Write(from, "failure");
      if (notice_) notice_("交换失败，前后几分钟的收发已保存为 TXT/capture/" + name);
    } catch (const FileError&) {
      // Told by Write.
    }
  });
}

std::string Captures::Write(std::int64_t fromMicros, const std::string& why) {
  const LocalDateTime t = loop_.LocalTime();
  char name[64];
  std::snprintf(name, sizeof name, "%04d%02d%02d-%02d%02d%02d-%s.pcapng", t.year, t.month, t.day,
                t.hour, t.minute, t.second, why.c_str());
  std::vector<CapturePort> ports;
  for (int slot = 1; slot <= 4; ++slot) ports.push_back(port_ ? port_(slot) : CapturePort{});
  const std::string bytes = PortsToPcapng(ports, recorder_->Since(fromMicros));
  try {
    folder_->Append(name, "");  // makes the folder when it is missing
    folder_->Replace(name, bytes);
  } catch (const FileError& e) {
    folder_->Remove(name);
    if (!failing_ && notice_) notice_(std::string("抓包无法保存：") + ErrorText(e));
    failing_ = true;
    throw;
  }
  failing_ = false;
  // Then the oldest go until the rest fits: a capture that cannot be written costs none.
  std::vector<std::string> names = folder_->Names();
  std::sort(names.begin(), names.end());
  std::uintmax_t total = 0;
  std::vector<std::uintmax_t> sizes;
  for (const std::string& n : names) {
    const auto prefix = folder_->ReadPrefix(n, 0);
    sizes.push_back(prefix ? prefix->size : 0);
    total += sizes.back();
  }
  for (std::size_t i = 0; i < names.size() && total > maxTotal_; ++i)
    if (names[i] != name && folder_->Remove(names[i])) total -= sizes[i];
  return name;
}

}  // namespace ol
