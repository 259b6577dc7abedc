#include "stations/config_files.h"

#include <algorithm>

#include "core/text_file.h"
#include "gateway/hex.h"

namespace ol {
namespace {

bool IsBlank(char c) {
  return c == ' ' || c == '\t';
}

bool AllDigits(std::string_view text) {
  if (text.empty()) return false;
  for (char c : text)
    if (c < '0' || c > '9') return false;
  return true;
}

struct Token {
  std::size_t begin;
  std::size_t end;
};

// The first max blank-separated tokens of line.
std::vector<Token> Tokens(std::string_view line, std::size_t max) {
  std::vector<Token> tokens;
  std::size_t i = 0;
  while (tokens.size() < max) {
    while (i < line.size() && IsBlank(line[i])) ++i;
    if (i >= line.size()) break;
    std::size_t begin = i;
    while (i < line.size() && !IsBlank(line[i])) ++i;
    tokens.push_back({begin, i});
  }
  return tokens;
}

}  // namespace

std::optional<std::string> StationIdDigits(std::string_view text) {
  if (text.size() > 2 || !AllDigits(text)) return std::nullopt;
  return text.size() == 1 ? "0" + std::string(text) : std::string(text);
}

std::optional<std::string> HandheldDigits(std::string_view text) {
  if (text.size() > 3 || !AllDigits(text)) return std::nullopt;
  int n = std::stoi(std::string(text));
  if (n > kMaxHandheld) return std::nullopt;
  std::string digits = std::to_string(n);
  return std::string(3 - digits.size(), '0') + digits;
}

std::optional<int> ChannelNumber(std::string_view text) {
  if (!text.empty() && text.front() == '+') text.remove_prefix(1);
  if (!AllDigits(text)) return std::nullopt;
  int n = 0;
  for (char c : text) {
    n = n * 10 + (c - '0');
    if (n > 64) return std::nullopt;
  }
  if (n < 1) return std::nullopt;
  return n;
}

std::optional<StationLine> ParseStationLine(std::string_view line) {
  StationLine out;
  // The written layout: ID in columns 1-2, channel in 4-5, port name from column 7. With
  // the channel columns blank the port must begin in column 7: a channel further on is read
  // by the fields, or the line would be written back with another meaning.
  if (line.size() >= 7 && line[2] == ' ' && line[5] == ' ' && !Trim(line.substr(6)).empty() &&
      (!Trim(line.substr(3, 2)).empty() || line[6] != ' ')) {
    auto id = StationIdDigits(Trim(line.substr(0, 2)));
    if (!id) return std::nullopt;
    out.stationId = *id;
    out.channel = Trim(line.substr(3, 2));
    out.portName = Trim(line.substr(6));
    // Only the ID's columns are rewritten: the fields keep their columns, so the line
    // reads back the same (a port name may hold blanks).
    out.text = *id + std::string(line.substr(2));
    return out;
  }
  // Another channel length: the fields by their blanks.
  std::vector<Token> t = Tokens(line, 3);
  if (t.size() < 2) return std::nullopt;
  auto id = StationIdDigits(line.substr(t[0].begin, t[0].end - t[0].begin));
  if (!id) return std::nullopt;
  out.stationId = *id;
  if (t.size() >= 3) {
    out.channel = std::string(line.substr(t[1].begin, t[1].end - t[1].begin));
    out.portName = Trim(line.substr(t[1].end));
  } else {
    // Only an empty channel leaves exactly the two separators between ID and port.
    if (line.substr(t[0].end, t[1].begin - t[0].end) != "  ") return std::nullopt;
    out.portName = Trim(line.substr(t[1].begin));
  }
  out.text = out.stationId + " " + out.channel + " " + out.portName;
  return out;
}

std::optional<RegistrationLine> ParseRegistrationLine(std::string_view line) {
  if (line.size() != 6 || line[2] != ' ') return std::nullopt;
  std::string_view id = line.substr(0, 2);
  auto handheld = HandheldDigits(line.substr(3));
  if (!AllDigits(id) || !handheld || *handheld != line.substr(3)) return std::nullopt;
  return RegistrationLine{std::string(id), *handheld, std::string(line)};
}

std::vector<std::string> BuildStationFile(const std::array<StationConfig, kSlotCount>& slots) {
  std::vector<std::string> lines;
  for (const StationConfig& slot : slots) {
    std::string port = Trim(slot.portName);
    auto id = StationIdDigits(Trim(slot.stationId));
    if (port.empty() || !id) continue;
    std::string channel = Trim(slot.channel);
    if (auto number = ChannelNumber(channel)) channel = ZeroPad(*number, 2);
    lines.push_back(*id + " " + channel + " " + port);
  }
  return lines;
}

std::vector<std::string> BuildRegistrationFile(const std::array<StationConfig, kSlotCount>& slots) {
  std::vector<std::string> lines;
  for (const StationConfig& slot : slots) {
    auto id = StationIdDigits(Trim(slot.stationId));
    if (!id) continue;
    // Two slots of one station both list its handhelds; the file registers each once,
    // or every save would double them.
    for (const std::string& handheld : slot.handhelds) {
      std::string line = *id + " " + handheld;
      if (std::find(lines.begin(), lines.end(), line) == lines.end()) lines.push_back(line);
    }
  }
  return lines;
}

}  // namespace ol
