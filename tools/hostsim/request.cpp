#include "hostsim/request.h"

#include "core/text_file.h"
#include "hostsim/replies.h"

namespace ol::hostsim {

HostRequest ParseRequest(std::string_view t1Gbk) {
  HostRequest request;
  request.lines = SplitLines(t1Gbk);
  if (request.lines.empty()) return request;
  std::string_view first = request.lines[0];
  request.header = Trim(first.substr(0, 5));
  if (first.size() > 5) request.handheld = Trim(first.substr(5, 3));
  for (int i = 0; i < kKinds; ++i) {
    if (kHeaderNames[i][0] != '\0' && request.header == kHeaderNames[i]) {
      request.index = i;
      request.replyName = kReplyNames[i];
      break;
    }
  }
  return request;
}

}  // namespace ol::hostsim
