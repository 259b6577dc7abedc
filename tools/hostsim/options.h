#pragma once

#include <optional>
#include <string>
#include <vector>

#include "core/event_loop.h"
#include "hostsim/replies.h"
#include "platform/host_link.h"

namespace ol::hostsim {

struct Options {
  std::string gateway;       // program to start; required
  std::string txt;           // TXT folder; empty: "TXT/" beside the gateway program
  std::string replies;       // replies file; empty: the built-in answers
  bool silent = false;       // never answer
  WindowHandle handle = 0;   // own handle; 0: the process id or the next free one
  Millis replyDelay = 0;     // ms
  Millis closeAfter = -1;    // ms after the announcement; -1: never
  Millis showAfter = -1;     // ms after the announcement; -1: never
  Millis timeout = -1;       // ms; -1: none
  std::string keepRequests;  // every request file read is appended here; empty: none
  bool help = false;
};

// Parses argv[1..]; on a bad command line returns nothing and sets error.
std::optional<Options> ParseOptions(const std::vector<std::string>& args, std::string& error);

extern const char* const kUsage;

// What both editions' mains do first: the options from argv[1..] and the reply table
// they name. Returns the exit code when the program ends here (help shown, or a bad
// command line or replies file reported on standard error).
std::optional<int> PrepareRun(const std::vector<std::string>& args, Options& options,
                              ReplyTable& replies);

// How a run ended, and the program's exit code for it: 124 after the time-out, 0 after
// quit, the gateway's own when it ended first.
enum class RunEnd { Gateway, Timeout, Quit };
int ExitCodeFor(RunEnd end, int gatewayCode);

// A transcript line as both editions print it: "[seconds.mmm] line".
std::string Stamped(Millis now, const std::string& line);

// The TXT folder the options name: --txt, or TXT/ in the gateway program's folder.
std::string TxtFolderFor(const Options& options);

}  // namespace ol::hostsim
