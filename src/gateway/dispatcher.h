#pragma once

#include <string>
#include <utility>
#include <vector>

#include "core/continuation.h"
#include "gateway/context.h"

namespace ol {

// Number of request kinds; the same indexes number the reply names.
inline constexpr int kRequestKinds = 32;

// How the record of one request kind is made from its payload.
struct RequestKind {
  const char* header;  // "" for kinds without a record
  const char* reply;
  int padWidth;  // > 0: the record is the padded payload
  // Otherwise the record's fields, joined by one space: 1-based first and last position
  // in the payload, last 0 for the rest of it. None: a header line alone.
  std::vector<std::pair<int, int>> ranges;
};
// The kind of request index i (0 <= i < kRequestKinds). The order's record is not made from
// its ranges: see RequestRecordLines.
const RequestKind& RequestKindAt(int index);
inline constexpr int kOrderKind = 7;

// The header name of request index i ("DL   "), empty for the kinds without a record.
const char* RequestHeaderName(int index);
// The reply name of index i ("DL", "XGMM", ...).
const char* ReplyName(int index);

// The payload followed by spaces up to and including width: at most width characters
// become width + 1; a longer payload stays as it is.
std::string PadField(const std::string& text, int width);

// The request record of one request kind, without the header line. Empty for the kinds
// that carry no record. payload is GBK bytes, one character per byte.
std::vector<std::string> RequestRecordLines(int index, const std::string& payload,
                                            const std::string& stamp);

// Hands each complete request to the host: checks the registration, writes T1.txt,
// copies the record into the activity log and notifies the host.
class Dispatcher {
 public:
  Dispatcher(GatewayEnv& env, GatewayPeers& peers);

  void DispatchRequest(int index, const std::string& station, const std::string& handheld,
                       const std::string& payload, const std::string& stamp);
  bool IsRegistered(const std::string& station, const std::string& handheld) const;

 private:
  // Radio traffic may raise a box while one is open; those go to the monitor log only, so
  // a busy handheld cannot stack one modal loop per request.
  void ShowTrafficBox(const std::string& text);
  // Writes T1.txt and tells the host; a held file is tried again on the event loop.
  void WriteRequest();
  void Tell(Traffic kind, std::string detail = {});

  GatewayEnv& env_;
  GatewayPeers& peers_;
  bool boxOpen_ = false;
  // The request being handed over, and the tries of a held T1.txt.
  struct Request {
    Exchange::Id exchange = 0;
    int index = 0, station = 0, handheld = 0;
    std::string stationText, handheldText;
    std::vector<std::string> lines;
  } request_;
  std::size_t tries_ = 0;
  Continuation retry_;
};

}  // namespace ol
