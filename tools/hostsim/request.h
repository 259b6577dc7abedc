#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace ol::hostsim {

// One request file as the host sees it.
struct HostRequest {
  int index = -1;                  // request kind 0..31, -1 when not recognised
  std::string header;              // header name as written ("DL", "YDKT"), empty for an empty file
  std::string replyName;           // name the answer must carry ("QCJE" for "YDKT")
  std::string handheld;            // three digits, as written
  std::vector<std::string> lines;  // every line of the file, GBK
};

// Reads the request record: the header name in columns 1-5, the handheld number in
// columns 6-8. An empty file (the kinds without a record) or an unknown header gives
// index -1.
HostRequest ParseRequest(std::string_view t1Gbk);

}  // namespace ol::hostsim
