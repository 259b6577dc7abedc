#pragma once

#include <array>
#include <map>
#include <stdexcept>
#include <string>
#include <string_view>

namespace ol::hostsim {

inline constexpr int kKinds = 32;

// Reply names by request index, as the gateway matches the first line of R1.txt.
extern const std::array<const char*, kKinds> kReplyNames;
// Header names of the request records by index, without their padding; empty for the
// kinds whose request file is written empty.
extern const std::array<const char*, kKinds> kHeaderNames;

// Index of a reply name, or -1.
int ReplyIndex(std::string_view name);

// A replies file that cannot be used; what() names the line.
class ReplyFileError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

struct ReplyChoice {
  bool silent = false;
  std::string textUtf8;  // may hold line breaks ('\n')
};

// What the substitute host answers to each request kind. Starts with a short Chinese
// confirmation per kind; a replies file overrides single kinds.
class ReplyTable {
 public:
  ReplyTable();

  // Lines "NAME<TAB>text" (UTF-8, a byte-order mark allowed, lines ended by LF or CR LF;
  // "\n" in the text is a line break, "\\" a backslash);
  // a line with the name alone makes that kind silent; blank lines and lines starting
  // with '#' are skipped. Throws ReplyFileError and changes nothing on a bad line.
  void Load(std::string_view fileUtf8);

  void SetAllSilent(bool silent) { allSilent_ = silent; }
  ReplyChoice For(std::string_view replyName) const;

 private:
  std::map<std::string, ReplyChoice, std::less<>> replies_;
  bool allSilent_ = false;
};

// The bytes of R1.txt: the name padded to four characters, then the text's lines, each
// ended by CR LF, in GBK.
std::string BuildReplyFile(std::string_view replyName, std::string_view textUtf8);

}  // namespace ol::hostsim
