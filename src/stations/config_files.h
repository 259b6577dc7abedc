#pragma once

#include <array>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace ol {

inline constexpr int kSlotCount = 4;
inline constexpr int kMaxHandheld = 191;
inline constexpr const char* kStationFile = "JZ.txt";
inline constexpr const char* kRegistrationFile = "DCJ.txt";

// The settings of one station slot as the settings screen holds them.
struct StationConfig {
  std::string portName;
  std::string stationId;
  std::string channel;
  std::vector<std::string> handhelds;  // three digits each, in polling order
};

// One readable line of JZ.txt. text is the line as the station list keeps it: the line
// itself when it has the written layout, else the same fields in that layout.
struct StationLine {
  std::string stationId;  // two digits
  std::string channel;
  std::string portName;
  std::string text;
};

// One line of DCJ.txt in the written layout ("01 007"): the line itself is the text.
struct RegistrationLine {
  std::string stationId;  // two digits
  std::string handheld;   // three digits, 000..191
  std::string text;
};

// Reads "ID CHANNEL PORT". A line in the written layout (ID in columns 1-2, channel in
// 4-5, port name from 7) is read by those columns; any other line by its blank-separated
// fields, so a channel of another length does not shift the port name. The port name is
// the rest of the line and may hold blanks; an empty channel (two blanks between ID and
// port, as an empty channel box is written) reads as empty. Nothing when the line cannot
// be read: the ID is not one or two digits, or the port name is missing.
std::optional<StationLine> ParseStationLine(std::string_view line);
// Reads a line in the written layout exactly: two digits, one space, three digits naming
// a handheld 000..191, nothing else. Any other line is nothing, so it registers nobody:
// "2 7" is not station 02's handheld 7 and "01 192" names no handheld.
std::optional<RegistrationLine> ParseRegistrationLine(std::string_view line);

// Digits only, one or two of them: the station ID as two digits ("1" gives "01").
std::optional<std::string> StationIdDigits(std::string_view text);
// Digits only, one to three of them, at most 191: the handheld as three digits.
std::optional<std::string> HandheldDigits(std::string_view text);
// A channel number 1..64 in decimal, with any leading zeros and an optional plus sign
// ("5", "05", "005", "+5").
std::optional<int> ChannelNumber(std::string_view text);

// The two files as written from the four slots. Slots whose station ID is not a number
// must be refused before (StationIdDigits); they are left out here. A channel that is a
// number 1..64 is written with two digits, so the line keeps its columns.
std::vector<std::string> BuildStationFile(const std::array<StationConfig, kSlotCount>& slots);
std::vector<std::string> BuildRegistrationFile(const std::array<StationConfig, kSlotCount>& slots);

}  // namespace ol
