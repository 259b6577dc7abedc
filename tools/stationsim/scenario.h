#pragma once

// Scenario lines of the station simulator, one request a line:
//
//   at 2.0 station 1 handheld 5 request DL payload "1234567890ABCDEFGHIJKLMN"
//   at 4 station 1 handheld 5 request DC payload "桌03\r\n" fault corrupt-packet 2
//   station 2 handheld 10 request KT fault silent-after-a5 expect no-reply
//
// Words after the first may come in any order:
//   at SECONDS          when to queue it, from the start (default: at once)
//   station ID          station ID, decimal
//   handheld N          handheld number, decimal
//   request NAME        request name (DL, XGMM, KT, ...) or its code as two hex digits
//   payload "TEXT"      UTF-8, sent as GBK; escapes \" \\ \r \n \t and \xHH (a raw byte)
//   fault corrupt-packet K | fault silent-after-a5 | fault no-confirm
//   expect reply        any reply (the default)
//   expect no-reply     one of the gateway's two "no reply data" texts
//   expect text "TEXT"  a reply with exactly this text
//   expect code NAME    a reply with this code
//   expect none         no reply at all: the request must time out
// A '#' outside quotes starts a comment; blank lines are skipped.

#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>

#include "stationsim/sim_station.h"

namespace ol::sim {

class ScenarioError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

enum class Expect { Reply, NoReplyText, Text, Code, None };

struct ScenarioRequest {
  double at = 0;  // seconds from the start
  int station = -1;
  RequestPlan request;
  Expect expect = Expect::Reply;
  std::string expectText;  // UTF-8
  std::uint8_t expectCode = 0;
};

// The texts the gateway sends in place of a host reply.
extern const char* const kNoReplyTexts[2];

// Nothing for a blank or comment line; throws ScenarioError saying what is wrong.
std::optional<ScenarioRequest> ParseScenarioLine(std::string_view line);

// Whether the outcome meets the expectation: reply is the reply taken (nullptr when the
// request ended without one).
bool MeetsExpectation(const ScenarioRequest& s, const ReceivedReply* reply);

}  // namespace ol::sim
