#pragma once

#include <optional>
#include <string>
#include <vector>

#include "core/event_loop.h"
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

// The TXT folder the options name: --txt, or TXT/ in the gateway program's folder.
std::string TxtFolderFor(const Options& options);

}  // namespace ol::hostsim
