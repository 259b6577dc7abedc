#include "hostsim/options.h"

#include <charconv>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <iostream>

#include "core/text_file.h"

namespace ol::hostsim {

const char* const kUsage =
    "usage: orderlink-hostsim --gateway PATH [options]\n"
    "  --gateway PATH        gateway program to start (with our handle as argument 1)\n"
    "  --txt DIR             TXT folder (default: TXT/ beside the gateway program)\n"
    "  --replies FILE        replies per kind: lines NAME<TAB>text (UTF-8); NAME alone = "
    "silent\n"
    "  --silent              never answer a request\n"
    "  --handle N            bind this window handle (default: process id or next free)\n"
    "  --reply-delay MS      wait this long before answering\n"
    "  --show-after SECONDS  send show (12) this long after the gateway announced itself\n"
    "  --close-after SECONDS send close (16) this long after the gateway announced itself\n"
    "  --timeout SECONDS     stop the gateway and end after this long\n"
    "  --keep-requests FILE  append every request file read to FILE, byte for byte\n"
    "stdin commands: show, close, quit\n";

namespace {

bool ParseSeconds(const std::string& text, Millis& out) {
  // Seconds with an optional fraction, e.g. 2 or 0.5.
  std::size_t used = 0;
  double value = 0;
  try {
    value = std::stod(text, &used);
  } catch (...) {
    return false;
  }
  if (used != text.size() || !(value >= 0) || value > 1e7) return false;
  out = static_cast<Millis>(std::llround(value * 1000));
  return true;
}

template <typename T>
bool ParseUnsigned(const std::string& text, T& out) {
  auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), out);
  return ec == std::errc{} && end == text.data() + text.size() && !text.empty();
}

}  // namespace

std::optional<Options> ParseOptions(const std::vector<std::string>& args, std::string& error) {
  Options o;
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string& a = args[i];
    auto value = [&](std::string& out) {
      if (i + 1 >= args.size()) {
        error = a + " needs a value";
        return false;
      }
      out = args[++i];
      return true;
    };
    std::string v;
    if (a == "--help" || a == "-h") {
      o.help = true;
    } else if (a == "--silent") {
      o.silent = true;
    } else if (a == "--gateway") {
      if (!value(o.gateway)) return std::nullopt;
    } else if (a == "--txt") {
      if (!value(o.txt)) return std::nullopt;
    } else if (a == "--replies") {
      if (!value(o.replies)) return std::nullopt;
    } else if (a == "--keep-requests") {
      if (!value(o.keepRequests)) return std::nullopt;
    } else if (a == "--handle") {
      if (!value(v)) return std::nullopt;
      if (!ParseUnsigned(v, o.handle) || o.handle == 0) {
        error = "--handle needs a number from 1 to 4294967295, not '" + v + "'";
        return std::nullopt;
      }
    } else if (a == "--reply-delay") {
      if (!value(v)) return std::nullopt;
      if (!ParseUnsigned(v, o.replyDelay)) {
        error = "--reply-delay needs milliseconds, not '" + v + "'";
        return std::nullopt;
      }
    } else if (a == "--close-after" || a == "--show-after" || a == "--timeout") {
      if (!value(v)) return std::nullopt;
      Millis ms = 0;
      if (!ParseSeconds(v, ms)) {
        error = a + " needs seconds, not '" + v + "'";
        return std::nullopt;
      }
      (a == "--timeout" ? o.timeout : a == "--show-after" ? o.showAfter : o.closeAfter) = ms;
    } else {
      error = "unknown option '" + a + "'";
      return std::nullopt;
    }
  }
  if (!o.help && o.gateway.empty()) {
    error = "--gateway PATH is required";
    return std::nullopt;
  }
  return o;
}

std::string TxtFolderFor(const Options& options) {
  if (!options.txt.empty()) return options.txt;
  // The gateway finds its folder through its resolved program file, so links are
  // followed here too.
  // Through the wide path: a narrow one is read in the ANSI code page on Windows, which
  // cannot name a folder of Chinese characters unless that page is 936.
  std::error_code ec;
  const std::filesystem::path given = Utf8Path(options.gateway);
  std::filesystem::path gateway = std::filesystem::weakly_canonical(given, ec);
  if (ec) gateway = std::filesystem::absolute(given);
  return Utf8Text(gateway.parent_path() / "TXT");
}

std::optional<int> PrepareRun(const std::vector<std::string>& args, Options& options,
                              ReplyTable& replies) {
  std::string error;
  auto parsed = ParseOptions(args, error);
  if (!parsed) {
    std::cerr << "orderlink-hostsim: " << error << "\n" << kUsage;
    return 2;
  }
  options = *parsed;
  if (options.help) {
    std::cout << kUsage;
    return 0;
  }
  if (!options.replies.empty()) {
    auto text = ReadWholeFile(Utf8Path(options.replies));
    if (!text) {
      std::cerr << "orderlink-hostsim: cannot read " << options.replies << "\n";
      return 2;
    }
    try {
      replies.Load(*text);
    } catch (const ReplyFileError& e) {
      std::cerr << "orderlink-hostsim: " << options.replies << ": " << e.what() << "\n";
      return 2;
    }
  }
  replies.SetAllSilent(options.silent);
  return std::nullopt;
}

int ExitCodeFor(RunEnd end, int gatewayCode) {
  switch (end) {
    case RunEnd::Timeout:
      return 124;
    case RunEnd::Quit:
      return 0;
    case RunEnd::Gateway:
      break;
  }
  return gatewayCode;
}

std::string Stamped(Millis now, const std::string& line) {
  char stamp[32];
  std::snprintf(stamp, sizeof stamp, "[%8.3f] ", static_cast<double>(now) / 1000.0);
  return stamp + line;
}

}  // namespace ol::hostsim
