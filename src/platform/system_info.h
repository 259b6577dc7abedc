#pragma once

#include <filesystem>
#include <string>
#include <vector>

#include "core/event_loop.h"

namespace ol {

#ifdef _WIN32
// Names of the serial ports the system lists (the values of
// HKLM\HARDWARE\DEVICEMAP\SERIALCOMM: COM1, COM3, ...), in natural order, each once.
// An unreadable key gives an empty list.
std::vector<std::string> ListSerialPorts();
#else
// Names of the serial devices present (ttyS0, ttyUSB0, ttyACM0, ...), in natural order
// (ttyS2 before ttyS10). A name X stands for the device /dev/X. Terminals without a
// device behind them (consoles, pseudo-terminals) are left out, and so are UART slots
// whose port type is unknown: the placeholder ttyS ports that have no chip. An
// unreadable sysfs gives an empty list.
std::vector<std::string> ListSerialPorts(const std::filesystem::path& sysfsRoot = "/sys");
#endif

// Orders names by their text, comparing runs of digits by their value.
bool NaturalLess(const std::string& a, const std::string& b);

// The folder of the running program file as UTF-8, ending with the separator ('/', or
// '\\' on Windows). Throws std::runtime_error when the system cannot tell.
std::string ProgramFolder();

// Windows: an absolute path in the form that the wide file calls take past 260 characters
// on every version (\\?\C:\... or \\?\UNC\server\share\...), for the paths built under
// it; a relative or already prefixed path is returned as it is. Elsewhere: path itself.
std::filesystem::path LongPathForm(const std::filesystem::path& path);

// A date and time in the system's short date and long time format, as UTF-8: the
// preferred date and time of the locale the environment names (LC_ALL, LC_TIME, LANG),
// or of localeName when given; the "C" formats when that locale is not installed.
std::string SystemDateTimeText(const LocalDateTime& when, const char* localeName = "");

}  // namespace ol
